// Keys of the foreground, read from a pipe or a pseudo-terminal put in place of standard input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "platform/platform.h"
#include "stdin_testing.h"

namespace {

using kbt::StdinReplaced;

TEST(Keyboard, KeysComeOneAtATimeAndNoneWaitingGivesZero) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    {
        StdinReplaced input(fds[0]);
        EXPECT_EQ(evKeyboardOpen(), 0);  // a pipe is no terminal
        EXPECT_EQ(evKeyRead(0), 0);
        ASSERT_EQ(write(fds[1], "Qy", 2), 2);
        EXPECT_EQ(evKeyRead(0), 'Q');
        EXPECT_EQ(evKeyRead(1), 'y');
        EXPECT_EQ(evKeyRead(0), 0);
        close(fds[1]);
        EXPECT_EQ(evKeyRead(0), -1);  // end of input
        EXPECT_EQ(evKeyRead(1), -1);  // and no wait outlasts it
    }
    close(fds[0]);
}

// A prompt that reserved the keys reads them alone: another thread's polling gets none.
TEST(Keyboard, ReservedKeysGoToTheReservingThreadOnly) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    {
        StdinReplaced input(fds[0]);
        ASSERT_EQ(write(fds[1], "ab", 2), 2);
        evKeysReserve(1);
        int32_t polled = -2;
        std::thread poller([&polled] { polled = evKeyRead(0); });
        poller.join();
        EXPECT_EQ(polled, 0);
        EXPECT_EQ(evKeyRead(0), 'a');
        evKeysReserve(0);
        std::thread after([&polled] { polled = evKeyRead(0); });
        after.join();
        EXPECT_EQ(polled, 'b');
        close(fds[1]);
    }
    close(fds[0]);
}

TEST(Keyboard, OnATerminalKeysArriveWithoutLineEndOrEchoUntilClosed) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        GTEST_SKIP() << "no pseudo-terminals here";
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    {
        StdinReplaced input(slave);
        ASSERT_EQ(evKeyboardOpen(), 1);
        struct termios mode;
        ASSERT_EQ(tcgetattr(slave, &mode), 0);
        ASSERT_EQ(mode.c_lflag & (ICANON | ECHO), 0u);
        EXPECT_NE(mode.c_lflag & ISIG, 0u);
        ASSERT_EQ(write(master, "!", 1), 1);
        EXPECT_EQ(evKeyRead(1), '!');
        evKeyboardClose();
        ASSERT_EQ(tcgetattr(slave, &mode), 0);
        EXPECT_EQ(mode.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
    }
    close(slave);
    close(master);
}

}  // namespace
