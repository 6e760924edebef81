// mqic.dll against a queue manager on the other side of the machine (a Linux miniqm, reached under
// wine through MQSERVER): the message a Linux program put is read back byte for byte with its
// MQMD, a message goes the other way for the caller to check, the queue manager answers MQINQ by
// its own name, an address where nobody listens fails at once with 2538, and a channel table named
// by a file URL with a drive letter (file:///C:/...) leads to the queue manager, as does the table
// in IBM MQ's data folder when nothing else names one.
//
// Usage: mqic_smoke QM QUEUE TEXT_IN TEXT_OUT DEAD_PORT
// (MQSERVER names the live queue manager.) Exit code 0 when every check holds, else 1 with the
// failed checks on standard error.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mqi/cmqc.h"

extern "C" {
void MQCONN(PMQCHAR, PMQHCONN, PMQLONG, PMQLONG);
void MQCONNX(PMQCHAR, PMQVOID, PMQHCONN, PMQLONG, PMQLONG);
void MQDISC(PMQHCONN, PMQLONG, PMQLONG);
void MQOPEN(MQHCONN, PMQVOID, MQLONG, PMQHOBJ, PMQLONG, PMQLONG);
void MQCLOSE(MQHCONN, PMQHOBJ, MQLONG, PMQLONG, PMQLONG);
void MQPUT(MQHCONN, MQHOBJ, PMQVOID, PMQVOID, MQLONG, PMQVOID, PMQLONG, PMQLONG);
void MQGET(MQHCONN, MQHOBJ, PMQVOID, PMQVOID, MQLONG, PMQVOID, PMQLONG, PMQLONG, PMQLONG);
void MQINQ(MQHCONN, MQHOBJ, MQLONG, PMQLONG, MQLONG, PMQLONG, MQLONG, PMQCHAR, PMQLONG, PMQLONG);
}

namespace {

int failures = 0;

void check(bool ok, const char *what, MQLONG reason = 0) {
    if (ok) return;
    std::fprintf(stderr, "mqic_smoke: %s (reason %ld)\n", what, static_cast<long>(reason));
    ++failures;
}

void putName(char *field, size_t n, const std::string &value) {
    std::memset(field, ' ', n);
    std::memcpy(field, value.data(), value.size() < n ? value.size() : n);
}

std::string trimmed(const char *field, size_t n) {
    std::string s(field, n);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
    return s;
}

void setU32(std::string &b, size_t at, uint32_t v) {
    for (size_t i = 0; i < 4; ++i) b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

void setText(std::string &b, size_t at, const std::string &v, size_t n) {
    putName(&b[at], n, v);
}

// A channel table of one client-connection channel (an MQCD version 2 record) to qm at conname, in
// the layout IBM MQ's queue manager writes: "AMQR", one block (its header, then the record and
// its trailer), the end marker.
std::string channelTable(const std::string &qm, const std::string &conname) {
    std::string record(1312 + 132, '\0');
    setText(record, 0, "WINE.SVRCONN", 20);
    setU32(record, 20, 2);
    setU32(record, 24, MQCHT_CLNTCONN);
    setU32(record, 28, MQXPT_TCP);
    setText(record, 32, "", 64);
    setText(record, 96, qm, 48);
    setText(record, 144, "", 48);
    setText(record, 192, conname, 20);
    setText(record, 1024, conname, 264);
    std::string header(20, '\0');
    setU32(header, 0, static_cast<uint32_t>(20 + record.size()));
    setU32(header, 4, static_cast<uint32_t>(record.size()));
    return "AMQR" + header + record + std::string(4, '\0');
}

// Connects through a channel table written to Windows' temporary folder and named by a file URL
// with the folder's drive letter; the MQCNO's table comes before MQSERVER.
void connectThroughTable(PMQCHAR qmName, const std::string &qm, const std::string &conname) {
    char folder[MAX_PATH + 1];
    DWORD n = GetTempPathA(sizeof folder, folder);
    check(n > 0 && n < sizeof folder, "no temporary folder");
    if (n == 0 || n >= sizeof folder) return;
    std::string path = std::string(folder, n) + "mqic_smoke.TAB";
    std::string table = channelTable(qm, conname);
    FILE *f = std::fopen(path.c_str(), "wb");
    bool written = f && std::fwrite(table.data(), 1, table.size(), f) == table.size();
    if (f) std::fclose(f);
    check(written, "cannot write the channel table");
    std::string url = "file:///" + path;
    for (char &c : url)
        if (c == '\\') c = '/';
    MQCNO cno = MQCNO_DEFAULT;
    cno.Version = MQCNO_VERSION_6;
    cno.CCDTUrlPtr = url.data();
    cno.CCDTUrlLength = static_cast<MQLONG>(url.size());
    MQHCONN hconn = MQHC_UNUSABLE_HCONN;
    MQLONG cc = 0, rc = 0;
    MQCONNX(qmName, &cno, &hconn, &cc, &rc);
    check(cc == MQCC_OK, ("no connection through the channel table " + url).c_str(), rc);
    if (cc == MQCC_OK) MQDISC(&hconn, &cc, &rc);
    DeleteFileA(path.c_str());
}

// With neither MQSERVER nor MQCHLLIB the table is AMQCLCHL.TAB in IBM MQ's data folder, IBM\MQ
// in the ProgramData folder (here pointed at the temporary folder).
void connectThroughDefaultTable(PMQCHAR qmName, const std::string &qm, const std::string &conname) {
    char folder[MAX_PATH + 1];
    DWORD n = GetTempPathA(sizeof folder, folder);
    if (n == 0 || n >= sizeof folder) return;
    const std::string data = std::string(folder, n) + "mqic_smoke_data";
    const std::string mq = data + "\\IBM\\MQ", path = mq + "\\AMQCLCHL.TAB";
    CreateDirectoryA(data.c_str(), nullptr);
    CreateDirectoryA((data + "\\IBM").c_str(), nullptr);
    CreateDirectoryA(mq.c_str(), nullptr);
    const std::string table = channelTable(qm, conname);
    FILE *f = std::fopen(path.c_str(), "wb");
    bool written = f && std::fwrite(table.data(), 1, table.size(), f) == table.size();
    if (f) std::fclose(f);
    check(written, "cannot write the default channel table");
    SetEnvironmentVariableA("MQSERVER", nullptr);
    SetEnvironmentVariableA("MQCHLLIB", nullptr);
    SetEnvironmentVariableA("MQCHLTAB", nullptr);
    SetEnvironmentVariableA("ProgramData", data.c_str());
    MQHCONN hconn = MQHC_UNUSABLE_HCONN;
    MQLONG cc = 0, rc = 0;
    MQCONN(qmName, &hconn, &cc, &rc);
    check(cc == MQCC_OK, ("no connection through the default channel table " + path).c_str(), rc);
    if (cc == MQCC_OK) MQDISC(&hconn, &cc, &rc);
    DeleteFileA(path.c_str());
    RemoveDirectoryA(mq.c_str());
    RemoveDirectoryA((data + "\\IBM").c_str());
    RemoveDirectoryA(data.c_str());
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: mqic_smoke QM QUEUE TEXT_IN TEXT_OUT DEAD_PORT\n");
        return 2;
    }
    const std::string qm = argv[1], queue = argv[2], textIn = argv[3], textOut = argv[4];
    // CHANNEL/TCP/host(port): the live queue manager's address, for the channel table.
    char server[512];
    DWORD serverLength = GetEnvironmentVariableA("MQSERVER", server, sizeof server);
    std::string live(server, serverLength < sizeof server ? serverLength : 0);
    live = live.substr(live.rfind('/') + 1);
    MQCHAR48 qmName = {};
    putName(qmName, sizeof qmName, qm);
    MQHCONN hconn = MQHC_UNUSABLE_HCONN;
    MQLONG cc = 0, rc = 0;
    MQCONN(qmName, &hconn, &cc, &rc);
    check(cc == MQCC_OK, "MQCONN through MQSERVER failed", rc);
    if (cc != MQCC_OK) return 1;

    MQOD od = {MQOD_DEFAULT};
    putName(od.ObjectName, sizeof od.ObjectName, queue);
    MQHOBJ hobj = MQHO_UNUSABLE_HOBJ;
    MQOPEN(hconn, &od, MQOO_INPUT_EXCLUSIVE | MQOO_OUTPUT | MQOO_FAIL_IF_QUIESCING, &hobj, &cc, &rc);
    check(cc == MQCC_OK, "MQOPEN failed", rc);

    // What the Linux side put: its bytes, format and code page as they left.
    MQMD md = {MQMD_DEFAULT};
    MQGMO gmo = {MQGMO_DEFAULT};
    gmo.Options = MQGMO_WAIT | MQGMO_NO_SYNCPOINT;
    gmo.WaitInterval = 5000;
    char buffer[256] = {};
    MQLONG length = 0;
    MQGET(hconn, hobj, &md, &gmo, sizeof buffer, buffer, &length, &cc, &rc);
    check(cc == MQCC_OK, "MQGET of the Linux side's message failed", rc);
    check(std::string(buffer, static_cast<size_t>(length < 0 ? 0 : length)) == textIn,
          "the message read is not the one put");
    check(std::memcmp(md.Format, MQFMT_STRING, MQ_FORMAT_LENGTH) == 0, "the message lost its format");

    // And one for the Linux side to read.
    MQMD outMd = {MQMD_DEFAULT};
    std::memcpy(outMd.Format, MQFMT_STRING, MQ_FORMAT_LENGTH);
    MQPMO pmo = {MQPMO_DEFAULT};
    pmo.Options = MQPMO_NO_SYNCPOINT;
    MQPUT(hconn, hobj, &outMd, &pmo, static_cast<MQLONG>(textOut.size()), const_cast<char *>(textOut.data()),
          &cc, &rc);
    check(cc == MQCC_OK, "MQPUT failed", rc);
    MQCLOSE(hconn, &hobj, MQCO_NONE, &cc, &rc);
    check(cc == MQCC_OK, "MQCLOSE failed", rc);

    MQOD qmgr = {MQOD_DEFAULT};
    qmgr.ObjectType = MQOT_Q_MGR;
    MQOPEN(hconn, &qmgr, MQOO_INQUIRE, &hobj, &cc, &rc);
    check(cc == MQCC_OK, "MQOPEN of the queue manager failed", rc);
    MQLONG selector = MQCA_Q_MGR_NAME;
    MQCHAR48 name = {};
    MQINQ(hconn, hobj, 1, &selector, 0, nullptr, sizeof name, name, &cc, &rc);
    check(cc == MQCC_OK && trimmed(name, sizeof name) == qm, "MQINQ did not give the queue manager's name",
          rc);
    MQCLOSE(hconn, &hobj, MQCO_NONE, &cc, &rc);
    MQDISC(&hconn, &cc, &rc);
    check(cc == MQCC_OK && hconn == MQHC_UNUSABLE_HCONN, "MQDISC failed", rc);

    // Nobody listens there: the connect must fail, not hang or claim success.
    std::string dead = "SYSTEM.DEF.SVRCONN/TCP/127.0.0.1(" + std::string(argv[5]) + ")";
    SetEnvironmentVariableA("MQSERVER", dead.c_str());
    MQCONN(qmName, &hconn, &cc, &rc);
    check(cc == MQCC_FAILED && rc == MQRC_HOST_NOT_AVAILABLE, "a connect to a closed port did not give 2538",
          rc);
    connectThroughTable(qmName, qm, live);
    connectThroughDefaultTable(qmName, qm, live);

    if (failures == 0) std::printf("mqic_smoke: ok\n");
    return failures == 0 ? 0 : 1;
}
