// A stand-in for the MQ library, built as several loadable modules for the binding tests. Each module
// answers MQCONN with its own FAKEMQ_ID as the connection handle, so a test can tell which file was
// loaded; the FAKEMQ_NO_* switches leave verbs out as older or broken libraries do.
#include "mqi/cmqc.h"

namespace {
void ok(PMQLONG cc, PMQLONG rc) {
    *cc = MQCC_OK;
    *rc = MQRC_NONE;
}
}  // namespace

extern "C" {

void MQCONN(PMQCHAR, PMQHCONN hconn, PMQLONG cc, PMQLONG rc) {
    *hconn = FAKEMQ_ID;
    ok(cc, rc);
}
void MQCONNX(PMQCHAR, PMQVOID, PMQHCONN hconn, PMQLONG cc, PMQLONG rc) {
    *hconn = FAKEMQ_ID;
    ok(cc, rc);
}
void MQDISC(PMQHCONN hconn, PMQLONG cc, PMQLONG rc) {
    *hconn = MQHC_UNUSABLE_HCONN;
    ok(cc, rc);
}
void MQBACK(MQHCONN, PMQLONG cc, PMQLONG rc) {
    ok(cc, rc);
}
void MQCMIT(MQHCONN, PMQLONG cc, PMQLONG rc) {
    ok(cc, rc);
}
void MQGET(MQHCONN, MQHOBJ, PMQVOID, PMQVOID, MQLONG, PMQVOID, PMQLONG, PMQLONG cc, PMQLONG rc) {
    ok(cc, rc);
}
void MQINQ(MQHCONN, MQHOBJ, MQLONG, PMQLONG, MQLONG, PMQLONG, MQLONG, PMQCHAR, PMQLONG cc, PMQLONG rc) {
    ok(cc, rc);
}
void MQPUT(MQHCONN, MQHOBJ, PMQVOID, PMQVOID, MQLONG, PMQVOID, PMQLONG cc, PMQLONG rc) {
    ok(cc, rc);
}
void MQPUT1(MQHCONN, PMQVOID, PMQVOID, PMQVOID, MQLONG, PMQVOID, PMQLONG cc, PMQLONG rc) {
    ok(cc, rc);
}
void MQSET(MQHCONN, MQHOBJ, MQLONG, PMQLONG, MQLONG, PMQLONG, MQLONG, PMQCHAR, PMQLONG cc, PMQLONG rc) {
    ok(cc, rc);
}
#ifndef FAKEMQ_NO_OPEN
void MQOPEN(MQHCONN, PMQVOID, MQLONG, PMQHOBJ hobj, PMQLONG cc, PMQLONG rc) {
    *hobj = 1;
    ok(cc, rc);
}
#endif
#ifndef FAKEMQ_NO_CLOSE
void MQCLOSE(MQHCONN, PMQHOBJ hobj, MQLONG, PMQLONG cc, PMQLONG rc) {
    *hobj = MQHO_UNUSABLE_HOBJ;
    ok(cc, rc);
}
#endif
void MQSUB(MQHCONN, PMQVOID, PMQHOBJ, PMQHOBJ, PMQLONG cc, PMQLONG rc) {
    ok(cc, rc);
}
void MQSUBRQ(MQHCONN, MQHOBJ, MQLONG, PMQVOID, PMQLONG cc, PMQLONG rc) {
    ok(cc, rc);
}
void MQSTAT(MQHCONN, MQLONG, PMQVOID, PMQLONG cc, PMQLONG rc) {
    ok(cc, rc);
}
void MQXCNVC(MQHCONN, MQLONG, MQLONG, MQLONG, PMQCHAR, MQLONG, MQLONG, PMQCHAR, PMQLONG, PMQLONG cc,
             PMQLONG rc) {
    ok(cc, rc);
}
#ifndef FAKEMQ_NO_ASYNC
void MQCB(MQHCONN, MQLONG, PMQVOID, MQHOBJ, PMQVOID, PMQVOID, PMQLONG cc, PMQLONG rc) {
    ok(cc, rc);
}
void MQCTL(MQHCONN, MQLONG, PMQVOID, PMQLONG cc, PMQLONG rc) {
    ok(cc, rc);
}
void MQCRTMH(MQHCONN, PMQVOID, PMQHMSG, PMQLONG cc, PMQLONG rc) {
    ok(cc, rc);
}
void MQDLTMH(MQHCONN, PMQHMSG, PMQVOID, PMQLONG cc, PMQLONG rc) {
    ok(cc, rc);
}
void MQINQMP(MQHCONN, MQHMSG, PMQVOID, PMQVOID, PMQVOID, PMQLONG, MQLONG, PMQVOID, PMQLONG, PMQLONG cc,
             PMQLONG rc) {
    ok(cc, rc);
}
void MQSETMP(MQHCONN, MQHMSG, PMQVOID, PMQVOID, PMQVOID, MQLONG, MQLONG, PMQVOID, PMQLONG cc, PMQLONG rc) {
    ok(cc, rc);
}
void MQDLTMP(MQHCONN, MQHMSG, PMQVOID, PMQVOID, PMQLONG cc, PMQLONG rc) {
    ok(cc, rc);
}
void MQBUFMH(MQHCONN, MQHMSG, PMQVOID, PMQVOID, MQLONG, PMQVOID, PMQLONG, PMQLONG cc, PMQLONG rc) {
    ok(cc, rc);
}
void MQMHBUF(MQHCONN, MQHMSG, PMQVOID, PMQVOID, PMQVOID, MQLONG, PMQVOID, PMQLONG, PMQLONG cc, PMQLONG rc) {
    ok(cc, rc);
}
#endif

}  // extern "C"
