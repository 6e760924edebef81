// Put+get throughput of the stand-in queue manager through the system's own binding of the MQ
// library: batches of 100 messages put under sync point and committed, then got under sync point
// and committed, over bindings (libmqm) and client (libmqic), with 1 KB and 64 KB messages. The
// figure to compare the system's intake with. Starts a private miniqm server for the run.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "mqi/mqi.h"

namespace {

namespace fs = std::filesystem;

// One private queue manager for the whole run, stopped and removed at exit.
struct Server {
    fs::path root, tool;
    std::string name = "QMBENCH";
    int port = 0;
    bool ok = false;
    MQIFunctionTable bindings{}, client{};

    Server() {
        fs::path build = fs::read_symlink("/proc/self/exe").parent_path().parent_path();
        tool = build / "miniqm" / "miniqm";
        root = fs::temp_directory_path() / ("miniqm-bench-" + std::to_string(std::random_device{}()));
        fs::create_directories(root);
        setenv("MINIQM_ROOT", root.c_str(), 1);
        std::string t = tool.string();
        ok =
            std::system(
                (t + " create " + name + " >/dev/null && " + t + " start " + name + " >/dev/null").c_str()) ==
            0;
        std::ifstream run(root / name / "miniqmd.run");
        std::string line;
        while (std::getline(run, line))
            if (line.rfind("port=", 0) == 0) port = std::atoi(line.c_str() + 5);
        std::string mqserver = "SYSTEM.DEF.SVRCONN/TCP/127.0.0.1(" + std::to_string(port) + ")";
        setenv("MQSERVER", mqserver.c_str(), 1);
        ok = ok && MQLoadLibrary((build / "miniqm" / "libmqm.so").c_str(), &bindings) == 0 &&
             MQLoadLibrary((build / "miniqm" / "libmqic.so").c_str(), &client) == 0;
    }
    ~Server() {
        std::system((tool.string() + " stop " + name + " --now >/dev/null 2>&1").c_str());
        std::error_code ec;
        fs::remove_all(root, ec);
    }
};

Server &server() {
    static Server s;
    return s;
}

void putGetBatches(benchmark::State &state) {
    Server &s = server();
    if (!s.ok) {
        state.SkipWithError("miniqm server did not start");
        return;
    }
    const MQIFunctionTable &mq = state.range(0) ? s.client : s.bindings;
    std::string data(static_cast<size_t>(state.range(1)), 'x');
    MQCHAR48 qm;
    std::memset(qm, ' ', sizeof qm);
    std::memcpy(qm, s.name.data(), s.name.size());
    MQCNO cno = MQCNO_DEFAULT;
    cno.Options = MQCNO_HANDLE_SHARE_BLOCK;
    MQHCONN h;
    MQLONG cc, rc;
    mq.MQCONNX(qm, &cno, &h, &cc, &rc);
    MQOD od = MQOD_DEFAULT;
    std::memset(od.ObjectName, ' ', 48);
    std::memcpy(od.ObjectName, "SYSTEM.DEFAULT.LOCAL.QUEUE", 26);
    MQHOBJ o;
    mq.MQOPEN(h, &od, MQOO_OUTPUT | MQOO_INPUT_SHARED, &o, &cc, &rc);
    if (cc != MQCC_OK) {
        state.SkipWithError("MQOPEN failed");
        return;
    }
    std::string buffer(data.size(), '\0');
    for (auto _ : state) {
        for (int i = 0; i < 100; ++i) {
            MQMD md = MQMD_DEFAULT;
            md.Persistence = MQPER_PERSISTENT;
            MQPMO pmo = MQPMO_DEFAULT;
            pmo.Options = MQPMO_SYNCPOINT;
            mq.MQPUT(h, o, &md, &pmo, static_cast<MQLONG>(data.size()), data.data(), &cc, &rc);
        }
        mq.MQCMIT(h, &cc, &rc);
        for (int i = 0; i < 100; ++i) {
            MQMD md = MQMD_DEFAULT;
            MQGMO gmo = MQGMO_DEFAULT;
            gmo.Options = MQGMO_SYNCPOINT;
            MQLONG len = 0;
            mq.MQGET(h, o, &md, &gmo, static_cast<MQLONG>(buffer.size()), buffer.data(), &len, &cc, &rc);
        }
        mq.MQCMIT(h, &cc, &rc);
    }
    state.SetItemsProcessed(state.iterations() * 100);
    state.SetBytesProcessed(state.iterations() * 100 * static_cast<int64_t>(data.size()));
    mq.MQDISC(&h, &cc, &rc);
}

}  // namespace

// range(0): 0 bindings, 1 client; range(1): message size.
BENCHMARK(putGetBatches)
    ->ArgNames({"client", "bytes"})
    ->Args({0, 1024})
    ->Args({0, 65536})
    ->Args({1, 1024})
    ->Args({1, 65536});
