// The service loop: refresh, apply, sleep, until SIGTERM clears g_running.
#include "service/service.h"

#include <unistd.h>

#include "inventory/inventory.h"
#include "log/log.h"
#include "wcache/wcache.h"

volatile sig_atomic_t g_running = 1;

static void HandleSigterm(int)
{
    g_running = 0;
}

int RunService(void)
{
    // A notice to a standard output that nobody reads any more (a manual run
    // piped into a pager that quit) must fail, not end the service. Commands
    // get SIGPIPE back at its default when they start.
    (void)signal(SIGPIPE, SIG_IGN);
    WriteLog(LOG_INFO, "ceph zarvel start\n");
    // signal() on Linux keeps the handler and restarts interrupted calls;
    // only sleep() ends early, which is what lets a stop cut the wait short.
    (void)signal(SIGTERM, HandleSigterm);
    InitDeviceInfo();
    while (g_running != 0) {
        if (UpdateDeviceInfo() == 0) {
            ApplyWriteCachePolicy();
        }
        (void)sleep(SERVICE_INTERVAL_S);
    }
    FreeDeviceInfo();
    WriteLog(LOG_INFO, "ceph zarvel stop\n");
    return 0;
}
