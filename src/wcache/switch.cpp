// The write-cache switch: the first method that works, confirmed by a fresh
// reading, since no method can say by itself whether the drive obeyed.
#include <linux/hdreg.h>
#include <sys/ioctl.h>

#include <cstdlib>

#include "bounded/bounded.h"
#include "wcache/issue.h"
#include "wcache/wcache.h"

constexpr uint8_t ATA_PT16 = 0x85;
constexpr uint8_t ATA_PT12 = 0xa1;
constexpr uint8_t ATA_PROTOCOL_NON_DATA = 0x06;  // PROTOCOL 3 in bits 4-1
constexpr uint8_t ATA_CK_COND = 0x20;
constexpr uint8_t ATA_SET_FEATURES = 0xef;
constexpr uint8_t ATA_DISABLE_WRITE_CACHE = 0x82;
constexpr uint8_t ATA_DEVICE_LBA = 0x40;

// Only a return of 0 counts; the request's argument is the value itself.
static bool KernelSwitchWorked(int fd, uint32_t wantedWce)
{
    return ioctl(fd, HDIO_SET_WCACHE, static_cast<unsigned long>(wantedWce)) == 0;
}

static bool DirectMethodWorked(int fd, uint32_t wantedWce)
{
    return KernelSwitchWorked(fd, wantedWce) || AtaDisableWriteCache(fd, 1) == 0 ||
           AtaDisableWriteCache(fd, 0) == 0;
}

// MODE SELECT in one form. -1/0: done; 1: this form failed.
static int32_t ModeSelectIn(int fd, uint32_t wantedWce, int32_t useTenByte)
{
    uint8_t *data = nullptr;
    uint32_t total = 0;
    int32_t fetched = useTenByte == 1 ? GetModePage10(fd, 0, CACHING_PAGE, &data, &total)
                                      : GetModePage6(fd, 0, CACHING_PAGE, &data, &total);
    if (fetched != 0) {
        return 1;
    }
    uint8_t *page = CachingPageIn(data, total, useTenByte);
    int32_t rc = 1;
    if (page != nullptr) {
        ModeBuffer modeBuffer = {total, data};
        rc = ModeSelectWce(fd, wantedWce, page, &modeBuffer, useTenByte);
    }
    free(data);
    return rc;
}

int32_t SetWce(int fd, uint32_t wantedWce)
{
    uint32_t wce = 0;
    if (GetWce(fd, 0, &wce) == 0) {
        if (wce == wantedWce) {
            return -1;
        }
        if (DirectMethodWorked(fd, wantedWce) && GetWce(fd, 0, &wce) == 0 && wce == wantedWce) {
            return 0;
        }
    }
    int32_t selected = ModeSelectIn(fd, wantedWce, 1);
    if (selected == 1) {
        selected = ModeSelectIn(fd, wantedWce, 0);
    }
    if (selected != 0) {
        return selected == -1 ? 0 : 1;  // -1: the fetched page already showed the wanted value
    }
    // An accepted MODE SELECT is no proof: some drives and controllers take
    // the page and keep their cache as it was. Only a fresh reading counts.
    return GetWce(fd, 0, &wce) == 0 && wce == wantedWce ? 0 : 1;
}

int32_t AtaDisableWriteCache(int fd, int32_t useSixteenByte)
{
    uint8_t cdb[16];
    (void)memset_s(cdb, sizeof(cdb), 0, sizeof(cdb));
    cdb[1] = ATA_PROTOCOL_NON_DATA;
    cdb[2] = ATA_CK_COND;
    int32_t cdbLen = 16;
    if (useSixteenByte != 0) {
        cdb[0] = ATA_PT16;
        cdb[4] = ATA_DISABLE_WRITE_CACHE;
        cdb[13] = ATA_DEVICE_LBA;
        cdb[14] = ATA_SET_FEATURES;
    } else {
        cdb[0] = ATA_PT12;
        cdb[3] = ATA_DISABLE_WRITE_CACHE;
        cdb[8] = ATA_DEVICE_LBA;
        cdb[9] = ATA_SET_FEATURES;
        cdbLen = 12;
    }
    return IssueNoData(fd, cdb, cdbLen, 1);
}
