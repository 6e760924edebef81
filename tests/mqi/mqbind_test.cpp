// Binding of the MQ library: which file is loaded for which name and environment, what a library
// lacking verbs leaves in the table, and the MQACCESS_DEBUG lines. The libraries are the stand-ins
// built from tests/mqi/fakemq.cpp; each answers MQCONN with its own handle.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "mqi/mqbind_testing.h"
#include "mqi/mqi.h"
#include "platform/platform.h"
#include "testing/console_capture.h"
#include "testing/testing.h"

namespace {

using namespace mb;

TEST(MQLoadLibrary, ServerNameLoadsLibmqmFromMQM_DLL_PATHWithEveryVerb) {
    CleanMQEnvironment env;
    zt::ScopedEnv server("MQM_DLL_PATH", dir("server").c_str());
    zt::ScopedEnv client("MQIC_DLL_PATH", dir("client").c_str());
    MQIFunctionTable t = {};
    EXPECT_FALSE(MQTableLoaded(&t));
    ASSERT_EQ(MQLoadLibrary("mqm", &t), 0);
    EXPECT_TRUE(MQTableLoaded(&t));
    EXPECT_EQ(setSlots(t), 25);
    EXPECT_EQ(connectThrough(t), 101);
    EXPECT_NE(t.MQCB, static_cast<PMQCB>(MQStubNotSupported8));
    EXPECT_NE(t.MQXCNVC, static_cast<PMQXCNVC>(MQStubNotSupported11));
    MQLONG cc = -1, rc = -1;
    t.MQCB(101, MQOP_REGISTER, nullptr, 0, nullptr, nullptr, &cc, &rc);
    EXPECT_EQ(cc, MQCC_OK);
}

TEST(MQLoadLibrary, LoadedTableIsNeverLoadedAgain) {
    CleanMQEnvironment env;
    zt::ScopedEnv server("MQM_DLL_PATH", dir("server").c_str());
    MQIFunctionTable t = {};
    ASSERT_EQ(MQLoadLibrary("mqm", &t), 0);
    zt::ScopedEnv other("MQM_DLL_PATH", dir("no_async").c_str());
    EXPECT_EQ(MQLoadLibrary("mqm", &t), 0);
    EXPECT_EQ(connectThrough(t), 101);
    EXPECT_EQ(MQLoadLibrary("/no/such/file/libmqm.so", &t), 0);
    EXPECT_EQ(connectThrough(t), 101);
}

TEST(MQLoadLibrary, MissingOptionalVerbsGetStubsThatFailWith2298AndTouchNothingElse) {
    CleanMQEnvironment env;
    zt::ScopedEnv server("MQM_DLL_PATH", dir("no_async").c_str());
    MQIFunctionTable t = {};
    ASSERT_EQ(MQLoadLibrary("mqm", &t), 0);
    EXPECT_EQ(setSlots(t), 25);
    EXPECT_EQ(connectThrough(t), 105);
    EXPECT_EQ(t.MQCB, static_cast<PMQCB>(MQStubNotSupported8));
    EXPECT_EQ(t.MQCTL, static_cast<PMQCTL>(MQStubNotSupported5));
    EXPECT_EQ(t.MQCRTMH, static_cast<PMQCRTMH>(MQStubNotSupported5));
    EXPECT_EQ(t.MQDLTMH, static_cast<PMQDLTMH>(MQStubNotSupported5));
    EXPECT_EQ(t.MQINQMP, static_cast<PMQINQMP>(MQStubNotSupported11));
    EXPECT_EQ(t.MQSETMP, static_cast<PMQSETMP>(MQStubNotSupported10));
    EXPECT_EQ(t.MQDLTMP, static_cast<PMQDLTMP>(MQStubNotSupported6));
    EXPECT_EQ(t.MQBUFMH, static_cast<PMQBUFMH>(MQStubNotSupported9));
    EXPECT_EQ(t.MQMHBUF, static_cast<PMQMHBUF>(MQStubNotSupported10));
    // The library's own optional verbs stay its own.
    EXPECT_NE(t.MQCONNX, static_cast<PMQCONNX>(MQStubNotSupported5));
    EXPECT_NE(t.MQSTAT, static_cast<PMQSTAT>(MQStubNotSupported5));

    MQCBD cbd = MQCBD_DEFAULT;
    MQMD md = MQMD_DEFAULT;
    MQGMO gmo = MQGMO_DEFAULT;
    const MQCBD cbdBefore = cbd;
    const MQMD mdBefore = md;
    const MQGMO gmoBefore = gmo;
    MQLONG cc = 0, rc = 0;
    t.MQCB(105, MQOP_REGISTER, &cbd, 7, &md, &gmo, &cc, &rc);
    EXPECT_EQ(cc, MQCC_FAILED);
    EXPECT_EQ(rc, MQRC_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(std::memcmp(&cbd, &cbdBefore, sizeof cbd), 0);
    EXPECT_EQ(std::memcmp(&md, &mdBefore, sizeof md), 0);
    EXPECT_EQ(std::memcmp(&gmo, &gmoBefore, sizeof gmo), 0);

    MQCTLO ctlo = MQCTLO_DEFAULT;
    cc = rc = 0;
    t.MQCTL(105, MQOP_START, &ctlo, &cc, &rc);
    EXPECT_EQ(cc, MQCC_FAILED);
    EXPECT_EQ(rc, MQRC_FUNCTION_NOT_SUPPORTED);
}

TEST(MQLoadLibrary, EveryStubReportsFunctionNotSupported) {
    MQLONG cc = 0, rc = 0;
    auto check = [&](const char *which) {
        EXPECT_EQ(cc, MQCC_FAILED) << which;
        EXPECT_EQ(rc, MQRC_FUNCTION_NOT_SUPPORTED) << which;
        cc = rc = 0;
    };
    MQHCONN hconn = 5;
    MQHOBJ hobj = 6;
    MQHMSG hmsg = 7;
    MQLONG n = 8;
    char name[48] = {};
    static_cast<PMQCONNX>(MQStubNotSupported5)(name, nullptr, &hconn, &cc, &rc);
    check("MQCONNX");
    EXPECT_EQ(hconn, 5);
    static_cast<PMQSTAT>(MQStubNotSupported5)(1, 1, nullptr, &cc, &rc);
    check("MQSTAT");
    static_cast<PMQCRTMH>(MQStubNotSupported5)(1, nullptr, &hmsg, &cc, &rc);
    check("MQCRTMH");
    static_cast<PMQDLTMH>(MQStubNotSupported5)(1, &hmsg, nullptr, &cc, &rc);
    check("MQDLTMH");
    EXPECT_EQ(hmsg, 7);
    static_cast<PMQSUB>(MQStubNotSupported6)(1, nullptr, &hobj, &hobj, &cc, &rc);
    check("MQSUB");
    EXPECT_EQ(hobj, 6);
    static_cast<PMQSUBRQ>(MQStubNotSupported6)(1, 2, 3, nullptr, &cc, &rc);
    check("MQSUBRQ");
    static_cast<PMQDLTMP>(MQStubNotSupported6)(1, 2, nullptr, nullptr, &cc, &rc);
    check("MQDLTMP");
    static_cast<PMQBUFMH>(MQStubNotSupported9)(1, 2, nullptr, nullptr, 0, nullptr, &n, &cc, &rc);
    check("MQBUFMH");
    static_cast<PMQSETMP>(MQStubNotSupported10)(1, 2, nullptr, nullptr, nullptr, 0, 0, nullptr, &cc, &rc);
    check("MQSETMP");
    static_cast<PMQMHBUF>(MQStubNotSupported10)(1, 2, nullptr, nullptr, nullptr, 0, nullptr, &n, &cc, &rc);
    check("MQMHBUF");
    static_cast<PMQINQMP>(MQStubNotSupported11)(1, 2, nullptr, nullptr, nullptr, &n, 0, nullptr, &n, &cc,
                                                &rc);
    check("MQINQMP");
    static_cast<PMQXCNVC>(MQStubNotSupported11)(1, 0, 0, 0, name, 0, 0, name, &n, &cc, &rc);
    check("MQXCNVC");
    EXPECT_EQ(n, 8);
}

TEST(MQLoadLibrary, LibraryWithoutMQCLOSEGives11AndLeavesEverySlotUnset) {
    CleanMQEnvironment env;
    MQIFunctionTable t = {};
    {
        zt::ScopedEnv server("MQM_DLL_PATH", dir("no_close").c_str());
        EXPECT_EQ(MQLoadLibrary("mqm", &t), MQ_LOAD_VERB_MISSING);
        EXPECT_EQ(setSlots(t), 0);
        EXPECT_FALSE(MQTableLoaded(&t));
    }
    // The failed load left nothing behind, so the next attempt loads afresh.
    zt::ScopedEnv server("MQM_DLL_PATH", dir("server").c_str());
    ASSERT_EQ(MQLoadLibrary("mqm", &t), 0);
    EXPECT_EQ(connectThrough(t), 101);
}

TEST(MQLoadLibrary, LibraryWithoutMQOPENGives11AndLeavesEverySlotUnset) {
    CleanMQEnvironment env;
    zt::ScopedEnv server("MQM_DLL_PATH", dir("no_open").c_str());
    MQIFunctionTable t = {};
    EXPECT_EQ(MQLoadLibrary("mqm", &t), MQ_LOAD_VERB_MISSING);
    EXPECT_EQ(setSlots(t), 0);
    EXPECT_EQ(MQLoadLibrary("mqm", &t), MQ_LOAD_VERB_MISSING);
}

TEST(MQLoadLibrary, ClientNamesLoadLibmqicFromMQIC_DLL_PATH) {
    CleanMQEnvironment env;
    zt::ScopedEnv server("MQM_DLL_PATH", dir("server").c_str());
    zt::ScopedEnv client("MQIC_DLL_PATH", dir("client").c_str());
    for (const char *name : {"mqic", "mqic32"}) {
        MQIFunctionTable t = {};
        ASSERT_EQ(MQLoadLibrary(name, &t), 0) << name;
        EXPECT_EQ(connectThrough(t), 102) << name;
    }
    // Another name holding "mqic" is a file name in the client folder.
    MQIFunctionTable t = {};
    ASSERT_EQ(MQLoadLibrary(kClientFile.c_str(), &t), 0);
    EXPECT_EQ(connectThrough(t), 102);
}

TEST(MQLoadLibrary, PathIsLoadedByItselfWhateverTheEnvironmentSays) {
    CleanMQEnvironment env;
    zt::ScopedEnv server("MQM_DLL_PATH", dir("no_async").c_str());
    zt::ScopedEnv client("MQIC_DLL_PATH", dir("no_async").c_str());
    MQIFunctionTable t1 = {};
    ASSERT_EQ(MQLoadLibrary((dir("client") + "/" + kClientFile).c_str(), &t1), 0);
    EXPECT_EQ(connectThrough(t1), 102);
    MQIFunctionTable t2 = {};
    ASSERT_EQ(MQLoadLibrary((dir("server") + "/" + kServerFile).c_str(), &t2), 0);
    EXPECT_EQ(connectThrough(t2), 101);
}

TEST(MQLoadLibrary, InstallationPathLib64IsTheFolderWithoutOwnVariables) {
    CleanMQEnvironment env;
    zt::ScopedEnv installation("MQ_INSTALLATION_PATH", dir("installation").c_str());
    EXPECT_EQ(std::string(MQGetServerLibPath()), dir("installation") + CS_MQ_LIBRARY_NAMES.installFolder);
    EXPECT_EQ(std::string(MQGetClientLibPath()), dir("installation") + CS_MQ_LIBRARY_NAMES.installFolder);
    MQIFunctionTable t = {};
    ASSERT_EQ(MQLoadLibrary("mqm", &t), 0);
    EXPECT_EQ(connectThrough(t), 103);

    zt::ScopedEnv server("MQM_DLL_PATH", dir("server").c_str());
    zt::ScopedEnv client("MQIC_DLL_PATH", dir("client").c_str());
    EXPECT_EQ(std::string(MQGetServerLibPath()), dir("server"));
    EXPECT_EQ(std::string(MQGetClientLibPath()), dir("client"));
}

TEST(MQLoadLibrary, FoldersAreEmptyWithoutAnyVariable) {
    CleanMQEnvironment env;
    EXPECT_STREQ(MQGetServerLibPath(), "");
    EXPECT_STREQ(MQGetClientLibPath(), "");
}

TEST(MQLoadLibrary, ReentrantNameIsTriedWhenThePlainOneIsMissing) {
    if (CS_MQ_LIBRARY_NAMES.serverOther == nullptr) GTEST_SKIP() << "the library has one name here";
    CleanMQEnvironment env;
    zt::ScopedEnv server("MQM_DLL_PATH", dir("r_name").c_str());
    MQIFunctionTable t = {};
    ASSERT_EQ(MQLoadLibrary("mqm", &t), 0);
    EXPECT_EQ(connectThrough(t), 104);
}

TEST(MQLoadLibrary, NoNameLoadsTheServerLibrary) {  // else the client one: mqbind_unloaded_test
    CleanMQEnvironment env;
    zt::ScopedEnv client("MQIC_DLL_PATH", dir("client").c_str());
    zt::ScopedEnv server("MQM_DLL_PATH", dir("server").c_str());
    MQIFunctionTable t = {};
    ASSERT_EQ(MQLoadLibrary(nullptr, &t), 0);
    EXPECT_EQ(connectThrough(t), 101);
}

TEST(MQLoadLibraryFile, JoinsFolderAndNameWithOneSlash) {
    CleanMQEnvironment env;
    zt::ScopedEnv debug("MQACCESS_DEBUG", "1");
    void *module = nullptr;
    testing::internal::CaptureStdout();
    EXPECT_EQ(MQLoadLibraryFile(kServerFile.c_str(), (dir("server") + "/").c_str(), &module), 0);
    EXPECT_EQ(MQLoadLibraryFile(kServerFile.c_str(), dir("server").c_str(), &module), 0);
    const std::string clientPath = dir("client") + "/" + kClientFile;
    EXPECT_EQ(MQLoadLibraryFile(clientPath.c_str(), dir("server").c_str(), &module), 0);
    std::string out = testing::internal::GetCapturedStdout();
    std::string server = "Loading '" + dir("server") + "/" + kServerFile + "'\n";
    std::string client = "Loading '" + clientPath + "'\n";
    EXPECT_EQ(out.substr(0, server.size()), server);  // a trailing '/' is used as it is
    server = "Loading '" + joined(dir("server"), kServerFile) + "'\n";
    EXPECT_EQ(out.substr(server.size()), server + client);
    EXPECT_NE(module, nullptr);
}

}  // namespace
