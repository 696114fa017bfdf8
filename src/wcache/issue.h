// Private to write-cache control: one command as its issuer describes it.
#pragma once

#include <cstdint>

struct ScsiCommand {
    uint8_t *cdb;
    int32_t cdbLen;
    int32_t direction;  // SG_DXFER_*
    void *data;         // owned by the issuer; null without data
    uint32_t dataLen;
    int32_t checkAtaStatus;
    uint32_t *received;  // optional: bytes really moved, set on success
};

// Sends cmd through SendSgIo with a cleared request, a cleared 64-byte sense
// buffer and the default time limit. Returns SendSgIo's 0 or 1.
int32_t IssueCommand(int fd, const ScsiCommand *cmd);

// The Caching page inside fetched mode data of the 10-byte (useTenByte 1) or
// 6-byte form, or null when the 20-byte page does not fit in total bytes.
uint8_t *CachingPageIn(uint8_t *data, uint32_t total, int32_t useTenByte);
