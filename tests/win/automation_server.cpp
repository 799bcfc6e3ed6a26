// A stand-in for the camera application's automation server and for an ASCOM camera and filter
// wheel driver, for the Windows build's tests: an out-of-process COM server (LocalServer32)
// registered under the programmatic identifiers the camera back-ends create (MaxIm.CCDCamera,
// MaxIm.Document; Brivane.TestCamera, Brivane.TestFilterWheel). Every member the back-ends call is
// implemented through IDispatch; each call is appended to automation-calls.txt beside the server,
// with its arguments' types and values. The ASCOM members take and give exactly the types ASCOM
// declares (a put of another type fails with DISP_E_TYPEMISMATCH) and answer NotConnected until
// connected. automation-script.txt beside the server, read whenever an object is made and at each
// StartExposure, can make it
//   reject N          turn the next N incoming calls away (the caller sees RPC_E_CALL_REJECTED)
//   fail MEMBER TEXT  raise TEXT through EXCEPINFO from MEMBER
//   level N           the StretchMax it reports (default 40000; StretchMin is 100); the ASCOM
//                     image's pixel (x, y) is N + x + 100 y
//   maxadu N          the ASCOM camera's MaxADU (default 65535)
//   interface N       the ASCOM camera's InterfaceVersion (default 3; 4 connects with Connect)
//   unconnectable     the ASCOM camera's Connected stays false
//   transposed        the ASCOM camera's ImageArray comes as (y, x)
//   hang MEMBER MS    answer MEMBER only after MS milliseconds
// Usage: brivane-test-automation.exe /regserver   (the classes root: per user on Windows without elevation),
// or brivane-test-automation.exe -Embedding: serves, and writes automation-ready.txt beside itself once
// every class is registered.
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
const CLSID kAscomCameraClsid = {
    0x6a1f7c20, 0x3b0e, 0x4f51, {0x9c, 0x1d, 0x7e, 0x2b, 0x8a, 0x4d, 0x5c, 0x03}};
const CLSID kAscomWheelClsid = {0x6a1f7c20, 0x3b0e, 0x4f51, {0x9c, 0x1d, 0x7e, 0x2b, 0x8a, 0x4d, 0x5c, 0x04}};

constexpr SCODE kAscomNotConnected = static_cast<SCODE>(0x80040407);
constexpr SCODE kAscomInvalidValue = static_cast<SCODE>(0x80040401);
constexpr SCODE kAscomDriverError = static_cast<SCODE>(0x80040500);
constexpr LONG kSensorWidth = 64, kSensorHeight = 48;

std::wstring g_folder;
std::atomic<long> g_objects{0};
int g_reject = 0;
std::map<std::wstring, std::wstring> g_failures;
std::map<std::wstring, DWORD> g_hangs;
long g_level = 40000;
long g_maxAdu = 65535;
short g_interface = 3;
bool g_unconnectable = false;
bool g_transposed = false;

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
    g_maxAdu = 65535;
    g_interface = 3;
    g_unconnectable = false;
    g_transposed = false;
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
        } else if (verb == "maxadu") {
            words >> g_maxAdu;
        } else if (verb == "interface") {
            words >> g_interface;
        } else if (verb == "unconnectable") {
            g_unconnectable = true;
        } else if (verb == "transposed") {
            g_transposed = true;
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

enum class Kind { Camera, Document, AscomCamera, AscomWheel };

struct KindInfo {
    const wchar_t* name;   // in the recorded calls
    const wchar_t* progId; // registered and created under
    const CLSID* clsid;
};
const KindInfo kKinds[] = {{L"Camera", L"MaxIm.CCDCamera", &kCameraClsid},
                           {L"Document", L"MaxIm.Document", &kDocumentClsid},
                           {L"AscomCamera", L"Brivane.TestCamera", &kAscomCameraClsid},
                           {L"AscomWheel", L"Brivane.TestFilterWheel", &kAscomWheelClsid}};
const KindInfo& kindInfo(Kind kind) {
    return kKinds[int(kind)];
}

// A member: a property's type (VT_EMPTY: none), whether it can be written and its first value, or a
// method's argument types.
struct Member {
    const wchar_t* name;
    VARTYPE type = VT_EMPTY;
    bool writable = false;
    double initial = 0;
    std::vector<VARTYPE> arguments = {};
    bool method = false;
};

const std::vector<Member>& membersOf(Kind kind) {
    static const std::vector<Member> camera = {{L"LinkEnabled"}, {L"CoolerOn"},  {L"DisableAutoShutdown"},
                                               {L"BinX"},        {L"BinY"},      {L"Expose"},
                                               {L"ImageReady"},  {L"SaveImage"}, {L"AbortExposure"}};
    static const std::vector<Member> document = {{L"OpenFile"}, {L"StretchMin"}, {L"StretchMax"}, {L"Close"}};
    // clang-format off
    // ICameraV3 (and ICameraV4's Connect) as far as the back-end uses them.
    static const std::vector<Member> ascomCamera = {
        {L"Connected", VT_BOOL, true}, {L"InterfaceVersion", VT_I2}, {L"Connect", VT_EMPTY, false, 0, {}, true},
        {L"Connecting", VT_BOOL}, {L"Name", VT_BSTR}, {L"CameraXSize", VT_I4, false, kSensorWidth},
        {L"CameraYSize", VT_I4, false, kSensorHeight}, {L"MaxBinX", VT_I2, false, 2}, {L"MaxBinY", VT_I2, false, 2},
        {L"BinX", VT_I2, true, 1}, {L"BinY", VT_I2, true, 1}, {L"StartX", VT_I4, true}, {L"StartY", VT_I4, true},
        {L"NumX", VT_I4, true, kSensorWidth}, {L"NumY", VT_I4, true, kSensorHeight},
        {L"StartExposure", VT_EMPTY, false, 0, {VT_R8, VT_BOOL}, true}, {L"ImageReady", VT_BOOL},
        {L"AbortExposure", VT_EMPTY, false, 0, {}, true}, {L"ImageArray", VT_ARRAY | VT_I4}, {L"MaxADU", VT_I4},
        {L"SensorType", VT_I4, false, 2}, {L"BayerOffsetX", VT_I2, false, 1}, {L"BayerOffsetY", VT_I2},
        {L"Gain", VT_I2, true, 120}, {L"Offset", VT_I4, true, 30}, {L"CCDTemperature", VT_R8, false, -10.5},
        {L"CanSetCCDTemperature", VT_BOOL}};
    // IFilterWheelV2.
    static const std::vector<Member> ascomWheel = {
        {L"Connected", VT_BOOL, true}, {L"InterfaceVersion", VT_I2, false, 2}, {L"Name", VT_BSTR},
        {L"Names", VT_ARRAY | VT_BSTR}, {L"Position", VT_I2, true}};
    // clang-format on
    static const std::vector<Member>* const tables[] = {&camera, &document, &ascomCamera, &ascomWheel};
    return *tables[int(kind)];
}

HRESULT raise(EXCEPINFO* info, const wchar_t* source, const std::wstring& text, SCODE scode) {
    if (info) {
        *info = EXCEPINFO{};
        info->bstrSource = SysAllocString(source);
        info->bstrDescription = SysAllocString(text.c_str());
        info->scode = scode;
    }
    return DISP_E_EXCEPTION;
}

class Automation : public IDispatch {
public:
    explicit Automation(Kind kind) : m_kind(kind) { ++g_objects; }
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
            const auto& table = membersOf(m_kind);
            for (std::size_t m = 0; m < table.size(); ++m)
                if (_wcsicmp(table[m].name, names[i]) == 0)
                    ids[i] = DISPID(m + 1);
            if (ids[i] == DISPID_UNKNOWN) {
                record(std::wstring(kindInfo(m_kind).name) + L"." + names[i] + L" unknown");
                hr = DISP_E_UNKNOWNNAME;
            }
        }
        return hr;
    }

    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO* info, UINT* argError) override {
        const auto& table = membersOf(m_kind);
        if (id < 1 || std::size_t(id) > table.size())
            return DISP_E_MEMBERNOTFOUND;
        const Member& entry = table[std::size_t(id - 1)];
        const std::wstring member = entry.name;
        const bool put = flags & DISPATCH_PROPERTYPUT;
        const wchar_t* how = put ? L"put" : (flags & DISPATCH_METHOD) ? L"call" : L"get";
        std::wstring line = std::wstring(kindInfo(m_kind).name) + L"." + member + L" " + how;
        std::vector<VARIANT*> args; // first argument first
        for (UINT i = params->cArgs; i > 0; --i)
            args.push_back(&params->rgvarg[i - 1]);
        for (VARIANT* arg : args)
            line += L" " + describe(*arg);
        record(line);

        if (const auto hang = g_hangs.find(member); hang != g_hangs.end())
            Sleep(hang->second);
        if (const auto failure = g_failures.find(member); failure != g_failures.end())
            return raise(info, kindInfo(m_kind).progId, failure->second,
                         ascom() ? kAscomDriverError : E_FAIL);
        if (!ascom())
            return answerAutomation(member, flags, args, result);

        // Exactly the declared types, as a typed interface behind IDispatch would take them.
        const std::vector<VARTYPE> wanted = entry.method ? entry.arguments
                                            : put        ? std::vector<VARTYPE>{entry.type}
                                                         : std::vector<VARTYPE>{};
        if ((entry.method && !(flags & DISPATCH_METHOD)) || (put && !entry.writable) ||
            (!entry.method && !put && entry.type == VT_EMPTY))
            return DISP_E_MEMBERNOTFOUND;
        if (args.size() != wanted.size())
            return DISP_E_BADPARAMCOUNT;
        for (std::size_t i = 0; i < args.size(); ++i)
            if (args[i]->vt != wanted[i]) {
                if (argError)
                    *argError = UINT(args.size() - 1 - i);
                return DISP_E_TYPEMISMATCH;
            }
        const auto value = [&](const wchar_t* name) -> double& {
            if (m_values.empty()) // the first values, the script's where it sets them
                for (const Member& m : table)
                    m_values[m.name] = m.initial;
            if (m_kind == Kind::AscomCamera && m_values[L"InterfaceVersion"] == 0) {
                m_values[L"InterfaceVersion"] = g_interface;
                m_values[L"MaxADU"] = g_maxAdu;
            }
            return m_values[name];
        };
        const wchar_t* source = kindInfo(m_kind).progId;
        const bool always = member == L"Connected" || member == L"InterfaceVersion" || member == L"Name" ||
                            member == L"Connect" || member == L"Connecting";
        if (value(L"Connected") == 0 && !always)
            return raise(info, source, L"The device is not connected.", kAscomNotConnected);
        if (put) {
            VARIANT number;
            VariantInit(&number);
            VariantChangeType(&number, args[0], 0, VT_R8);
            double v = number.dblVal;
            if (member == L"Connected")
                v = v != 0 && !g_unconnectable;
            if ((member == L"BinX" || member == L"BinY") && (v < 1 || v > value(L"MaxBinX")))
                return raise(info, source, L"Binning out of range.", kAscomInvalidValue);
            if (member == L"Position" && (v < 0 || v > 3))
                return raise(info, source, L"No such slot.", kAscomInvalidValue);
            if (member == L"Position")
                m_movingReads = 2;
            value(entry.name) = v;
            return S_OK;
        }
        if (member == L"Connect") {
            if (g_interface < 4)
                return DISP_E_MEMBERNOTFOUND;
            value(L"Connected") = !g_unconnectable;
            m_connectingReads = 2;
        } else if (member == L"StartExposure") {
            readScript();
            const double x = value(L"StartX") + value(L"NumX"), y = value(L"StartY") + value(L"NumY");
            if (value(L"NumX") < 1 || value(L"NumY") < 1 || x * value(L"BinX") > kSensorWidth ||
                y * value(L"BinY") > kSensorHeight)
                return raise(info, source, L"The subframe does not fit the sensor.", kAscomInvalidValue);
            value(L"ImageReady") = 1;
        } else if (member == L"AbortExposure") {
            value(L"ImageReady") = 0;
        }
        if (entry.method)
            return S_OK;

        VARIANT out;
        VariantInit(&out);
        out.vt = entry.type;
        if (member == L"Name") {
            out.bstrVal =
                SysAllocString(m_kind == Kind::AscomCamera ? L"Brivane Test Camera" : L"Brivane Test Wheel");
        } else if (member == L"ImageArray") {
            if (value(L"ImageReady") == 0)
                return raise(info, source, L"There is no image.", static_cast<SCODE>(0x8004040B));
            const long width = long(value(L"NumX")), height = long(value(L"NumY"));
            out.parray = g_transposed ? imageArray(height, width) : imageArray(width, height);
        } else if (member == L"Names") {
            SAFEARRAYBOUND bounds = {4, 0};
            out.parray = SafeArrayCreate(VT_BSTR, 1, &bounds);
            for (LONG i = 0; i < 4; ++i) {
                static const wchar_t* const kNames[] = {L"Red", L"Green", L"Blue", L"Lum"};
                BSTR name = SysAllocString(kNames[i]);
                SafeArrayPutElement(out.parray, &i, name);
                SysFreeString(name);
            }
        } else {
            // A wheel reads -1 for a while after it is told to move.
            const bool moving = member == L"Position" && m_movingReads > 0 && m_movingReads--;
            const double v = member == L"Connecting" ? (m_connectingReads > 0 && m_connectingReads--)
                             : moving                ? -1
                                                     : value(entry.name);
            out.vt = VT_R8;
            out.dblVal = v;
            VariantChangeType(&out, &out, 0, entry.type);
        }
        if (result)
            *result = out;
        else
            VariantClear(&out);
        return S_OK;
    }

private:
    bool ascom() const { return m_kind == Kind::AscomCamera || m_kind == Kind::AscomWheel; }

    // ImageArray(x, y) = level + x + 100 y: x is the first (leftmost) dimension. Built through the
    // array functions only, so the layout in memory is the system's, not an assumption.
    static SAFEARRAY* imageArray(LONG width, LONG height) {
        SAFEARRAYBOUND bounds[2] = {{ULONG(height), 0}, {ULONG(width), 0}};
        SAFEARRAY* array = SafeArrayCreate(VT_I4, 2, bounds);
        LONG upper = 0;
        if (SUCCEEDED(SafeArrayGetUBound(array, 1, &upper)) && upper != width - 1) {
            SafeArrayDestroy(array);
            std::swap(bounds[0], bounds[1]);
            array = SafeArrayCreate(VT_I4, 2, bounds);
        }
        for (LONG y = 0; y < height; ++y)
            for (LONG x = 0; x < width; ++x) {
                LONG index[2] = {x, y};
                LONG pixel = g_level + x + 100 * y;
                SafeArrayPutElement(array, index, &pixel);
            }
        return array;
    }

    HRESULT answerAutomation(const std::wstring& member, WORD flags, const std::vector<VARIANT*>& args,
                             VARIANT* result) {
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
            m_connected = v.vt == VT_BOOL && v.boolVal;
        } else if (member == L"LinkEnabled" || member == L"ImageReady") {
            out.vt = VT_BOOL;
            out.boolVal = (member == L"ImageReady" || m_connected) ? VARIANT_TRUE : VARIANT_FALSE;
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

    Kind m_kind;
    bool m_connected = false; // LinkEnabled
    std::atomic<long> m_refs{1};
    std::map<std::wstring, double> m_values; // the ASCOM properties
    int m_connectingReads = 0;
    int m_movingReads = 0;
};

class Factory : public IClassFactory {
public:
    explicit Factory(Kind kind) : m_kind(kind) {}
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
        // The script holds for the camera and the documents of its operation.
        if (m_kind == Kind::Camera || m_kind == Kind::AscomCamera)
            readScript();
        record(std::wstring(L"create ") + kindInfo(m_kind).progId);
        auto* automation = new Automation(m_kind);
        const HRESULT hr = automation->QueryInterface(riid, object);
        automation->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    Kind m_kind;
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
    for (const KindInfo& kind : kKinds) {
        const std::wstring guid = guidText(*kind.clsid);
        const std::wstring progKey = std::wstring(kind.progId) + L"\\CLSID";
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
    static Factory factories[] = {Factory(Kind::Camera), Factory(Kind::Document), Factory(Kind::AscomCamera),
                                  Factory(Kind::AscomWheel)};
    const CLSID* classes[] = {&kCameraClsid, &kDocumentClsid, &kAscomCameraClsid, &kAscomWheelClsid};
    DWORD cookies[4] = {};
    for (int i = 0; i < 4; ++i)
        if (FAILED(CoRegisterClassObject(*classes[i], &factories[i], CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                         &cookies[i])))
            return 1;
    // Every class is served: whoever started the server (scripts/test-windows) may go on.
    std::ofstream(utf8(g_folder + L"\\automation-ready.txt")) << GetCurrentProcessId() << "\n";
    // Serves until the test run ends its Wine session. Ending by itself raced with activations on
    // their way (under Wine a client activating a server that is withdrawing its classes waited for
    // ever, under load), so it never does.
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
    for (DWORD cookie : cookies)
        CoRevokeClassObject(cookie);
    CoUninitialize();
    return 0;
}
