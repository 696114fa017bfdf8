// Text from outside (directory names, link texts, command output) shown as
// text: one line, no terminal controls, valid UTF-8.
#include <cstring>

#include "bounded/bounded.h"
#include "log/log.h"

size_t Utf8CharLen(const char *text)
{
    const unsigned char *s = reinterpret_cast<const unsigned char *>(text);
    unsigned char lead = s[0];
    if (lead != 0 && lead < 0x80) {
        return 1;
    }
    // A continuation byte, an overlong lead (C0, C1) or one past U+10FFFF
    // (F5 and up) never starts a character.
    if (lead < 0xc2 || lead > 0xf4) {
        return 0;
    }
    size_t len = lead < 0xe0 ? 2 : (lead < 0xf0 ? 3 : 4);
    // The second byte's range rules out overlong forms (E0 80..9F, F0
    // 80..8F), the surrogates (ED A0..BF) and code points past U+10FFFF (F4 90..).
    unsigned char low = lead == 0xe0 ? 0xa0 : (lead == 0xf0 ? 0x90 : 0x80);
    unsigned char high = lead == 0xed ? 0x9f : (lead == 0xf4 ? 0x8f : 0xbf);
    if (s[1] < low || s[1] > high) {
        return 0;
    }
    for (size_t i = 2; i < len; ++i) {
        if (s[i] < 0x80 || s[i] > 0xbf) {
            return 0;
        }
    }
    return len;
}

size_t PrintableCharLen(const char *text)
{
    const unsigned char *s = reinterpret_cast<const unsigned char *>(text);
    // C0 controls and DEL; C2 80..9F are the C1 controls, which terminals
    // take as commands too.
    if (s[0] < 0x20 || s[0] == 0x7f || (s[0] == 0xc2 && s[1] < 0xa0)) {
        return 0;
    }
    return Utf8CharLen(text);
}

int EscapeText(const char *text, char *out, size_t outSize)
{
    static const char HEX[] = "0123456789abcdef";
    if (outSize == 0) {
        return 1;
    }
    size_t used = 0;
    for (const char *c = text; *c != '\0';) {
        // The backslash too, so that "\x" in the result always is an escape.
        size_t len = *c == '\\' ? 0 : PrintableCharLen(c);
        size_t need = len == 0 ? 4 : len;
        if (used + need >= outSize) {
            out[used] = '\0';
            return 1;
        }
        if (len == 0) {
            unsigned char byte = static_cast<unsigned char>(*c++);
            out[used] = '\\';
            out[used + 1] = 'x';
            out[used + 2] = HEX[byte >> 4];
            out[used + 3] = HEX[byte & 0x0f];
        } else {
            (void)memcpy_s(out + used, outSize - used, c, len);
            c += len;
        }
        used += need;
    }
    out[used] = '\0';
    return 0;
}
