// The emulated drive against the standard tools: they must read and change
// WCE on it exactly as they do on a real disk, or the model is lying.
#include <unistd.h>

#include "sandbox.h"

using namespace sandbox;

namespace {

struct PeerCase {
    const char *name;
    std::string drive;
    std::vector<std::string> argv;  // "%s" stands for the node
    int wceAfter;
    std::string outputHas;
};

std::string Tool(const std::string &name)
{
    for (const char *dir : {"/usr/bin/", "/usr/sbin/", "/sbin/", "/bin/"}) {
        if (access((dir + name).c_str(), X_OK) == 0) {
            return dir + name;
        }
    }
    return "";
}

void PrintTo(const PeerCase &c, std::ostream *os) { *os << c.name; }

class PeerTest : public SandboxTest, public ::testing::WithParamInterface<PeerCase> {};

TEST_P(PeerTest, ToolSeesAndChangesWce)
{
    const PeerCase &c = GetParam();
    std::vector<std::string> argv = c.argv;
    argv[0] = Tool(argv[0]);
    if (argv[0].empty()) {
        GTEST_SKIP() << c.argv[0] << " is not installed";
    }
    for (std::string &a : argv) {
        a = a == "%s" ? "/dev/sdc" : a;
    }
    AddDisk({"sdc", {"sdc1"}, 1, "write back", c.drive});
    Process proc = Start(argv, WithDrives());
    Exit result = Stop(proc, 0);
    EXPECT_TRUE(result.exited && result.status == 0) << result.out;
    EXPECT_NE(result.out.find(c.outputHas), std::string::npos) << result.out;
    EXPECT_EQ(DriveWce("sdc"), c.wceAfter) << testing::PrintToString(DriveCommands("sdc"));
}

const PeerCase kPeers[] = {
    {"sdparm_get_on", "personality=sas wce=1", {"sdparm", "--get=WCE", "%s"}, 1, "WCE           1  [cha: y"},
    {"sdparm_get_off", "personality=sata wce=0", {"sdparm", "--get=WCE", "%s"}, 0, "WCE           0  [cha: y"},
    {"sdparm_clear", "personality=sas wce=1", {"sdparm", "--clear=WCE", "%s"}, 0, ""},
    {"sdparm_clear_strict", "personality=sas wce=1 strict=1", {"sdparm", "--clear=WCE", "%s"}, 0, ""},
    {"sdparm_set", "personality=sata wce=0 blockdesc=0", {"sdparm", "--set=WCE", "%s"}, 1, ""},
    {"sg_modes_6", "personality=sata wce=1", {"sg_modes", "-6", "-p", "8", "%s"}, 1, "88 12 14 00 ff ff"},
    {"sg_modes_10", "personality=sas wce=0", {"sg_modes", "-p", "8", "%s"}, 0, "88 12 10 00 ff ff"},
    {"hdparm_w0", "personality=sata wce=1", {"hdparm", "-W0", "%s"}, 0, "write-caching =  0 (off)"},
};

INSTANTIATE_TEST_SUITE_P(Peers, PeerTest, ::testing::ValuesIn(kPeers),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
