// ceph-zarvel: takes no arguments, reads no environment, runs until SIGTERM.
#include "service/service.h"

int main(int, char **)
{
    return RunService();
}
