// A crowded machine: /dev with 10,000 entries of every kind and many OSDs.
// The cycle must still end in order and touch exactly the target disks; the
// time it takes is printed for the record (benchmarks judge speed, not this).
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "fault.h"

using namespace sandbox;

namespace {

// 10,000 entries: block nodes with and without disk names, character nodes,
// directories, symbolic links (valid, dangling, looping), FIFOs, plain files.
void CrowdDev(int total)
{
    for (int i = 0; i < total; ++i) {
        std::string name = "/dev/";
        name += (i % 3 == 0) ? "sd" : (i % 3 == 1) ? "nvme" : "x";
        for (int n = i; n > 0 || name.back() == 'd'; n /= 26) {
            name += static_cast<char>('a' + n % 26);
        }
        name += std::to_string(i % 7);
        switch (i % 8) {
        case 0: case 1: case 2: mknod(name.c_str(), S_IFBLK | 0600, makedev(60, 4096 + i)); break;
        case 3: mknod(name.c_str(), S_IFCHR | 0600, makedev(1, 3)); break;
        case 4: mkdir(name.c_str(), 0755); break;
        case 5: symlink(i % 16 == 5 ? name.c_str() : "/dev/null", name.c_str()); break;
        case 6: mkfifo(name.c_str(), 0600); break;
        default: WriteFile(name, ""); break;
        }
    }
}

TEST_F(SandboxTest, TenThousandDevEntriesAndManyOsds)
{
    constexpr int kEntries = 10000;
    constexpr int kOsds = 100;
    fault::AddTarget("sdc", "personality=sata");
    AddDisk({"sdd", {}, 1, "write back", "personality=sata"});
    for (int i = 1; i < kOsds; ++i) {
        AddOsd({"ceph-" + std::to_string(i), FsidOf(i), "bluestore", "/dev/sdqq" + std::to_string(i), "/dev/sdz1"});
    }
    CrowdDev(kEntries);
    fault::Run run = fault::RunCycle(WithDrives(), 600000);
    fault::ExpectOrderlyCycle(run);
    EXPECT_EQ(DriveWce("sdc"), 0);
    EXPECT_EQ(DriveCommands("sdd"), std::vector<std::string>{});
    printf("/dev with %d entries, %d OSDs: first cycle %.1f s\n", kEntries, kOsds, run.cycleSeconds);
    RecordProperty("cycle_ms", static_cast<int>(run.cycleSeconds * 1000));
}

}  // namespace
