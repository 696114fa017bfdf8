// The character filter, the guarded file access and the command runner.
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
        {"pvs --noheadings -o vg_name /dev/sdb", 1},
        {"cat /var/lib/ceph/osd/ceph-0/type", 1},
        {"cat /var/lib/ceph/osd/ceph-0.old/type", 0},
        {"/etc/zarvel.conf", 0},
        {"cat a; rm b", 0},
        {"cat $(id)", 0},
        {"cat `id`", 0},
        {"cat a | sh", 0},
        {"caf\xc3\xa9", 0},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(IsSafeString(row.text), row.safe) << row.text;
    }
}

// Every refused byte class, against both guarded operations: refused with
// the warning, and neither realpath nor a shell is ever reached.
TEST_F(SysAccessTest, RefusedBytesNeverReachFileSystemOrShell)
{
    for (int c = 1; c < 256; ++c) {
        if (Admitted(c)) {
            continue;
        }
        std::string path = std::string("/sys/block/sd") + static_cast<char>(c) + "/queue/rotational";
        std::string cmd = std::string("pvs ") + static_cast<char>(c) + " cat /dev/null";
        char buffer[CMD_ROW_SIZE] = "untouched";
        int rows = 1;
        int realpaths = RealpathCalls();
        int popens = PopenCalls();
        EXPECT_EQ(SafeFileOperation(path.c_str(), buffer, sizeof(buffer), 0), 1) << "byte " << c;
        EXPECT_EQ(SafeFileOperation(path.c_str(), buffer, 1, 1), 1) << "byte " << c;
        EXPECT_EQ(ExecSafeCmd(cmd.c_str(), buffer, CMD_ROW_SIZE, &rows), 1) << "byte " << c;
        EXPECT_EQ(RealpathCalls(), realpaths) << "byte " << c;
        EXPECT_EQ(PopenCalls(), popens) << "byte " << c;
        EXPECT_EQ(rows, 1);
        EXPECT_STREQ(buffer, "untouched");
    }
    EXPECT_EQ(PvsCalls(), 0);
}

TEST_F(SysAccessTest, RefusalsAreLoggedAsWarnings)
{
    char buffer[CMD_ROW_SIZE] = {};
    int rows = 1;
    EXPECT_EQ(SafeFileOperation("/sys/block/sd.b/queue/rotational", buffer, 1, 0), 1);
    EXPECT_EQ(ExecSafeCmd("cat a;pvs", buffer, CMD_ROW_SIZE, &rows), 1);
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{
                                 "WARNING reject dangerous file path:\"/sys/block/sd.b/queue/rotational\" ",
                                 "WARNING reject dangerous cmd:\"cat a;pvs\" ",
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
TEST_F(SysAccessTest, CommandOutputIntoRows)
{
    const std::string a300(300, 'a');
    const std::vector<CmdRow> rows = {
        {"no output", "", 3, 256, {}},
        {"one line", "ceph-a\n", 1, 256, {"ceph-a"}},
        {"last line without feed", "x\ny", 3, 256, {"x", "y"}},
        {"more lines than rows", "1\n2\n3\n4\n5\n", 3, 256, {"1", "2", "3"}},
        {"zero rows: runs, reads none", "1\n", 0, 256, {}},
        {"negative rows", "1\n", -4, 256, {}},
        {"long line split", a300 + "\n", 3, 256, {a300.substr(0, 255), a300.substr(255)}},
        {"carriage return kept", "ab\r\n", 2, 256, {"ab\r"}},
        {"size smaller than stride", "abcdef\n", 3, 4, {"abc", "def", ""}},
        {"size beyond stride stays in its row", a300 + "\n", 2, 1000, {a300.substr(0, 255), a300.substr(255)}},
    };
    for (const CmdRow &row : rows) {
        WriteFile("/var/lib/out", row.fileContent);
        int given = row.rowsGiven > 0 ? row.rowsGiven : 1;
        // Exactly the rows given plus one sentinel row, on the heap so that
        // the sanitizers see any write past them.
        std::vector<char> result(static_cast<size_t>(given + 1) * CMD_ROW_SIZE, 'Z');
        int height = row.rowsGiven;
        int popens = PopenCalls();
        EXPECT_EQ(ExecSafeCmd("cat /var/lib/out", result.data(), row.size, &height), 0) << row.name;
        EXPECT_EQ(PopenCalls(), popens + 1) << row.name;
        ASSERT_EQ(height, static_cast<int>(row.rows.size())) << row.name;
        for (size_t i = 0; i < row.rows.size(); ++i) {
            EXPECT_STREQ(result.data() + i * CMD_ROW_SIZE, row.rows[i].c_str()) << row.name << " row " << i;
        }
        EXPECT_EQ(result[row.rows.size() * CMD_ROW_SIZE], 'Z') << row.name << ": a row past the filled ones";
        EXPECT_EQ(result.back(), 'Z') << row.name;
    }
    EXPECT_TRUE(LogMessages().empty());
}

TEST_F(SysAccessTest, FailingCommandGivesNoRowsAndSuccess)
{
    char result[CMD_ROW_SIZE] = {};
    int height = 1;
    EXPECT_EQ(ExecSafeCmd("cat /var/lib/nothing-here", result, CMD_ROW_SIZE, &height), 0);
    EXPECT_EQ(height, 0);
    EXPECT_EQ(ExecSafeCmd(nullptr, result, CMD_ROW_SIZE, &height), 1);
    EXPECT_EQ(ExecSafeCmd("pvs", nullptr, CMD_ROW_SIZE, &height), 1);
    EXPECT_EQ(ExecSafeCmd("pvs", result, CMD_ROW_SIZE, nullptr), 1);
    EXPECT_EQ(PvsCalls(), 0);
    std::vector<std::string> log = LogMessages();
    ASSERT_EQ(log.size(), 3U);
    EXPECT_EQ(log[0].rfind("ERROR point error, cmd:(nil),cmdResult:0x", 0), 0U) << log[0];
    EXPECT_NE(log[1].find(",cmdResult:(nil),stringHeight:0x"), std::string::npos) << log[1];
    EXPECT_NE(log[2].find(",stringHeight:(nil)"), std::string::npos) << log[2];
}
