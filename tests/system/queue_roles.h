// The table of the roles a queue can take for the program, each against each other one on the same
// queue, for each kind of queue, set in both orders: whatever was set first, nothing that is on the
// queue, nor anything the program was given to move there, is lost, and nothing grows.
//
// A cell is one queue (its name N, of one kind) given two roles, one after the other. Before it, the
// queue holds two messages of another application (no events). Each role that puts is then driven once:
// a forward (an event on the cell's forwarding event queue E), a backout (a message on the cell's
// event queue B backed out past its threshold), a dead-letter move (a message that is no event on the
// cell's event queue D), an emitted record (one event stored), a reply (a request naming N as its reply
// queue). A small model says where each message must be: the role that would make the program read back
// what it put is refused (at its command or at its open), and what it would have put stays where it
// was; a model or transmission queue takes no put; a put the queue refuses leaves its message on its
// event queue or moves it to the dead-letter queue. Each cell waits for exactly that, and at the end of
// the run every queue of every cell must still hold it after a pause.
#pragma once

#include <map>
#include <vector>

#include "system.h"

namespace roles {

enum Role { kEvq, kFwdq, kBoq, kDeadq, kQmgrDeadq, kEmit, kReply, kRoles };
constexpr const char *kRoleNames[kRoles] = {"EVQ", "FWDQ", "BOQNAME", "DEADQ", "QMGR.DEADQ", "EMIT", "REPLY"};

enum Kind { kLocal, kAlias, kRemote, kAliasToRemote, kModel, kXmitq, kPut2035, kPut2056 };
struct KindCase {
    Kind kind;
    const char *name;
};

constexpr const char *kDlq = "SYSTEM.DEAD.LETTER.QUEUE";
constexpr int kSeeds = 2;

class QueueRolesTest : public sys::SystemTest, public ::testing::WithParamInterface<KindCase> {
protected:
    struct Queues {
        std::string n, t, e, b, d;  // t "": the kind has no local queue behind its name
    };
    struct Expected {
        MQLONG t = 0, e = 0, b = 0, d = 0;
    };
    struct Cell {
        Role first, second;
        int index;
        Queues q;
        Expected want;
    };

    void SetUp() override {
        sys::SystemTest::SetUp();
        mqsc(
            "DEFINE QLOCAL(SYS.XQ) USAGE(XMITQ)\nDEFINE QLOCAL(SYS.RCOUNT)\n"
            "CLEAR QLOCAL(SYSTEM.ADMIN.QMGR.EVENT)\n");
    }

    Kind kind() const { return GetParam().kind; }
    bool keeps() const { return kind() != kModel && kind() != kXmitq; }
    bool putsFail() const { return kind() == kPut2035 || kind() == kPut2056; }
    // Whether an event queue of that name reads the local queue behind it (an input open of a remote
    // definition fails; one of a model queue reads a dynamic queue of its own).
    // A remote definition's puts go through its transmission queue.
    bool remote() const { return kind() == kRemote || kind() == kAliasToRemote; }
    void land(Cell &c, MQLONG n) { (remote() ? xq_ : c.want.t) += n; }
    bool readsT() const { return kind() != kRemote && kind() != kAliasToRemote && kind() != kModel; }

    // The objects of a cell, with its two messages of another application on the queue behind N.
    Queues define(int index) {
        const std::string p = "SYS.K" + std::to_string(index);
        Queues q{p + ".N", p + ".T", p + ".E", p + ".B", p + ".D"};
        std::string script = "DEFINE QLOCAL(" + q.e + ")\nDEFINE QLOCAL(" + q.d + ")\nDEFINE QLOCAL(" + q.b +
                             ") BOTHRESH(1)\n";
        switch (kind()) {
            case kLocal:
            case kPut2035:
            case kPut2056:
                q.n = q.t;
                script += "DEFINE QLOCAL(" + q.t + ")\n";
                break;
            case kXmitq:
                q.n = q.t;
                script += "DEFINE QLOCAL(" + q.t + ") USAGE(XMITQ)\n";
                break;
            case kAlias:
                script += "DEFINE QLOCAL(" + q.t + ")\nDEFINE QALIAS(" + q.n + ") TARGET(" + q.t + ")\n";
                break;
            case kRemote:
                script += "DEFINE QLOCAL(" + q.t + ")\nDEFINE QREMOTE(" + q.n + ") RNAME(" + q.t +
                          ") RQMNAME(QMSYS) XMITQ(SYS.XQ)\n";
                break;
            case kAliasToRemote:
                script += "DEFINE QLOCAL(" + q.t + ")\nDEFINE QREMOTE(" + p + ".R) RNAME(" + q.t +
                          ") RQMNAME(QMSYS) XMITQ(SYS.XQ)\nDEFINE QALIAS(" + q.n + ") TARGET(" + p + ".R)\n";
                break;
            case kModel:
                q.t.clear();
                script += "DEFINE QMODEL(" + q.n + ")\n";
                break;
        }
        mqsc(script);
        if (!q.t.empty())
            for (int i = 0; i < kSeeds; i++)
                put(q.t.c_str(), "another application's " + std::to_string(i), MQFMT_STRING);
        if (putsFail()) {
            const std::string reason = kind() == kPut2035 ? "2035" : "2056";
            for (const char *verb : {"MQPUT", "MQPUT1"})
                EXPECT_EQ(qmt::admin(sys::kQmgr,
                                     std::string("fault ") + verb + " " + reason + " 1000000 -1 " + q.t),
                          0);
        }
        return q;
    }

    // Real events, raised before the program reads them and taken off their queue: one for each
    // forward to drive.
    void takeEvents(int count) {
        for (int i = 0; i < count; i++) {
            qmt::Rc r;
            qmt::open(h, "SYS.EVSRC." + std::to_string(i), MQOO_OUTPUT, &r);
            ASSERT_EQ(r.reason, MQRC_UNKNOWN_OBJECT_NAME);
        }
        MQHOBJ hobj = qmt::open(h, sys::kQmgrEvents, MQOO_INPUT_SHARED);
        for (int i = 0; i < count; i++) {
            std::string data;
            ASSERT_EQ(qmt::get(h, hobj, &data).reason, MQRC_NONE);
            events_.push_back(data);
        }
        qmt::Rc r;
        MQCLOSE(h, &hobj, MQCO_NONE, &r.cc, &r.reason);
    }

    MQLONG queueDepth(const std::string &queue) {
        return qmt::controlNumber(qmt::control(sys::kQmgr, "queue " + queue), "depth ");
    }
    // No message of the queue is in a unit of work still open.
    bool taken(const std::string &queue) {
        return qmt::controlNumber(qmt::control(sys::kQmgr, "queue " + queue), "uncommitted ") == 0;
    }
    // The depths a cell must show, the dead-letter queue's with them, each with no open unit.
    std::map<std::string, MQLONG> depths(const Cell &c, MQLONG dlq) {
        std::map<std::string, MQLONG> m{{c.q.e, c.want.e}, {c.q.b, c.want.b}, {c.q.d, c.want.d}, {kDlq, dlq}};
        if (!c.q.t.empty()) m[c.q.t] = c.want.t;
        if (remote()) m["SYS.XQ"] = xq_;
        return m;
    }
    std::string differences(const std::map<std::string, MQLONG> &want) {
        std::string said;
        for (const auto &[queue, expected] : want) {
            const MQLONG got = queueDepth(queue);
            if (got != expected || !taken(queue))
                said += " " + queue + " depth " + std::to_string(got) + " (want " + std::to_string(expected) +
                        (taken(queue) ? ")" : ", unit open)");
        }
        return said;
    }
    bool reached(const std::map<std::string, MQLONG> &want, int ms = 5000) {
        for (int waited = 0; waited < ms; waited += 50) {
            if (differences(want).empty()) return true;
            usleep(50000);
        }
        return differences(want).empty();
    }

    // Waits until the program has dealt with the message just put on one of its event queues: the
    // queue is empty, stopped on the message, or not read at all. Its depth alone cannot tell a stop
    // from a message not yet taken, and a later cell's change (DEADQ set back) would send it on.
    void handled(const std::string &queue) {
        for (int waited = 0; waited < 20000; waited += 100) {
            const std::string shown = ask("DISPLAY EVQ(" + queue + ") STATUS");
            if (shown.find("STATUS(ACTIVE)") == std::string::npos || queueDepth(queue) == 0) return;
            usleep(100000);
        }
        ADD_FAILURE() << queue
                      << " still active with its message: " << ask("DISPLAY EVQ(" + queue + ") STATUS");
    }

    // A request naming N as its reply queue, served (the answer to a request of the test's after it
    // comes after it).
    void request(const Cell &c) {
        put(sys::kCommandQueue, "DISPLAY EV", MQFMT_STRING, 0, c.q.n.c_str());
        ask("DISPLAY EV");
    }
    // One event of the queue manager's stored, from its event queue.
    void raiseEvent() {
        const int stored = storedCount();
        qmt::Rc r;
        qmt::open(h, "SYS.RAISED." + std::to_string(++raised_), MQOO_OUTPUT, &r);
        ASSERT_EQ(r.reason, MQRC_UNKNOWN_OBJECT_NAME);
        ASSERT_TRUE(settled());
        for (int waited = 0; storedCount() <= stored && waited < 20000; waited += 100) usleep(100000);
        ASSERT_GT(storedCount(), stored);
    }

    // The program's answer to each role, in the model: whether an event queue named N is defined and
    // reads the queue behind it, and which put roles were taken.
    struct State {
        bool evqDefined = false, evqReads = false, fwdq = false, fwdqByName = false, deadq = false,
             qmgrDeadq = false, emit = false;
        int setOrder[kRoles] = {};
        int sets = 0;
    };

    void set(Cell &c, State &s, Role role, MQLONG &dlq) {
        s.setOrder[role] = ++s.sets;
        switch (role) {
            case kEvq:
                ask("ADD EVQ(" + c.q.n + ")");
                ask("RESUME EVQ(" + c.q.n + ")");
                // A dead-letter queue by that name is no event queue.
                s.evqDefined = !s.deadq && !s.qmgrDeadq;
                s.evqReads = s.evqDefined && readsT();
                if (s.evqReads) {  // what is there is no event: moved to the dead-letter queue
                    dlq += c.want.t;
                    c.want.t = 0;
                }
                break;
            case kFwdq:
                ask("ADD EVQ(" + c.q.e + ") FWDQ(" + c.q.n + ")");
                ask("RESUME EVQ(" + c.q.e + ")");
                s.fwdq = !s.evqDefined;
                break;
            case kBoq:
                mqsc("ALTER QLOCAL(" + c.q.b + ") BOQNAME(" + c.q.n + ")\n");
                ask("ADD EVQ(" + c.q.b + ")");
                ask("RESUME EVQ(" + c.q.b + ")");
                break;
            case kDeadq:
                ask("ALTER EV DEADQ(" + c.q.n + ")");
                s.deadq = !s.evqDefined;
                break;
            case kQmgrDeadq:
                // The program learns the queue manager's dead-letter queue as it connects (no
                // configuration events here): changed while it runs, what it moves aside still goes
                // to the one it knew, and an event queue by the new name is not refused for it.
                mqsc("ALTER QMGR DEADQ(" + c.q.n + ")\n");
                break;
            case kEmit:
                ask("DEFINE EVEMIT(K" + std::to_string(c.index) + ") ONERROR(DISCARD) QUEUE(" + c.q.n + ")");
                ask("ALTER EVSTREAM($EVENTS) EVEMIT(K" + std::to_string(c.index) + ")");
                s.emit = !s.evqDefined;
                break;
            case kReply:
                request(c);
                if (!s.evqDefined && keeps() && !putsFail()) land(c, replies_);
                break;
            case kRoles:
                break;
        }
    }

    // Whether the program reads (or would read) what a role set then puts on the queue.
    bool readBack(const State &s, Role role) const {
        (void)role;
        // An event queue by that name refuses the role even when it reads nothing (a remote
        // definition), whichever came first.
        return s.evqReads || s.evqDefined;
    }

    // Whether a stored event's record lands on the queue.
    bool emits(const State &s) const { return s.emit && keeps() && !putsFail() && !readBack(s, kEmit); }

    void drive(Cell &c, State &s, Role role, MQLONG &dlq) {
        switch (role) {
            case kFwdq: {
                ASSERT_LT(nextEvent_, events_.size());
                MQMD md = MQMD_DEFAULT;
                std::memcpy(md.Format, MQFMT_EVENT, MQ_FORMAT_LENGTH);
                md.Persistence = MQPER_PERSISTENT;
                MQOD od = MQOD_DEFAULT;
                qmt::setText(od.ObjectName, 48, c.q.e);
                MQPMO pmo = MQPMO_DEFAULT;
                pmo.Options = MQPMO_NO_SYNCPOINT;
                std::string &data = events_[nextEvent_++];
                qmt::Rc r;
                MQPUT1(h, &od, &md, &pmo, static_cast<MQLONG>(data.size()), data.data(), &r.cc, &r.reason);
                ASSERT_EQ(r.reason, MQRC_NONE);
                handled(c.q.e);
                // An event queue by the forward queue's name, added later, holds forwarding too.
                if (!s.fwdq || !keeps() || readBack(s, kFwdq) || s.evqDefined) {
                    c.want.e += 1;  // held (or no forwarding event queue at all)
                    break;
                }
                if (putsFail() && s.deadq)
                    c.want.e += 1;  // nor can the copy be dead-lettered there: its event queue stops
                else if (putsFail())
                    dlq += 1;  // the copy is dead-lettered, the event stored
                else
                    land(c, 1);
                if (emits(s)) land(c, 1);  // the stored event's record
                break;
            }
            case kBoq: {
                ask("SUSPEND EVQ(" + c.q.b + ")");
                const std::string msgId = put(c.q.b.c_str(), "backed out", MQFMT_STRING);
                MQHOBJ hobj = qmt::open(h, c.q.b, MQOO_INPUT_SHARED);
                ASSERT_EQ(qmt::backOutTimes(h, hobj, msgId, 5), MQRC_NONE);
                qmt::Rc r;
                MQCLOSE(h, &hobj, MQCO_NONE, &r.cc, &r.reason);
                ask("RESUME EVQ(" + c.q.b + ")");
                handled(c.q.b);
                if (!keeps() || readBack(s, kBoq) || (s.evqDefined && !s.evqReads))
                    c.want.b += 1;
                else if (putsFail() && s.deadq)
                    c.want.b += 1;
                else if (putsFail())
                    dlq += 1;
                else
                    land(c, 1);
                break;
            }
            case kDeadq:
            case kQmgrDeadq: {
                ask("ADD EVQ(" + c.q.d + ")");
                ask("RESUME EVQ(" + c.q.d + ")");
                put(c.q.d.c_str(), "not an event", MQFMT_STRING);
                handled(c.q.d);
                const bool here = s.deadq || s.qmgrDeadq;
                if (!here)
                    dlq += 1;
                else if (!keeps() || s.evqDefined || putsFail())
                    c.want.d += 1;  // its event queue stops on it
                else
                    land(c, 1);
                break;
            }
            case kEmit:
                raiseEvent();
                if (emits(s)) land(c, 1);
                break;
            case kReply:
                request(c);
                if (keeps() && !putsFail() && !s.evqDefined) land(c, replies_);
                break;
            default:
                break;
        }
    }

    // The global settings a cell changed, back as they were.
    void reset(const Cell &c) {
        for (Role role : {c.first, c.second}) {
            if (role == kDeadq) ask("ALTER EV DEADQ('')");
            if (role == kQmgrDeadq) mqsc("ALTER QMGR DEADQ(SYSTEM.DEAD.LETTER.QUEUE)\n");
            if (role == kEmit) ask("ALTER EVSTREAM($EVENTS) EVEMIT('')");
        }
    }

    // Every cell of the kind, both orders, in one run of the program; the depths then watched for
    // pauseSeconds.
    void runTable(int pauseSeconds) {
        takeEvents(2 * (kRoles - 1));
        auto zunt = start();
        resume({sys::kQmgrEvents});
        ASSERT_TRUE(settled());
        // How many messages answer the request a cell sends.
        put(sys::kCommandQueue, "DISPLAY EV", MQFMT_STRING, 0, "SYS.RCOUNT");
        ask("DISPLAY EV");
        replies_ = depth("SYS.RCOUNT");
        ASSERT_GT(replies_, 0);
        MQLONG dlq = depth(kDlq);
        std::vector<Cell> cells;
        for (int a = 0; a < kRoles; a++)
            for (int b = 0; b < kRoles; b++) {
                if (a == b) continue;
                // Not yet in the table: a reply queue that is a transmission queue takes the reply as
                // it is (no transmission header); telling it apart needs an inquiry the program's
                // documented authorities do not give.
                if (kind() == kXmitq && (a == kReply || b == kReply)) continue;
                Cell c{static_cast<Role>(a), static_cast<Role>(b), static_cast<int>(cells.size()), {}, {}};
                const std::string what = std::string(kRoleNames[a]) + " then " + kRoleNames[b];
                SCOPED_TRACE(what);
                c.q = define(c.index);
                xq_ = depth("SYS.XQ");
                dlq = depth(kDlq);  // a cell's miss is said once, not again in every cell after it
                c.want.t = c.q.t.empty() ? 0 : kSeeds;
                State s;
                for (Role role : {c.first, c.second}) {
                    set(c, s, role, dlq);
                    EXPECT_TRUE(reached(depths(c, dlq)))
                        << what << " (" << c.q.n << ") set " << kRoleNames[role] << ":"
                        << differences(depths(c, dlq));
                }
                for (Role role : {c.first, c.second}) {
                    drive(c, s, role, dlq);
                    EXPECT_TRUE(reached(depths(c, dlq)))
                        << what << " (" << c.q.n << ") driven " << kRoleNames[role] << ":"
                        << differences(depths(c, dlq));
                }
                reset(c);
                cells.push_back(c);
            }
        sleep(static_cast<unsigned>(pauseSeconds));  // what stands still stands still over the pause
        for (const Cell &c : cells)
            EXPECT_EQ(differences(depths(c, dlq)), "")
                << kRoleNames[c.first] << " then " << kRoleNames[c.second] << " (" << c.q.n << ")";
        const std::string log = zunt->log();
        EXPECT_EQ(sys::countOf(log, "discarded"), 0) << complaints(log);
        stop(*zunt);
        qmt::admin(sys::kQmgr, "fault clear");
        std::string local;
        qm.mqsc("DISPLAY QLOCAL(AMQ.*)\n", &local);
        EXPECT_EQ(local.find("QUEUE(AMQ."), std::string::npos) << local;
    }

    std::vector<std::string> events_;
    size_t nextEvent_ = 0;
    MQLONG replies_ = 0;
    MQLONG xq_ = 0;
    int raised_ = 0;
};

constexpr KindCase kKinds[] = {
    {kLocal, "Local"},
    {kAlias, "Alias"},
    {kRemote, "RemoteDefinition"},
    {kAliasToRemote, "AliasToRemote"},
    {kModel, "Model"},
    {kXmitq, "Transmission"},
    {kPut2035, "RefusesPuts2035"},
    {kPut2056, "RefusesPuts2056"},
};

inline void PrintTo(const KindCase &k, std::ostream *os) {
    *os << k.name;
}

inline std::string kindName(const ::testing::TestParamInfo<KindCase> &p) {
    return p.param.name;
}

}  // namespace roles
