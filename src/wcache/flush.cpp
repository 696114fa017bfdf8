// Cache flush: SYNCHRONIZE CACHE of the whole medium, waiting for the end.
#include <scsi/sg.h>

#include "bounded/bounded.h"
#include "wcache/issue.h"
#include "wcache/wcache.h"

namespace {
constexpr uint8_t SYNC_CACHE10 = 0x35;
constexpr uint8_t SYNC_CACHE16 = 0x91;
}  // namespace

int32_t SyncCache(int fd, int32_t useTenByte)
{
    uint8_t cdb[16];
    memset_s(cdb, sizeof(cdb), 0, sizeof(cdb));
    ScsiCommand cmd = {cdb, 16, SG_DXFER_NONE, nullptr, 0, 0, nullptr};
    if (useTenByte == 1) {
        cdb[0] = SYNC_CACHE10;
        cmd.cdbLen = 10;
    } else {
        cdb[0] = SYNC_CACHE16;
    }
    return IssueCommand(fd, &cmd);
}

int32_t SyncDevice(int fd)
{
    if (SyncCache(fd, 1) == 0) {
        return 0;
    }
    return SyncCache(fd, 0);
}
