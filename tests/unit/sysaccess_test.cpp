// The character filter and the guarded file access.
#include <sys/stat.h>
#include <cstring>
#include <string>
#include <vector>

#include "sandbox.h"
#include "sysaccess/sysaccess.h"

using namespace sandbox;

namespace {

// Every byte the filter lets through, written out: the rest are refused.
const std::string ADMITTED = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 -/_";

bool Admitted(int c)
{
    return ADMITTED.find(static_cast<char>(c)) != std::string::npos;
}

class SysAccessTest : public SandboxTest {};

}  // namespace

TEST_F(SysAccessTest, FilterAdmitsExactlyAlnumBlankDashSlashUnderscore)
{
    EXPECT_EQ(IsSafeString(""), 1);
    for (int c = 1; c < 256; ++c) {
        std::string text = std::string("sd") + static_cast<char>(c) + "x";
        EXPECT_EQ(IsSafeString(text.c_str()), Admitted(c) ? 1 : 0) << "byte " << c;
    }
}

TEST_F(SysAccessTest, FilterVerdictsOnRealPathsAndCommands)
{
    const struct {
        const char *text;
        int safe;
    } rows[] = {
        {"/sys/block/sdb/queue/write_cache", 1},
        {"/var/lib/ceph/osd/ceph-0.old/type", 0},
        {"/etc/zarvel.conf", 0},
        {"/sys/block/sd$(id)", 0},
        {"caf\xc3\xa9", 0},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(IsSafeString(row.text), row.safe) << row.text;
    }
}

// Every refused byte class: refused with the warning, and realpath is never
// reached.
TEST_F(SysAccessTest, RefusedBytesNeverReachFileSystem)
{
    for (int c = 1; c < 256; ++c) {
        if (Admitted(c)) {
            continue;
        }
        std::string path = std::string("/sys/block/sd") + static_cast<char>(c) + "/queue/rotational";
        char buffer[256] = "untouched";
        int realpaths = RealpathCalls();
        EXPECT_EQ(SafeFileOperation(path.c_str(), buffer, sizeof(buffer), 0), 1) << "byte " << c;
        EXPECT_EQ(SafeFileOperation(path.c_str(), buffer, 1, 1), 1) << "byte " << c;
        EXPECT_EQ(RealpathCalls(), realpaths) << "byte " << c;
        EXPECT_STREQ(buffer, "untouched");
    }
}

TEST_F(SysAccessTest, RefusalsAreLoggedAsWarnings)
{
    char buffer[8] = {};
    EXPECT_EQ(SafeFileOperation("/sys/block/sd.b/queue/rotational", buffer, 1, 0), 1);
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{
                                 "WARNING reject dangerous file path:\"/sys/block/sd.b/queue/rotational\" ",
                             }));
}

TEST_F(SysAccessTest, FileOperationOutcomes)
{
    const struct {
        const char *path;
        int size;
        int isWrite;
        int result;
        const char *bufferAfter;  // read rows: what the caller's buffer holds
        const char *log;          // "" = no line
    } rows[] = {
        {"/sys/block/sdb/queue/rotational", 64, 0, 0, "1\nxxxxxxx", ""},
        {"/sys/block/sdb/q/rotational", 1, 0, 0, "1xxxxxxxx", ""},
        {"/sys/block/sdb/queue/empty", 64, 0, 0, "xxxxxxxxx", ""},
        {"/sys/block/sdb/queue/missing", 64, 0, 1, "xxxxxxxxx", "ERROR realpath failed"},
        {"/sys/block/sdb/missing/rescan", 1, 1, 1, "xxxxxxxxx", "ERROR realpath failed"},
        {"/sys/block/sdb/q", 1, 1, 1, "xxxxxxxxx", "ERROR open /sys/block/sdb/queue failed"},
        {"/sys/block/sdb/q", 64, 0, 1, "xxxxxxxxx", "WARNING not a regular file:/sys/block/sdb/queue"},
        {"/sys/block/sdb/queue/fifo", 64, 0, 1, "xxxxxxxxx", "WARNING not a regular file:/sys/block/sdb/queue/fifo"},
        {"/sys/block/sdb/queue/rotational", -1, 0, 1, "xxxxxxxxx", "ERROR point error, filePath:"},
    };
    for (const auto &row : rows) {
        Reset();  // fresh log
        MakeDirs("/sys/block/sdb/queue");
        WriteFile("/sys/block/sdb/queue/rotational", "1\n");
        WriteFile("/sys/block/sdb/queue/empty", "");
        symlink("/sys/block/sdb/queue", "/sys/block/sdb/q");
        mkfifo("/sys/block/sdb/queue/fifo", 0600);
        char buffer[64];
        memset(buffer, 0, sizeof(buffer));
        memset(buffer, 'x', 9);
        EXPECT_EQ(SafeFileOperation(row.path, buffer, row.size, row.isWrite), row.result) << row.path;
        EXPECT_STREQ(buffer, row.bufferAfter) << row.path;
        std::vector<std::string> log = LogMessages();
        if (row.log[0] == '\0') {
            EXPECT_TRUE(log.empty()) << row.path;
        } else {
            ASSERT_EQ(log.size(), 1U) << row.path;
            EXPECT_EQ(log[0].rfind(row.log, 0), 0U) << log[0];
        }
        EXPECT_FALSE(Exists("/sys/block/sdb/queue/missing"));
        EXPECT_FALSE(Exists("/sys/block/sdb/missing"));
    }
}

TEST_F(SysAccessTest, WriteIsExactlyOneCallOfTheGivenBytes)
{
    MakeDirs("/sys/block/sdc/device");
    WriteFile("/sys/block/sdc/device/rescan", "", 0200);
    char one[] = "1\n";
    EXPECT_EQ(SafeFileOperation("/sys/block/sdc/device/rescan", one, 1, 1), 0);
    EXPECT_EQ(ReadFile("/sys/block/sdc/device/rescan"), "1");
    EXPECT_EQ(SafeFileOperation(nullptr, one, 1, 1), 1);
    EXPECT_EQ(SafeFileOperation("/sys/block/sdc/device/rescan", nullptr, 1, 1), 1);
    EXPECT_EQ(ReadFile("/sys/block/sdc/device/rescan"), "1");
    std::vector<std::string> log = LogMessages();
    ASSERT_EQ(log.size(), 2U);
    EXPECT_EQ(log[0].rfind("ERROR point error, filePath:(nil), buffer:0x", 0), 0U) << log[0];
    EXPECT_EQ(log[1].rfind("ERROR point error, filePath:0x", 0), 0U) << log[1];
    EXPECT_NE(log[1].find(", buffer:(nil)"), std::string::npos) << log[1];
}

struct CmdRow {
    const char *name;
    std::string fileContent;  // what the command prints (via cat of a file)
    int rowsGiven;
    int size;
    std::vector<std::string> rows;  // rows filled, in order
};

// Output is read through "cat" of a fixture file, so any text can be printed.
