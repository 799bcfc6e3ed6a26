// A stand-in for the camera application's automation server and for an ASCOM camera and filter
// wheel driver: an out-of-process COM server under the identifiers the camera back-ends create
// (MaxIm.CCDCamera, MaxIm.Document; Brivane.TestCamera, Brivane.TestFilterWheel). Each call is
// appended to automation-calls.txt beside it with its arguments' types and values. The ASCOM
// members take exactly ASCOM's types (else DISP_E_TYPEMISMATCH) and answer NotConnected until
// connected. automation-script.txt beside it, read as a camera is made and at each StartExposure:
//   reject N | fail MEMBER TEXT | hang MEMBER MS   turn N calls away | raise TEXT | answer late
//   level N         StretchMax (StretchMin is 100); the ASCOM image's pixel (x, y) is N + x + 100 y
//   maxadu N | interface N                    the ASCOM camera's MaxADU (65535), version (3)
//   unconnectable | connected | transposed    Connected stays false | is true | ImageArray is (y, x)
// Registered by scripts/test-windows, started with -Embedding: writes automation-ready.txt once it
// serves every class.
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

enum Kind { Camera, Document, AscomCamera, AscomWheel };
struct KindInfo {
    const wchar_t* name;   // in the recorded calls
    const wchar_t* progId; // registered (by scripts/test-windows) and created under
};
const KindInfo kKinds[] = {{L"Camera", L"MaxIm.CCDCamera"},
                           {L"Document", L"MaxIm.Document"},
                           {L"AscomCamera", L"Brivane.TestCamera"},
                           {L"AscomWheel", L"Brivane.TestFilterWheel"}};
// {6A1F7C20-3B0E-4F51-9C1D-7E2B8A4D5C0n}, n = 1 + the kind
CLSID clsid(int kind) {
    return {0x6a1f7c20, 0x3b0e, 0x4f51, {0x9c, 0x1d, 0x7e, 0x2b, 0x8a, 0x4d, 0x5c, BYTE(kind + 1)}};
}

constexpr SCODE kAscomNotConnected = static_cast<SCODE>(0x80040407);
constexpr SCODE kAscomInvalidValue = static_cast<SCODE>(0x80040401);
constexpr SCODE kAscomDriverError = static_cast<SCODE>(0x80040500);
constexpr LONG kSensorWidth = 64, kSensorHeight = 48;

struct Script {
    long reject = 0, level = 40000, maxAdu = 65535, version = 3;
    std::map<std::wstring, std::wstring> failures;
    std::map<std::wstring, DWORD> hangs;
    bool unconnectable = false, connected = false, transposed = false;
};
Script g;
std::wstring g_folder;

std::string utf8(const std::wstring& text) {
    std::string out(text.size() * 3, '\0');
    out.resize(std::size_t(WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(),
                                               int(out.size()), nullptr, nullptr)));
    return out;
}

std::wstring wide(const std::string& text) {
    std::wstring out(text.size(), L'\0');
    out.resize(std::size_t(
        MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), out.data(), int(out.size()))));
    return out;
}

void record(const std::wstring& line) {
    std::ofstream(utf8(g_folder + L"\\automation-calls.txt"), std::ios::app | std::ios::binary)
        << utf8(line) << "\n";
}

void readScript() {
    g = Script{};
    const std::map<std::string, long*> numbers = {
        {"reject", &g.reject}, {"level", &g.level}, {"maxadu", &g.maxAdu}, {"interface", &g.version}};
    const std::map<std::string, bool*> flags = {
        {"unconnectable", &g.unconnectable}, {"connected", &g.connected}, {"transposed", &g.transposed}};
    std::ifstream in(utf8(g_folder + L"\\automation-script.txt"), std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string verb, member;
        if (words >> verb && numbers.count(verb))
            words >> *numbers.at(verb);
        else if (flags.count(verb))
            *flags.at(verb) = true;
        else if (verb == "hang" && words >> member)
            words >> g.hangs[wide(member)];
        else if (verb == "fail" && words >> member >> std::ws && std::getline(words, line))
            g.failures[wide(member)] = wide(line);
    }
}

// "TYPE=value", "VARIANT*:TYPE=value" for a reference.
std::wstring describe(const VARIANT& v) {
    if (v.vt == (VT_BYREF | VT_VARIANT))
        return L"VARIANT*:" + describe(*v.pvarVal);
    static const std::map<VARTYPE, std::wstring> kNames = {{VT_BOOL, L"BOOL"}, {VT_I2, L"I2"},
                                                           {VT_I4, L"I4"},     {VT_R4, L"R4"},
                                                           {VT_R8, L"R8"},     {VT_BSTR, L"BSTR"}};
    VARIANT text;
    VariantInit(&text);
    std::wstring out = L"VT" + std::to_wstring(v.vt);
    if (kNames.count(v.vt) && SUCCEEDED(VariantChangeTypeEx(&text, const_cast<VARIANT*>(&v), LOCALE_INVARIANT,
                                                            VARIANT_ALPHABOOL, VT_BSTR)))
        out = kNames.at(v.vt) + L"=" + std::wstring(text.bstrVal, SysStringLen(text.bstrVal));
    VariantClear(&text);
    return out;
}

// A member: a property's type (VT_EMPTY: any), whether it can be written and its first value; a
// method's result type and value, and its argument types (checked for ASCOM only).
struct Member {
    const wchar_t* name;
    VARTYPE type = VT_EMPTY;
    bool writable = false;
    double initial = 0;
    std::vector<VARTYPE> arguments = {};
    bool method = false;
};

// clang-format off
const std::vector<Member> kMembers[] = {
    {{L"LinkEnabled", VT_BOOL, true}, {L"CoolerOn", VT_EMPTY, true}, {L"DisableAutoShutdown", VT_EMPTY, true},
     {L"BinX", VT_EMPTY, true}, {L"BinY", VT_EMPTY, true}, {L"Expose", VT_EMPTY, false, 0, {}, true},
     {L"ImageReady", VT_BOOL, false, 1}, {L"SaveImage", VT_BOOL, false, 0, {}, true},
     {L"AbortExposure", VT_EMPTY, false, 0, {}, true}},
    {{L"OpenFile", VT_BOOL, false, 1, {}, true}, {L"StretchMin", VT_R8, false, 100}, {L"StretchMax", VT_R8},
     {L"Close", VT_EMPTY, false, 0, {}, true}},
    // ICameraV3 (and ICameraV4's Connect) as far as the back-end uses them.
    {{L"Connected", VT_BOOL, true}, {L"InterfaceVersion", VT_I2}, {L"Connect", VT_EMPTY, false, 0, {}, true},
     {L"Connecting", VT_BOOL}, {L"Name", VT_BSTR}, {L"CameraXSize", VT_I4, false, kSensorWidth},
     {L"CameraYSize", VT_I4, false, kSensorHeight}, {L"MaxBinX", VT_I2, false, 2}, {L"MaxBinY", VT_I2, false, 2},
     {L"BinX", VT_I2, true, 1}, {L"BinY", VT_I2, true, 1}, {L"StartX", VT_I4, true}, {L"StartY", VT_I4, true},
     {L"NumX", VT_I4, true, kSensorWidth}, {L"NumY", VT_I4, true, kSensorHeight},
     {L"StartExposure", VT_EMPTY, false, 0, {VT_R8, VT_BOOL}, true}, {L"ImageReady", VT_BOOL},
     {L"AbortExposure", VT_EMPTY, false, 0, {}, true}, {L"ImageArray", VT_ARRAY | VT_I4}, {L"MaxADU", VT_I4},
     {L"SensorType", VT_I4, false, 2}, {L"BayerOffsetX", VT_I2, false, 1}, {L"BayerOffsetY", VT_I2},
     {L"Gain", VT_I2, true, 120}, {L"Offset", VT_I4, true, 30}, {L"CCDTemperature", VT_R8, false, -10.5},
     {L"CanSetCCDTemperature", VT_BOOL}},
    // IFilterWheelV2.
    {{L"Connected", VT_BOOL, true}, {L"InterfaceVersion", VT_I2, false, 2}, {L"Name", VT_BSTR},
     {L"Names", VT_ARRAY | VT_BSTR}, {L"Position", VT_I2, true}}};
// clang-format on

HRESULT raise(EXCEPINFO* info, Kind kind, const std::wstring& text, SCODE scode) {
    if (info) {
        *info = EXCEPINFO{};
        info->bstrSource = SysAllocString(kKinds[kind].progId);
        info->bstrDescription = SysAllocString(text.c_str());
        info->scode = scode;
    }
    return DISP_E_EXCEPTION;
}

// A small valid FITS file (2 x 2 pixels), so that header keywords can be added to it.
bool saveFits(const VARIANT& path) {
    std::string fits;
    for (const char* card : {"SIMPLE  =                    T", "BITPIX  =                   16",
                             "NAXIS   =                    2", "NAXIS1  =                    2",
                             "NAXIS2  =                    2", "END"})
        fits += std::string(card).append(80 - std::strlen(card), ' ');
    fits.append(2880 - fits.size(), ' ').append(2880, '\0');
    FILE* file = path.vt == VT_BSTR ? _wfopen(path.bstrVal, L"wb") : nullptr;
    const bool written = file && std::fwrite(fits.data(), 1, fits.size(), file) == fits.size();
    return file && std::fclose(file) == 0 && written;
}

// ImageArray(x, y) = level + x + 100 y, x the first (leftmost) dimension; made through the array
// functions only, so that the layout in memory is the system's.
SAFEARRAY* imageArray(LONG width, LONG height) {
    SAFEARRAYBOUND bounds[2] = {{ULONG(width), 0}, {ULONG(height), 0}};
    SAFEARRAY* array = SafeArrayCreate(VT_I4, 2, bounds); // bounds[0]: the first dimension
    for (LONG y = 0; y < height; ++y)
        for (LONG x = 0; x < width; ++x) {
            LONG index[2] = {x, y}, pixel = g.level + x + 100 * y;
            SafeArrayPutElement(array, index, &pixel);
        }
    return array;
}

// IUnknown for an object of one interface.
template <class Interface> class Unknown : public Interface {
public:
    virtual ~Unknown() = default;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        *object =
            riid == IID_IUnknown || riid == __uuidof(Interface) ? static_cast<Interface*>(this) : nullptr;
        if (!*object)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ULONG(++m_refs); }
    ULONG STDMETHODCALLTYPE Release() override {
        const long left = --m_refs;
        if (left == 0)
            delete this;
        return ULONG(left);
    }

private:
    std::atomic<long> m_refs{1};
};

class Automation : public Unknown<IDispatch> {
public:
    explicit Automation(Kind kind) : m_kind(kind) {
        for (const Member& m : kMembers[kind])
            m_values[m.name] = m.initial;
        if (kind == AscomCamera) {
            m_values[L"InterfaceVersion"] = g.version;
            m_values[L"MaxADU"] = g.maxAdu;
        }
        m_values[L"Connected"] = g.connected;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override { return *count = 0, S_OK; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        HRESULT hr = S_OK;
        for (UINT i = 0; i < count; ++i) {
            ids[i] = DISPID_UNKNOWN;
            for (std::size_t m = 0; m < kMembers[m_kind].size(); ++m)
                if (_wcsicmp(kMembers[m_kind][m].name, names[i]) == 0)
                    ids[i] = DISPID(m + 1);
            if (ids[i] == DISPID_UNKNOWN) {
                record(std::wstring(kKinds[m_kind].name) + L"." + names[i] + L" unknown");
                hr = DISP_E_UNKNOWNNAME;
            }
        }
        return hr;
    }

    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO* info, UINT* argError) override {
        if (id < 1 || std::size_t(id) > kMembers[m_kind].size())
            return DISP_E_MEMBERNOTFOUND;
        const Member& entry = kMembers[m_kind][std::size_t(id - 1)];
        const std::wstring member = entry.name;
        const bool put = flags & DISPATCH_PROPERTYPUT, ascom = m_kind >= AscomCamera;
        std::wstring line = std::wstring(kKinds[m_kind].name) + L"." + member +
                            (put                         ? L" put"
                             : (flags & DISPATCH_METHOD) ? L" call"
                                                         : L" get");
        std::vector<VARIANT*> args; // first argument first
        for (UINT i = params->cArgs; i > 0; --i) {
            args.push_back(&params->rgvarg[i - 1]);
            line += L" " + describe(*args.back());
        }
        record(line);

        if (const auto hang = g.hangs.find(member); hang != g.hangs.end())
            Sleep(hang->second);
        if (const auto failure = g.failures.find(member); failure != g.failures.end())
            return raise(info, m_kind, failure->second, ascom ? kAscomDriverError : E_FAIL);
        if (ascom) {
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
            const bool always = member == L"Connected" || member == L"InterfaceVersion" ||
                                member == L"Name" || member == L"Connect" || member == L"Connecting";
            if (m_values[L"Connected"] == 0 && !always)
                return raise(info, m_kind, L"The device is not connected.", kAscomNotConnected);
        }
        if (put) {
            VARIANT number;
            VariantInit(&number);
            VariantChangeType(&number, args[0], 0, VT_R8);
            double v = number.dblVal;
            if (member == L"Connected")
                v = v != 0 && !g.unconnectable;
            if (ascom && (member == L"BinX" || member == L"BinY") && (v < 1 || v > m_values[L"MaxBinX"]))
                return raise(info, m_kind, L"Binning out of range.", kAscomInvalidValue);
            if (member == L"Position" && (v < 0 || v > 3))
                return raise(info, m_kind, L"No such slot.", kAscomInvalidValue);
            if (member == L"Position")
                m_movingReads = 2; // the wheel reads -1 for a while after it is told to move
            m_values[member] = v;
            return S_OK;
        }
        if (member == L"Connect") {
            if (g.version < 4)
                return DISP_E_MEMBERNOTFOUND;
            m_values[L"Connected"] = !g.unconnectable;
            m_connectingReads = 2;
        } else if (member == L"StartExposure") {
            readScript();
            if (m_values[L"NumX"] < 1 || m_values[L"NumY"] < 1 ||
                (m_values[L"StartX"] + m_values[L"NumX"]) * m_values[L"BinX"] > kSensorWidth ||
                (m_values[L"StartY"] + m_values[L"NumY"]) * m_values[L"BinY"] > kSensorHeight)
                return raise(info, m_kind, L"The subframe does not fit the sensor.", kAscomInvalidValue);
            m_values[L"ImageReady"] = 1;
        } else if (member == L"AbortExposure") {
            m_values[L"ImageReady"] = 0;
        } else if (member == L"SaveImage") {
            m_values[member] = !args.empty() && saveFits(*args[0]);
        }
        if (member == L"ImageArray" && m_values[L"ImageReady"] == 0)
            return raise(info, m_kind, L"There is no image.", static_cast<SCODE>(0x8004040B));
        if (entry.type == VT_EMPTY || !result)
            return S_OK;

        VariantInit(result);
        result->vt = entry.type;
        if (member == L"Name") {
            result->bstrVal =
                SysAllocString(m_kind == AscomCamera ? L"Brivane Test Camera" : L"Brivane Test Wheel");
        } else if (member == L"ImageArray") {
            const LONG width = LONG(m_values[L"NumX"]), height = LONG(m_values[L"NumY"]);
            result->parray = g.transposed ? imageArray(height, width) : imageArray(width, height);
        } else if (member == L"Names") {
            static const wchar_t* const kNames[] = {L"Red", L"Green", L"Blue", L"Lum"};
            result->parray = SafeArrayCreateVector(VT_BSTR, 0, 4);
            for (LONG i = 0; i < 4; ++i)
                static_cast<BSTR*>(result->parray->pvData)[i] = SysAllocString(kNames[i]);
        } else {
            const bool moving = member == L"Position" && m_movingReads > 0 && m_movingReads--;
            result->vt = VT_R8;
            result->dblVal = member == L"Connecting"   ? (m_connectingReads > 0 && m_connectingReads--)
                             : member == L"StretchMax" ? double(g.level)
                             : moving                  ? -1
                                                       : m_values[member];
            VariantChangeType(result, result, 0, entry.type);
        }
        return S_OK;
    }

private:
    Kind m_kind;
    std::map<std::wstring, double> m_values;
    int m_connectingReads = 0;
    int m_movingReads = 0;
};

class Factory : public Unknown<IClassFactory> {
public:
    explicit Factory(Kind kind) : m_kind(kind) {}
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
        if (outer)
            return CLASS_E_NOAGGREGATION;
        if (m_kind == Camera || m_kind == AscomCamera) // the script holds for the camera's documents
            readScript();
        record(std::wstring(L"create ") + kKinds[m_kind].progId);
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
class Rejecter : public Unknown<IMessageFilter> {
public:
    DWORD STDMETHODCALLTYPE HandleInComingCall(DWORD type, HTASK, DWORD, LPINTERFACEINFO) override {
        if ((type != CALLTYPE_TOPLEVEL && type != CALLTYPE_TOPLEVEL_CALLPENDING) || g.reject <= 0)
            return SERVERCALL_ISHANDLED;
        --g.reject;
        record(L"rejected");
        return SERVERCALL_REJECTED;
    }
    DWORD STDMETHODCALLTYPE RetryRejectedCall(HTASK, DWORD, DWORD) override { return DWORD(-1); }
    DWORD STDMETHODCALLTYPE MessagePending(HTASK, DWORD, DWORD) override { return PENDINGMSG_WAITDEFPROCESS; }
};

} // namespace

int main() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    g_folder = path;
    g_folder.erase(g_folder.find_last_of(L"\\/"));
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return 1;
    static Rejecter rejecter;
    CoRegisterMessageFilter(&rejecter, nullptr);
    DWORD cookie = 0;
    for (int i = 0; i < 4; ++i) // the factories live as long as the process
        if (FAILED(CoRegisterClassObject(clsid(i), new Factory(Kind(i)), CLSCTX_LOCAL_SERVER,
                                         REGCLS_MULTIPLEUSE, &cookie)))
            return 1;
    // Every class is served: whoever started the server (scripts/test-windows) may go on.
    std::ofstream(utf8(g_folder + L"\\automation-ready.txt")) << GetCurrentProcessId() << "\n";
    // Serves until the test run ends its Wine session (ending by itself raced with activations on
    // their way: under Wine a client activating a withdrawing server waited for ever, under load).
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
    return 0;
}
