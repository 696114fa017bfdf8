// CheckDevName and StripPartition on arbitrary names and on names made to
// be disk names, with buffer sizes around their lengths: a made name that
// fits is accepted, an accepted name looks like a disk name and is copied
// exactly, a refused one leaves the buffer as it was; the cut keeps a prefix
// that ends in a letter and drops only digits.
// And the escaping with which such names reach each output (below).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>

#include "fuzz_input.h"
#include "inventory/inventory.h"
#include "log/log.h"
#include "sandbox.h"

namespace {

// A disk or partition name by construction: "sd", 1-4 letters, 0-3 digits.
std::string MadeName(FuzzInput *in)
{
    std::string name = "sd";
    for (uint32_t n = 1 + in->Below(4); n > 0; --n) {
        name += static_cast<char>('a' + in->Below(26));
    }
    for (uint32_t n = in->Below(4); n > 0; --n) {
        name += static_cast<char>('0' + in->Below(10));
    }
    return name;
}

bool Lower(char c)
{
    return c >= 'a' && c <= 'z';
}

// What every accepted name shows, whatever the rule that let it in: the
// prefix, at least one letter, and nothing but letters and digits.
bool LooksLikeDiskName(const std::string &s)
{
    if (s.size() < 3 || s.compare(0, 2, "sd") != 0 || !Lower(s[2])) {
        return false;
    }
    for (char c : s) {
        if (!Lower(c) && !(c >= '0' && c <= '9')) {
            return false;
        }
    }
    return true;
}

std::string Unescaped(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        bool escape = text[i] == '\\' && text.compare(i + 1, 1, "x") == 0 && i + 3 < text.size();
        out += escape ? static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16)) : text[i];
        i += escape ? 3 : 0;
    }
    return out;
}

bool HasControl(const std::string &text)
{
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        bool c1 = c == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xa0;
        bool unicode = false;  // the line and paragraph separators, the bidi controls
        for (const char *seq : {"\u061c", "\u200e", "\u200f", "\u2028", "\u2029", "\u202a", "\u202b", "\u202c",
                                "\u202d", "\u202e", "\u2066", "\u2067", "\u2068", "\u2069"})
            unicode |= text.compare(i, strlen(seq), seq) == 0;
        if (c < 0x20 || c == 0x7f || c1 || unicode) {
            return true;
        }
    }
    return false;
}

[[noreturn]] void Fail(const char *what, const std::string &name)
{
    fprintf(stderr, "%s: \"%s\"\n", what, name.c_str());
    abort();
}

// Each sink's escaping (the log's and the table's, JSON's, a label's) into a buffer of any size: valid
// UTF-8 without controls, never past the buffer; the log's reads back to the name (or a cut), a label as the log.
void CheckEscape(FuzzInput *in, const std::string &name)
{
    static const char *const kSinks[] = {"EscapeText", "EscapeJson", "EscapeLabel"};
    size_t escSize = in->Below(200);
    std::string shown[3];
    int wasCut[3];
    for (int sink = 0; sink < 3; ++sink) {
        char *esc = static_cast<char *>(malloc(escSize + 1));  // exact size, as above
        memset(esc, 0x7e, escSize + 1);
        wasCut[sink] = (sink == 0 ? EscapeText : sink == 1 ? EscapeJson : EscapeLabel)(name.c_str(), esc, escSize);
        shown[sink].assign(esc, escSize > 0 ? strnlen(esc, escSize) : 0);
        if ((escSize > 0 && shown[sink].size() == escSize) || esc[escSize] != 0x7e || !sandbox::ValidUtf8(shown[sink]) ||
            HasControl(shown[sink])) {
            Fail(kSinks[sink], name);
        }
        free(esc);
    }
    std::string back = Unescaped(shown[0]), label = std::regex_replace(shown[2], std::regex(R"(\\(.))"), "$1");
    if ((wasCut[0] == 0 ? back != name : name.compare(0, back.size(), back) != 0) ||
        (wasCut[2] == 0 ? label != shown[0] : shown[0].compare(0, label.size(), label) != 0)) {
        Fail("read back", name);
    }
}

}  // namespace

// Refusals of long names are logged: keep the log inside a sandbox.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (!sandbox::EnterSandbox()) {
        fprintf(stderr, "devname_fuzz needs root and a private mount namespace\n");
        exit(geteuid() != 0 ? sandbox::kSkipStatus : 1);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    bool made = in.Flag();
    std::string name = made ? MadeName(&in) : in.Text(40);
    name = name.c_str();
    uint32_t outLen = in.Flag() ? static_cast<uint32_t>(name.size()) + in.Below(3) : in.Below(24);
    char *out = static_cast<char *>(malloc(outLen + 1));  // exact size (+1 so that 0 is a real block)
    memset(out, 0x7e, outLen + 1);
    int32_t got = CheckDevName(name.c_str(), out, outLen);
    if (made && name.size() < outLen && got != 1) {
        Fail("a disk name that fits was refused", name);
    }
    if (got == 1 && (!LooksLikeDiskName(name) || name.size() >= outLen)) {
        Fail("accepted what is no disk name, or does not fit", name);
    }
    for (uint32_t i = 0; i <= outLen; ++i) {
        char expected = got != 1 || i > name.size() ? 0x7e : i == name.size() ? '\0' : name[i];
        if (out[i] != expected) {
            Fail(got == 1 ? "accepted name not copied exactly" : "refusal touched the buffer", name);
        }
    }
    free(out);
    CheckEscape(&in, name);
    std::string copy = name;
    uint32_t nameLen = in.Flag() ? static_cast<uint32_t>(name.size()) : in.Below(8);
    got = StripPartition(copy.data(), nameLen);
    std::string cut = copy.c_str();
    if (got != 1) {
        if (copy != name) {
            Fail("StripPartition refused but changed the name", name);
        }
        return 0;
    }
    if (name.compare(0, cut.size(), cut) != 0 || cut.compare(0, 2, "sd") != 0) {
        Fail("StripPartition kept no \"sd\" prefix of the name", name);
    }
    if (cut.size() > 2 && !Lower(cut.back())) {
        Fail("StripPartition left a non-letter at the end", name);
    }
    for (size_t i = cut.size(); i < name.size(); ++i) {
        if (Lower(name[i])) {
            Fail("StripPartition dropped a letter", name);
        }
    }
    if (made && cut.find_first_of("0123456789") != std::string::npos) {
        Fail("StripPartition kept a partition number", name);
    }
    return 0;
}
