// UTF-8 of one code point, shared by the host's path conversion and the simulated services' log.
#pragma once

// Writes the code point's UTF-8 form (1 to 4 bytes; a lone surrogate takes its 3-byte form) into
// `out` and returns its length.
inline int EncodeUtf8(char32_t cp, char out[4]) {
    if (cp < 0x80) {
        out[0] = char(cp);
        return 1;
    }
    int length = cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    static const unsigned char kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
    for (int i = length - 1; i > 0; --i, cp >>= 6) {
        out[i] = char(0x80 | (cp & 0x3F));
    }
    out[0] = char(kLead[length] | cp);
    return length;
}
