// Script files open close-on-exec and know their identity; the stack left is measured on the
// calling thread.
#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif

#include "platform/platform.h"
#include "testing/testing.h"

namespace {

TEST(CSOpenStream, OpensCloseOnExecAndTellsFilesApart) {
    zt::TempDir dir;
    dir.write("a.vdr", "x\n");
    dir.write("b.vdr", "y\n");
    std::FILE *a = CSOpenStream(dir.file("a.vdr").c_str(), "r");
    std::FILE *again = CSOpenStream(dir.file("a.vdr").c_str(), "r");
    std::FILE *b = CSOpenStream(dir.file("b.vdr").c_str(), "r");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(again, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_FALSE(zt::inheritable(a));
    uint64_t device[3];
    uint64_t inode[3];
    EXPECT_EQ(CSStreamIdentity(a, &device[0], &inode[0]), 1);
    EXPECT_EQ(CSStreamIdentity(again, &device[1], &inode[1]), 1);
    EXPECT_EQ(CSStreamIdentity(b, &device[2], &inode[2]), 1);
    EXPECT_EQ(device[0], device[1]);
    EXPECT_EQ(inode[0], inode[1]);
    EXPECT_NE(inode[0], inode[2]);
    std::fclose(a);
    std::fclose(again);
    std::fclose(b);
    EXPECT_EQ(CSOpenStream(dir.file("missing.vdr").c_str(), "r"), nullptr);
}

// CSStackLeft() measured on a new thread whose stack is bytes long.
size_t stackLeftOnThread(size_t bytes) {
    static size_t left;
    left = 0;
#ifdef _WIN32
    // Windows rounds a thread's stack up to the program's default unless it is a reservation.
    auto run = [](void *) -> DWORD {
        left = CSStackLeft();
        return 0;
    };
    HANDLE thread = CreateThread(nullptr, bytes, run, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) return 0;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
#else
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_t thread;
    auto run = [](void *) -> void * {
        left = CSStackLeft();
        return nullptr;
    };
    if (pthread_attr_setstacksize(&attributes, bytes) == 0 &&
        pthread_create(&thread, &attributes, run, nullptr) == 0)
        pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
#endif
    return left;
}

TEST(CSStackLeft, MeasuresTheCallingThreadsOwnStack) {
    size_t left = stackLeftOnThread(384 * 1024);
    EXPECT_LE(left, 384u * 1024);
    EXPECT_GT(left, 256u * 1024);
    EXPECT_GT(CSStackLeft(), 384u * 1024);  // the main thread's stack is larger
}

}  // namespace
