// The Caching mode page: MODE SENSE with two-pass length discovery and the
// WCE reading. Nothing here changes a drive.
#include <cstdlib>

#include "bounded/bounded.h"
#include "log/log.h"
#include "wcache/issue.h"
#include "wcache/wcache.h"

constexpr uint8_t MODE_SENSE6 = 0x1a;
constexpr uint8_t MODE_SENSE10 = 0x5a;
constexpr uint32_t CACHING_PAGE_LEN = 20;

// What tells the two header forms apart.
struct HeaderForm {
    int32_t useTenByte;
    uint32_t headerLen;  // also the first-pass allocation length
};
constexpr HeaderForm FORM10 = {1, 8};
constexpr HeaderForm FORM6 = {0, 4};

static uint32_t TotalLength(const uint8_t *data, const HeaderForm &form)
{
    if (form.useTenByte == 1) {
        return ((static_cast<uint32_t>(data[0]) << 8) | data[1]) + 2;
    }
    return static_cast<uint32_t>(data[0]) + 1;
}

static uint32_t BlockDescriptorLength(const uint8_t *data, const HeaderForm &form)
{
    if (form.useTenByte == 1) {
        return (static_cast<uint32_t>(data[6]) << 8) | data[7];
    }
    return data[3];
}

// MODE SENSE may move fewer bytes than asked and still succeed, so a buffer
// is always zeroed: nothing of an earlier heap user is ever parsed or sent.
static uint8_t *AllocateCleared(uint32_t len)
{
    uint8_t *buffer = static_cast<uint8_t *>(malloc(len));
    if (buffer == nullptr) {
        WriteLog(LOG_ERROR, "malloc memory failed!\n");
        return nullptr;
    }
    (void)memset_s(buffer, len, 0, len);
    return buffer;
}

// One MODE SENSE into buffer; *received is how many bytes really arrived.
static int32_t SenseInto(int fd, int32_t pageControl, const uint8_t *page, uint8_t *buffer, uint32_t len,
                  const HeaderForm &form, uint32_t *received)
{
    ModeBuffer modeBuffer = {len, buffer};
    int32_t rc = ModeSense(fd, pageControl, page, &modeBuffer, form.useTenByte);
    *received = modeBuffer.bufferLen;
    return rc;
}

static int32_t GetModePage(int fd, int32_t pageControl, const uint8_t *page, uint8_t **outBuffer,
                    uint32_t *outLength, const HeaderForm &form)
{
    uint8_t *header = AllocateCleared(form.headerLen);
    if (header == nullptr) {
        return 1;
    }
    uint32_t received = 0;
    // A header the device did not send whole would be read as zeros.
    if (SenseInto(fd, pageControl, page, header, form.headerLen, form, &received) != 0 ||
        received < form.headerLen) {
        WriteLog(LOG_ERROR, "get mode parameter header failed!\n");
        free(header);
        return 1;
    }
    uint32_t allocated = TotalLength(header, form);
    free(header);
    if (allocated > MODE_DATA_MAX) {
        WriteLog(LOG_ERROR, "bufferLen exceeds: %d!\n", static_cast<int>(allocated));
        return 1;
    }
    uint8_t *buffer = AllocateCleared(allocated);
    if (buffer == nullptr) {
        return 1;
    }
    if (SenseInto(fd, pageControl, page, buffer, allocated, form, &received) != 0) {
        WriteLog(LOG_ERROR, "get mode parameter list failed!\n");
        free(buffer);
        return 1;
    }
    // Mode data that grew between the two commands was cut at the allocation
    // length, and bytes the device never sent are only the zeros we cleared:
    // the length we hand on covers neither.
    uint32_t total = TotalLength(buffer, form);
    if (total > allocated) {
        total = allocated;
    }
    if (total > received) {
        total = received;
    }
    if (total <= form.headerLen) {
        // "invalied": operators grep this text as it stands; do not correct it.
        WriteLog(LOG_WARNING, "bufferLen invalied!\n");
        free(buffer);
        return 1;
    }
    *outBuffer = buffer;
    *outLength = total;
    return 0;
}

// Offset of the Caching page in fetched mode data, or 0 when the 20-byte page
// does not fit in its total length.
static uint32_t CachingPageOffset(const uint8_t *data, uint32_t total, const HeaderForm &form)
{
    uint32_t offset = form.headerLen + BlockDescriptorLength(data, form);
    return total >= offset + CACHING_PAGE_LEN ? offset : 0;
}

static int32_t ReadWceIn(int fd, int32_t pageControl, uint32_t *wceValue, const HeaderForm &form)
{
    uint8_t *data = nullptr;
    uint32_t total = 0;
    int32_t rc = form.useTenByte == 1 ? GetModePage10(fd, pageControl, CACHING_PAGE, &data, &total)
                                      : GetModePage6(fd, pageControl, CACHING_PAGE, &data, &total);
    if (rc != 0) {
        return 1;
    }
    uint32_t offset = CachingPageOffset(data, total, form);
    if (offset != 0) {
        *wceValue = (data[offset + 2] & WCE_BIT) != 0 ? 1 : 0;
    }
    free(data);
    return offset != 0 ? 0 : 1;
}

int32_t ModeSense(int fd, int32_t pageControl, const uint8_t *page, ModeBuffer *modeBuffer,
                  int32_t useTenByte)
{
    uint8_t cdb[10];
    (void)memset_s(cdb, sizeof(cdb), 0, sizeof(cdb));
    uint32_t len = modeBuffer->bufferLen;
    cdb[2] = static_cast<uint8_t>(((pageControl & 0x03) << 6) | page[0]);
    cdb[3] = page[1];
    uint32_t received = len;
    int32_t cdbLen = 6;
    if (useTenByte == 1) {
        cdb[0] = MODE_SENSE10;
        cdb[7] = static_cast<uint8_t>((len >> 8) & 0xff);
        cdb[8] = static_cast<uint8_t>(len & 0xff);
        cdbLen = 10;
    } else {
        cdb[0] = MODE_SENSE6;
        cdb[4] = static_cast<uint8_t>(len & 0xff);
    }
    if (IssueDataIn(fd, cdb, cdbLen, modeBuffer->modeData, len, &received) != 0) {
        return 1;
    }
    modeBuffer->bufferLen = received;
    return 0;
}

int32_t GetModePage10(int fd, int32_t pageControl, const uint8_t *page, uint8_t **outBuffer,
                      uint32_t *outLength)
{
    return GetModePage(fd, pageControl, page, outBuffer, outLength, FORM10);
}

int32_t GetModePage6(int fd, int32_t pageControl, const uint8_t *page, uint8_t **outBuffer,
                     uint32_t *outLength)
{
    return GetModePage(fd, pageControl, page, outBuffer, outLength, FORM6);
}

int32_t GetWce(int fd, int32_t pageControl, uint32_t *wceValue)
{
    if (wceValue == nullptr) {
        WriteLog(LOG_ERROR, "point error, wceValue:%p", static_cast<void *>(wceValue));
        return 1;
    }
    if (ReadWceIn(fd, pageControl, wceValue, FORM10) == 0) {
        return 0;
    }
    return ReadWceIn(fd, pageControl, wceValue, FORM6);
}

uint8_t *CachingPageIn(uint8_t *data, uint32_t total, int32_t useTenByte)
{
    uint32_t offset = CachingPageOffset(data, total, useTenByte == 1 ? FORM10 : FORM6);
    return offset != 0 ? data + offset : nullptr;
}
