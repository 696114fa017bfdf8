// The real daemon in the sandbox: start, stop, signals.
#include <csignal>

#include "sandbox.h"

using namespace sandbox;

class ServiceTest : public SandboxTest {};

TEST_F(ServiceTest, SigtermDuringSleepStopsAtOnceWithStopLine)
{
    Exit result = RunOneCycle();
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{"INFO ceph zarvel start", "INFO ceph zarvel stop"}));
}
