#pragma once

// The parts of the COM automation helper that need neither Windows nor Qt, so they are built and
// tested on every platform: error text from HRESULT and EXCEPINFO, and argument packing.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace brivane::com {

// What a failed creation or IDispatch::Invoke left behind, as plain numbers and strings.
struct ComFailure {
    std::int32_t hresult = 0;
    std::wstring member;        // e.g. L"MaxIm.CCDCamera.Expose"
    std::wstring source;        // EXCEPINFO::bstrSource
    std::wstring description;   // EXCEPINFO::bstrDescription
    std::int32_t scode = 0;     // EXCEPINFO::scode
    std::uint16_t wCode = 0;    // EXCEPINFO::wCode
    std::wstring systemText;    // the system's text for the HRESULT (or for scode), if any
    std::int32_t argError = -1; // puArgErr for a type mismatch or missing argument: index in rgvarg
    std::size_t argCount = 0;   // arguments passed, to turn argError back into a position
};

// What a failure to create an object whose class or programmatic identifier is unknown means.
inline constexpr std::wstring_view kNotRegistered =
    L"the camera application's automation objects are not registered (is it installed?)";

inline constexpr std::int32_t kDispException = static_cast<std::int32_t>(0x80020009);

// "member: what went wrong (source) [HRESULT 0x80020009]", preferring the application's own
// description over the system's text.
std::wstring comErrorText(const ComFailure& failure);

// A call that did not answer within its deadline: "member: no answer within 30 s; the call was
// cancelled", or, where the system could not cancel it and it answered late, how late.
std::wstring lateCallText(std::wstring_view member, std::uint32_t deadlineMs, std::uint32_t tookMs,
                          bool cancelled);

std::string toUtf8(std::wstring_view text);

// IDispatch takes its arguments last first: rgvarg[0] is the last argument. Fills packed (same
// size as args) so that packed[i] = make(args[args.size() - 1 - i]).
template <class Arg, class Slot, class Make>
void packReversed(std::span<Arg> args, std::span<Slot> packed, Make make) {
    const std::size_t n = args.size();
    for (std::size_t i = 0; i < n && i < packed.size(); ++i)
        packed[i] = make(args[n - 1 - i]);
}

} // namespace brivane::com
