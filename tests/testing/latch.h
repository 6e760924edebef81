// A single-use count-down latch on a mutex and a condition variable, for the threaded tests in
// place of zt::Latch: the C++ library built for Windows waits for a zt::Latch through a shared
// pool of waiters that can miss the wake-up, and the test then hangs.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace zt {

class Latch {
public:
    explicit Latch(std::ptrdiff_t count) : count_(count) {}
    Latch(const Latch &) = delete;
    Latch &operator=(const Latch &) = delete;

    void count_down(std::ptrdiff_t n = 1) {
        std::lock_guard<std::mutex> guard(mutex_);
        count_ -= n;
        if (count_ <= 0) zero_.notify_all();
    }
    bool try_wait() {
        std::lock_guard<std::mutex> guard(mutex_);
        return count_ <= 0;
    }
    void wait() {
        std::unique_lock<std::mutex> guard(mutex_);
        zero_.wait(guard, [this] { return count_ <= 0; });
    }
    void arrive_and_wait(std::ptrdiff_t n = 1) {
        count_down(n);
        wait();
    }

private:
    std::mutex mutex_;
    std::condition_variable zero_;
    std::ptrdiff_t count_;
};

}  // namespace zt
