// A drive that misbehaves in every way the transport knows: the daemon ends
// its cycle in order, never touches another disk, and its log is honest: it
// reports a switched cache only when the drive's cache is really off, and a
// failure only when it is still on.
#include <algorithm>

#include "fault.h"

using namespace sandbox;

namespace {

struct DriveFault {
    const char *name;
    const char *drive;
};
void PrintTo(const DriveFault &f, std::ostream *os) { *os << f.name; }

const DriveFault kFaults[] = {
    {"every_command_times_out", "fault=timeout:*"},
    {"mode_sense_ten_times_out", "fault=timeout:5a"},
    {"ata_pass_through_times_out", "fault=timeout:85,a1"},
    {"every_request_refused_by_kernel", "fault=ioctl:*"},
    {"every_command_host_error", "fault=host:*"},
    {"every_command_rejected", "reject=*"},
    {"sas_drive_refuses_mode_select", "personality=sas reject=55,15"},
    {"ata_status_error", "atastatus=51 hdio=einval"},
    {"ata_status_drq", "atastatus=58"},
    {"hdio_claims_success_does_nothing", "hdio=noop"},
    {"mode_data_length_at_limit", "mdl10=8190"},
    {"mode_data_length_past_limit", "mdl10=8191"},
    {"mode_data_length_huge", "mdl10=65535 mdl6=255"},
    {"mode_data_bare_headers", "mdl10=6 mdl6=3"},
    {"mode_data_one_byte_short", "mdl10=33 mdl6=29"},
    {"second_answer_longer", "grow=200"},
    {"second_answer_shorter", "grow=-20"},
    {"no_data_moved", "xfer=0"},
    {"header_only_moved", "xfer=8"},
    {"no_block_descriptor", "blockdesc=0 personality=sas hdio=einval reject=85,a1"},
    {"mode_select_accepted_and_ignored", "personality=sas hdio=einval select=noop"},
};

class FaultDriveTest : public SandboxTest, public ::testing::WithParamInterface<DriveFault> {};

TEST_P(FaultDriveTest, CycleEndsInOrderAndLogIsHonest)
{
    fault::AddTarget("sdc", GetParam().drive);
    AddDisk({"sdd", {}, 1, "write back", "personality=sata"});
    fault::Run run = fault::RunCycle(WithDrives());
    fault::ExpectOrderlyCycle(run);
    std::vector<std::string> log = LogMessages();
    bool succeeded = std::count(log.begin(), log.end(), "INFO change config of sdc succeed") > 0;
    bool failed = std::count(log.begin(), log.end(), "ERROR change config of sdc failed") > 0;
    EXPECT_FALSE(succeeded && failed) << ::testing::PrintToString(log);
    EXPECT_FALSE(succeeded && DriveWce("sdc") != 0) << ::testing::PrintToString(log);
    EXPECT_FALSE(failed && DriveWce("sdc") == 0) << ::testing::PrintToString(log);
    EXPECT_EQ(DriveCommands("sdd"), std::vector<std::string>{});
    EXPECT_EQ(DriveCommands("sdz"), std::vector<std::string>{});
}
INSTANTIATE_TEST_SUITE_P(Drive, FaultDriveTest, ::testing::ValuesIn(kFaults),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
