// This test program run again as a process of its own, running only the test a filter names, with
// the environment as it is at the start: the tests of a process that dies at any moment (the MQ
// library is not one to fork with connections, so the child starts afresh). The child may report
// to its parent through a pipe (reportToParent), which the parent reads without waiting.
// A child test is named DISABLED_...: a run of the program or of ctest leaves it out (it is no test of
// its own, only a process of another one), and the child is started with disabled tests let in.
#pragma once

#include <cstddef>
#include <string>

namespace zt {

class SelfProcess {
public:
    // The test as "Suite.Name"; with reports, a pipe from the child to this process.
    explicit SelfProcess(const std::string &test, bool reports = false);
    ~SelfProcess();  // ends it at once when it still runs
    SelfProcess(const SelfProcess &) = delete;
    SelfProcess &operator=(const SelfProcess &) = delete;

    bool started() const;
    // Its process id, as the MQ library's connect gives it to the queue manager.
    long long pid() const;
    // Waits at most ms milliseconds (without end when negative); true once it has ended.
    bool wait(int ms = -1);
    // Ends it at once, as SIGKILL does, and waits for its end.
    void kill();
    // Ended by SIGKILL (on Windows, which has none: with exit code 137, as a kill by this helper or
    // by the MQI wrapper's rule ends a process there).
    bool killed() const;
    // Its exit code once it ended by itself, else -1.
    int exitCode() const;
    // The next report of size bytes, without waiting: false until the child has sent one whole.
    // Reports of a few bytes arrive whole; those a child sent before its end can be taken after it.
    bool takeReport(void *report, size_t size);

private:
    void readReports();  // what the pipe holds now, without waiting, onto pending_

    long long process_ = -1;  // the pid, or on Windows the process handle
    long long reports_ = -1;  // the read end of the report pipe: fd, or on Windows the handle
    std::string pending_;     // read from the pipe, not yet taken
    int status_ = -1;         // the wait status (on Windows the exit code) once ended
    bool ended_ = false;
};

// In the child: sends the bytes to its parent; false without a report pipe or when they could not
// be written.
bool reportToParent(const void *report, size_t size);

// Ends this process at once, as SIGKILL does (on Windows: exit code 137 without any clean-up).
[[noreturn]] void dieAtOnce();

}  // namespace zt
