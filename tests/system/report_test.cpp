// The report against the daemon: for every kind of disk a storage server
// holds, the report's verdict must be what the daemon's next cycle then does,
// and the report itself must change nothing.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "json.h"
#include "sandbox.h"

using namespace sandbox;
using Lines = std::vector<std::string>;

namespace {

// ---- running the report --------------------------------------------------
Exit Report(std::vector<std::string> args = {}, RunOptions opts = WithDrives())
{
    args.insert(args.begin(), ZARVEL_REPORT_PATH);
    Process proc = Start(args, opts);
    return Stop(proc, 0);
}

// The disks of a --json report, by name.
std::map<std::string, Json> JsonDisks(const Exit &run)
{
    Json doc;
    EXPECT_TRUE(ParseJson(run.out, &doc)) << run.out;
    EXPECT_TRUE(ValidUtf8(run.out)) << run.out;
    std::map<std::string, Json> disks;
    for (const Json &d : doc["disks"].a) disks[d["name"].s] = d;
    return disks;
}

// MODE SENSE(6) and (10) are the only commands a report may send.
bool OnlyModeSense(const Lines &commands)
{
    for (const std::string &c : commands)
        if (c.compare(0, 2, "5a") != 0 && c.compare(0, 2, "1a") != 0) return false;
    return true;
}

bool Logged(const std::string &message)
{
    Lines all = LogMessages();
    return std::find(all.begin(), all.end(), message) != all.end();
}

const char *const FSID[] = {"0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0", "1f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f1",
                            "2f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f2"};

struct Pv {
    std::string dev, vg;
};

// The logical volume /dev/<vg>/<lv> at path, on the physical volume of its group.
void AddLvNode(const std::string &path, const std::vector<Pv> &pvs)
{
    std::string vg = path.substr(5, path.rfind('/') - 5);
    for (const Pv &pv : pvs) {
        if (pv.vg == vg) AddLv(vg, path.substr(path.rfind('/') + 1), {pv.dev});
    }
}

// ---- one row per kind of disk: sdc is the disk under test, sdf an SSD that
// holds block.db partitions; sdc's verdict must match the daemon's deed.
struct Scenario {
    const char *name;
    std::vector<std::string> partitions;
    int rotational;
    std::string writeCache;
    std::string drive;
    std::vector<Pv> pvs;
    std::string type, block, blockDb;  // the OSD "ceph-0"; block "" = none, type "-": no OSD tree either
    Json::Kind osd;                    // STR when an OSD is expected
    std::string match, verdict, action;
    int exitBefore, exitAfter;
    bool hangs = false;  // sdc never answers a read
};
void PrintTo(const Scenario &s, std::ostream *os) { *os << s.name; }

const Scenario kScenarios[] = {
    {.name = "lvm_osd", .rotational = 1, .writeCache = "write back", .drive = "personality=sata",
     .pvs = {{"sdc", "ceph-a"}, {"sdf1", "ceph-db"}}, .type = "bluestore", .block = "/dev/ceph-a/osd-block-0",
     .blockDb = "/dev/ceph-db/db-0", .osd = Json::STR, .match = "vg:ceph-a", .verdict = "target",
     .action = "switch", .exitBefore = 1, .exitAfter = 0},
    {.name = "raw_osd_on_partition", .partitions = {"sdc1", "sdc2"}, .rotational = 1, .writeCache = "write back",
     .drive = "personality=sas", .type = "bluestore", .block = "/dev/sdc2", .blockDb = "/dev/sdf2",
     .osd = Json::STR, .match = "device", .verdict = "target", .action = "switch", .exitBefore = 1, .exitAfter = 0},
    {.name = "filestore", .partitions = {"sdc1"}, .rotational = 1, .writeCache = "write back",
     .drive = "personality=sata", .type = "filestore", .block = "/dev/sdc1", .blockDb = "/dev/sdf3",
     .osd = Json::STR, .match = "device", .verdict = "filestore", .action = "none", .exitBefore = 0,
     .exitAfter = 0},
    {.name = "bluestore_without_block_db", .rotational = 1, .writeCache = "write back", .drive = "personality=sata",
     .type = "bluestore", .block = "/dev/sdc", .osd = Json::STR, .match = "device", .verdict = "no block.db",
     .action = "none", .exitBefore = 0, .exitAfter = 0},
    {.name = "block_db_same_as_block", .rotational = 1, .writeCache = "write back", .drive = "personality=sata",
     .type = "bluestore", .block = "/dev/sdc", .blockDb = "/dev/sdc", .osd = Json::STR, .match = "device",
     .verdict = "block.db on the same disk", .action = "none", .exitBefore = 0, .exitAfter = 0},
    {.name = "block_db_on_another_partition_of_the_disk", .partitions = {"sdc1", "sdc2"}, .rotational = 1,
     .writeCache = "write back", .drive = "personality=sata", .type = "bluestore", .block = "/dev/sdc1",
     .blockDb = "/dev/sdc2", .osd = Json::STR, .match = "device", .verdict = "block.db on the same disk",
     .action = "none", .exitBefore = 0, .exitAfter = 0},
    {.name = "ssd", .rotational = 0, .writeCache = "write back", .drive = "personality=sata", .type = "bluestore",
     .block = "/dev/sdc", .blockDb = "/dev/sdf1", .osd = Json::STR, .match = "device", .verdict = "not rotational",
     .action = "none", .exitBefore = 0, .exitAfter = 0},
    {.name = "disk_of_no_osd", .partitions = {"sdc1"}, .rotational = 1, .writeCache = "write back",
     .drive = "personality=sata", .osd = Json::NUL, .verdict = "no OSD", .action = "none", .exitBefore = 0,
     .exitAfter = 0},
    {.name = "no_osd_dir", .partitions = {"sdc1"}, .rotational = 1, .writeCache = "write back",
     .drive = "personality=sata", .type = "-", .osd = Json::NUL, .verdict = "no OSD", .action = "none",
     .exitBefore = 0, .exitAfter = 0},
    {.name = "kernel_write_through_drive_caching", .rotational = 1, .writeCache = "write through",
     .drive = "personality=sata", .type = "bluestore", .block = "/dev/sdc", .blockDb = "/dev/sdf1",
     .osd = Json::STR, .match = "device", .verdict = "target", .action = "switch", .exitBefore = 1, .exitAfter = 0},
    {.name = "kernel_write_through_drive_off", .rotational = 1, .writeCache = "write through",
     .drive = "personality=sata wce=0", .type = "bluestore", .block = "/dev/sdc", .blockDb = "/dev/sdf1",
     .osd = Json::STR, .match = "device", .verdict = "kernel already write through", .action = "none",
     .exitBefore = 0, .exitAfter = 0},
    {.name = "drive_off_kernel_write_back", .rotational = 1, .writeCache = "write back",
     .drive = "personality=sata wce=0", .type = "bluestore", .block = "/dev/sdc", .blockDb = "/dev/sdf1",
     .osd = Json::STR, .match = "device", .verdict = "target", .action = "rescan", .exitBefore = 0, .exitAfter = 0},
    {.name = "mode_page_unreadable", .rotational = 1, .writeCache = "write back",
     .drive = "personality=sata reject=5a,1a", .type = "bluestore", .block = "/dev/sdc", .blockDb = "/dev/sdf1",
     .osd = Json::STR, .match = "device", .verdict = "target", .action = "switch", .exitBefore = 1, .exitAfter = 1},
    // Without a readable label the daemon cannot know the disk is the OSD's.
    {.name = "unopenable_node", .rotational = 1, .writeCache = "write back", .type = "bluestore",
     .block = "/dev/sdc", .blockDb = "/dev/sdf1", .osd = Json::STR, .match = "device",
     .verdict = "no BlueStore label", .action = "none", .exitBefore = 0, .exitAfter = 0},
    {.name = "reads_never_finish", .rotational = 1, .writeCache = "write back", .drive = "personality=sata",
     .type = "bluestore", .block = "/dev/sdc", .blockDb = "/dev/sdf1", .osd = Json::STR, .match = "device",
     .verdict = "no BlueStore label", .action = "none", .exitBefore = 0, .exitAfter = 0, .hangs = true},
    {.name = "unknown_object_store", .rotational = 1, .writeCache = "write back", .drive = "personality=sata",
     .block = "/dev/sdc", .blockDb = "/dev/sdf1", .osd = Json::STR, .match = "device",
     .verdict = "object store unknown", .action = "none", .exitBefore = 0, .exitAfter = 0},
};

class ReportScenarioTest : public SandboxTest, public ::testing::WithParamInterface<Scenario> {
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        const Scenario &s = GetParam();
        AddDisk({"sdc", s.partitions, s.rotational, s.writeCache, s.drive});
        AddDisk({"sdf", {"sdf1", "sdf2", "sdf3"}, 0, "write back", "personality=sata"});
        if (!s.pvs.empty()) {
            AddLvNode(s.block, s.pvs);
            AddLvNode(s.blockDb, s.pvs);
        }
        // A node without a drive cannot be read: there is no label on it to see.
        if (!s.block.empty()) AddOsd({"ceph-0", FSID[0], s.type, s.block, s.blockDb, false, !s.drive.empty()});
        else if (s.type != "-") MakeDirs("/var/lib/ceph/osd");
        if (s.hangs) NeverAnswers("sdc");
    }
};

TEST_P(ReportScenarioTest, VerdictIsWhatTheDaemonDoes)
{
    const Scenario &s = GetParam();
    Exit before = Report({"--json"});
    ASSERT_TRUE(before.exited);
    EXPECT_EQ(before.status, s.exitBefore);
    std::map<std::string, Json> disks = JsonDisks(before);
    ASSERT_EQ(disks.size(), 2u) << before.out;
    const Json &sdc = disks["sdc"];
    EXPECT_EQ(sdc["verdict"].s, s.verdict);
    EXPECT_EQ(sdc["action"].s, s.action);
    EXPECT_EQ(sdc["osd"].kind, s.osd);
    EXPECT_EQ(sdc["match"].s, s.match);
    EXPECT_EQ(disks["sdf"]["verdict"].s, "not rotational");

    // The report sent MODE SENSE only and left no log behind.
    for (const char *disk : {"sdc", "sdf"}) EXPECT_TRUE(OnlyModeSense(DriveCommands(disk))) << disk;
    EXPECT_FALSE(Exists("/var/log/ceph-zarvel.log"));
    size_t reportCommands = DriveCommands("sdc").size();
    size_t ssdCommands = DriveCommands("sdf").size();

    RunOneCycle(WithDrives());
    for (const auto &[name, disk] : disks) {
        bool switched = Logged("INFO change config of " + name + " succeed") ||
                        Logged("ERROR change config of " + name + " failed");
        bool rescanned = !switched && Logged("INFO rescan dev " + name + " return 0");
        EXPECT_EQ(switched, disk["action"].s == "switch") << name;
        EXPECT_EQ(rescanned, disk["action"].s == "rescan") << name;
        if (disk["action"].s == "none") {
            EXPECT_TRUE(OnlyModeSense(DriveCommands(name))) << name;
        }
    }
    EXPECT_EQ(DriveCommands("sdf").size(), ssdCommands);  // the daemon never asks the SSD
    if (s.action == "switch" && s.exitAfter == 0) {
        EXPECT_GT(DriveCommands("sdc").size(), reportCommands);
        EXPECT_EQ(DriveWce("sdc"), 0);
    }

    // After the cycle nothing is left to do, and the exit status says so.
    Exit after = Report({"--json"});
    EXPECT_EQ(after.status, s.exitAfter);
    std::string left = JsonDisks(after)["sdc"]["action"].s;
    EXPECT_TRUE(left == "none" || s.exitAfter == 1) << left;
}
INSTANTIATE_TEST_SUITE_P(Disks, ReportScenarioTest, ::testing::ValuesIn(kScenarios),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- the formats -----------------------------------------------------------
class ReportFormatTest : public SandboxTest {
protected:
    // A target to switch, a target to rescan, a disk whose OSD directory name
    // needs escaping in every format, and the SSD that holds the block.dbs.
    void SetUp() override
    {
        SandboxTest::SetUp();
        AddDisk({"sdb", {}, 1, "write back", "personality=sata"});
        AddDisk({"sdc", {"sdc1", "sdc2"}, 1, "write back", "personality=sata wce=0"});
        AddDisk({"sdd", {}, 1, "write back", "personality=sata"});
        AddDisk({"sdf", {"sdf1", "sdf2", "sdf3"}, 0, "write back", "personality=sata"});
        AddLv("ceph-a", "osd-block-0", {"sdb"});
        AddOsd({"ceph-0", FSID[0], "bluestore", "/dev/ceph-a/osd-block-0", "/dev/sdf1"});
        AddOsd({"ceph-1", FSID[1], "bluestore", "/dev/sdc2", "/dev/sdf2"});
        // A name to escape in every format (its type is read all the same).
        AddOsd({kOddOsd, FSID[2], "bluestore", "/dev/sdd", "/dev/sdf3"});
    }
    // Quote, backslash, controls, a line separator and a bidi override, bytes not UTF-8 (a lone FF, a cut sequence).
    static constexpr const char *kOddOsd = "ceph-\"2\\x\t\n\x1b\a\r\x7f\xc2\x85\u2028\u202e\xff\xe2\x82";
    // As the log and the table show it; a label value reads the same.
    static constexpr const char *kOddShown = R"(ceph-"2\x5cx\x09\x0a\x1b\x07\x0d\x7f\xc2\x85\xe2\x80\xa8\xe2\x80\xae\xff\xe2\x82)";
};

TEST_F(ReportFormatTest, JsonFollowsTheSchema)
{
    Exit run = Report({"--json"});
    EXPECT_EQ(run.status, 1);
    std::map<std::string, Json> disks = JsonDisks(run);
    ASSERT_EQ(disks.size(), 4u);
    const Json &sdc = disks["sdc"];
    ASSERT_EQ(sdc["partitions"].a.size(), 2u);
    EXPECT_EQ(sdc["partitions"].a[0].s + " " + sdc["partitions"].a[1].s, "sdc1 sdc2");
    EXPECT_EQ(sdc["driveWce"].n, 0);
    EXPECT_EQ(sdc["action"].s, "rescan");
    EXPECT_EQ(sdc["match"].s, "device");
    EXPECT_EQ(disks["sdb"]["match"].s, "vg:ceph-a");
    EXPECT_EQ(disks["sdb"]["driveWce"].n, 1);
    EXPECT_EQ(disks["sdb"]["separateDb"].b, true);
    EXPECT_NE(run.out.find(R"("osd": "ceph-\"2\\x\u0009\u000a\u001b\u0007\u000d\u007f\u0085\u2028\u202e\u00ff\u00e2\u0082")"), std::string::npos);
    EXPECT_EQ(disks["sdd"]["objectStore"].s, "bluestore");
    EXPECT_EQ(disks["sdd"]["verdict"].s, "target");
    EXPECT_EQ(disks["sdf"]["separateDb"].kind, Json::NUL);
    EXPECT_EQ(disks["sdf"]["osd"].kind, Json::NUL);
    for (const auto &[name, d] : disks) {
        for (const char *key : {"name", "partitions", "osd", "match", "objectStore", "separateDb", "rotational",
                                "kernelWriteCache", "driveWce", "verdict", "action"})
            EXPECT_NE(d.o.count(key), 0u) << name << " lacks " << key;
        EXPECT_EQ(d["kernelWriteCache"].s, "write back");
        EXPECT_EQ(d["rotational"].b, name != "sdf");
    }
}

// The exposition format as node_exporter's textfile collector reads it.
TEST_F(ReportFormatTest, PrometheusTextfileIsWellFormed)
{
    Exit run = Report({"--prometheus"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(ValidUtf8(run.out)) << run.out;
    std::regex help("# HELP (ceph_zarvel_[a-z_]+) [^\n]+");
    std::regex type("# TYPE (ceph_zarvel_[a-z_]+) gauge");
    std::regex stamp("ceph_zarvel_report_timestamp_seconds ([0-9]+)");
    std::regex sample(R"re((ceph_zarvel_[a-z_]+)\{disk="(sd[a-z]+)",osd="((?:[^"\\\n]|\\[\\"n])*)"(?:,match="[^"]*",verdict="[^"]*")?\} (-?[0-9]+))re");
    std::map<std::string, std::map<std::string, std::string>> values;  // metric -> disk -> value
    std::string described, typed;
    std::smatch m;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
        if (std::regex_match(line, m, help)) { described = m[1]; continue; }
        if (std::regex_match(line, m, type)) { EXPECT_EQ(m[1], described); typed = m[1]; continue; }
        if (std::regex_match(line, m, stamp)) { EXPECT_NEAR(std::stod(m[1]), time(nullptr), 60); continue; }
        ASSERT_TRUE(std::regex_match(line, m, sample)) << line;
        EXPECT_EQ(m[1], typed) << "sample before its TYPE line";
        EXPECT_TRUE(values[m[1]].emplace(m[2], m[4]).second) << "duplicate series " << line;
        if (m[2] == "sdd") {
            EXPECT_EQ(std::regex_replace(m[3].str(), std::regex(R"(\\(.))"), "$1"), kOddShown);
        }
    }
    using Series = std::map<std::string, std::string>;
    EXPECT_EQ(values["ceph_zarvel_drive_write_cache"], (Series{{"sdb", "1"}, {"sdc", "0"}, {"sdd", "1"}, {"sdf", "1"}}));
    EXPECT_EQ(values["ceph_zarvel_kernel_write_cache"], (Series{{"sdb", "1"}, {"sdc", "1"}, {"sdd", "1"}, {"sdf", "1"}}));
    EXPECT_EQ(values["ceph_zarvel_target"], (Series{{"sdb", "1"}, {"sdc", "1"}, {"sdd", "1"}, {"sdf", "0"}}));
    EXPECT_EQ(values["ceph_zarvel_disk_info"], (Series{{"sdb", "1"}, {"sdc", "1"}, {"sdd", "1"}, {"sdf", "1"}}));
    EXPECT_NE(run.out.find("ceph_zarvel_disk_info{disk=\"sdb\",osd=\"ceph-0\",match=\"vg:ceph-a\",verdict=\"target\"} 1"),
              std::string::npos);
    if (system("command -v promtool >/dev/null 2>&1") == 0) {
        WriteFile("/var/lib/zarvel-sandbox/report.prom", run.out);
        EXPECT_EQ(system("promtool check metrics < /var/lib/zarvel-sandbox/report.prom"), 0);
    }
}

TEST_F(ReportFormatTest, TableIsAlignedAndSorted)
{
    AddDisk({"sdaa", {}, 1, "write back", "personality=sata"});
    Exit run = Report();
    EXPECT_EQ(run.status, 1);
    std::istringstream lines(run.out);
    Lines rows;
    for (std::string line; std::getline(lines, line);) rows.push_back(line);
    ASSERT_EQ(rows.size(), 6u) << run.out;
    EXPECT_EQ(rows[0].substr(0, 4), "DISK");
    for (size_t i = 1; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].substr(0, 4), Lines({"sdb ", "sdc ", "sdd ", "sdf ", "sdaa"})[i - 1]);
    }
    size_t verdictAt = rows[0].find("VERDICT");
    EXPECT_EQ(rows[1].substr(verdictAt, 6), "target");
    EXPECT_EQ(rows[3].find(std::string(kOddShown) + " "), rows[0].find("OSD"));
    EXPECT_NE(rows[2].find("sdc1,sdc2"), std::string::npos);
    EXPECT_NE(rows[1].find("vg:ceph-a"), std::string::npos);
    EXPECT_NE(rows[1].find("would switch"), std::string::npos);
    EXPECT_NE(rows[2].find("would rescan"), std::string::npos);
    EXPECT_EQ(rows[5].substr(verdictAt, 6), "no OSD");
}

// ---- refusals and the log ----------------------------------------------------
struct Refusal {
    const char *name;
    std::vector<std::string> args;
    uid_t uid;
    int status;
};
void PrintTo(const Refusal &r, std::ostream *os) { *os << r.name; }

const Refusal kRefusals[] = {
    {"unknown_option", {"--switch"}, 0, 2},
    {"two_formats", {"--json", "--prometheus"}, 0, 2},
    {"not_root", {}, 65534, 2},
    {"help", {"--help"}, 0, 0},
};

class ReportRefusalTest : public SandboxTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(ReportRefusalTest, ExitsWithoutTouchingDrives)
{
    const Refusal &r = GetParam();
    AddDisk({"sdb", {}, 1, "write back", "personality=sata"});
    AddOsd({"ceph-0", FSID[0], "bluestore", "/dev/sdb", "/dev/sdf1"});
    RunOptions opts = WithDrives();
    opts.uid = r.uid;
    Exit run = Report(r.args, opts);
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.status, r.status);
    EXPECT_TRUE(DriveCommands("sdb").empty());
    EXPECT_EQ(r.status == 0, run.out.find("usage:") == 0) << run.out;
    EXPECT_FALSE(Exists("/var/log/ceph-zarvel.log"));
}
INSTANTIATE_TEST_SUITE_P(Args, ReportRefusalTest, ::testing::ValuesIn(kRefusals),
                         [](const auto &info) { return std::string(info.param.name); });

class ReportLogTest : public SandboxTest {};

// With --verbose the daemon's lines go to stderr, never to its log file.
TEST_F(ReportLogTest, VerboseWritesStderrNotTheLogFile)
{
    AddDisk({"sdb", {}, 1, "write back", ""});  // no drive behind the node
    AddDisk({"sdf", {"sdf1"}, 0, "write back", ""});
    AddOsd({"ceph-0", FSID[0], "bluestore", "/dev/sdb", "/dev/sdf1"});
    std::string cmd = std::string(ZARVEL_REPORT_PATH) + " --verbose 2>&1 >/dev/null";
    Process proc = Start({"/bin/sh", "-c", cmd}, WithDrives());
    Exit run = Stop(proc, 0);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("[sdf not HDD]"), std::string::npos) << run.out;  // the rows, traced
    EXPECT_FALSE(Exists("/var/log/ceph-zarvel.log"));
    EXPECT_FALSE(Exists("/var/log/ceph-zarvel.log.old"));
}

}  // namespace
