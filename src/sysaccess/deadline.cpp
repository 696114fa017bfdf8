// How long any command may take. A hung pvs (a held LVM lock, a dying disk it
// scans) must not hold up the cycle for ever; 30 s is far more than a healthy
// pvs needs even on a host with hundreds of disks.
#include "sysaccess/sysaccess.h"

const int CMD_DEADLINE_MS = 30000;
