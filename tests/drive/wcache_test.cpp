// Transport, Caching page and switch against the emulated drive, in process:
// each row names a drive, the call, and every command the drive must see
// (an accepted MODE SELECT is followed by the reading that confirms it).
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <functional>

#include "sandbox.h"
#include "wcache/wcache.h"

extern "C" unsigned DriveLastTimeout(void);

using namespace sandbox;
using Lines = std::vector<std::string>;

namespace {

// Commands as the drive logs them.
const std::string MS10H = "5a 00 08 00 00 00 00 00 08 00";
const std::string MS10_36 = "5a 00 08 00 00 00 00 00 24 00";  // with block descriptor
const std::string MS10_28 = "5a 00 08 00 00 00 00 00 1c 00";  // without
const std::string MS6H = "1a 00 08 00 04 00";
const std::string MS6_32 = "1a 00 08 00 20 00";
const std::string MS6_24 = "1a 00 08 00 18 00";
const std::string HDIO0 = "hdio 0";
const std::string ATA16 = "85 06 20 00 82 00 00 00 00 00 00 00 00 40 ef 00";
const std::string ATA12 = "a1 06 20 82 00 00 00 00 40 ef 00 00";
const std::string SYNC10 = "35 00 00 00 00 00 00 00 00 00";
const std::string SYNC16 = "91 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00";
// What goes back: reserved MODE DATA LENGTH, device-specific parameter and PS
// cleared, WCE off, every other byte as the drive reported it.
const std::string BD = "ff ff ff ff 00 00 02 00";
const std::string PAGE_OFF = "08 12 10 00 ff ff 00 00 ff ff ff ff 00 14 00 00 00 00 00 00";
const std::string MSEL10_36 = "55 10 00 00 00 00 00 00 24 00 > 00 00 00 00 00 00 00 08 " + BD + " " + PAGE_OFF;
const std::string MSEL10_28 = "55 10 00 00 00 00 00 00 1c 00 > 00 00 00 00 00 00 00 00 " + PAGE_OFF;
const std::string MSEL6_32 = "15 10 00 00 20 00 > 00 00 00 08 " + BD + " " + PAGE_OFF;
const std::string MSEL6_24 = "15 10 00 00 18 00 > 00 00 00 00 " + PAGE_OFF;

int WithDisk(const std::string &drive, const std::function<int(int)> &op)
{
    AddDisk({"sdc", {}, 1, "write back", drive});
    int fd = open("/dev/sdc", O_RDONLY | O_NONBLOCK);
    EXPECT_GE(fd, 0);
    int rc = op(fd);
    close(fd);
    return rc;
}

Lines Cat(std::initializer_list<Lines> parts)
{
    Lines out;
    for (const Lines &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct SwitchCase {
    const char *name;
    std::string drive;
    int result;
    int wceAfter;
    Lines commands;
};
void PrintTo(const SwitchCase &c, std::ostream *os) { *os << c.name; }

const Lines READ10 = {MS10H, MS10_36};
const Lines READ10_NOBD = {MS10H, MS10_28};

const SwitchCase kSwitch[] = {
    {"already_off_reads_only", "personality=sata wce=0", -1, 0, READ10},
    {"hdio_works", "personality=sata hdio=ok", 0, 0, Cat({READ10, {HDIO0}, READ10})},
    {"ata16_works_ata12_never_sent", "personality=sata", 0, 0, Cat({READ10, {HDIO0, ATA16}, READ10})},
    {"hdio_claims_success_wce_stays", "personality=sata hdio=noop", 0, 0,
     Cat({READ10, {HDIO0}, READ10, READ10, {MSEL10_36}, READ10})},
    {"sas_fixed_sense_counts_then_mode_select10", "personality=sas hdio=einval", 0, 0,
     Cat({READ10, {HDIO0, ATA16}, READ10, READ10, {MSEL10_36}, READ10})},
    {"ata_err_both_forms_then_select6", "personality=sata atastatus=51 reject=55", 0, 0,
     Cat({READ10, {HDIO0, ATA16, ATA12}, READ10, {MSEL10_36, MS6H, MS6_32, MSEL6_32}, READ10})},
    {"ata_drq_both_forms", "personality=sata atastatus=58", 0, 0,
     Cat({READ10, {HDIO0, ATA16, ATA12}, READ10, {MSEL10_36}, READ10})},
    {"first_reading_fails_skips_hdio_and_ata", "personality=sata fault=ioctl:5a,1a", 1, 1,
     {MS10H, MS6H, MS10H, MS6H}},
    {"select_fallback_to_six_without_block_descriptor", "personality=sas blockdesc=0 reject=55", 0, 0,
     Cat({READ10_NOBD, {HDIO0, ATA16}, READ10_NOBD, READ10_NOBD, {MSEL10_28, MS6H, MS6_24, MSEL6_24}, READ10_NOBD})},
    {"everything_refused", "personality=sas reject=55,15", 1, 1,
     Cat({READ10, {HDIO0, ATA16}, READ10, READ10, {MSEL10_36, MS6H, MS6_32, MSEL6_32}})},
    {"mode_data_too_short_in_both_forms", "personality=sata mdl10=10 mdl6=10", 1, 1,
     {MS10H, "5a 00 08 00 00 00 00 00 0c 00", MS6H, "1a 00 08 00 0b 00", MS10H,
      "5a 00 08 00 00 00 00 00 0c 00", MS6H, "1a 00 08 00 0b 00"}},
    {"host_status_on_mode_sense10_uses_six", "personality=sata fault=host:5a", 0, 0,
     {MS10H, MS6H, MS6_32, HDIO0, ATA16, MS10H, MS6H, MS6_32}},
    {"ata16_times_out_ata12_works", "personality=sata fault=timeout:85", 0, 0,
     Cat({READ10, {HDIO0, ATA16, ATA12}, READ10})},
    {"strict_target_accepts_cleared_ps_and_dpofua", "personality=sas strict=1", 0, 0,
     Cat({READ10, {HDIO0, ATA16}, READ10, READ10, {MSEL10_36}, READ10})},
    // Mode data that grows between the passes: the length sent back is the
    // one allocated, never the larger one of the second answer.
    {"grown_mode_data_never_overruns", "personality=sas blockdesc=0 grow=16", 0, 0,
     Cat({READ10_NOBD, {HDIO0, ATA16}, READ10_NOBD, READ10_NOBD, {MSEL10_28}, READ10_NOBD})},
};

class SwitchTest : public SandboxTest, public ::testing::WithParamInterface<SwitchCase> {};

TEST_P(SwitchTest, MethodOrderAndCommands)
{
    const SwitchCase &c = GetParam();
    EXPECT_EQ(WithDisk(c.drive, [](int fd) { return SetWce(fd, 0); }), c.result);
    EXPECT_EQ(DriveCommands("sdc"), c.commands);
    EXPECT_EQ(DriveWce("sdc"), c.wceAfter);
}
INSTANTIATE_TEST_SUITE_P(Drives, SwitchTest, ::testing::ValuesIn(kSwitch),
                         [](const auto &info) { return std::string(info.param.name); });

class ModePageTest : public SandboxTest {};

// The drive claims 36 bytes but moves 28: only the 28 it sent go back in
// MODE SELECT, never the zeros (or heap bytes) behind them. A drive that
// moves the header alone has sent no page: the switch fails, and says so.
TEST_F(ModePageTest, ShortTransferSendsOnlyWhatArrived)
{
    mallopt(M_PERTURB, 0x5a);
    int rc = WithDisk("personality=sas blockdesc=0 mdl10=34 xfer=28 reject=15",
                      [](int fd) { return SetWce(fd, 0); });
    mallopt(M_PERTURB, 0);
    EXPECT_EQ(rc, 0);
    const std::string sent = "55 10 00 00 00 00 00 00 1c 00 > 00 00 00 00 00 00 00 00 " + PAGE_OFF;
    Lines cmds = DriveCommands("sdc");
    EXPECT_NE(std::find(cmds.begin(), cmds.end(), sent), cmds.end()) << testing::PrintToString(cmds);

    Reset();
    EXPECT_EQ(WithDisk("personality=sas xfer=8", [](int fd) { return SetWce(fd, 0); }), 1);
    for (const std::string &cmd : DriveCommands("sdc")) {
        EXPECT_NE(cmd.substr(0, 2), "55") << cmd;
        EXPECT_NE(cmd.substr(0, 2), "15") << cmd;
    }
}

struct ReadCase {
    const char *name;
    std::string drive;
    int result;
    uint32_t wce;  // 7: left untouched
    Lines log;
};
void PrintTo(const ReadCase &c, std::ostream *os) { *os << c.name; }

const ReadCase kRead[] = {
    {"ten_byte_with_descriptor", "wce=1", 0, 1, {}},
    {"ten_byte_without_descriptor", "wce=0 blockdesc=0", 0, 0, {}},
    {"largest_mode_data_accepted", "wce=1 mdl10=8190", 0, 1, {}},
    {"mode_data_over_8192_falls_back", "wce=0 mdl10=8191", 0, 0, {"ERROR bufferLen exceeds: 8193!"}},
    {"page_cut_in_ten_falls_back_to_six", "wce=1 mdl10=33", 0, 1, {}},
    {"page_cut_in_six_too", "wce=1 mdl10=33 mdl6=30", 1, 7, {}},
    {"bare_six_byte_header_refused", "reject=5a mdl6=3", 1, 7,
     {"WARNING SG IO excute failed 1 0 8.", "ERROR get mode parameter header failed!",
      "WARNING bufferLen invalied!"}},
    {"six_byte_without_page", "reject=5a mdl6=4", 1, 7,
     {"WARNING SG IO excute failed 1 0 8.", "ERROR get mode parameter header failed!"}},
    {"mode_sense_ioctl_refused", "fault=ioctl:5a,1a", 1, 7,
     {"ERROR send sg IO failed -1.", "ERROR get mode parameter header failed!", "ERROR send sg IO failed -1.",
      "ERROR get mode parameter header failed!"}},
};

class ReadTest : public SandboxTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadTest, WceFromModeData)
{
    const ReadCase &c = GetParam();
    uint32_t wce = 7;
    EXPECT_EQ(WithDisk(c.drive, [&wce](int fd) { return GetWce(fd, 0, &wce); }), c.result);
    EXPECT_EQ(wce, c.wce);
    EXPECT_EQ(LogMessages(), c.log);
}
INSTANTIATE_TEST_SUITE_P(Drives, ReadTest, ::testing::ValuesIn(kRead),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(ModePageTest, GetWceWithoutOutPointerLogsIt)
{
    EXPECT_EQ(WithDisk("wce=1", [](int fd) { return GetWce(fd, 0, nullptr); }), 1);
    EXPECT_EQ(LogMessages(), Lines{"ERROR point error, wceValue:(nil)"});
    EXPECT_TRUE(DriveCommands("sdc").empty());
}

TEST_F(ModePageTest, ModeSelectAtWantedValueSendsNothing)
{
    uint8_t data[24] = {0x17, 0, 0x10, 0, 0x88, 0x12, 0x10};
    ModeBuffer buffer = {sizeof(data), data};
    EXPECT_EQ(WithDisk("wce=0", [&](int fd) { return ModeSelectWce(fd, 0, data + 4, &buffer, 0); }), -1);
    EXPECT_EQ(data[0], 0x17);
    EXPECT_TRUE(DriveCommands("sdc").empty());
}

struct TransportCase {
    const char *name;
    std::string drive;
    int32_t checkAta;
    uint32_t timeout;
    int result;
    unsigned headerTimeout;
    Lines log;
};
void PrintTo(const TransportCase &c, std::ostream *os) { *os << c.name; }

const TransportCase kTransport[] = {
    {"ata_status_50_tolerated", "personality=sata", 1, 0, 0, 60000, {}},
    {"ck_cond_without_ata_check_is_failure", "personality=sata", 0, 0, 1, 60000,
     {"WARNING SG IO excute failed 1 0 8."}},
    {"ata_err", "personality=sata atastatus=51", 1, 0, 1, 60000, {"WARNING SG IO excute failed 1 0 8."}},
    {"ata_drq", "personality=sata atastatus=58", 1, 0, 1, 60000, {"WARNING SG IO excute failed 1 0 8."}},
    {"fixed_sense_leaves_byte21_zero", "personality=sas", 1, 1234, 0, 1234, {}},
    {"ioctl_refused", "fault=ioctl:85", 1, 0, 1, 60000, {"ERROR send sg IO failed -1."}},
    {"host_status", "fault=host:85", 1, 0, 1, 60000, {"WARNING SG IO excute failed 0 7 0."}},
    {"timed_out", "fault=timeout:85", 1, 0, 1, 60000, {"WARNING SG IO excute failed 0 3 0."}},
};

class TransportTest : public SandboxTest, public ::testing::WithParamInterface<TransportCase> {};

TEST_P(TransportTest, OutcomeAndLog)
{
    const TransportCase &c = GetParam();
    uint8_t cdb[16] = {0x85, 0x06, 0x20, 0, 0x82, 0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0xef, 0};
    uint8_t sense[64] = {};
    SgRequest request = {cdb, 16, -1, nullptr, 0, sense, 64, c.timeout, nullptr};
    EXPECT_EQ(WithDisk(c.drive, [&](int fd) { return SendSgIo(fd, &request, c.checkAta); }), c.result);
    EXPECT_EQ(DriveLastTimeout(), c.headerTimeout);
    EXPECT_EQ(LogMessages(), c.log);
}
INSTANTIATE_TEST_SUITE_P(Drives, TransportTest, ::testing::ValuesIn(kTransport),
                         [](const auto &info) { return std::string(info.param.name); });

struct FlushCase {
    const char *name;
    std::string drive;
    int result;
    Lines commands;
    Lines log;
};
void PrintTo(const FlushCase &c, std::ostream *os) { *os << c.name; }

const FlushCase kFlush[] = {
    {"ten_byte_flushes", "", 0, {SYNC10}, {}},
    {"ten_refused_sixteen_works", "reject=35", 0, {SYNC10, SYNC16}, {"WARNING SG IO excute failed 1 0 8."}},
    {"both_refused", "reject=35,91", 1, {SYNC10, SYNC16},
     {"WARNING SG IO excute failed 1 0 8.", "WARNING SG IO excute failed 1 0 8."}},
};

class FlushTest : public SandboxTest, public ::testing::WithParamInterface<FlushCase> {};

TEST_P(FlushTest, TenThenSixteen)
{
    const FlushCase &c = GetParam();
    EXPECT_EQ(WithDisk(c.drive.empty() ? "wce=1" : c.drive, SyncDevice), c.result);
    EXPECT_EQ(DriveCommands("sdc"), c.commands);
    EXPECT_EQ(LogMessages(), c.log);
}
INSTANTIATE_TEST_SUITE_P(Drives, FlushTest, ::testing::ValuesIn(kFlush),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
