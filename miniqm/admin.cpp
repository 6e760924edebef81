// Client side of the administration requests (see admin.h): one request, one reply.
#include "miniqm/admin.h"

#include "miniqm/os.h"
#include "miniqm/paths.h"
#include "miniqm/wire.h"

namespace qmadmin {

Outcome request(const std::string &dir, const std::string &command, std::string &reply) {
    reply.clear();
    int fd = qmos::connectUnix(qmpaths::socketPath(dir));
    if (fd < 0) return Outcome::Unreachable;
    qmwire::Writer w;
    w.u16(qmwire::OP_ADMIN);
    w.u16(0);
    w.u32(1);
    w.str(command);
    std::string body;
    bool ok = qmwire::sendFrame(fd, w.bytes()) && qmwire::recvFrame(fd, body);
    qmos::closeFd(fd);
    if (!ok) return Outcome::NoReply;
    qmwire::Reader r(body);
    r.u16();
    r.u16();
    r.u32();
    int32_t cc = r.i32();
    r.i32();
    reply = r.str();
    if (r.failed()) return Outcome::NoReply;
    return cc == 0 ? Outcome::Ok : Outcome::Failed;
}

}  // namespace qmadmin
