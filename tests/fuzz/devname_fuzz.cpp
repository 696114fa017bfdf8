// CheckDevName and StripPartition on arbitrary names and buffer sizes,
// against the rules: "sd", lowercase letters, digits, shorter than the
// buffer; a refused name leaves the buffer as it was. And EscapeText, with
// which such names reach the log: always valid UTF-8 without controls inside
// its buffer, and read back ("\xNN" to its byte) the name, or a cut of it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_input.h"
#include "inventory/inventory.h"
#include "log/log.h"
#include "sandbox.h"

namespace {

bool IsDiskName(const std::string &s)
{
    size_t i = 2;
    if (s.size() < 3 || s.compare(0, 2, "sd") != 0) {
        return false;
    }
    while (i < s.size() && s[i] >= 'a' && s[i] <= 'z') {
        ++i;
    }
    if (i == 2) {
        return false;
    }
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        ++i;
    }
    return i == s.size();
}

std::string Stripped(const std::string &s)
{
    size_t end = s.size();
    while (end > 2 && !(s[end - 1] >= 'a' && s[end - 1] <= 'z')) {
        --end;
    }
    return s.substr(0, end);
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
        if (c < 0x20 || c == 0x7f || c1) {
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

}  // namespace

// Refusals of long names are logged: keep the log inside a sandbox.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (!sandbox::EnterSandbox()) {
        fprintf(stderr, "devname_fuzz needs root and a private mount namespace\n");
        exit(1);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    uint32_t outLen = in.Below(24);
    std::string name = in.Text(40);
    name = name.c_str();
    char *out = static_cast<char *>(malloc(outLen + 1));  // exact size (+1 so that 0 is a real block)
    memset(out, 0x7e, outLen + 1);
    int32_t got = CheckDevName(name.c_str(), out, outLen);
    bool want = IsDiskName(name) && name.size() < outLen;
    if (got != (want ? 1 : 0)) {
        Fail("CheckDevName result", name);
    }
    for (uint32_t i = 0; i <= outLen; ++i) {
        char expected = (want && i < name.size()) ? name[i] : (want && i == name.size()) ? '\0' : 0x7e;
        if (out[i] != expected) {
            Fail("CheckDevName buffer", name);
        }
    }
    free(out);
    std::string copy = name;
    uint32_t nameLen = in.Flag() ? static_cast<uint32_t>(name.size()) : in.Below(8);
    got = StripPartition(copy.data(), nameLen);
    bool strips = nameLen > 2 && name.compare(0, 2, "sd") == 0;
    if (got != (strips ? 1 : 0) || strcmp(copy.c_str(), strips ? Stripped(name).c_str() : name.c_str()) != 0) {
        Fail("StripPartition", name);
    }
    size_t escSize = in.Below(200);
    char *esc = static_cast<char *>(malloc(escSize + 1));  // exact size, as above
    memset(esc, 0x7e, escSize + 1);
    int cut = EscapeText(name.c_str(), esc, escSize);
    std::string shown(esc, escSize > 0 ? strnlen(esc, escSize) : 0);
    std::string back = Unescaped(shown);
    if ((escSize > 0 && shown.size() == escSize) || esc[escSize] != 0x7e || !sandbox::ValidUtf8(shown) || HasControl(shown) ||
        (cut == 0 ? back != name : name.compare(0, back.size(), back) != 0)) {
        Fail("EscapeText", name);
    }
    free(esc);
    return 0;
}
