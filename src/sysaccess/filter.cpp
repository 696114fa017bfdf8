// The character filter in front of every guarded path and command.
#include <cctype>

#include "sysaccess/sysaccess.h"

int IsSafeString(const char *str)
{
    // Unsigned bytes: a byte above 0x7F must never reach isalnum as a
    // negative value, and is refused like every other non-ASCII byte.
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(str); *p != '\0'; ++p) {
        if (isalnum(*p) == 0 && *p != '/' && *p != '-' && *p != '_' && *p != ' ') {
            return 0;
        }
    }
    return 1;
}
