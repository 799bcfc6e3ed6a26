#include "capture/com_support.h"

#include <cstdio>

namespace brivane::com {

namespace {

struct KnownResult {
    std::uint32_t hresult;
    const wchar_t* text;
};

// Texts for the results an automation client meets, for when the system has none to offer.
constexpr KnownResult kKnown[] = {
    {0x80020003, L"member not found"},
    {0x80020004, L"parameter not found"},
    {0x80020005, L"type mismatch"},
    {0x80020006, L"unknown name"},
    {0x80020008, L"bad variable type"},
    {0x8002000A, L"out of present range"},
    {0x8002000E, L"invalid number of parameters"},
    {0x80040154, L"class not registered"},
    {0x800401F3, L"invalid class string"},
    {0x80010002, L"call cancelled"},
    {0x800401F0, L"CoInitialize has not been called"},
    {0x80080005, L"server execution failed; the camera application could not be started"},
    {0x80010108, L"the object invoked has disconnected from its clients"},
    {0x80010001, L"call rejected: the camera application stayed busy (RPC_E_CALL_REJECTED)"},
    {0x8001010A, L"the camera application stayed busy; retry later (RPC_E_SERVERCALL_RETRYLATER)"},
    {0x800706BA, L"the RPC server is unavailable; the camera application has ended"},
    {0x80070005, L"access denied"},
    {0x8007000E, L"out of memory"},
    {0x80004005, L"unspecified error"},
};

bool notRegistered(std::int32_t hresult) {
    const auto code = static_cast<std::uint32_t>(hresult);
    return code == 0x800401F3 /* CO_E_CLASSSTRING */ || code == 0x80040154 /* REGDB_E_CLASSNOTREG */ ||
           code == 0x800401F5 /* CO_E_APPNOTFOUND */;
}

std::wstring trimmed(std::wstring_view text) {
    const auto blank = [](wchar_t c) { return c == L' ' || c == L'\r' || c == L'\n' || c == L'\t'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return std::wstring(text);
}

std::wstring hex(std::int32_t value) {
    wchar_t buffer[16];
    std::swprintf(buffer, 16, L"0x%08X", static_cast<unsigned>(static_cast<std::uint32_t>(value)));
    return buffer;
}

std::wstring knownText(std::int32_t hresult) {
    for (const KnownResult& known : kKnown)
        if (known.hresult == static_cast<std::uint32_t>(hresult))
            return known.text;
    return {};
}

} // namespace

std::wstring comErrorText(const ComFailure& failure) {
    std::wstring what;
    std::int32_t shown = failure.hresult;
    if (failure.hresult == kDispException) {
        what = trimmed(failure.description);
        if (what.empty() && failure.scode != 0) {
            shown = failure.scode;
            what = trimmed(failure.systemText);
            if (what.empty())
                what = knownText(failure.scode);
        }
        if (what.empty() && failure.wCode != 0)
            what = L"application error " + std::to_wstring(failure.wCode);
        if (what.empty())
            what = L"the application raised an error";
    } else if (notRegistered(failure.hresult)) {
        what = kNotRegistered;
        std::wstring system = trimmed(failure.systemText);
        if (system.empty())
            system = knownText(failure.hresult);
        what += L"; the system says: " + system;
    } else {
        // A busy application: our own text, which names the code, before the system's.
        const bool busy = failure.hresult == static_cast<std::int32_t>(0x80010001) ||
                          failure.hresult == static_cast<std::int32_t>(0x8001010A);
        what = busy ? knownText(failure.hresult) : trimmed(failure.systemText);
        if (what.empty())
            what = knownText(failure.hresult);
        if (what.empty())
            what = L"failed";
        // puArgErr counts from the end, as the arguments are packed
        const bool aboutArgument = failure.hresult == static_cast<std::int32_t>(0x80020005) ||
                                   failure.hresult == static_cast<std::int32_t>(0x80020004);
        if (aboutArgument && failure.argError >= 0 &&
            static_cast<std::size_t>(failure.argError) < failure.argCount)
            what += L" in argument " +
                    std::to_wstring(failure.argCount - static_cast<std::size_t>(failure.argError));
    }
    std::wstring text = failure.member.empty() ? what : failure.member + L": " + what;
    if (const std::wstring source = trimmed(failure.source); !source.empty())
        text += L" (" + source + L")";
    return text + L" [HRESULT " + hex(shown) + L"]";
}

std::wstring lateCallText(std::wstring_view member, std::uint32_t deadlineMs, std::uint32_t tookMs,
                          bool cancelled) {
    const auto seconds = [](std::uint32_t ms) {
        wchar_t buffer[32];
        std::swprintf(buffer, 32, L"%g s", ms / 1000.0);
        return std::wstring(buffer);
    };
    std::wstring text =
        std::wstring(member) + L": the camera application did not answer within " + seconds(deadlineMs);
    if (cancelled)
        return text + L"; the call was cancelled";
    return text + L" (it answered after " + seconds(tookMs) +
           L"; this system could not cancel the call, so the window waited for it)";
}

std::string toUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = static_cast<std::uint32_t>(text[i]);
        // wchar_t is UTF-16 on Windows: join surrogate pairs
        if (sizeof(wchar_t) == 2 && c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) {
            const std::uint32_t low = static_cast<std::uint32_t>(text[i + 1]);
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (c >= 0xD800 && c < 0xE000)
            c = 0xFFFD;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

} // namespace brivane::com
