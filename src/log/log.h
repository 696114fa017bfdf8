// The one log writer: "/var/log/ceph-zarvel.log", rotated to ".old".
//
// Every message text handed to WriteLog is part of the interface: operators
// grep for it and tests compare it byte for byte, odd spellings included.
// Texts that look like typos carry a mark where they are written; change none.
#pragma once

#include <cstddef>

constexpr int LOG_DEBUG = 0;    // formatted, never written
constexpr int LOG_INFO = 1;
constexpr int LOG_WARNING = 2;
constexpr int LOG_ERROR = 3;

constexpr const char *LOG_FILE_PATH = "/var/log/ceph-zarvel.log";
constexpr const char *LOG_OLD_PATH = "/var/log/ceph-zarvel.log.old";
constexpr long LOG_ROTATE_SIZE = 4193280;  // rotate when strictly larger

// Appends one line "[time][process(tid)][LEVEL][message]" under flock.
// Failures go to stdout as notices; the caller is never told.
void WriteLog(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// For ceph-zarvel-report. Where WriteLog's lines go, for the whole process.
// The daemon never calls SetLogSink and keeps the file; a read-only tool
// picks another sink once, before its first line, so that it leaves no trace
// in the daemon's log.
constexpr int LOG_SINK_FILE = 0;    // the log file, notices on stdout (default)
constexpr int LOG_SINK_NONE = 1;    // nowhere: no line, no notice
constexpr int LOG_SINK_STDERR = 2;  // every line, DEBUG included, and notices on stderr
void SetLogSink(int sink);

// Bytes of the character at text (NUL-terminated): 1 to 4 when a
// well-formed UTF-8 character starts there, 0 at the NUL or a byte that
// does not begin one (overlong forms and surrogates included).
size_t Utf8CharLen(const char *text);
// The same, but 0 for a character that no output writes raw: the C0 and C1
// controls, DEL, the line and paragraph separators U+2028 and U+2029, and
// the bidi controls (U+061C, U+200E, U+200F, U+202A..U+202E, U+2066..U+2069).
size_t PrintableCharLen(const char *text);

// text into out (outSize bytes, always terminated), escaped for one kind of
// output; each gives one line of valid UTF-8 in which no refused character
// stands raw. 0, or 1 when it did not fit and out was cut before a character.
// The log and the report's table: each byte that PrintableCharLen refuses,
// and the backslash, as "\xNN" (two lowercase hex digits).
int EscapeText(const char *text, char *out, size_t outSize);
// The inside of a JSON string: quote and backslash escaped, a refused
// character as "\uXXXX" of its code point, a byte that begins none as
// "\u00XX" of its value.
int EscapeJson(const char *text, char *out, size_t outSize);
// A Prometheus label value: quote escaped, and what EscapeText writes as
// "\xNN" written "\\xNN", so that the value reads as the log's text.
int EscapeLabel(const char *text, char *out, size_t outSize);
