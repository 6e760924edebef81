// A test service: says its arguments, pid and MQ_INSTALLATION_PATH, connects to the queue manager
// and waits on a queue with FAIL_IF_QUIESCING until the queue manager ends it (2161, 2162, 2009),
// saying how it ended. With "once" as its third argument it ends after connecting.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mqi/cmqc.h"

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: miniqm_service_app QM QUEUE [once|WORD...]\n");
        return 2;
    }
    std::string args;
    for (int i = 1; i < argc; ++i) args += std::string(i > 1 ? " " : "") + argv[i];
    const char *install = std::getenv("MQ_INSTALLATION_PATH");
    std::printf("args %s\npid %d\ninstall %s\n", args.c_str(), getpid(), install ? install : "");
    MQCHAR48 qm;
    std::memset(qm, ' ', sizeof qm);
    std::memcpy(qm, argv[1], std::strlen(argv[1]));
    MQHCONN hconn;
    MQLONG cc, rc;
    MQCONN(qm, &hconn, &cc, &rc);
    if (cc == MQCC_FAILED) {
        std::printf("connect failed %d\n", rc);
        return 3;
    }
    std::printf("connected\n");
    std::fflush(stdout);
    if (argc > 3 && std::strcmp(argv[3], "once") == 0) {
        MQDISC(&hconn, &cc, &rc);
        return 0;
    }
    MQOD od = MQOD_DEFAULT;
    std::memset(od.ObjectName, ' ', 48);
    std::memcpy(od.ObjectName, argv[2], std::strlen(argv[2]));
    MQHOBJ hobj;
    MQOPEN(hconn, &od, MQOO_INPUT_SHARED | MQOO_FAIL_IF_QUIESCING, &hobj, &cc, &rc);
    while (cc != MQCC_FAILED) {
        MQMD md = MQMD_DEFAULT;
        MQGMO gmo = MQGMO_DEFAULT;
        gmo.Options = MQGMO_WAIT | MQGMO_FAIL_IF_QUIESCING | MQGMO_NO_SYNCPOINT | MQGMO_ACCEPT_TRUNCATED_MSG;
        gmo.WaitInterval = 1000;
        char buffer[64];
        MQLONG length = 0;
        MQGET(hconn, hobj, &md, &gmo, sizeof buffer, buffer, &length, &cc, &rc);
        if (rc == MQRC_NO_MSG_AVAILABLE || rc == MQRC_TRUNCATED_MSG_ACCEPTED) cc = MQCC_OK;
    }
    std::printf("ended %d\n", rc);
    std::fflush(stdout);
    MQDISC(&hconn, &cc, &rc);
    return 0;
}
