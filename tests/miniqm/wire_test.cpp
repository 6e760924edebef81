// Framing between the libraries and the server: frames of any size arrive whole, and a peer that
// announces a huge frame and then sends little (or goes away) costs little memory.
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "miniqm/wire.h"
#include "testing/testing.h"

namespace {

struct SocketPair {
    int fd[2] = {-1, -1};
    SocketPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0); }
    ~SocketPair() {
        for (int f : fd)
            if (f >= 0) ::close(f);
    }
    void closeWriter() {
        ::close(fd[0]);
        fd[0] = -1;
    }
};

}  // namespace

TEST(WireFrames, FramesOfEverySizeArriveWhole) {
    for (size_t size :
         {size_t{0}, size_t{1}, size_t{(1u << 20) - 1}, size_t{1u << 20}, size_t{5u << 20} + 17}) {
        SocketPair sp;
        std::string sent(size, '\0');
        for (size_t i = 0; i < size; ++i) sent[i] = static_cast<char>(i * 31 + 7);
        std::thread writer([&] { EXPECT_TRUE(qmwire::sendFrame(sp.fd[0], sent)); });
        std::string got;
        EXPECT_TRUE(qmwire::recvFrame(sp.fd[1], got));
        writer.join();
        EXPECT_EQ(got.size(), size);
        EXPECT_TRUE(got == sent);
    }
}

TEST(WireFrames, AnAnnouncedHugeFrameThatNeverComesHoldsLittle) {
    SocketPair sp;
    qmwire::Writer w;
    w.u32(qmwire::kMaxFrame);  // announced, allowed, never sent
    w.raw("abc", 3);
    ASSERT_TRUE(qmwire::sendFrame(sp.fd[0], std::string()));  // one good empty frame first
    ASSERT_EQ(::write(sp.fd[0], w.bytes().data(), w.bytes().size()), static_cast<ssize_t>(w.bytes().size()));
    sp.closeWriter();
    std::string body;
    EXPECT_TRUE(qmwire::recvFrame(sp.fd[1], body));
    EXPECT_TRUE(body.empty());
    EXPECT_FALSE(qmwire::recvFrame(sp.fd[1], body));
    EXPECT_LE(body.capacity(), size_t{4u << 20});

    SocketPair tooBig;
    qmwire::Writer big;
    big.u32(qmwire::kMaxFrame + 1);
    ASSERT_EQ(::write(tooBig.fd[0], big.bytes().data(), 4), 4);
    EXPECT_FALSE(qmwire::recvFrame(tooBig.fd[1], body));
}
