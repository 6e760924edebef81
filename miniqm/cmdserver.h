// miniqmd's command server: takes PCF requests from SYSTEM.ADMIN.COMMAND.QUEUE one at a time and
// answers each on its reply-to queue, as IBM MQ's command server does for the commands miniqm
// knows (escape requests carrying MQSC, Reset Queue Statistics, and Set and Inquire authority records).
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "miniqm/qmgr.h"

namespace qmcmd {

// The connection's ApplName. Fault rules that name no connection leave it alone; `--conn
// amqpcsea` reaches it.
constexpr const char *kApplName = qm::kCommandServerAppl;

// The response messages to one request (MQADMIN data, in order; the last has MQCFC_LAST). md is
// the request's descriptor; ccsid the queue manager's, for the strings of the responses.
std::vector<std::string> respond(qm::QueueManager &qm, const MQMD &md, const std::string &data, MQLONG ccsid);

class CommandServer {
public:
    explicit CommandServer(qm::QueueManager &qm);
    ~CommandServer();
    CommandServer(const CommandServer &) = delete;
    CommandServer &operator=(const CommandServer &) = delete;

    // `cmdserver start|stop`: false (with text saying why) when it already runs or is stopped.
    // stop returns once no request is being served; requests then wait on the queue.
    bool start(std::string &text);
    bool stop(std::string &text);
    // At the end of the server: stops for good and waits for the thread.
    void end();

private:
    qm::QueueManager &qm_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::thread thread_;
    bool wanted_ = false;   // started and not stopped
    bool serving_ = false;  // the thread holds a connection
    bool ending_ = false;
    MQLONG openFailure_ = MQRC_NONE;  // the command queue's last refusal (the thread's own)

    void run();
    void serve();  // one connection's life: until stopped, or the queue manager ends
    bool keepServing();
};

}  // namespace qmcmd
