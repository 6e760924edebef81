// Loads that find no server library. On Windows a library already loaded is handed out again for its
// bare name, so these run in a process of their own where no binding test loaded one first; the one
// test that loads the client library comes last for the same reason.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "mqi/mqbind_testing.h"
#include "testing/console_capture.h"

namespace {

using namespace mb;

TEST(MQLoadLibrary, MissingFileGives2AndLeavesTheTableUnloaded) {
    CleanMQEnvironment env;
    zt::TempDir empty;
    zt::ScopedEnv server("MQM_DLL_PATH", empty.path().c_str());
    MQIFunctionTable t = {};
    EXPECT_EQ(MQLoadLibrary("mqm", &t), CS_LIB_NOT_FOUND);
    EXPECT_EQ(setSlots(t), 0);
    EXPECT_EQ(MQLoadLibrary((empty.path() + "/" + kServerFile).c_str(), &t), CS_LIB_NOT_FOUND);
    EXPECT_EQ(MQLoadLibrary(nullptr, &t), CS_LIB_NOT_FOUND);
}

TEST(MQLoadLibrary, SystemSearchThatFindsNothingGives2) {
    CleanMQEnvironment env;  // no folder: the library is looked for along the system's library search
    MQIFunctionTable t = {};
    EXPECT_EQ(MQLoadLibrary("mqm", &t), CS_LIB_NOT_FOUND);
}

TEST(MQLoadLibrary, FileThatIsNoLibraryGivesAFixedCodeOtherThan0And11) {
    CleanMQEnvironment env;
    zt::TempDir folder;
    folder.write(kServerFile, "this is not a shared library\n");
    zt::ScopedEnv server("MQM_DLL_PATH", folder.path().c_str());
    MQIFunctionTable t = {};
    EXPECT_EQ(MQLoadLibrary("mqm", &t), CS_LIB_LOAD_FAILED);
    EXPECT_EQ(setSlots(t), 0);
}

TEST(MQLoadLibrary, AccessDebugShowsEachAttemptAndItsFailureOnTheConsoleOnly) {
    CleanMQEnvironment env;
    zt::TempDir empty;
    zt::TempDir logRoot;
    LogSettings saved;
    logGetSettings(&saved);
    LogSettings settings = saved;
    std::snprintf(settings.logPath, sizeof settings.logPath, "%s", logRoot.path().c_str());
    logSetSettings(&settings);
    zt::ScopedEnv server("MQM_DLL_PATH", empty.path().c_str());
#ifdef _WIN32
    zt::ScopedEnv debug("MQACCESS_DEBUG", "1");  // the Windows run-time drops a variable set empty
#else
    zt::ScopedEnv debug("MQACCESS_DEBUG", "");  // set, though empty
#endif
    MQIFunctionTable t = {};
    std::string out;
    {
        zt::ConsoleCapture console(false);
        EXPECT_EQ(MQLoadLibrary("mqm", &t), CS_LIB_NOT_FOUND);
        out = console.out();
    }
    logClose();
    logSetSettings(&saved);
    std::string first = joined(empty.path(), kServerFile);
    EXPECT_EQ(out.find("Loading '" + first + "'\nLoad failed RC(2) "), 0u) << out;
#ifndef _WIN32  // the loader's own text, and the library's other name, are Linux's
    EXPECT_EQ(out.find("Loading '" + first + "'\nLoad failed RC(2) " + first), 0u) << out;
    std::string second = joined(empty.path(), CS_MQ_LIBRARY_NAMES.serverOther);
    EXPECT_NE(out.find("Loading '" + second + "'\nLoad failed RC(2) " + second), std::string::npos) << out;
    EXPECT_NE(out.find("No such file or directory"), std::string::npos) << out;
#endif
    EXPECT_TRUE(logRoot.list().empty());  // nothing reached the log
}

TEST(MQLoadLibrary, WithoutAccessDebugNothingIsPrinted) {
    CleanMQEnvironment env;
    zt::TempDir empty;
    zt::ScopedEnv server("MQM_DLL_PATH", empty.path().c_str());
    MQIFunctionTable t = {};
    testing::internal::CaptureStdout();
    EXPECT_EQ(MQLoadLibrary("mqm", &t), CS_LIB_NOT_FOUND);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(MQLoadLibrary, NoNameLoadsTheClientLibraryWhenNoServerLibraryIsThere) {
    CleanMQEnvironment env;
    zt::TempDir empty;
    zt::ScopedEnv client("MQIC_DLL_PATH", dir("client").c_str());
    zt::ScopedEnv server("MQM_DLL_PATH", empty.path().c_str());
    MQIFunctionTable t = {};
    ASSERT_EQ(MQLoadLibrary("", &t), 0);
    EXPECT_EQ(connectThrough(t), 102);
}

}  // namespace
