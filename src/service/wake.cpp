// The decisions of the wait: which uevent matters, and when a change
// starts a cycle. Plain data in, an answer out; the clock is the caller's.
#include <cstring>

#include "service/service.h"

void NoteCycle(WakeState *wake, int64_t startMs, int64_t endMs)
{
    wake->cycleStartMs = startMs;
    wake->cycleEndMs = endMs;
    wake->firstEventMs = WAKE_NONE;
    wake->lastEventMs = WAKE_NONE;
}

void NoteChange(WakeState *wake, int64_t nowMs)
{
    if (wake->firstEventMs == WAKE_NONE) {
        wake->firstEventMs = nowMs;
    }
    wake->lastEventMs = nowMs;
}

int64_t MsUntilCycle(const WakeState *wake, int64_t nowMs)
{
    int64_t due = wake->cycleEndMs + static_cast<int64_t>(SERVICE_INTERVAL_S) * 1000;
    if (wake->firstEventMs != WAKE_NONE) {
        int64_t settled = wake->lastEventMs + WAKE_QUIET_MS;
        int64_t capped = wake->firstEventMs + WAKE_SETTLE_MAX_MS;
        int64_t changeDue = settled < capped ? settled : capped;
        int64_t earliest = wake->cycleStartMs + WAKE_GAP_MS;
        changeDue = changeDue > earliest ? changeDue : earliest;
        due = changeDue < due ? changeDue : due;
    }
    return due > nowMs ? due - nowMs : 0;
}

// The value of field key ("ACTION=") among the fields of msg, or null. A
// field the datagram cuts short ends at len.
static const char *FieldValue(const char *msg, size_t len, const char *key, size_t *valueLen)
{
    size_t keyLen = strlen(key);
    for (size_t at = 0; at < len;) {
        const char *end = static_cast<const char *>(memchr(msg + at, '\0', len - at));
        size_t fieldLen = end != nullptr ? static_cast<size_t>(end - (msg + at)) : len - at;
        if (fieldLen >= keyLen && memcmp(msg + at, key, keyLen) == 0) {
            *valueLen = fieldLen - keyLen;
            return msg + at + keyLen;
        }
        at += fieldLen + 1;
    }
    return nullptr;
}

static bool FieldIs(const char *msg, size_t len, const char *key, const char *value)
{
    size_t valueLen = 0;
    const char *at = FieldValue(msg, len, key, &valueLen);
    return at != nullptr && valueLen == strlen(value) && memcmp(at, value, valueLen) == 0;
}

bool UeventMatters(const char *msg, size_t len)
{
    if (msg == nullptr) {
        return false;
    }
    if (FieldIs(msg, len, "SUBSYSTEM=", "block")) {
        return FieldIs(msg, len, "ACTION=", "add") || FieldIs(msg, len, "ACTION=", "change") ||
               FieldIs(msg, len, "ACTION=", "remove");
    }
    // The kernel names the unit attention a SCSI device reported after a
    // reset, a mode change or a new inquiry; any of them may mean the drive
    // now runs with its saved or default cache setting.
    size_t uaLen = 0;
    return FieldIs(msg, len, "SUBSYSTEM=", "scsi") && FieldIs(msg, len, "DEVTYPE=", "scsi_device") &&
           FieldIs(msg, len, "ACTION=", "change") && FieldValue(msg, len, "SDEV_UA=", &uaLen) != nullptr && uaLen > 0;
}
