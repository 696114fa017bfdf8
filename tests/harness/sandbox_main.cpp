// Test main: isolate first, then run the tests.
#include <cstdio>

#include "sandbox.h"

int main(int argc, char **argv)
{
    if (!sandbox::EnterSandbox()) {
        fprintf(stderr, "cannot enter a private mount namespace (root needed); refusing to run\n");
        return 1;
    }
    sandbox::Reset();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
