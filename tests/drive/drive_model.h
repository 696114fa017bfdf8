// The emulated drive's behaviour: one SCSI command in, one completion out.
// Plain data, no I/O: the hooks load and save it around every command.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace drive {

// Parsed from the drive file, e.g. "personality=sata wce=1 hdio=enotty".
struct Profile {
    bool sata = true;              // personality=sata|sas
    int wce = 1;                   // initial WCE
    std::string hdio = "enotty";   // ok | noop | enotty | einval
    bool selectNoop = false;       // select=noop: MODE SELECT answers GOOD, WCE stays
    bool blockDesc = true;         // blockdesc=1: 8-byte descriptor unless DBD
    bool strict = false;           // strict=1: PS and device-specific must be 0
    uint8_t ataStatus = 0x50;      // atastatus=51: SET FEATURES ends with this
    std::set<int> reject;          // reject=85,a1: INVALID COMMAND OPERATION CODE
    std::set<int> ioctlFail;       // fault=ioctl:5a   SG_IO itself fails
    std::set<int> hostFail;        // fault=host:35    host status DID_ERROR
    std::set<int> timeOut;         // fault=timeout:85 DID_TIME_OUT after a delay
    int mdl10 = -1, mdl6 = -1;     // reported MODE DATA LENGTH (data padded/cut)
    int grow = 0;                  // every 2nd MODE SENSE reports this much more
    int xfer = -1;                 // MODE SENSE moves at most this many bytes
};
bool ParseProfile(const std::string &text, Profile *profile);

struct State {
    int wce = 1;
    int senses = 0;  // MODE SENSE commands answered so far
};

struct Completion {
    uint8_t status = 0;        // SCSI status: 0 GOOD, 2 CHECK CONDITION
    uint8_t host = 0;          // host status
    bool ioctlFails = false;   // the SG_IO request itself is refused
    int delayMs = 0;
    std::vector<uint8_t> sense;
    std::vector<uint8_t> dataIn;  // before cutting to the allocation
};

// Runs one command. dataOut holds what the initiator sent.
Completion Execute(const Profile &profile, State *state, const std::vector<uint8_t> &cdb,
                   const std::vector<uint8_t> &dataOut);

}  // namespace drive
