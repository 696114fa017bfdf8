// PROVISIONAL stub until the inventory refresh lands.
#include "inventory/inventory.h"

int32_t UpdateDeviceInfo(void)
{
    return 0;
}
