// Disk and partition names: which pass, and how they are cut to the disk.
#include <cstring>
#include <string>
#include <vector>

#include "inventory/inventory.h"
#include "sandbox.h"

using namespace sandbox;

class DevNameTest : public SandboxTest {};

TEST_F(DevNameTest, CheckDevNameIntoSeventeenByteSlot)
{
    const std::string sd14 = "sd" + std::string(14, 'z');
    const std::string sd15 = "sd" + std::string(15, 'z');
    const std::string any20 = "nvme" + std::string(16, '1');
    const struct {
        std::string in;
        int result;
        std::string log;  // "" = no line
    } rows[] = {
        {"sda", 1, ""},
        {"sdab", 1, ""},
        {"sda1", 1, ""},
        {"sdc12", 1, ""},
        {"sd", 0, ""},
        {"s", 0, ""},
        {"", 0, ""},
        {"sd1", 0, ""},
        {"sdA", 0, ""},
        {"sda1b", 0, ""},
        {"sda-1", 0, ""},
        {"sda ", 0, ""},
        {"sda\xe9", 0, ""},
        {"hda", 0, ""},
        {"nvme0n1", 0, ""},
        {"dm-0", 0, ""},
        {"xsda", 0, ""},
        {sd14, 1, ""},
        {sd15, 0, "ERROR pInName len:17 longer than pOutName len:17"},
        {any20, 0, "ERROR pInName len:20 longer than pOutName len:17"},
        {"sd" + std::string(18, 'a'), 0, "ERROR pInName len:20 longer than pOutName len:17"},
    };
    for (const auto &row : rows) {
        Reset();
        char out[DEV_NAME_SLOT + 4];
        memset(out, '#', sizeof(out));
        EXPECT_EQ(CheckDevName(row.in.c_str(), out, DEV_NAME_SLOT), row.result) << row.in;
        if (row.result == 1) {
            EXPECT_STREQ(out, row.in.c_str());
        } else {
            EXPECT_EQ(std::string(out, sizeof(out)), std::string(sizeof(out), '#')) << row.in << ": written";
        }
        EXPECT_EQ(LogMessages(), row.log.empty() ? std::vector<std::string>{} : std::vector<std::string>{row.log})
            << row.in;
    }
}

TEST_F(DevNameTest, MissingPointersAreReported)
{
    char out[DEV_NAME_SLOT] = {};
    char name[] = "sda1";
    EXPECT_EQ(CheckDevName(nullptr, out, sizeof(out)), 0);
    EXPECT_EQ(CheckDevName("sda", nullptr, sizeof(out)), 0);
    EXPECT_EQ(StripPartition(nullptr, 4), 0);
    EXPECT_EQ(StripPartition(name, 4), 1);
    std::vector<std::string> log = LogMessages();
    ASSERT_EQ(log.size(), 3U);
    EXPECT_EQ(log[0].rfind("ERROR point error, pInName:(nil), pOutName:0x", 0), 0U) << log[0];
    EXPECT_NE(log[1].find(", pOutName:(nil)"), std::string::npos) << log[1];
    EXPECT_EQ(log[2], "ERROR point error, devName:(nil)");
}

TEST_F(DevNameTest, StripPartitionCutsAfterLastLowercaseLetter)
{
    const struct {
        const char *in;
        int nameLen;  // -1: the string length
        int result;
        const char *after;
    } rows[] = {
        {"sda", -1, 1, "sda"},       {"sda1", -1, 1, "sda"},  {"sdab12", -1, 1, "sdab"},
        {"sd12", -1, 1, "sd"},       {"sdA1", -1, 1, "sd"},   {"sda1b", -1, 1, "sda1b"},
        {"hda1", -1, 0, "hda1"},     {"sda", 2, 0, "sda"},    {"sd", 3, 1, "sd"},
        {"sdc2", 99, 1, "sdc"},
    };
    for (const auto &row : rows) {
        char name[32] = {};
        strcpy(name, row.in);
        uint32_t len = row.nameLen < 0 ? static_cast<uint32_t>(strlen(row.in)) : static_cast<uint32_t>(row.nameLen);
        EXPECT_EQ(StripPartition(name, len), row.result) << row.in;
        EXPECT_STREQ(name, row.after) << row.in;
    }
    EXPECT_TRUE(LogMessages().empty());
}
