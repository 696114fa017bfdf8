// SCSI disk and partition names: recognise them, cut them to the disk.
#include <cstring>

#include "bounded/bounded.h"
#include "inventory/inventory.h"
#include "log/log.h"

static bool IsLower(char c)
{
    return c >= 'a' && c <= 'z';
}

static bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// "sd", at least one lowercase letter, then letters, then digits only.
static bool HasDiskNameForm(const char *name)
{
    if (name[0] != 's' || name[1] != 'd' || !IsLower(name[2])) {
        return false;
    }
    const char *p = name + 3;
    while (IsLower(*p)) {
        ++p;
    }
    while (IsDigit(*p)) {
        ++p;
    }
    return *p == '\0';
}

int32_t CheckDevName(const char *pInName, char *pOutName, uint32_t outNameLen)
{
    if (pInName == nullptr || pOutName == nullptr) {
        WriteLog(LOG_ERROR, "point error, pInName:%p, pOutName:%p\n", static_cast<const void *>(pInName),
                 static_cast<void *>(pOutName));
        return 0;
    }
    size_t len = strlen(pInName);
    if (len <= 2) {
        return 0;
    }
    // Before the form test, so that an over-long entry is reported whatever it is.
    if (len >= outNameLen) {
        WriteLog(LOG_ERROR, "pInName len:%lu longer than pOutName len:%u\n", static_cast<unsigned long>(len),
                 outNameLen);
        return 0;
    }
    if (!HasDiskNameForm(pInName)) {
        return 0;
    }
    int rc = memcpy_s(pOutName, outNameLen, pInName, len);
    if (rc != BC_OK) {
        WriteLog(LOG_ERROR, "memcpy_s failed:%d\n", rc);
        return 0;
    }
    pOutName[len] = '\0';
    return 1;
}

int32_t StripPartition(char *devName, uint32_t nameLen)
{
    if (devName == nullptr) {
        WriteLog(LOG_ERROR, "point error, devName:%p\n", static_cast<void *>(devName));
        return 0;
    }
    if (nameLen <= 2 || devName[0] != 's' || devName[1] != 'd') {
        return 0;
    }
    // The caller's length only gates the call; the cut works on the string itself.
    size_t cut = 2;
    for (size_t pos = strlen(devName); pos > 2; --pos) {
        if (IsLower(devName[pos - 1])) {
            cut = pos;
            break;
        }
    }
    devName[cut] = '\0';
    return 1;
}
