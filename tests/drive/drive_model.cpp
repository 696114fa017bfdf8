// A disk as SPC/SBC/SAT describe it, reduced to what write-cache control and
// the standard tools touch: INQUIRY, MODE SENSE/SELECT of the Caching page,
// ATA PASS-THROUGH SET FEATURES and IDENTIFY, SYNCHRONIZE CACHE.
#include "drive_model.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace drive {
namespace {

constexpr uint8_t CHECK_CONDITION = 0x02;
constexpr uint8_t DID_ERROR = 0x07, DID_TIME_OUT = 0x03;
constexpr uint8_t ILLEGAL_REQUEST = 0x05, RECOVERED_ERROR = 0x01, ABORTED_COMMAND = 0x0b;
constexpr uint8_t CACHING = 0x08, WCE = 0x04;

std::set<int> HexList(const std::string &text)
{
    std::set<int> out;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');) {
        out.insert(item == "*" ? -1 : static_cast<int>(strtol(item.c_str(), nullptr, 16)));
    }
    return out;
}

bool Hits(const std::set<int> &opcodes, uint8_t op)
{
    return opcodes.count(op) != 0 || opcodes.count(-1) != 0;
}

Completion Fixed(uint8_t key, uint8_t asc, uint8_t ascq)
{
    Completion c;
    c.status = CHECK_CONDITION;
    c.sense = {0x70, 0, key, 0, 0, 0, 0, 0x0a, 0, 0, 0, 0, asc, ascq, 0, 0, 0, 0};
    return c;
}
Completion InvalidOpcode() { return Fixed(ILLEGAL_REQUEST, 0x20, 0x00); }
Completion InvalidCdbField() { return Fixed(ILLEGAL_REQUEST, 0x24, 0x00); }
Completion InvalidListField() { return Fixed(ILLEGAL_REQUEST, 0x26, 0x00); }
Completion ListLengthError() { return Fixed(ILLEGAL_REQUEST, 0x1a, 0x00); }

Completion Data(std::vector<uint8_t> bytes)
{
    Completion c;
    c.dataIn = std::move(bytes);
    return c;
}

std::vector<uint8_t> CachingPage(int pc, int wce)
{
    std::vector<uint8_t> page = {0x88, 0x12, 0x10, 0, 0xff, 0xff, 0, 0, 0xff, 0xff,
                                 0xff, 0xff, 0,    0x14, 0, 0,   0, 0, 0,    0};
    if (pc == 1) {  // changeable: WCE only
        page.assign(20, 0);
        page[0] = 0x88;
        page[1] = 0x12;
        page[2] = WCE;
    } else {
        page[2] |= (pc == 2 || wce != 0) ? WCE : 0;
    }
    return page;
}

Completion ModeSense(const Profile &profile, State *state, const std::vector<uint8_t> &cdb)
{
    bool ten = cdb[0] == 0x5a;
    int pc = cdb[2] >> 6, page = cdb[2] & 0x3f;
    if ((page != CACHING && page != 0x3f) || (cdb[3] != 0 && cdb[3] != 0xff)) {
        return InvalidCdbField();
    }
    bool desc = profile.blockDesc && (cdb[1] & 0x08) == 0;
    size_t hdr = ten ? 8 : 4;
    std::vector<uint8_t> d(hdr, 0);
    d[ten ? 3 : 2] = 0x10;  // DPOFUA
    d[ten ? 7 : 3] = desc ? 8 : 0;
    if (desc) {
        d.insert(d.end(), {0xff, 0xff, 0xff, 0xff, 0, 0x00, 0x02, 0x00});
    }
    std::vector<uint8_t> p = CachingPage(pc, state->wce);
    d.insert(d.end(), p.begin(), p.end());
    int mdl = static_cast<int>(d.size() - (ten ? 2 : 1));
    int forced = ten ? profile.mdl10 : profile.mdl6;
    mdl = forced >= 0 ? forced : mdl;
    mdl += (state->senses++ % 2 == 1) ? profile.grow : 0;
    mdl = ten ? std::min(mdl, 0xffff) : std::min(mdl, 0xff);
    d.resize(static_cast<size_t>(mdl) + (ten ? 2 : 1), 0);
    d[0] = static_cast<uint8_t>(ten ? mdl >> 8 : mdl);
    d[ten ? 1 : 0] = static_cast<uint8_t>(mdl & 0xff);
    if (profile.xfer >= 0 && d.size() > static_cast<size_t>(profile.xfer)) {
        d.resize(static_cast<size_t>(profile.xfer));
    }
    return Data(d);
}

// Checks one parameter list the way a careful target does; only WCE changes.
Completion ModeSelect(const Profile &profile, State *state, const std::vector<uint8_t> &cdb,
                      const std::vector<uint8_t> &list)
{
    bool ten = cdb[0] == 0x55;
    if ((cdb[1] & 0x10) == 0) {
        return InvalidCdbField();
    }
    size_t len = ten ? (static_cast<size_t>(cdb[7]) << 8 | cdb[8]) : cdb[4];
    size_t hdr = ten ? 8 : 4;
    if (len == 0) {
        return Completion{};
    }
    if (len < hdr || list.size() < len) {
        return ListLengthError();
    }
    size_t mdl = ten ? (static_cast<size_t>(list[0]) << 8 | list[1]) : list[0];
    uint8_t medium = list[ten ? 2 : 1], devSpecific = list[ten ? 3 : 2];
    size_t bdl = ten ? (static_cast<size_t>(list[6]) << 8 | list[7]) : list[3];
    if (mdl != 0 || medium != 0 || (profile.strict && devSpecific != 0) || (bdl != 0 && bdl != 8)) {
        return InvalidListField();
    }
    size_t at = hdr + bdl;
    if (at + 2 > len || at + 2 + list[at + 1] > len) {
        return ListLengthError();
    }
    const uint8_t *page = &list[at];
    if ((page[0] & 0x7f) != CACHING || page[1] != 0x12 || at + 20 != len ||
        (profile.strict && (page[0] & 0x80) != 0)) {
        return InvalidListField();
    }
    std::vector<uint8_t> current = CachingPage(0, state->wce);
    for (size_t i = 2; i < 20; ++i) {
        uint8_t mask = i == 2 ? static_cast<uint8_t>(~WCE) : 0xff;
        if ((page[i] & mask) != (current[i] & mask)) {
            return InvalidListField();
        }
    }
    state->wce = (page[2] & WCE) != 0 ? 1 : 0;
    return Completion{};
}

std::vector<uint8_t> Identify(int wce)
{
    std::vector<uint8_t> id(512, 0);
    auto word = [&id](int w, int v) {
        id[2 * w] = static_cast<uint8_t>(v & 0xff);
        id[2 * w + 1] = static_cast<uint8_t>(v >> 8);
    };
    const char model[] = "EMULATED SATA DISK                      ";  // 40 chars
    for (int i = 0; i < 20; ++i) {  // ATA strings are byte-swapped words
        word(27 + i, (model[2 * i] << 8) | model[2 * i + 1]);
    }
    word(0, 0x0040);
    word(49, 0x0200);            // LBA
    word(80, 0x01f0);            // ATA8-ACS .. ACS-3
    word(82, 0x0020);            // write cache supported
    word(83, 0x4000);
    word(84, 0x4000);
    word(85, wce ? 0x0020 : 0);  // write cache enabled
    word(86, 0x0000);
    word(87, 0x4000);
    return id;
}

// SAT: CK_COND or an ATA error ends in descriptor sense with the ATA Status
// Return descriptor; otherwise GOOD.
Completion AtaPassThrough(const Profile &profile, State *state, const std::vector<uint8_t> &cdb)
{
    if (!profile.sata) {
        return InvalidOpcode();
    }
    bool sixteen = cdb[0] == 0x85;
    int protocol = (cdb[1] >> 1) & 0x0f;
    bool ckCond = (cdb[2] & 0x20) != 0;
    uint8_t features = cdb[sixteen ? 4 : 3], command = cdb[sixteen ? 14 : 9];
    uint8_t status = 0x50, error = 0;
    Completion c;
    if (command == 0xef && protocol == 3 && (features == 0x82 || features == 0x02)) {
        status = profile.ataStatus;
        if ((status & 0x09) == 0) {
            state->wce = features == 0x02 ? 1 : 0;
        }
    } else if ((command == 0xe7 || command == 0xea) && protocol == 3) {  // FLUSH CACHE (EXT)
    } else if (command == 0xec && protocol == 4) {
        c.dataIn = Identify(state->wce);
    } else if (protocol != 3 && protocol != 4) {
        return InvalidCdbField();
    } else {
        status = 0x51;
        error = 0x04;  // ABRT
    }
    bool failed = (status & 0x09) != 0;
    if (failed || ckCond) {
        c.status = CHECK_CONDITION;
        c.sense = {0x72, failed ? ABORTED_COMMAND : RECOVERED_ERROR, 0x00, static_cast<uint8_t>(failed ? 0x00 : 0x1d),
                   0, 0, 0, 14, 0x09, 0x0c, 0, error, 0, 0, 0, 0, 0, 0, 0, 0, 0x40, status};
    }
    return c;
}

std::vector<uint8_t> Inquiry(const Profile &profile)
{
    std::string text = std::string(profile.sata ? "ATA     " : "EMUL    ") + "EMULATED DISK   " + "1.0 ";
    std::vector<uint8_t> d = {0x00, 0x00, 0x06, 0x02, 31, 0, 0, 0x02};
    d.insert(d.end(), text.begin(), text.end());
    return d;
}

}  // namespace

bool ParseProfile(const std::string &text, Profile *profile)
{
    std::stringstream in(text);
    for (std::string token; in >> token;) {
        size_t eq = token.find('=');
        if (eq == std::string::npos) {
            return false;
        }
        std::string key = token.substr(0, eq), value = token.substr(eq + 1);
        int number = atoi(value.c_str());
        if (key == "personality") profile->sata = value == "sata";
        else if (key == "wce") profile->wce = number;
        else if (key == "hdio") profile->hdio = value;
        else if (key == "select") profile->selectNoop = value == "noop";
        else if (key == "blockdesc") profile->blockDesc = number != 0;
        else if (key == "strict") profile->strict = number != 0;
        else if (key == "atastatus") profile->ataStatus = static_cast<uint8_t>(strtol(value.c_str(), nullptr, 16));
        else if (key == "reject") profile->reject = HexList(value);
        else if (key == "mdl10") profile->mdl10 = number;
        else if (key == "mdl6") profile->mdl6 = number;
        else if (key == "grow") profile->grow = number;
        else if (key == "xfer") profile->xfer = number;
        else if (key == "fault") {
            std::stringstream faults(value);
            for (std::string f; std::getline(faults, f, ';');) {
                size_t colon = f.find(':');
                std::string kind = f.substr(0, colon);
                std::set<int> ops = HexList(colon == std::string::npos ? "*" : f.substr(colon + 1));
                std::set<int> &dest = kind == "ioctl" ? profile->ioctlFail : kind == "host" ? profile->hostFail : profile->timeOut;
                dest.insert(ops.begin(), ops.end());
            }
        } else return false;
    }
    return true;
}

Completion Execute(const Profile &profile, State *state, const std::vector<uint8_t> &cdb,
                   const std::vector<uint8_t> &dataOut)
{
    uint8_t op = cdb.empty() ? 0xff : cdb[0];
    Completion c;
    if (Hits(profile.ioctlFail, op)) {
        c.ioctlFails = true;
    } else if (Hits(profile.hostFail, op)) {
        c.host = DID_ERROR;
    } else if (Hits(profile.timeOut, op)) {
        c.host = DID_TIME_OUT;
        c.delayMs = 20;
    } else if (Hits(profile.reject, op)) {
        c = InvalidOpcode();
    } else if (op == 0x00 || op == 0x35 || op == 0x91) {  // TEST UNIT READY, SYNCHRONIZE CACHE
        c = Completion{};
    } else if (op == 0x12) {
        c = (cdb[1] & 1) == 0 ? Data(Inquiry(profile)) : cdb[2] == 0 ? Data({0, 0, 0, 1, 0}) : InvalidCdbField();
    } else if (op == 0x1a || op == 0x5a) {
        c = ModeSense(profile, state, cdb);
    } else if (op == 0x15 || op == 0x55) {
        c = profile.selectNoop ? Completion{} : ModeSelect(profile, state, cdb, dataOut);
    } else if (op == 0x85 || op == 0xa1) {
        c = AtaPassThrough(profile, state, cdb);
    } else if (op == 0x25) {
        c = Data({0xff, 0xff, 0xff, 0xff, 0, 0, 0x02, 0});
    } else {
        c = InvalidOpcode();
    }
    return c;
}

}  // namespace drive
