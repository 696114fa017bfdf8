// The kernel's write-cache view and the rescan request.
#include <string>
#include <vector>

#include "sandbox.h"
#include "wcache/wcache.h"

using namespace sandbox;

class KernelViewTest : public SandboxTest {};

TEST_F(KernelViewTest, WriteCacheAttributeClassified)
{
    const struct {
        std::string text;  // "-" = no attribute
        int result;
    } rows[] = {
        {"write back\n", KERNEL_WC_BACK},
        {"write back", KERNEL_WC_BACK},
        {"write backwards\n", KERNEL_WC_BACK},
        {"write through\n", KERNEL_WC_THROUGH},
        {"write through", KERNEL_WC_THROUGH},
        {"write thr\n", KERNEL_WC_UNKNOWN},
        {"write bac", KERNEL_WC_UNKNOWN},
        {" write back\n", KERNEL_WC_UNKNOWN},
        {"Write back\n", KERNEL_WC_UNKNOWN},
        {"", KERNEL_WC_UNKNOWN},
        {"none\n", KERNEL_WC_UNKNOWN},
        {std::string(300, 'w'), KERNEL_WC_UNKNOWN},
        {"-", KERNEL_WC_UNKNOWN},
    };
    for (const auto &row : rows) {
        Reset();
        AddDisk({"sdc", {}, 1, "", ""});
        if (row.text != "-") {
            WriteFile("/sys/block/sdc/queue/write_cache", row.text);
        }
        EXPECT_EQ(GetKernelWriteCache("sdc"), row.result) << row.text;
        EXPECT_EQ(LogMessages(), std::vector<std::string>{}) << row.text;
    }
}

TEST_F(KernelViewTest, UnusableNamesNeverTouchTheFileSystem)
{
    AddDisk({"sdc", {}, 1, "write back", ""});
    const std::string overLong(4100, 'c');
    EXPECT_EQ(GetKernelWriteCache("sd.c"), KERNEL_WC_UNKNOWN);
    EXPECT_EQ(GetKernelWriteCache("../block/sdc"), KERNEL_WC_UNKNOWN);
    EXPECT_EQ(GetKernelWriteCache(overLong.c_str()), KERNEL_WC_UNKNOWN);
    RescanDevice("sd.c");
    RescanDevice("../block/sdc");
    EXPECT_EQ(ReadFile("/sys/block/sdc/device/rescan"), "");
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{
                                 "INFO rescan dev sd.c return 1",
                                 "INFO rescan dev ../block/sdc return 1",
                             }));
}

TEST_F(KernelViewTest, RescanWritesTheOneByteOne)
{
    AddDisk({"sdc", {"sdc1"}, 1, "write back", ""});
    RescanDevice("sdc");
    EXPECT_EQ(ReadFile("/sys/block/sdc/device/rescan"), "1");
    RescanDevice("sdz");
    EXPECT_FALSE(Exists("/sys/block/sdz"));
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{
                                 "INFO rescan dev sdc return 0",
                                 "INFO rescan dev sdz return 1",
                             }));
}
