// UTF-8 to and from the stand-in's wide and UTF-16 text. Header-only and free of the stand-in's interfaces, so
// that what does not link the stand-in (the wmain entry, the argument dumper also on Windows) converts the same way.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <string>
#include <type_traits>

namespace platform::detail {

inline void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
        return;
    }
    static constexpr unsigned char kLead[] = {0, 0xC0, 0xE0, 0xF0};
    const int tail = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
    out += static_cast<char>(kLead[tail] | (c >> (6 * tail)));
    for (int shift = 6 * (tail - 1); shift >= 0; shift -= 6) out += static_cast<char>(0x80 | ((c >> shift) & 0x3F));
}

// Units of 16 bits pair their surrogates. A unit that is no character (an unpaired surrogate, a value past
// U+10FFFF) becomes U+FFFD instead of failing.
template <class Unit>
std::string toUtf8(const Unit* text, size_t length) {
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        char32_t c = static_cast<char32_t>(static_cast<std::make_unsigned_t<Unit>>(text[i]));
        if constexpr (sizeof(Unit) == 2) {
            const char32_t low = i + 1 < length ? static_cast<char32_t>(static_cast<uint16_t>(text[i + 1])) : 0;
            if (c >= 0xD800 && c < 0xDC00 && low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) c = 0xFFFD;
        appendUtf8(out, c);
    }
    return out;
}

inline std::string toUtf8(const std::wstring& text) { return toUtf8(text.data(), text.size()); }
inline std::string toUtf8(const std::u16string& text) { return toUtf8(text.data(), text.size()); }
// A null text is empty.
inline std::string toUtf8(const wchar_t* text) { return text ? toUtf8(text, std::wcslen(text)) : std::string(); }

// Each byte that does not belong to a well-formed sequence (a stray continuation byte, a cut or overlong sequence,
// a surrogate or a value past U+10FFFF) becomes one U+FFFD; decoding never fails.
inline std::wstring utf8ToWide(const std::string& text) {
    std::wstring out;
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        size_t length = 0;
        char32_t c = 0, min = 0;
        if (lead < 0x80) {
            length = 1, c = lead;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2, c = lead & 0x1F, min = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3, c = lead & 0x0F, min = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4, c = lead & 0x07, min = 0x10000;
        }
        bool ok = length != 0 && i + length <= n;
        for (size_t k = 1; ok && k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            ok = (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3F);
        }
        if (ok && (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) ok = false;
        if (!ok) c = 0xFFFD;
        if (sizeof(wchar_t) == 2 && c >= 0x10000) {
            out += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
            c = 0xDC00 + ((c - 0x10000) & 0x3FF);
        }
        out += static_cast<wchar_t>(c);
        i += ok ? length : 1;
    }
    return out;
}

}  // namespace platform::detail
