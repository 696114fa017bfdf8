// Mode data and sense data from a drive that answers anything: the SG_IO and
// HDIO_SET_WCACHE requests of GetWce, SetWce and SyncDevice are answered by
// an ioctl of this binary from the fuzzer's bytes (status, host and driver
// codes, sense bytes, data of any length). Nothing may be read or written
// outside the buffers (ASan watches the exact heap blocks), and a WCE that
// GetWce reports must be 0 or 1.
#include <fcntl.h>
#include <linux/hdreg.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_input.h"
#include "sandbox.h"
#include "wcache/wcache.h"

namespace {

constexpr int kDriveFd = 1000;  // never opened: only this file's ioctl knows it
FuzzInput *g_answers = nullptr;
uint32_t g_touched = 0;

int AnswerSgIo(sg_io_hdr_t *h)
{
    FuzzInput *in = g_answers;
    uint8_t kind = in->Byte();
    if (kind % 16 == 0) {
        return -1;
    }
    for (unsigned i = 0; i < h->cmd_len; ++i) {
        g_touched += h->cmdp[i];  // the CDB must be readable whole
    }
    const uint8_t *out = static_cast<const uint8_t *>(h->dxferp);
    if (h->dxfer_direction == SG_DXFER_TO_DEV) {
        for (unsigned i = 0; i < h->dxfer_len; ++i) {
            g_touched += out[i];  // and so must the parameter list
        }
    } else if (h->dxfer_direction == SG_DXFER_FROM_DEV) {
        uint32_t moved = in->Flag() ? h->dxfer_len : in->Below(h->dxfer_len + 1);
        for (uint32_t i = 0; i < moved; ++i) {
            static_cast<uint8_t *>(h->dxferp)[i] = in->Byte();
        }
        h->resid = static_cast<int>(h->dxfer_len - moved);
    }
    static const uint8_t kStatus[] = {0, 1, 2, 4, 0x0c, 0x14};
    h->masked_status = kind & 0x10 ? kStatus[in->Below(sizeof(kStatus))] : 0;
    h->host_status = kind & 0x20 ? in->Byte() % 16 : 0;
    h->driver_status = kind & 0x40 ? in->Byte() : 0;
    for (unsigned i = 0; i < h->mx_sb_len; ++i) {
        h->sbp[i] = (kind & 0x80) ? in->Byte() : 0;
    }
    h->sb_len_wr = h->mx_sb_len;
    return 0;
}

}  // namespace

// Takes the place of the C library's ioctl for the drive's descriptor.
extern "C" int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    if (fd != kDriveFd || g_answers == nullptr) {
        errno = ENOTTY;
        return -1;
    }
    if (request == SG_IO) {
        return AnswerSgIo(static_cast<sg_io_hdr_t *>(arg));
    }
    return request == HDIO_SET_WCACHE && g_answers->Flag() ? 0 : -1;
}

// Failures are logged: keep the log inside a sandbox.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (!sandbox::EnterSandbox()) {
        fprintf(stderr, "modedata_fuzz needs root and a private mount namespace\n");
        exit(geteuid() != 0 ? sandbox::kSkipStatus : 1);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    g_answers = &in;
    uint8_t what = in.Byte() % 3;
    if (what == 0) {
        uint32_t wce = 7;
        if (GetWce(kDriveFd, 0, &wce) == 0 && wce > 1) {
            fprintf(stderr, "GetWce reported WCE %u\n", wce);
            abort();
        }
    } else if (what == 1) {
        (void)SetWce(kDriveFd, in.Byte() & 1);
    } else {
        (void)SyncDevice(kDriveFd);
    }
    g_answers = nullptr;
    return 0;
}
