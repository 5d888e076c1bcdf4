#include "platform/sim/surrogate_escape.h"

#include "platform/sim/utf8.h"

namespace {

constexpr char32_t kEscapeBase = 0xDC00;

// Length of the valid UTF-8 sequence at `s` with its code point in `cp`, or 0 if none starts there.
int DecodeUtf8(const unsigned char* s, char32_t* cp) {
    unsigned char b = s[0];
    int length;
    char32_t min;
    if (b < 0x80) {
        *cp = b;
        return 1;
    } else if (b >= 0xC2 && b <= 0xDF) {
        length = 2, min = 0x80, *cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        length = 3, min = 0x800, *cp = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        length = 4, min = 0x10000, *cp = b & 0x07;
    } else {
        return 0;
    }
    for (int i = 1; i < length; ++i) {
        if ((s[i] & 0xC0) != 0x80) {
            return 0;
        }
        *cp = (*cp << 6) | (s[i] & 0x3F);
    }
    bool surrogate = *cp >= 0xD800 && *cp <= 0xDFFF;
    return (*cp < min || *cp > 0x10FFFF || surrogate) ? 0 : length;
}

void AppendUtf8(std::string& out, char32_t cp) {
    char bytes[4];
    out.append(bytes, size_t(EncodeUtf8(cp, bytes)));
}

} // namespace

std::basic_string<WCHAR> DecodeSurrogateEscaped(const char* bytes) {
    std::basic_string<WCHAR> text;
    auto s = reinterpret_cast<const unsigned char*>(bytes);
    while (*s) {
        char32_t cp;
        int length = DecodeUtf8(s, &cp);
        if (length == 0) {
            text += static_cast<WCHAR>(kEscapeBase + *s++);
        } else if (cp < 0x10000) {
            text += static_cast<WCHAR>(cp);
            s += length;
        } else {
            text += static_cast<WCHAR>(0xD800 + ((cp - 0x10000) >> 10));
            text += static_cast<WCHAR>(0xDC00 + ((cp - 0x10000) & 0x3FF));
            s += length;
        }
    }
    return text;
}

std::string EncodeSurrogateEscaped(const WCHAR* text) {
    std::string bytes;
    for (; *text; ++text) {
        char32_t unit = static_cast<char16_t>(*text);
        char32_t next = static_cast<char16_t>(text[1]);
        if (unit >= 0xD800 && unit <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
            AppendUtf8(bytes, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
            ++text;
        } else if (unit >= kEscapeBase + 0x80 && unit <= kEscapeBase + 0xFF) {
            bytes += static_cast<char>(unit - kEscapeBase);
        } else {
            // Any other lone surrogate is kept as its three-byte form rather than dropped.
            AppendUtf8(bytes, unit);
        }
    }
    return bytes;
}
