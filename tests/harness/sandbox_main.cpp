// Test main: isolate first, then run the tests.
#include <unistd.h>

#include <cstdio>

#include "sandbox.h"

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests)) {
        return RUN_ALL_TESTS();  // lists them, runs none
    }
    if (geteuid() != 0) {
        fprintf(stderr, "skipped: not root, and the sandbox needs a private mount namespace\n");
        return sandbox::kSkipStatus;
    }
    if (!sandbox::EnterSandbox()) {
        fprintf(stderr, "cannot enter a private mount namespace (root needed); refusing to run\n");
        return 1;
    }
    sandbox::Reset();
    return RUN_ALL_TESTS();
}
