// Test main: isolate first, then run the tests; not root, skip every one.
#include <unistd.h>

#include <cstdio>

#include "sandbox.h"

struct NotRoot : testing::Environment {
    void SetUp() override { GTEST_SKIP() << "not root: the sandbox needs a private mount namespace"; }
};

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (geteuid() != 0) {
        testing::AddGlobalTestEnvironment(new NotRoot);
        return RUN_ALL_TESTS();
    }
    if (!sandbox::EnterSandbox()) {
        fprintf(stderr, "cannot enter a private mount namespace (root needed); refusing to run\n");
        return 1;
    }
    sandbox::Reset();
    return RUN_ALL_TESTS();
}
