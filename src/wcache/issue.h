// Private to write-cache control: one command as its issuer describes it.
#pragma once

#include <cstdint>

// The mode page every reader and writer of the write cache asks for.
constexpr uint8_t CACHING_PAGE[2] = {0x08, 0x00};
// WCE in byte 2 of the Caching page.
constexpr uint8_t WCE_BIT = 0x04;

// One issuer per data direction, so that only the transport knows the
// kernel's direction codes. Each sends the cdbLen bytes of cdb through
// SendSgIo with a cleared request, a cleared 64-byte sense buffer and the
// default time limit, and returns SendSgIo's 0 or 1. The issuer owns data.

// The drive sends up to dataLen bytes into data; *received (optional) gets
// the bytes really moved, on success only.
int32_t IssueDataIn(int fd, uint8_t *cdb, int32_t cdbLen, void *data, uint32_t dataLen, uint32_t *received);
// The drive takes dataLen bytes from data.
int32_t IssueDataOut(int fd, uint8_t *cdb, int32_t cdbLen, void *data, uint32_t dataLen);
// No data moves. checkAtaStatus 1: a CHECK CONDITION carrying a clean ATA
// status (ATA PASS-THROUGH with CK_COND) counts as success.
int32_t IssueNoData(int fd, uint8_t *cdb, int32_t cdbLen, int32_t checkAtaStatus);

// The Caching page inside fetched mode data of the 10-byte (useTenByte 1) or
// 6-byte form, or null when the 20-byte page does not fit in total bytes.
uint8_t *CachingPageIn(uint8_t *data, uint32_t total, int32_t useTenByte);
