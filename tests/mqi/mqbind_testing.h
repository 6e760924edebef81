// Shared by the binding tests: the stand-in libraries' folders, the library file names of this
// system, and a clean MQ environment.
#pragma once

#include <cstring>
#include <string>

#include "mqi/mqi.h"
#include "platform/platform.h"
#include "testing/built_paths.h"
#include "testing/testing.h"

namespace mb {

inline const std::string kFakes = FAKEMQ_DIR;

inline std::string dir(const char *folder) {
    return kFakes + "/" + folder;
}

// The library files as this system names them (libmqm.so or mqm.dll), and a folder joined to one.
inline const std::string kServerFile = CS_MQ_LIBRARY_NAMES.server;
inline const std::string kClientFile = CS_MQ_LIBRARY_NAMES.client;
inline std::string joined(const std::string &folder, const std::string &file) {
    return folder + CS_MQ_LIBRARY_NAMES.separator + file;
}

// Every MQ variable unset for the life of the object; tests then set the ones they mean.
struct CleanMQEnvironment {
    zt::ScopedEnv server{"MQM_DLL_PATH", nullptr};
    zt::ScopedEnv client{"MQIC_DLL_PATH", nullptr};
    zt::ScopedEnv installation{"MQ_INSTALLATION_PATH", nullptr};
    zt::ScopedEnv debug{"MQACCESS_DEBUG", nullptr};
};

inline int setSlots(const MQIFunctionTable &t) {
    void *slots[25];
    std::memcpy(slots, &t, sizeof slots);
    int set = 0;
    for (void *slot : slots) set += slot != nullptr;
    return set;
}

inline MQHCONN connectThrough(const MQIFunctionTable &t) {
    MQHCONN hconn = 0;
    MQLONG cc = -1, rc = -1;
    char name[48] = {};
    t.MQCONN(name, &hconn, &cc, &rc);
    EXPECT_EQ(cc, MQCC_OK);
    return hconn;
}

}  // namespace mb
