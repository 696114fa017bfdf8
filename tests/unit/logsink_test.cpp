// Where WriteLog's lines go: the daemon's file by default, nowhere or stderr
// for a read-only tool, and never a stray notice on stdout (which then
// carries the tool's report).
#include <unistd.h>

#include <string>

#include "log/log.h"
#include "sandbox.h"

using namespace sandbox;

namespace {

// Runs one WriteLog with its output captured.
Captured WriteCaptured(int level, const char *fmt)
{
    return CaptureOutput([&] { WriteLog(level, fmt, "sdc"); });
}

// Text after the "[time][process(tid)]" stamp of a line, "" without one.
std::string Unstamped(const std::string &text)
{
    size_t at = text.find(")]");
    return at == std::string::npos ? "" : text.substr(at + 2);
}

struct SinkCase {
    const char *name;
    int sink;
    int level;
    const char *fmt;
    std::string file;    // unstamped content of the log file; "-" when it must not exist
    std::string out;     // stdout
    std::string err;     // stderr, unstamped when it holds a line
};
void PrintTo(const SinkCase &c, std::ostream *os) { *os << c.name; }

const SinkCase kSinks[] = {
    {"file_keeps_the_daemon_default", LOG_SINK_FILE, LOG_INFO, "switched %s\n", "[INFO][switched sdc]\n", "", ""},
    {"file_drops_debug", LOG_SINK_FILE, LOG_DEBUG, "trace %s\n", "-", "", ""},
    {"none_writes_nothing", LOG_SINK_NONE, LOG_ERROR, "open %s failed\n", "-", "", ""},
    {"none_swallows_notices", LOG_SINK_NONE, LOG_ERROR, nullptr, "-", "", ""},
    {"stderr_takes_the_line", LOG_SINK_STDERR, LOG_WARNING, "odd %s\n", "-", "", "[WARNING][odd sdc]\n"},
    {"stderr_shows_debug_too", LOG_SINK_STDERR, LOG_DEBUG, "devMap %s\n", "-", "", "[DEBUG][devMap sdc]\n"},
    {"stderr_takes_notices", LOG_SINK_STDERR, LOG_INFO, nullptr, "-", "", "fmt is null\n"},
};

class LogSinkTest : public SandboxTest, public ::testing::WithParamInterface<SinkCase> {
protected:
    // The sink is process-wide: every other test expects the daemon's default.
    void TearDown() override { SetLogSink(LOG_SINK_FILE); }
};

TEST_P(LogSinkTest, LinesGoWhereTheSinkSays)
{
    const SinkCase &c = GetParam();
    SetLogSink(c.sink);
    Captured got = WriteCaptured(c.level, c.fmt);
    EXPECT_EQ(got.out, c.out);
    EXPECT_EQ(c.fmt == nullptr ? got.err : Unstamped(got.err), c.err);
    if (c.file == "-") {
        EXPECT_FALSE(Exists(LOG_FILE_PATH));
    } else {
        EXPECT_EQ(Unstamped(ReadFile(LOG_FILE_PATH)), c.file);
    }
}
INSTANTIATE_TEST_SUITE_P(Sinks, LogSinkTest, ::testing::ValuesIn(kSinks),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
