// The one place that knows the kernel's SCSI generic header: SendSgIo turns
// an SgRequest into sg_io_hdr, issues SG_IO and reduces the outcome to 0/1.
#include <scsi/sg.h>
#include <sys/ioctl.h>

#include "bounded/bounded.h"
#include "log/log.h"
#include "wcache/issue.h"
#include "wcache/wcache.h"

constexpr unsigned DRIVER_STATUS_MASK = 0x0f;
constexpr unsigned DRIVER_SENSE_CODE = 0x08;
// STATUS of the ATA Status Return descriptor when it is the first descriptor
// of descriptor-format sense data; ERR is bit 0, DRQ bit 3.
constexpr int ATA_STATUS_BYTE = 21;
constexpr uint8_t ATA_ERR_OR_DRQ = 0x09;

// CK_COND makes every ATA pass-through command end in CHECK CONDITION, so
// for those the drive's own status decides, not the SCSI status.
static bool AtaStatusIsClean(const sg_io_hdr_t *hdr, const SgRequest *request, int32_t checkAtaStatus)
{
    if ((checkAtaStatus & 1) == 0 || (hdr->driver_status & DRIVER_STATUS_MASK) != DRIVER_SENSE_CODE) {
        return false;
    }
    if (request->sense == nullptr || (request->senseLen & 0xff) <= ATA_STATUS_BYTE) {
        return false;
    }
    return (request->sense[ATA_STATUS_BYTE] & ATA_ERR_OR_DRQ) == 0;
}

// A short transfer still succeeds; the issuer that must not trust bytes the
// device never sent learns how many did arrive.
static void StoreReceived(const sg_io_hdr_t *hdr, const SgRequest *request)
{
    if (request->received == nullptr) {
        return;
    }
    uint32_t resid = hdr->resid > 0 ? static_cast<uint32_t>(hdr->resid) : 0;
    *request->received = resid < request->dataLen ? request->dataLen - resid : 0;
}

int32_t SendSgIo(int fd, const SgRequest *request, int32_t checkAtaStatus)
{
    sg_io_hdr_t hdr;
    (void)memset_s(&hdr, sizeof(hdr), 0, sizeof(hdr));
    hdr.interface_id = 'S';
    hdr.dxfer_direction = request->direction;
    hdr.cmd_len = static_cast<unsigned char>(request->cdbLen & 0xff);
    hdr.mx_sb_len = static_cast<unsigned char>(request->senseLen & 0xff);
    hdr.dxfer_len = request->dataLen;
    hdr.dxferp = request->data;
    hdr.cmdp = request->cdb;
    hdr.sbp = request->sense;
    hdr.timeout = request->timeout != 0 ? request->timeout : SG_DEFAULT_TIMEOUT_MS;

    int rc = ioctl(fd, SG_IO, &hdr);
    if (rc < 0) {
        WriteLog(LOG_ERROR, "send sg IO failed %d.\n", rc);
        return 1;
    }
    unsigned driverLow = hdr.driver_status & DRIVER_STATUS_MASK;
    if ((hdr.masked_status == 0 && hdr.host_status == 0 && driverLow == 0) ||
        AtaStatusIsClean(&hdr, request, checkAtaStatus)) {
        StoreReceived(&hdr, request);
        return 0;
    }
    // "excute": operators grep this text as it stands; do not correct it.
    WriteLog(LOG_WARNING, "SG IO excute failed %d %d %d.\n", hdr.masked_status, hdr.host_status,
             static_cast<int>(driverLow));
    return 1;
}

// The one place that fills a request from an issuer's description.
static int32_t Issue(int fd, uint8_t *cdb, int32_t cdbLen, int32_t direction, void *data, uint32_t dataLen,
              int32_t checkAtaStatus, uint32_t *received)
{
    SgRequest request;
    uint8_t sense[SENSE_LEN];
    (void)memset_s(&request, sizeof(request), 0, sizeof(request));
    (void)memset_s(sense, sizeof(sense), 0, sizeof(sense));
    request.cdb = cdb;
    request.cdbLen = cdbLen;
    request.direction = direction;
    request.data = data;
    request.dataLen = dataLen;
    request.sense = sense;
    request.senseLen = SENSE_LEN;
    request.received = received;
    return SendSgIo(fd, &request, checkAtaStatus);
}

int32_t IssueDataIn(int fd, uint8_t *cdb, int32_t cdbLen, void *data, uint32_t dataLen, uint32_t *received)
{
    return Issue(fd, cdb, cdbLen, SG_DXFER_FROM_DEV, data, dataLen, 0, received);
}

int32_t IssueDataOut(int fd, uint8_t *cdb, int32_t cdbLen, void *data, uint32_t dataLen)
{
    return Issue(fd, cdb, cdbLen, SG_DXFER_TO_DEV, data, dataLen, 0, nullptr);
}

int32_t IssueNoData(int fd, uint8_t *cdb, int32_t cdbLen, int32_t checkAtaStatus)
{
    return Issue(fd, cdb, cdbLen, SG_DXFER_NONE, nullptr, 0, checkAtaStatus, nullptr);
}
