#include "capture/win/comdispatch.h"

#include <oleauto.h>

// MinGW declares the Variant functions without const on their sources, the Windows SDK with it.

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace brivane::com {

namespace {

bool busy(HRESULT hr) {
    return hr == RPC_E_CALL_REJECTED || hr == RPC_E_SERVERCALL_RETRYLATER;
}

// Runs call again while the server reports itself busy, for at most kBusyRetryMs. (The message
// filter does the same inside COM on Windows; this also covers COM implementations that hand
// the rejection straight to the caller.)
template <class Call> HRESULT retryWhileBusy(Call call) {
    const ULONGLONG start = GetTickCount64();
    HRESULT hr = call();
    while (busy(hr) && GetTickCount64() - start < kBusyRetryMs) {
        Sleep(kBusyPauseMs);
        hr = call();
    }
    return hr;
}

std::atomic<double> deadlineScale{1.0};

DWORD scaled(DWORD ms) {
    return static_cast<DWORD>(std::llround(ms * deadlineScale.load()));
}

// One call being watched: fired once its deadline has passed.
struct WatchedCall {
    DWORD threadId = 0;
    ULONGLONG deadline = 0;
    std::atomic<bool> fired{false};
    std::atomic<bool> cancelled{false};
};

// Wine's CoCancelCall is a stub that raises an exception when called; its message-filter path
// does not end the wait either, so there a late call ends when the server answers.
bool systemCancelsCalls() {
    static const bool cancels = !GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version");
    return cancels;
}

// The call in progress on this thread, for the message filter.
thread_local WatchedCall* currentCall = nullptr;

// One thread for the process that cancels the calls whose deadline has passed. On Windows,
// CoCancelCall ends the caller's wait (RPC_E_CALL_CANCELED); the message posted to the caller's
// thread also makes COM ask its message filter, which cancels the call too. Where neither is
// available (Wine), the call ends when the server answers, and is then reported as late.
class Watchdog {
public:
    static Watchdog& instance() {
        static Watchdog watchdog;
        return watchdog;
    }
    ~Watchdog() {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }
    void add(WatchedCall* call) {
        {
            std::lock_guard lock(m_mutex);
            m_calls.push_back(call);
            if (!m_thread.joinable())
                m_thread = std::thread([this] { run(); });
        }
        m_wake.notify_all();
    }
    void remove(WatchedCall* call) {
        std::lock_guard lock(m_mutex);
        m_calls.remove(call);
    }

private:
    Watchdog() = default;
    void run() {
        std::unique_lock lock(m_mutex);
        while (!m_stopping) {
            ULONGLONG next = ~0ULL;
            const ULONGLONG now = GetTickCount64();
            for (WatchedCall* call : m_calls) {
                if (call->fired)
                    continue;
                if (call->deadline <= now) {
                    call->fired = true;
                    call->cancelled = systemCancelsCalls() && SUCCEEDED(CoCancelCall(call->threadId, 0));
                    PostThreadMessageW(call->threadId, WM_NULL, 0, 0);
                } else {
                    next = std::min(next, call->deadline);
                }
            }
            if (next == ~0ULL)
                m_wake.wait(lock);
            else
                m_wake.wait_for(lock, std::chrono::milliseconds(next - now));
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::list<WatchedCall*> m_calls;
    std::thread m_thread;
    bool m_stopping = false;
};

// Watches one call of this thread for its lifetime.
class CallWatch {
public:
    explicit CallWatch(DWORD deadlineMs) : m_start(GetTickCount64()), m_deadlineMs(deadlineMs) {
        m_call.threadId = GetCurrentThreadId();
        m_call.deadline = m_start + deadlineMs;
        m_outer = std::exchange(currentCall, &m_call);
        Watchdog::instance().add(&m_call);
    }
    ~CallWatch() {
        Watchdog::instance().remove(&m_call);
        currentCall = m_outer;
    }
    CallWatch(const CallWatch&) = delete;
    CallWatch& operator=(const CallWatch&) = delete;

    // Throws the late call's error once its deadline has passed, whatever the call returned.
    void check(std::wstring_view member, HRESULT result) const {
        if (!m_call.fired)
            return;
        const auto took = static_cast<std::uint32_t>(GetTickCount64() - m_start);
        const bool cancelled = m_call.cancelled || result == RPC_E_CALL_CANCELED;
        throw ComError(RPC_E_CALL_CANCELED, lateCallText(member, m_deadlineMs, took, cancelled));
    }

private:
    WatchedCall m_call;
    WatchedCall* m_outer = nullptr;
    ULONGLONG m_start;
    DWORD m_deadlineMs;
};

// The thread's message filter: a call the server rejects as busy is retried for a bounded time.
class BusyRetryFilter : public IMessageFilter {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (riid == IID_IUnknown || riid == IID_IMessageFilter) {
            *object = static_cast<IMessageFilter*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }  // static lifetime
    ULONG STDMETHODCALLTYPE Release() override { return 1; } // static lifetime
    DWORD STDMETHODCALLTYPE HandleInComingCall(DWORD, HTASK, DWORD, LPINTERFACEINFO) override {
        return SERVERCALL_ISHANDLED;
    }
    DWORD STDMETHODCALLTYPE RetryRejectedCall(HTASK, DWORD elapsed, DWORD) override {
        return elapsed < kBusyRetryMs ? kBusyPauseMs : static_cast<DWORD>(-1);
    }
    // Asked while a call waits and a message arrives (the watchdog posts one at the deadline).
    DWORD STDMETHODCALLTYPE MessagePending(HTASK, DWORD, DWORD) override {
        return currentCall && currentCall->fired ? PENDINGMSG_CANCELCALL : PENDINGMSG_WAITDEFPROCESS;
    }
};

BusyRetryFilter busyRetryFilter;

} // namespace

ComInit::ComInit() {
    // S_FALSE: already initialised on this thread, still to be balanced; RPC_E_CHANGED_MODE: the
    // thread runs another model (the window toolkit's), which serves as well.
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    m_owned = SUCCEEDED(hr);
    // Only a single-threaded apartment has a message filter.
    m_filtered = SUCCEEDED(CoRegisterMessageFilter(&busyRetryFilter, &m_previousFilter));
    // Else CoCancelCall cannot end this thread's calls.
    m_cancellable = SUCCEEDED(CoEnableCallCancellation(nullptr));
}

void setCallDeadlineScale(double scale) {
    deadlineScale = scale;
}

ComInit::~ComInit() {
    if (m_cancellable)
        CoDisableCallCancellation(nullptr);
    if (m_filtered) {
        IMessageFilter* ours = nullptr;
        CoRegisterMessageFilter(m_previousFilter, &ours);
        if (m_previousFilter)
            m_previousFilter->Release();
    }
    if (m_owned)
        CoUninitialize();
}

Bstr::Bstr(std::wstring_view text) : m_bstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {
    if (!m_bstr)
        throw ComError(E_OUTOFMEMORY, L"out of memory for a string");
}

Bstr::~Bstr() {
    SysFreeString(m_bstr);
}

BSTR Bstr::release() {
    return std::exchange(m_bstr, nullptr);
}

Variant::Variant() {
    VariantInit(&m_value);
}

Variant::~Variant() {
    VariantClear(&m_value);
}

Variant::Variant(const Variant& other) {
    VariantInit(&m_value);
    const HRESULT hr = VariantCopy(&m_value, const_cast<VARIANT*>(&other.m_value));
    if (FAILED(hr))
        throw ComError(hr, comErrorText({hr, L"VariantCopy", {}, {}, 0, 0, systemMessage(hr)}));
}

Variant& Variant::operator=(const Variant& other) {
    if (this != &other) {
        Variant copy(other);
        *this = std::move(copy);
    }
    return *this;
}

Variant::Variant(Variant&& other) noexcept : m_value(other.m_value) {
    VariantInit(&other.m_value);
}

Variant& Variant::operator=(Variant&& other) noexcept {
    if (this != &other) {
        VariantClear(&m_value);
        m_value = other.m_value;
        VariantInit(&other.m_value);
    }
    return *this;
}

Variant Variant::fromBool(bool value) {
    Variant v;
    v.m_value.vt = VT_BOOL;
    v.m_value.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
}

Variant Variant::fromDouble(double value) {
    Variant v;
    v.m_value.vt = VT_R8;
    v.m_value.dblVal = value;
    return v;
}

Variant Variant::fromInt(long value) {
    Variant v;
    v.m_value.vt = VT_I4;
    v.m_value.lVal = value;
    return v;
}

Variant Variant::fromShort(short value) {
    Variant v;
    v.m_value.vt = VT_I2;
    v.m_value.iVal = value;
    return v;
}

Variant Variant::fromString(std::wstring_view value) {
    Variant v;
    v.m_value.vt = VT_BSTR;
    v.m_value.bstrVal = Bstr(value).release();
    return v;
}

bool Variant::toBool() const {
    Variant converted;
    const HRESULT hr = VariantChangeType(converted.get(), const_cast<VARIANT*>(&m_value), 0, VT_BOOL);
    if (FAILED(hr))
        throw ComError(hr, comErrorText({hr, L"not a Boolean value", {}, {}, 0, 0, systemMessage(hr)}));
    return converted.m_value.boolVal != VARIANT_FALSE;
}

double Variant::toDouble() const {
    Variant converted;
    const HRESULT hr = VariantChangeType(converted.get(), const_cast<VARIANT*>(&m_value), 0, VT_R8);
    if (FAILED(hr))
        throw ComError(hr, comErrorText({hr, L"not a number", {}, {}, 0, 0, systemMessage(hr)}));
    return converted.m_value.dblVal;
}

long Variant::toLong() const {
    Variant converted;
    const HRESULT hr = VariantChangeType(converted.get(), const_cast<VARIANT*>(&m_value), 0, VT_I4);
    if (FAILED(hr))
        throw ComError(hr, comErrorText({hr, L"not an integer", {}, {}, 0, 0, systemMessage(hr)}));
    return converted.m_value.lVal;
}

std::wstring Variant::toString() const {
    Variant converted;
    const HRESULT hr = VariantChangeType(converted.get(), const_cast<VARIANT*>(&m_value), 0, VT_BSTR);
    if (FAILED(hr))
        throw ComError(hr, comErrorText({hr, L"not a text", {}, {}, 0, 0, systemMessage(hr)}));
    const BSTR text = converted.m_value.bstrVal;
    return text ? std::wstring(text, SysStringLen(text)) : std::wstring();
}

ExcepInfo::ExcepInfo() : m_info{} {}

ExcepInfo::~ExcepInfo() {
    SysFreeString(m_info.bstrSource);
    SysFreeString(m_info.bstrDescription);
    SysFreeString(m_info.bstrHelpFile);
}

void ExcepInfo::fill() {
    if (m_info.pfnDeferredFillIn) {
        m_info.pfnDeferredFillIn(&m_info);
        m_info.pfnDeferredFillIn = nullptr;
    }
}

std::wstring systemMessage(HRESULT hresult) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(hresult), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = length && buffer ? std::wstring(buffer, length) : std::wstring();
    LocalFree(buffer);
    return text;
}

Dispatch Dispatch::create(std::wstring_view progId) {
    const std::wstring name(progId);
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(name.c_str(), &clsid);
    IDispatch* dispatch = nullptr;
    if (SUCCEEDED(hr)) {
        CallWatch watch(kCreateDeadlineMs);
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER | CLSCTX_INPROC_SERVER, IID_IDispatch,
                              reinterpret_cast<void**>(&dispatch));
        try {
            watch.check(L"creating " + name, hr);
        } catch (...) {
            if (dispatch)
                dispatch->Release();
            throw;
        }
    }
    if (FAILED(hr) || !dispatch) {
        ComFailure failure;
        failure.hresult = FAILED(hr) ? hr : E_NOINTERFACE;
        failure.member = L"creating " + name;
        failure.systemText = systemMessage(failure.hresult);
        throw ComError(failure.hresult, comErrorText(failure));
    }
    return Dispatch(dispatch, name);
}

Dispatch::Dispatch(IDispatch* dispatch, std::wstring progId)
    : m_dispatch(dispatch), m_progId(std::move(progId)) {}

Dispatch::Dispatch(Dispatch&& other) noexcept
    : m_dispatch(std::exchange(other.m_dispatch, nullptr)), m_progId(std::move(other.m_progId)),
      m_dispids(std::move(other.m_dispids)) {}

Dispatch& Dispatch::operator=(Dispatch&& other) noexcept {
    if (this != &other) {
        if (m_dispatch)
            m_dispatch->Release();
        m_dispatch = std::exchange(other.m_dispatch, nullptr);
        m_progId = std::move(other.m_progId);
        m_dispids = std::move(other.m_dispids);
    }
    return *this;
}

Dispatch::~Dispatch() {
    if (m_dispatch)
        m_dispatch->Release();
}

DISPID Dispatch::dispid(std::wstring_view member) {
    if (const auto it = m_dispids.find(member); it != m_dispids.end())
        return it->second;
    std::wstring name(member);
    LPOLESTR names[] = {name.data()};
    DISPID id = DISPID_UNKNOWN;
    CallWatch watch(scaled(kCallDeadlineMs));
    const HRESULT hr = retryWhileBusy(
        [&] { return m_dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id); });
    watch.check(m_progId + L"." + name, hr);
    if (FAILED(hr))
        fail(member, hr);
    m_dispids.emplace(std::move(name), id);
    return id;
}

void Dispatch::fail(std::wstring_view member, HRESULT hresult) const {
    ComFailure failure;
    failure.hresult = hresult;
    failure.member = m_progId + L"." + std::wstring(member);
    failure.systemText = systemMessage(hresult);
    throw ComError(hresult, comErrorText(failure));
}

Variant Dispatch::invoke(std::wstring_view member, WORD flags, DISPPARAMS& params, std::size_t argCount) {
    const DISPID id = dispid(member);
    Variant result;
    ExcepInfo info;
    UINT argError = static_cast<UINT>(-1);
    CallWatch watch(scaled(kCallDeadlineMs));
    const HRESULT hr = retryWhileBusy([&] {
        return m_dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result.get(), info.get(),
                                  &argError);
    });
    watch.check(m_progId + L"." + std::wstring(member), hr);
    if (SUCCEEDED(hr))
        return result;
    ComFailure failure;
    failure.hresult = hr;
    failure.member = m_progId + L"." + std::wstring(member);
    if (hr == DISP_E_EXCEPTION) {
        info.fill();
        EXCEPINFO* e = info.get();
        failure.source =
            e->bstrSource ? std::wstring(e->bstrSource, SysStringLen(e->bstrSource)) : std::wstring();
        failure.description = e->bstrDescription
                                  ? std::wstring(e->bstrDescription, SysStringLen(e->bstrDescription))
                                  : std::wstring();
        failure.scode = e->scode;
        failure.wCode = e->wCode;
        if (failure.description.empty() && e->scode != 0)
            failure.systemText = systemMessage(e->scode);
    } else {
        failure.systemText = systemMessage(hr);
        failure.argError = argError == static_cast<UINT>(-1) ? -1 : static_cast<std::int32_t>(argError);
        failure.argCount = argCount;
    }
    throw ComError(hr, comErrorText(failure));
}

Variant Dispatch::get(std::wstring_view property) {
    DISPPARAMS params{};
    return invoke(property, DISPATCH_PROPERTYGET, params, 0);
}

void Dispatch::put(std::wstring_view property, const Variant& value) {
    Variant argument(value);
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{};
    params.rgvarg = argument.get();
    params.cArgs = 1;
    params.rgdispidNamedArgs = &named;
    params.cNamedArgs = 1;
    invoke(property, DISPATCH_PROPERTYPUT, params, 1);
}

Variant Dispatch::call(std::wstring_view method, std::span<Variant> args, bool byReference) {
    std::vector<VARIANT> packed(args.size());
    if (byReference) {
        packReversed(args, std::span<VARIANT>(packed), [](Variant& arg) {
            VARIANT reference;
            VariantInit(&reference);
            reference.vt = VT_BYREF | VT_VARIANT;
            reference.pvarVal = arg.get();
            return reference;
        });
    } else {
        // Shallow copies: the Variants keep ownership of their contents.
        packReversed(args, std::span<VARIANT>(packed), [](Variant& arg) { return *arg.get(); });
    }
    DISPPARAMS params{};
    params.rgvarg = packed.empty() ? nullptr : packed.data();
    params.cArgs = static_cast<UINT>(packed.size());
    return invoke(method, DISPATCH_METHOD, params, packed.size());
}

} // namespace brivane::com
