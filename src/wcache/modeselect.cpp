// MODE SELECT of fetched mode data with the Caching page's WCE changed: a
// command that changes the drive, so it lives apart from the sensing.
#include "bounded/bounded.h"
#include "wcache/issue.h"
#include "wcache/wcache.h"

constexpr uint8_t MODE_SELECT6 = 0x15;
constexpr uint8_t MODE_SELECT10 = 0x55;
constexpr uint8_t MODE_SELECT_PF = 0x10;
constexpr uint8_t PAGE_PS_BIT = 0x80;

int32_t ModeSelectWce(int fd, uint32_t wantedWce, uint8_t *cachingPage, ModeBuffer *modeBuffer,
                      int32_t useTenByte)
{
    uint8_t wanted = wantedWce != 0 ? WCE_BIT : 0;
    if ((cachingPage[2] & WCE_BIT) == wanted) {
        return -1;
    }
    cachingPage[2] = static_cast<uint8_t>((cachingPage[2] & ~WCE_BIT) | wanted);
    // MODE DATA LENGTH, the device-specific parameter (WP, DPOFUA) and the
    // page's PS bit are reserved in MODE SELECT; strict targets refuse them set.
    cachingPage[0] = static_cast<uint8_t>(cachingPage[0] & ~PAGE_PS_BIT);
    uint8_t *data = modeBuffer->modeData;
    uint32_t len = modeBuffer->bufferLen;
    uint8_t cdb[10];
    (void)memset_s(cdb, sizeof(cdb), 0, sizeof(cdb));
    cdb[1] = MODE_SELECT_PF;
    int32_t cdbLen = 6;
    if (useTenByte == 1) {
        data[0] = 0;
        data[1] = 0;
        data[3] = 0;
        cdb[0] = MODE_SELECT10;
        cdb[7] = static_cast<uint8_t>((len >> 8) & 0xff);
        cdb[8] = static_cast<uint8_t>(len & 0xff);
        cdbLen = 10;
    } else {
        data[0] = 0;
        data[2] = 0;
        cdb[0] = MODE_SELECT6;
        cdb[4] = static_cast<uint8_t>(len & 0xff);
    }
    return IssueDataOut(fd, cdb, cdbLen, data, len) == 0 ? 0 : 1;
}
