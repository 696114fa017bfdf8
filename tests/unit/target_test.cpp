// Which disks are targets, and the rule behind each verdict.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "inventory/inventory.h"
#include "sandbox.h"

using namespace sandbox;

namespace {

struct Entry {
    std::string name;
    int separateDb;
    int32_t osdType;
};

void InstallMap(const std::vector<Entry> &entries)
{
    FreeDeviceInfo();
    if (entries.empty()) {
        return;
    }
    devMap = static_cast<DevMapEntry *>(calloc(entries.size(), sizeof(DevMapEntry)));
    for (size_t i = 0; i < entries.size(); ++i) {
        strncpy(devMap[i].name, entries[i].name.c_str(), DEV_NAME_SLOT - 1);
        devMap[i].separateDb = static_cast<uint8_t>(entries[i].separateDb);
        devMap[i].osdType = entries[i].osdType;
    }
    g_devMapNum = static_cast<int32_t>(entries.size());
}

class TargetTest : public SandboxTest {
protected:
    void TearDown() override { FreeDeviceInfo(); }
};

constexpr int32_t BS = OSD_TYPE_BLUESTORE;
constexpr int32_t FS = OSD_TYPE_FILESTORE;
constexpr int32_t NONE = OSD_TYPE_NONE;

}  // namespace

TEST_F(TargetTest, VerdictAndRulePerMapAndRotation)
{
    const struct {
        const char *what;
        std::string rotational;  // sdb's attribute text; "-" = no such disk in sysfs
        std::vector<Entry> map;
        int32_t rule;
    } rows[] = {
        {"through a partition entry", "1\n", {{"sda", 1, BS}, {"sdb1", 1, BS}}, TARGET_SELECTED},
        {"the disk entry itself", "1\n", {{"sdb", 1, BS}}, TARGET_SELECTED},
        {"a two-digit partition", "1", {{"sdb12", 1, BS}}, TARGET_SELECTED},
        {"another disk's prefix", "1\n", {{"sdba", 1, BS}}, TARGET_NO_OSD},
        {"database not separate", "1\n", {{"sdb", 0, BS}}, TARGET_DB_NOT_SEPARATE},
        {"a FileStore OSD", "1\n", {{"sdb", 1, FS}}, TARGET_NOT_BLUESTORE},
        {"type unread", "1\n", {{"sdb1", 1, NONE}}, TARGET_NOT_BLUESTORE},
        {"one qualifying entry suffices", "1\n", {{"sdb", 0, NONE}, {"sdb1", 1, BS}}, TARGET_SELECTED},
        {"closest entry gives the reason", "1\n", {{"sdb", 0, NONE}, {"sdb1", 0, BS}, {"sdb2", 1, FS}},
         TARGET_DB_NOT_SEPARATE},
        {"no OSD on any entry", "1\n", {{"sdb", 0, NONE}, {"sdb1", 0, NONE}}, TARGET_NO_OSD},
        {"empty map", "1\n", {}, TARGET_NO_OSD},
        {"not rotational", "0\n", {{"sdb", 1, BS}}, TARGET_NOT_ROTATIONAL},
        {"empty attribute", "", {{"sdb", 1, BS}}, TARGET_NOT_ROTATIONAL},
        {"no such disk", "-", {{"sdb", 1, BS}}, TARGET_NOT_ROTATIONAL},
    };
    for (const auto &row : rows) {
        Reset();
        if (row.rotational != "-") {
            MakeDirs("/sys/block/sdb/queue");
            WriteFile("/sys/block/sdb/queue/rotational", row.rotational);
        }
        InstallMap(row.map);
        EXPECT_EQ(TargetRule("sdb"), row.rule) << row.what;
        EXPECT_EQ(IsTargetDevice("sdb"), row.rule == TARGET_SELECTED ? 1 : 0) << row.what;
        EXPECT_EQ(IsHdd("sdb"), row.rule == TARGET_NOT_ROTATIONAL ? 0 : 1) << row.what;
        std::vector<std::string> log = LogMessages();
        if (row.rotational == "-") {
            EXPECT_EQ(log, std::vector<std::string>(3, "ERROR realpath failed")) << row.what;
        } else {
            EXPECT_TRUE(log.empty()) << row.what;
        }
    }
}

TEST_F(TargetTest, UnusableNamesAreNoTargets)
{
    InstallMap({{"sdb", 1, BS}});
    const std::string longName(250, 'b');
    EXPECT_EQ(TargetRule(nullptr), TARGET_NO_NAME);
    EXPECT_EQ(IsTargetDevice(nullptr), 0);
    EXPECT_EQ(IsTargetDevice("sd.b"), 0);
    EXPECT_EQ(IsTargetDevice(longName.c_str()), 0);
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{
                                 "ERROR point error, deviceName:(nil)",
                                 "ERROR point error, deviceName:(nil)",
                                 "WARNING reject dangerous file path:\"/sys/block/sd.b/queue/rotational\" ",
                                 "ERROR sprintf_s error:/sys/block/" + longName + "/queue/rotational",
                             }));
}
