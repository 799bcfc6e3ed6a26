#pragma once

// Late-bound COM automation through IDispatch, without Qt (so it is compile-checked with MinGW
// on any host). Every failure throws ComError carrying the text of comErrorText.

#include "capture/com_support.h"

#include "core/windows_api.h"

#include <oaidl.h>
#include <objbase.h>
#include <oleauto.h>

#include <functional>
#include <map>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace brivane::com {

class ComError : public std::runtime_error {
public:
    ComError(HRESULT hresult, std::wstring text)
        : std::runtime_error(toUtf8(text)), m_hresult(hresult), m_text(std::move(text)) {}
    HRESULT hresult() const { return m_hresult; }
    const std::wstring& text() const { return m_text; }

private:
    HRESULT m_hresult;
    std::wstring m_text;
};

// Initialises COM for this thread (apartment threaded) for the owner's lifetime.
class ComInit {
public:
    ComInit();
    ~ComInit();
    ComInit(const ComInit&) = delete;
    ComInit& operator=(const ComInit&) = delete;

private:
    bool m_owned = false;
    bool m_filtered = false;
    bool m_cancellable = false;
    IMessageFilter* m_previousFilter = nullptr;
};

// How long a call that a busy server rejects (RPC_E_CALL_REJECTED, RPC_E_SERVERCALL_RETRYLATER)
// is retried, and the pause between tries.
inline constexpr DWORD kBusyRetryMs = 10000;
inline constexpr DWORD kBusyPauseMs = 100;

// How long one call into the server (a property, a method, or creating an object, which may start
// the application) may go unanswered before it is cancelled and fails with lateCallText.
inline constexpr DWORD kCallDeadlineMs = 30000;
inline constexpr DWORD kCreateDeadlineMs = 60000;
// Scales the call deadline for this process (tests shorten it); 1 restores it.
void setCallDeadlineScale(double scale);

class Bstr {
public:
    explicit Bstr(std::wstring_view text);
    ~Bstr();
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR get() const { return m_bstr; }
    BSTR release();

private:
    BSTR m_bstr = nullptr;
};

class Variant {
public:
    Variant();
    ~Variant();
    Variant(const Variant& other);
    Variant& operator=(const Variant& other);
    Variant(Variant&& other) noexcept;
    Variant& operator=(Variant&& other) noexcept;

    static Variant fromBool(bool value);
    static Variant fromDouble(double value);
    static Variant fromInt(long value);
    static Variant fromShort(short value);
    static Variant fromString(std::wstring_view value);

    // Conversions through VariantChangeType; throw ComError when the value does not convert.
    bool toBool() const;
    double toDouble() const;
    long toLong() const;
    std::wstring toString() const;

    VARIANT* get() { return &m_value; }
    const VARIANT* get() const { return &m_value; }

private:
    VARIANT m_value;
};

class ExcepInfo {
public:
    ExcepInfo();
    ~ExcepInfo();
    ExcepInfo(const ExcepInfo&) = delete;
    ExcepInfo& operator=(const ExcepInfo&) = delete;
    EXCEPINFO* get() { return &m_info; }
    // Runs the deferred fill-in, if the server left one.
    void fill();

private:
    EXCEPINFO m_info;
};

// One automation object: members called by name, their DISPIDs looked up once.
class Dispatch {
public:
    // CLSIDFromProgID + CoCreateInstance for IDispatch.
    static Dispatch create(std::wstring_view progId);

    Dispatch(Dispatch&& other) noexcept;
    Dispatch& operator=(Dispatch&& other) noexcept;
    Dispatch(const Dispatch&) = delete;
    Dispatch& operator=(const Dispatch&) = delete;
    ~Dispatch();

    Variant get(std::wstring_view property);
    void put(std::wstring_view property, const Variant& value);
    // Calls a method; byReference passes each argument as VT_BYREF | VT_VARIANT pointing at args.
    Variant call(std::wstring_view method, std::span<Variant> args = {}, bool byReference = false);

private:
    Dispatch(IDispatch* dispatch, std::wstring progId);
    DISPID dispid(std::wstring_view member);
    Variant invoke(std::wstring_view member, WORD flags, DISPPARAMS& params, std::size_t argCount);
    [[noreturn]] void fail(std::wstring_view member, HRESULT hresult) const;

    IDispatch* m_dispatch = nullptr;
    std::wstring m_progId;
    std::map<std::wstring, DISPID, std::less<>> m_dispids;
};

// The system's message for an HRESULT, empty when it has none.
std::wstring systemMessage(HRESULT hresult);

} // namespace brivane::com
