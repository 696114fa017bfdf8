// Text from outside (directory names, link texts, command output) shown as
// text: one line, no terminal controls, valid UTF-8. One table says which
// characters no output ever writes raw; the log, the report's table, its
// JSON and its Prometheus textfile each spell them in their own way.
#include <cstdint>
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

struct CodeRange {
    uint32_t first;
    uint32_t last;
};

// Characters never written raw. Controls steer terminals; a line feed, and
// for tools that split lines the Unicode way (Python's splitlines(), many
// log viewers) also NEL and the two separators, would start a forged entry;
// the bidi controls (Unicode's Bidi_Control) make a terminal show text in
// another order than it is.
static constexpr CodeRange NEVER_RAW[] = {
    {0x0000, 0x001f},  // C0 controls
    {0x007f, 0x009f},  // DEL and the C1 controls, U+0085 (NEL) among them
    {0x061c, 0x061c},  // arabic letter mark
    {0x200e, 0x200f},  // left-to-right and right-to-left marks
    {0x2028, 0x2029},  // line and paragraph separators
    {0x202a, 0x202e},  // embeddings, overrides and their pop
    {0x2066, 0x2069},  // isolates and their pop
};
constexpr size_t NEVER_RAW_COUNT = sizeof(NEVER_RAW) / sizeof(NEVER_RAW[0]);

static constexpr bool SortedApart(void)
{
    for (size_t i = 1; i < NEVER_RAW_COUNT; ++i) {
        if (NEVER_RAW[i].first <= NEVER_RAW[i - 1].last || NEVER_RAW[i].first > NEVER_RAW[i].last) {
            return false;
        }
    }
    return true;
}
static_assert(SortedApart(), "NeverRaw looks the ranges up in order");
// JSON spells each of them as one "\uXXXX".
static_assert(NEVER_RAW[NEVER_RAW_COUNT - 1].last <= 0xffff, "one \\u escape each");

// The code point of the well-formed character of len bytes at s.
static uint32_t CodePoint(const unsigned char *s, size_t len)
{
    static const unsigned char LEAD_BITS[] = {0, 0x7f, 0x1f, 0x0f, 0x07};
    uint32_t point = s[0] & LEAD_BITS[len];
    for (size_t i = 1; i < len; ++i) {
        point = (point << 6) | (s[i] & 0x3f);
    }
    return point;
}

// The ranges are sorted and apart: the first that ends at or past point
// holds it or nothing does.
static bool NeverRaw(uint32_t point)
{
    size_t i = 0;
    while (i + 1 < NEVER_RAW_COUNT && NEVER_RAW[i].last < point) {
        ++i;
    }
    return point >= NEVER_RAW[i].first && point <= NEVER_RAW[i].last;
}

size_t PrintableCharLen(const char *text)
{
    size_t len = Utf8CharLen(text);
    if (len == 0 || NeverRaw(CodePoint(reinterpret_cast<const unsigned char *>(text), len))) {
        return 0;
    }
    return len;
}

enum EscapeStyle { ESCAPE_TEXT, ESCAPE_JSON, ESCAPE_LABEL };

// The longest spelling of one character: "\\x" and two digits, or "\uXXXX".
constexpr size_t PIECE_SIZE = 8;

// How style spells the character at c; sets *used to the bytes of c it takes.
static void Spell(const char *c, int style, char piece[PIECE_SIZE], size_t *used)
{
    unsigned char byte = static_cast<unsigned char>(*c);
    size_t shown = PrintableCharLen(c);
    size_t whole = Utf8CharLen(c);
    *used = 1;
    if (style != ESCAPE_TEXT && (byte == '"' || (style == ESCAPE_JSON && byte == '\\'))) {
        (void)snprintf_s(piece, PIECE_SIZE, PIECE_SIZE - 1, "\\%c", byte);
    } else if (shown > 0 && byte != '\\') {
        // The backslash is never shown raw by the text styles, so that "\x"
        // in their output always is an escape.
        (void)memcpy_s(piece, PIECE_SIZE, c, shown);
        *used = shown;
    } else if (style == ESCAPE_JSON) {
        *used = whole > 0 ? whole : 1;
        uint32_t point = whole > 0 ? CodePoint(reinterpret_cast<const unsigned char *>(c), whole) : byte;
        (void)snprintf_s(piece, PIECE_SIZE, PIECE_SIZE - 1, "\\u%04x", point);
    } else {
        // A label value reads, once its own escapes are undone, as the log's text.
        (void)snprintf_s(piece, PIECE_SIZE, PIECE_SIZE - 1, style == ESCAPE_LABEL ? "\\\\x%02x" : "\\x%02x", byte);
    }
}

static int Escape(const char *text, char *out, size_t outSize, int style)
{
    if (outSize == 0) {
        return 1;
    }
    size_t used = 0;
    for (const char *c = text; *c != '\0';) {
        char piece[PIECE_SIZE];
        (void)memset_s(piece, sizeof(piece), 0, sizeof(piece));
        size_t taken = 0;
        Spell(c, style, piece, &taken);
        size_t len = strlen(piece);
        if (used + len >= outSize) {
            out[used] = '\0';
            return 1;
        }
        (void)memcpy_s(out + used, outSize - used, piece, len);
        used += len;
        c += taken;
    }
    out[used] = '\0';
    return 0;
}

int EscapeText(const char *text, char *out, size_t outSize)
{
    return Escape(text, out, outSize, ESCAPE_TEXT);
}

int EscapeJson(const char *text, char *out, size_t outSize)
{
    return Escape(text, out, outSize, ESCAPE_JSON);
}

int EscapeLabel(const char *text, char *out, size_t outSize)
{
    return Escape(text, out, outSize, ESCAPE_LABEL);
}
