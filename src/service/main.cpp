// ceph-zarvel: reads no environment and runs until SIGTERM. It takes no
// argument: --help and --version answer and exit, and anything else is
// refused before a line is logged or a disk is touched, so that a root
// daemon is never started by a typo or by a flag it would not honour.
#include <cstdio>
#include <cstring>

#include "service/service.h"

constexpr int EXIT_USAGE = 2;

static const char USAGE[] =
    "usage: ceph-zarvel [--help | --version]\n"
    "Keeps the volatile write cache off on the rotational data disks of BlueStore\n"
    "OSDs whose block.db lies on another device, one cycle every 600 seconds until\n"
    "SIGTERM. Run with no argument, as root, by ceph-zarvel.service.\n"
    "Log: /var/log/ceph-zarvel.log. Which disks, and why: ceph-zarvel-report.\n"
    "See ceph-zarvel(8).\n";

int main(int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        return fputs(USAGE, stdout) == EOF ? EXIT_USAGE : 0;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        return puts("ceph-zarvel " ZARVEL_VERSION) == EOF ? EXIT_USAGE : 0;
    }
    if (argc > 1) {
        fputs(USAGE, stderr);
        return EXIT_USAGE;
    }
    return RunService();
}
