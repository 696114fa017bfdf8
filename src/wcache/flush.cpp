// Cache flush: SYNCHRONIZE CACHE of the whole medium, waiting for the end.
#include "bounded/bounded.h"
#include "wcache/issue.h"
#include "wcache/wcache.h"

constexpr uint8_t SYNC_CACHE10 = 0x35;
constexpr uint8_t SYNC_CACHE16 = 0x91;

int32_t SyncCache(int fd, int32_t useTenByte)
{
    uint8_t cdb[16];
    (void)memset_s(cdb, sizeof(cdb), 0, sizeof(cdb));
    int32_t cdbLen = 16;
    if (useTenByte == 1) {
        cdb[0] = SYNC_CACHE10;
        cdbLen = 10;
    } else {
        cdb[0] = SYNC_CACHE16;
    }
    return IssueNoData(fd, cdb, cdbLen, 0);
}

int32_t SyncDevice(int fd)
{
    if (SyncCache(fd, 1) == 0) {
        return 0;
    }
    return SyncCache(fd, 0);
}
