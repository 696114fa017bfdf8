// Allocation failures in the refresh: each of its blocks in turn.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <string>
#include <vector>

#include "inventory/inventory.h"
#include "mallocwrap.h"
#include "sandbox.h"

using namespace sandbox;

namespace {

class AllocTest : public SandboxTest {
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        FreeDeviceInfo();
        mallocwrap::Reset();
    }
    void TearDown() override
    {
        mallocwrap::Reset();
        FreeDeviceInfo();
    }
};

void Layout()
{
    AddDisk({"sdb", {"sdb1"}, 1, "write back", "personality=sata"});
    AddDisk({"sdc", {}, 1, "write back", "personality=sata"});
    AddOsd({"ceph-0", FsidOf(0), "bluestore", "/dev/sdb", "/dev/sdc"});
    AddOsd({"ceph-1", FsidOf(1), "bluestore", "/dev/sdc", ""});
}

}  // namespace

TEST_F(AllocTest, EachFailedAllocationReleasesAllTables)
{
    const struct {
        const char *what;
        int nth;  // in the order the refresh allocates
        std::string log;
    } rows[] = {
        {"rows", 1, "ERROR malloc size:" + std::to_string(16 * sizeof(InventoryRow))},
        {"names", 2, "ERROR malloc size:" + std::to_string(16 * DEV_NAME_SLOT)},
        {"directory offsets", 3, "ERROR malloc size:64"},
        {"directory paths", 4, "ERROR malloc size:4096"},
        {"OSD records", 5, "ERROR malloc size:" + std::to_string(16 * sizeof(OsdRecord))},
    };
    for (const auto &row : rows) {
        Reset();
        FreeDeviceInfo();
        Layout();
        // A good cycle first, so that there is something to release.
        ASSERT_EQ(UpdateDeviceInfo(), 0) << row.what;
        mallocwrap::Reset();
        mallocwrap::FailNth(row.nth);
        EXPECT_EQ(UpdateDeviceInfo(), 1) << row.what;
        EXPECT_EQ(mallocwrap::Calls(), row.nth) << row.what;
        EXPECT_EQ(g_osdList, nullptr) << row.what;
        EXPECT_EQ(g_devList, nullptr) << row.what;
        EXPECT_EQ(g_rows, nullptr) << row.what;
        EXPECT_EQ(g_osdNum + g_devNum + g_rowNum + InventoryDirCount(), 0) << row.what;
        std::vector<std::string> log = LogMessages();
        EXPECT_TRUE(log.size() == 1 && log[0].rfind(row.log, 0) == 0) << row.what << ": " << ::testing::PrintToString(log);
        // The next cycle starts from nothing and builds everything again.
        mallocwrap::Reset();
        EXPECT_EQ(UpdateDeviceInfo(), 0) << row.what;
        EXPECT_EQ(mallocwrap::Calls(), 6) << row.what;  // and the labels read once each
        EXPECT_EQ(g_rowNum, 2) << row.what;
    }
}
