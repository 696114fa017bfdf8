// CheckDevName and StripPartition on arbitrary names and on names made to
// be disk names, with buffer sizes around their lengths: a made name that
// fits is accepted, an accepted name looks like a disk name and is copied
// exactly, a refused one leaves the buffer as it was; the cut keeps a prefix
// that ends in a letter and drops only digits.
// And the escaping with which names reach the log, the report's table, JSON
// and Prometheus labels: always valid UTF-8 without a raw control (C0, DEL,
// C1, U+2028, U+2029, bidi controls) inside its buffer, and read back the
// name, or a cut of it.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_input.h"
#include "json.h"
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

// The exposition format's own escapes undone: what a label value reads as.
std::string LabelRead(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        bool escape = text[i] == '\\' && i + 1 < text.size();
        i += escape ? 1 : 0;
        out += escape && text[i] == 'n' ? '\n' : text[i];
    }
    return out;
}

// What each sink's output reads back to: the name itself, but in JSON a C1
// control reads as its byte, as a byte that begins no character does.
std::string ReadBack(int sink, const std::string &shown)
{
    Json json;
    switch (sink) {
    case 0: return Unescaped(shown);
    case 1: return ParseJson("\"" + shown + "\"", &json) ? json.s : "<not JSON>";
    default: return Unescaped(LabelRead(shown));
    }
}

std::string NameAsRead(int sink, const std::string &name)
{
    std::string out = name;
    for (size_t i = 0; sink == 1 && i + 1 < out.size(); ++i) {
        if (static_cast<unsigned char>(out[i]) == 0xc2 && static_cast<unsigned char>(out[i + 1]) < 0xa0 &&
            static_cast<unsigned char>(out[i + 1]) >= 0x80) {
            out.erase(i, 1);
        }
    }
    return out;
}

[[noreturn]] void Fail(const char *what, const std::string &name)
{
    fprintf(stderr, "%s: \"%s\"\n", what, name.c_str());
    abort();
}

// Each sink's escaping (the log's and the table's, JSON's, a Prometheus
// label's) into a buffer of any size: valid UTF-8 without a raw control,
// never past the buffer, and read back to the name or a cut of it.
void CheckEscape(FuzzInput *in, const std::string &name)
{
    static const char *const kSinks[] = {"EscapeText", "EscapeJson", "EscapeLabel"};
    size_t escSize = in->Below(200);
    for (int sink = 0; sink < 3; ++sink) {
        char *esc = static_cast<char *>(malloc(escSize + 1));  // exact size, as above
        memset(esc, 0x7e, escSize + 1);
        int wasCut = (sink == 0 ? EscapeText : sink == 1 ? EscapeJson : EscapeLabel)(name.c_str(), esc, escSize);
        std::string shown(esc, escSize > 0 ? strnlen(esc, escSize) : 0);
        std::string back = ReadBack(sink, shown);
        std::string want = NameAsRead(sink, name);
        if ((escSize > 0 && shown.size() == escSize) || esc[escSize] != 0x7e || !sandbox::ValidUtf8(shown) ||
            sandbox::HasRawControl(shown) || (wasCut == 0 ? back != want : want.compare(0, back.size(), back) != 0)) {
            Fail(kSinks[sink], name);
        }
        free(esc);
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
