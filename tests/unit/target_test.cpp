// Which disks are targets, and the rule behind each verdict.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#include <string>
#include <vector>

#include "inventory/inventory.h"
#include "sandbox.h"

using namespace sandbox;

namespace {

class TargetTest : public SandboxTest {};

constexpr int32_t BS = OSD_TYPE_BLUESTORE;
constexpr int32_t FS = OSD_TYPE_FILESTORE;
constexpr int32_t NONE = OSD_TYPE_NONE;

}  // namespace

TEST_F(TargetTest, VerdictAndRulePerRow)
{
    const struct {
        const char *what;
        int32_t rotational, osd, proof, db, osdType;
        int32_t rule;
    } rows[] = {
        {"separate database", 1, 0, PROOF_LABEL, DB_SEPARATE, BS, TARGET_SELECTED},
        {"a database in doubt counts as separate", 1, 0, PROOF_LABEL, DB_DOUBT, BS, TARGET_SELECTED},
        {"no OSD", 1, -1, PROOF_NOT_BLOCK, DB_NONE, NONE, TARGET_NO_OSD},
        {"the label of another OSD", 1, 0, PROOF_OTHER_LABEL, DB_SEPARATE, BS, TARGET_NO_OSD},
        {"no label", 1, 0, PROOF_NO_LABEL, DB_NONE, BS, TARGET_NO_OSD},
        {"no block.db", 1, 0, PROOF_LABEL, DB_NONE, BS, TARGET_DB_NOT_SEPARATE},
        {"database on the same disk", 1, 0, PROOF_LABEL, DB_SAME_DISK, BS, TARGET_DB_NOT_SEPARATE},
        {"database of another OSD", 1, 0, PROOF_LABEL, DB_OTHER_LABEL, BS, TARGET_DB_NOT_SEPARATE},
        {"a FileStore OSD", 1, 0, PROOF_LABEL, DB_SEPARATE, FS, TARGET_NOT_BLUESTORE},
        {"type unread", 1, 0, PROOF_LABEL, DB_SEPARATE, NONE, TARGET_NOT_BLUESTORE},
        {"not rotational", 0, 0, PROOF_LABEL, DB_SEPARATE, BS, TARGET_NOT_ROTATIONAL},
    };
    for (const auto &row : rows) {
        InventoryRow disk = {};
        disk.rotational = row.rotational;
        disk.osd = row.osd;
        disk.proof = row.proof;
        disk.db = row.db;
        disk.osdType = row.osdType;
        EXPECT_EQ(TargetRule(&disk), row.rule) << row.what;
    }
    EXPECT_EQ(TargetRule(nullptr), TARGET_NO_NAME);
}

TEST_F(TargetTest, RotationalAttribute)
{
    const struct {
        std::string text;  // "-" = no such disk in sysfs
        int32_t hdd;
    } rows[] = {{"1\n", 1}, {"1", 1}, {"0\n", 0}, {"", 0}, {"-", 0}};
    for (const auto &row : rows) {
        Reset();
        if (row.text != "-") {
            AddDisk({"sdb"});
            WriteFile("/sys/block/sdb/queue/rotational", row.text);
        }
        EXPECT_EQ(IsHdd("sdb"), row.hdd) << row.text;
        EXPECT_TRUE(LogMessages().empty()) << row.text;
    }
    EXPECT_EQ(IsHdd("sd.b"), 0);
    EXPECT_EQ(IsHdd(std::string(250, 'b').c_str()), 0);
}
