// WriteLog in-process: line format, levels, trimming, size limit, notices.
// The sandbox gives this process a private /var/log; stdout is captured by
// the harness for the duration of one call.
#include <sys/syscall.h>
#include <unistd.h>

#include <functional>
#include <regex>
#include <string>

#include "log/log.h"
#include "sandbox.h"

using namespace sandbox;

namespace {

std::string CaptureStdout(const std::function<void()> &call)
{
    return CaptureOutput(call).out;
}

std::string Tid()
{
    return std::to_string(syscall(SYS_gettid));
}

// The log file with every well-formed "[date time][process(tid)]" of this
// thread replaced by "@"; "<none>" when there is no file.
std::string StampedLog()
{
    if (!Exists(LOG_FILE_PATH)) {
        return "<none>";
    }
    static const std::regex stamp(R"(\[\d{4}-(0[1-9]|1[0-2])-(0[1-9]|[12]\d|3[01]) )"
                                  R"(([01]\d|2[0-3]):[0-5]\d:[0-6]\d\]\[process\()" +
                                  Tid() + R"(\)\])");
    return std::regex_replace(ReadFile(LOG_FILE_PATH), stamp, "@");
}

// Longest message that still fits the 1023-character text behind a header
// "[YYYY-MM-DD hh:mm:ss][process(tid)]<tag>[".
size_t MaxMessage(const std::string &tag)
{
    size_t header = 21 + std::string("[process(" + Tid() + ")]" + tag + "[").size();
    return 1023 - header;
}

constexpr const char *kNotRoot = "Cur user is not root, Unable to access the current log\n";
constexpr const char *kInvalid = "The log info is invalid \n";

struct LineCase {
    const char *name;
    int level;
    std::string message;
    uid_t euid;        // 0: as root
    std::string file;  // expected log, stamps as "@"
    std::string out;   // expected stdout
};

class WriteLogTest : public SandboxTest {};

TEST_F(WriteLogTest, OneCallGivesOneLineOrANotice)
{
    const LineCase cases[] = {
        {"info", LOG_INFO, "ceph zarvel stop\n", 0, "@[INFO][ceph zarvel stop]\n", ""},
        {"warning", LOG_WARNING, "w", 0, "@[WARNING][w]\n", ""},
        {"error", LOG_ERROR, "e", 0, "@[ERROR][e]\n", ""},
        {"debug is never written", LOG_DEBUG, "d\n", 0, "<none>", ""},
        {"unknown level 7 is debug, written", 7, "seven", 0, "@[DEBUG][seven]\n", ""},
        {"negative level is debug, written", -1, "minus", 0, "@[DEBUG][minus]\n", ""},
        {"CR and two LF trimmed", LOG_INFO, "a\r\n\n", 0, "@[INFO][a]\n", ""},
        {"LF CR mix trimmed", LOG_INFO, "a\n\r\n\r", 0, "@[INFO][a]\n", ""},
        {"inner LF escaped", LOG_INFO, "a\nb\n", 0, "@[INFO][a\\x0ab]\n", ""},
        {"inner CR escaped", LOG_INFO, "a\rb", 0, "@[INFO][a\\x0db]\n", ""},
        {"NEL, line and paragraph separators, bidi controls escaped", LOG_INFO, "a\xc2\x85" "b\u2028c\u2029d\u202ee\u2066f\u200fg", 0,
         "@[INFO][a\\xc2\\x85b\\xe2\\x80\\xa8c\\xe2\\x80\\xa9d\\xe2\\x80\\xaee\\xe2\\x81\\xa6f\\xe2\\x80\\x8fg]\n", ""},
        {"empty message", LOG_INFO, "", 0, "@[INFO][]\n", ""},
        {"only line ends: trimming stops at the header", LOG_INFO, "\r\n", 0, "@[INFO][]\n", ""},
        {"not root", LOG_INFO, "x", 65534, "<none>", kNotRoot},
        {"not root, debug too", LOG_DEBUG, "x", 65534, "<none>", kNotRoot},
    };
    for (const LineCase &c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        std::string out = CaptureStdout([&] {
            ASSERT_EQ(seteuid(c.euid), 0);
            WriteLog(c.level, "%s", c.message.c_str());
            ASSERT_EQ(seteuid(0), 0);
        });
        EXPECT_EQ(StampedLog(), c.file);
        EXPECT_EQ(out, c.out);
    }
}

TEST_F(WriteLogTest, ConsecutiveCallsAppend)
{
    WriteLog(LOG_INFO, "sync device %s return %d\n", "sdc", -5);
    WriteLog(LOG_DEBUG, "trace %d\n", 1);
    WriteLog(LOG_ERROR, "change config of %s failed\n", "sdd");
    EXPECT_EQ(StampedLog(), "@[INFO][sync device sdc return -5]\n@[ERROR][change config of sdd failed]\n");
}

TEST_F(WriteLogTest, MissingFormatPrintsNoticeOnly)
{
    const char *volatile none = nullptr;
    std::string out = CaptureStdout([&] { WriteLog(LOG_INFO, none, "value"); });
    EXPECT_EQ(out, "fmt is null\n");
    EXPECT_FALSE(Exists(LOG_FILE_PATH));
}

struct LengthCase {
    const char *name;
    int level;
    const char *tag;
    long delta;          // message length relative to the longest that fits
    const char *suffix;  // appended after the filler, counted in the length
    bool written;
    const char *out;
};

// The text of a line is at most 1023 characters; a longer message is dropped
// whole, never cut. Line ends count before they are trimmed.
TEST_F(WriteLogTest, LongestMessageIsWrittenWholeOneMoreIsDropped)
{
    const LengthCase cases[] = {
        {"longest info", LOG_INFO, "[INFO]", 0, "", true, ""},
        {"one more", LOG_INFO, "[INFO]", 1, "", false, kInvalid},
        {"far too long", LOG_INFO, "[INFO]", 5000, "", false, kInvalid},
        {"longest warning (longer tag)", LOG_WARNING, "[WARNING]", 0, "", true, ""},
        {"info-sized message as warning", LOG_WARNING, "[WARNING]", 3, "", false, kInvalid},
        {"longest with a trailing LF", LOG_INFO, "[INFO]", 0, "\n", true, ""},
        {"LF past the limit drops the line", LOG_INFO, "[INFO]", 1, "\n", false, kInvalid},
        {"longest debug: formatted, not written", LOG_DEBUG, "[DEBUG]", 0, "", false, ""},
        {"too long debug: still told", LOG_DEBUG, "[DEBUG]", 1, "", false, kInvalid},
    };
    for (const LengthCase &c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        size_t total = static_cast<size_t>(static_cast<long>(MaxMessage(c.tag)) + c.delta);
        std::string suffix = c.suffix;
        std::string filler(total - suffix.size(), 'x');
        std::string out = CaptureStdout([&] { WriteLog(c.level, "%s%s", filler.c_str(), c.suffix); });
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(StampedLog(), c.written ? "@" + std::string(c.tag) + "[" + filler + "]\n" : "<none>");
        if (c.written) {
            EXPECT_EQ(ReadFile(LOG_FILE_PATH).size(), 1025u - suffix.size());  // 1023 + "]\n"
        }
    }
}

}  // namespace
