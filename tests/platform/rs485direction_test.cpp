// The kernel's RS-485 mode needs a driver that has it; a pseudo-terminal has
// none, so what can be seen here is the fallback: no mode taken, and the
// port left as it was for the connection's own RTS toggling.
#include "platform/rs485direction.h"

#include <gtest/gtest.h>

#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace platform;

TEST(Rs485Direction, APortWithoutTheKernelsModeIsLeftToRtsToggling) {
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(TRs485Direction::Enable(slave), nullptr);
    EXPECT_EQ(TRs485Direction::Enable(-1), nullptr);
    close(slave);
    close(master);
}
