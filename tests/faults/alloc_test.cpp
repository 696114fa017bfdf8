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
        int children;
    } rows[] = {
        {"OSD records", 1, "ERROR malloc size:" + std::to_string(16 * sizeof(OsdRecord)), 0},
        {"fsid list", 2, "ERROR malloc size:74", 0},
        {"name list", 3, "ERROR malloc size:" + std::to_string(16 * DEV_NAME_SLOT), 0},
        {"device map", 4, "ERROR malloc size:" + std::to_string(3 * sizeof(DevMapEntry)), 0},
        {"OSD identities", 5, "ERROR malloc size:", 0},
    };
    for (const auto &row : rows) {
        Reset();
        FreeDeviceInfo();
        Layout();
        // A good cycle first, so that there is something to release.
        ASSERT_EQ(UpdateDeviceInfo(), 0) << row.what;
        WriteFile("/var/lib/ceph/osd/ceph-1/fsid", FsidOf(7) + "\n");  // forces every block anew
        mallocwrap::Reset();
        mallocwrap::FailNth(row.nth);
        int popens = PopenCalls();
        EXPECT_EQ(UpdateDeviceInfo(), 1) << row.what;
        EXPECT_EQ(PopenCalls() - popens, row.children) << row.what;
        EXPECT_EQ(mallocwrap::Calls(), row.nth) << row.what;
        EXPECT_EQ(g_fsidList, nullptr) << row.what;
        EXPECT_EQ(g_devList, nullptr) << row.what;
        EXPECT_EQ(devMap, nullptr) << row.what;
        EXPECT_EQ(g_fsidNum + g_devNum + g_devMapNum, 0) << row.what;
        std::vector<std::string> log = LogMessages();
        EXPECT_TRUE(log.size() == 1 && log[0].rfind(row.log, 0) == 0) << row.what << ": " << ::testing::PrintToString(log);
        // The next cycle starts from nothing and builds everything again.
        mallocwrap::Reset();
        EXPECT_EQ(UpdateDeviceInfo(), 0) << row.what;
        EXPECT_EQ(mallocwrap::Calls(), 5) << row.what;
        EXPECT_EQ(g_devMapNum, 3) << row.what;
    }
}

TEST_F(AllocTest, SteadyStateAllocatesOnlyTheThreeListBlocks)
{
    Layout();
    ASSERT_EQ(UpdateDeviceInfo(), 0);
    mallocwrap::Reset();
    ASSERT_EQ(UpdateDeviceInfo(), 0);
    EXPECT_EQ(mallocwrap::Calls(), 3);
    EXPECT_EQ(mallocwrap::Bytes(), 16U * sizeof(OsdRecord) + 2U * FSID_SLOT + 16U * DEV_NAME_SLOT);
}
