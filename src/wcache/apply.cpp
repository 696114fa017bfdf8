// PROVISIONAL stub until the apply pass lands.
#include "wcache/wcache.h"

void ApplyWriteCachePolicy(void)
{
}
