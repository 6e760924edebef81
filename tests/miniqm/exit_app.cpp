// A test application that ends without MQDISC: connects, puts N messages under sync point to a
// queue, says "ready" and waits for a line on standard input (or exits at once with "exit"),
// leaving its unit of work open for the queue manager to back out.
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mqi/cmqc.h"

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: miniqm_exit_app QM QUEUE COUNT\n");
        return 2;
    }
    MQCHAR48 qm;
    std::memset(qm, ' ', sizeof qm);
    std::memcpy(qm, argv[1], std::strlen(argv[1]));
    MQHCONN hconn;
    MQLONG cc, rc;
    MQCONN(qm, &hconn, &cc, &rc);
    if (cc == MQCC_FAILED) return 3;
    MQOD od = MQOD_DEFAULT;
    std::memset(od.ObjectName, ' ', 48);
    std::memcpy(od.ObjectName, argv[2], std::strlen(argv[2]));
    MQHOBJ hobj;
    MQOPEN(hconn, &od, MQOO_OUTPUT, &hobj, &cc, &rc);
    if (cc == MQCC_FAILED) return 4;
    for (int i = 0; i < std::atoi(argv[3]); ++i) {
        MQMD md = MQMD_DEFAULT;
        MQPMO pmo = MQPMO_DEFAULT;
        pmo.Options = MQPMO_SYNCPOINT;
        char data[] = "uncommitted";
        MQPUT(hconn, hobj, &md, &pmo, sizeof data, data, &cc, &rc);
        if (cc == MQCC_FAILED) return 5;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    _exit(0);  // no MQDISC, no MQCMIT
}
