// A program (the system's own zunt) run as a child of a test: keys written to its standard input (a
// pseudo-terminal; on Windows a pipe, whose bytes the keyboard reads as keys), its standard output
// and error in files, ended at once as SIGKILL does or waited for.
#pragma once

#include <string>
#include <vector>

namespace zt {

struct ChildStart {
    std::vector<std::string> args;  // the program's path first
    // Over this process's own: "NAME=value" sets a variable, "NAME" alone leaves it out.
    std::vector<std::string> environment;
    std::string out, err;  // files made afresh; the same name for both gives one file
    std::string folder;    // its working folder; empty: this process's
    // Keys through a pipe whose writing end the test keeps open, not a terminal (on Windows always).
    bool pipeKeys = false;
};

class ProgramChild {
public:
    explicit ProgramChild(ChildStart start);
    ~ProgramChild();  // ends it at once when it still runs
    ProgramChild(const ProgramChild &) = delete;
    ProgramChild &operator=(const ProgramChild &) = delete;

    bool started() const;
    bool running();
    // Its exit code, 128 + the signal that ended it (a kill9 gives 137 on Windows too), or -1 while
    // it still runs after ms milliseconds.
    int wait(int ms = 60000);
    // Each key in turn, a tenth of a second apart.
    void keys(const std::string &keys);
    // Closes the keys' writing end: with pipeKeys, the end of the program's input.
    void closeKeys();
#ifndef _WIN32
    void term();  // SIGTERM: Windows has no signal a test can send a child under wine
    void signal(int number);
#endif
    // Ends it at once, as SIGKILL does, and waits for its end.
    void kill9();
    // The processor time it has used so far (user and system), in seconds; -1 where it cannot be read
    // (Windows, or once it has ended).
    double cpuSeconds() const;
#ifndef _WIN32
    long long pid() const {
        return process_;
    }  // as its MQCONN gives it to the stand-in
#endif

private:
    bool reap(int ms);        // waits at most ms (without end when negative): true once it has ended
    long long process_ = -1;  // the pid, or on Windows the process handle
    long long keys_ = -1;     // the pseudo-terminal's master, or on Windows the pipe's writing end
    int status_ = -1;         // the exit code once it ended
#ifdef _WIN32
    std::string unixCommand_;  // its arguments as the Unix process shows them, each followed by ' '
    std::string lastArg_;
#endif
};

// The variables that bind the program to the stand-in's MQ library (its path given): on Linux the
// library's folder as MQM_DLL_PATH. On Windows the client library under wine, copied into folder
// as mqm.dll (both the event and the state side bind through it), and the queue managers found
// through the channel table under MINIQM_ROOT instead of MQSERVER, so that a queue manager
// restarted on another port is found again.
std::vector<std::string> standInLibrary(const std::string &library, const std::string &folder);

}  // namespace zt
