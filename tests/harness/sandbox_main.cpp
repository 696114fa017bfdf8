// Test main: isolate first, then run the tests. Not root, every test is
// skipped with the reason (ctest counts them as skipped); root without a
// private mount namespace is a failure, never a run against the host.
#include <unistd.h>

#include <cstdio>

#include "sandbox.h"

class NeedsRoot : public testing::Environment {
    void SetUp() override { GTEST_SKIP() << "not root: the sandbox needs a private mount namespace and tmpfs mounts"; }
};

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (geteuid() != 0) {
        testing::AddGlobalTestEnvironment(new NeedsRoot);
    } else if (!sandbox::EnterSandbox()) {
        fprintf(stderr, "cannot enter a private mount namespace; refusing to run\n");
        return 1;
    } else {
        sandbox::Reset();
    }
    return RUN_ALL_TESTS();
}
