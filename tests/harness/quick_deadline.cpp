// Linked ahead of the daemon's own library into ceph-zarvel-quick, in place
// of its 30-s command deadline: a test can wait out a hung command in seconds.
#include "sysaccess/sysaccess.h"

const int CMD_DEADLINE_MS = 2000;
