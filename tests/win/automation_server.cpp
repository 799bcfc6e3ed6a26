// A stand-in for the camera application's automation server, for the Windows build's tests: an
// out-of-process COM server (LocalServer32) registered under the two programmatic identifiers
// the camera back-end creates. Every member the back-end calls is implemented through IDispatch;
// each call is appended to automation-calls.txt beside the server, with its arguments' types and
// values. automation-script.txt beside the server, read whenever a camera object is made, can make it
//   reject N          turn the next N incoming calls away (the caller sees RPC_E_CALL_REJECTED)
//   fail MEMBER TEXT  raise TEXT through EXCEPINFO from MEMBER
//   level N           the StretchMax it reports (default 40000; StretchMin is 100)
//   hang MEMBER MS    answer MEMBER only after MS milliseconds
// Usage: brivane-test-automation.exe /regserver   (the classes root: per user on Windows without elevation),
// or started by COM.
#include <windows.h>

#include <oaidl.h>
#include <objbase.h>
#include <oleauto.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

// {6A1F7C20-3B0E-4F51-9C1D-7E2B8A4D5C01}, {...02}
const CLSID kCameraClsid = {0x6a1f7c20, 0x3b0e, 0x4f51, {0x9c, 0x1d, 0x7e, 0x2b, 0x8a, 0x4d, 0x5c, 0x01}};
const CLSID kDocumentClsid = {0x6a1f7c20, 0x3b0e, 0x4f51, {0x9c, 0x1d, 0x7e, 0x2b, 0x8a, 0x4d, 0x5c, 0x02}};

std::wstring g_folder;
std::atomic<long> g_objects{0};
int g_reject = 0;
std::map<std::wstring, std::wstring> g_failures;
std::map<std::wstring, DWORD> g_hangs;
long g_level = 40000;

std::string utf8(const std::wstring& text) {
    if (text.empty())
        return {};
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(std::size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring wide(const std::string& text) {
    if (text.empty())
        return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring out(std::size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n);
    return out;
}

void record(const std::wstring& line) {
    std::ofstream out(utf8(g_folder + L"\\automation-calls.txt"), std::ios::app | std::ios::binary);
    out << utf8(line) << "\n";
}

void readScript() {
    g_reject = 0;
    g_failures.clear();
    g_hangs.clear();
    g_level = 40000;
    std::ifstream in(utf8(g_folder + L"\\automation-script.txt"), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::istringstream words(line);
        std::string verb;
        words >> verb;
        if (verb == "reject") {
            words >> g_reject;
        } else if (verb == "level") {
            words >> g_level;
        } else if (verb == "hang") {
            std::string member;
            DWORD ms = 0;
            words >> member >> ms;
            g_hangs[wide(member)] = ms;
        } else if (verb == "fail") {
            std::string member;
            words >> member;
            std::string text;
            std::getline(words, text);
            if (!text.empty() && text.front() == ' ')
                text.erase(0, 1);
            g_failures[wide(member)] = wide(text);
        }
    }
}

std::wstring describe(const VARIANT& v) {
    const VARTYPE type = v.vt;
    if (type == (VT_BYREF | VT_VARIANT))
        return L"VARIANT*:" + describe(*v.pvarVal);
    wchar_t buffer[64];
    switch (type) {
    case VT_BOOL:
        return std::wstring(L"BOOL=") + (v.boolVal ? L"true" : L"false");
    case VT_I2:
        return L"I2=" + std::to_wstring(v.iVal);
    case VT_I4:
        return L"I4=" + std::to_wstring(v.lVal);
    case VT_R4:
        std::swprintf(buffer, 64, L"R4=%g", double(v.fltVal));
        return buffer;
    case VT_R8:
        std::swprintf(buffer, 64, L"R8=%g", v.dblVal);
        return buffer;
    case VT_BSTR:
        return L"BSTR=" + std::wstring(v.bstrVal ? v.bstrVal : L"", v.bstrVal ? SysStringLen(v.bstrVal) : 0);
    default:
        return L"VT" + std::to_wstring(type);
    }
}

class Automation : public IDispatch {
public:
    explicit Automation(bool camera) : m_camera(camera) { ++g_objects; }
    virtual ~Automation() { --g_objects; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (riid == IID_IUnknown || riid == IID_IDispatch) {
            *object = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ULONG(++m_refs); }
    ULONG STDMETHODCALLTYPE Release() override {
        const long left = --m_refs;
        if (left == 0)
            delete this;
        return ULONG(left);
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        HRESULT hr = S_OK;
        for (UINT i = 0; i < count; ++i) {
            ids[i] = DISPID_UNKNOWN;
            const auto& table = members();
            for (std::size_t m = 0; m < table.size(); ++m)
                if (_wcsicmp(table[m], names[i]) == 0)
                    ids[i] = DISPID(m + 1);
            if (ids[i] == DISPID_UNKNOWN) {
                record(kind() + L"." + names[i] + L" unknown");
                hr = DISP_E_UNKNOWNNAME;
            }
        }
        return hr;
    }

    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO* info, UINT*) override {
        const auto& table = members();
        if (id < 1 || std::size_t(id) > table.size())
            return DISP_E_MEMBERNOTFOUND;
        const std::wstring member = table[std::size_t(id - 1)];
        const wchar_t* how = (flags & DISPATCH_PROPERTYPUT) ? L"put"
                             : (flags & DISPATCH_METHOD)    ? L"call"
                                                            : L"get";
        std::wstring line = kind() + L"." + member + L" " + how;
        std::vector<VARIANT*> args; // first argument first
        for (UINT i = params->cArgs; i > 0; --i)
            args.push_back(&params->rgvarg[i - 1]);
        for (VARIANT* arg : args)
            line += L" " + describe(*arg);
        record(line);

        if (const auto hang = g_hangs.find(member); hang != g_hangs.end())
            Sleep(hang->second);
        if (const auto failure = g_failures.find(member); failure != g_failures.end()) {
            if (info) {
                *info = EXCEPINFO{};
                info->bstrSource = SysAllocString(m_camera ? L"MaxIm.CCDCamera" : L"MaxIm.Document");
                info->bstrDescription = SysAllocString(failure->second.c_str());
                info->scode = E_FAIL;
            }
            return DISP_E_EXCEPTION;
        }
        const auto value = [&](const VARIANT& v) {
            VARIANT copy;
            VariantInit(&copy);
            VariantCopyInd(&copy, const_cast<VARIANT*>(&v));
            return copy;
        };
        const auto answer = [&](VARIANT v) {
            if (result)
                *result = v;
            else
                VariantClear(&v);
        };
        VARIANT out;
        VariantInit(&out);
        if (member == L"LinkEnabled" && (flags & DISPATCH_PROPERTYPUT) && !args.empty()) {
            VARIANT v = value(*args[0]);
            m_linked = v.vt == VT_BOOL && v.boolVal;
        } else if (member == L"LinkEnabled" || member == L"ImageReady") {
            out.vt = VT_BOOL;
            out.boolVal = (member == L"ImageReady" || m_linked) ? VARIANT_TRUE : VARIANT_FALSE;
            answer(out);
        } else if (member == L"SaveImage" && !args.empty()) {
            VARIANT path = value(*args[0]);
            bool saved = false;
            if (path.vt == VT_BSTR) {
                HANDLE file = CreateFileW(path.bstrVal, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
                if (file != INVALID_HANDLE_VALUE) {
                    // A small valid FITS file (2 x 2 pixels), so header keywords can be added to it.
                    std::string fits;
                    for (const char* card :
                         {"SIMPLE  =                    T", "BITPIX  =                   16",
                          "NAXIS   =                    2", "NAXIS1  =                    2",
                          "NAXIS2  =                    2", "END"})
                        fits += std::string(card).append(80 - std::strlen(card), ' ');
                    fits.append(2880 - fits.size(), ' ');
                    fits.append(2880, '\0');
                    DWORD n = 0;
                    saved = WriteFile(file, fits.data(), DWORD(fits.size()), &n, nullptr) && n == fits.size();
                    CloseHandle(file);
                }
            }
            VariantClear(&path);
            out.vt = VT_BOOL;
            out.boolVal = saved ? VARIANT_TRUE : VARIANT_FALSE;
            answer(out);
        } else if (member == L"StretchMin" || member == L"StretchMax") {
            out.vt = VT_R8;
            out.dblVal = member == L"StretchMin" ? 100.0 : double(g_level);
            answer(out);
        } else if (member == L"OpenFile") {
            out.vt = VT_BOOL;
            out.boolVal = VARIANT_TRUE;
            answer(out);
        }
        return S_OK;
    }

private:
    std::wstring kind() const { return m_camera ? L"Camera" : L"Document"; }
    const std::vector<const wchar_t*>& members() const {
        static const std::vector<const wchar_t*> camera = {
            L"LinkEnabled", L"CoolerOn",   L"DisableAutoShutdown", L"BinX",         L"BinY",
            L"Expose",      L"ImageReady", L"SaveImage",           L"AbortExposure"};
        static const std::vector<const wchar_t*> document = {L"OpenFile", L"StretchMin", L"StretchMax",
                                                             L"Close"};
        return m_camera ? camera : document;
    }

    bool m_camera;
    bool m_linked = false;
    std::atomic<long> m_refs{1};
};

class Factory : public IClassFactory {
public:
    explicit Factory(bool camera) : m_camera(camera) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *object = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
        if (outer)
            return CLASS_E_NOAGGREGATION;
        if (m_camera) // the script holds for the camera and the documents of its operation
            readScript();
        record(m_camera ? L"create MaxIm.CCDCamera" : L"create MaxIm.Document");
        auto* automation = new Automation(m_camera);
        const HRESULT hr = automation->QueryInterface(riid, object);
        automation->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    bool m_camera;
};

// Turns incoming calls away while the script asks for it.
class Rejecter : public IMessageFilter {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (riid == IID_IUnknown || riid == IID_IMessageFilter) {
            *object = static_cast<IMessageFilter*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    DWORD STDMETHODCALLTYPE HandleInComingCall(DWORD type, HTASK, DWORD, LPINTERFACEINFO) override {
        if (type != CALLTYPE_TOPLEVEL && type != CALLTYPE_TOPLEVEL_CALLPENDING)
            return SERVERCALL_ISHANDLED;
        if (g_reject > 0) {
            --g_reject;
            record(L"rejected");
            return SERVERCALL_REJECTED;
        }
        return SERVERCALL_ISHANDLED;
    }
    DWORD STDMETHODCALLTYPE RetryRejectedCall(HTASK, DWORD, DWORD) override { return DWORD(-1); }
    DWORD STDMETHODCALLTYPE MessagePending(HTASK, DWORD, DWORD) override { return PENDINGMSG_WAITDEFPROCESS; }
};

std::wstring guidText(const CLSID& clsid) {
    wchar_t text[64];
    StringFromGUID2(clsid, text, 64);
    return text;
}

bool registerServer(const std::wstring& exe) {
    bool ok = true;
    for (const auto& [progId, clsid] :
         {std::pair{L"MaxIm.CCDCamera", kCameraClsid}, std::pair{L"MaxIm.Document", kDocumentClsid}}) {
        const std::wstring guid = guidText(clsid);
        const std::wstring progKey = std::wstring(progId) + L"\\CLSID";
        const std::wstring serverKey = L"CLSID\\" + guid + L"\\LocalServer32";
        const std::wstring quoted = L"\"" + exe + L"\"";
        ok &= RegSetKeyValueW(HKEY_CLASSES_ROOT, progKey.c_str(), nullptr, REG_SZ, guid.c_str(),
                              DWORD((guid.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
        ok &= RegSetKeyValueW(HKEY_CLASSES_ROOT, serverKey.c_str(), nullptr, REG_SZ, quoted.c_str(),
                              DWORD((quoted.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    }
    return ok;
}

} // namespace

int main() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring exe = path;
    g_folder = exe.substr(0, exe.find_last_of(L"\\/"));
    const std::wstring commandLine = GetCommandLineW();
    if (commandLine.find(L"/regserver") != std::wstring::npos)
        return registerServer(exe) ? 0 : 1;

    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return 1;
    static Rejecter rejecter;
    IMessageFilter* previous = nullptr;
    CoRegisterMessageFilter(&rejecter, &previous);
    static Factory camera(true);
    static Factory document(false);
    DWORD cookies[2] = {};
    CoRegisterClassObject(kCameraClsid, &camera, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookies[0]);
    CoRegisterClassObject(kDocumentClsid, &document, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookies[1]);
    // Serves until the test run ends its Wine session. Ending by itself raced with activations on
    // their way (under Wine a client activating a server that is withdrawing its classes waited for
    // ever, under load), so it never does.
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
    CoRevokeClassObject(cookies[0]);
    CoRevokeClassObject(cookies[1]);
    CoUninitialize();
    return 0;
}
