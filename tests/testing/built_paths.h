#pragma once

// Where the built programs and libraries a test runs are, and the source folders it reads. The
// build gives each test executable these in a source made for it (tests/CMakeLists.txt), and the
// compile definition of the same name stands for the text: a path written into the compile line of
// every test file made each of them compile anew in each new checkout, past the compiler cache.
extern "C" {
extern const char zt_built_MINIQM_TOOL[];
extern const char zt_built_MINIQM_MQM_LIBRARY[];
extern const char zt_built_MINIQM_EXIT_APP[];
extern const char zt_built_MINIQM_SERVICE_APP[];
extern const char zt_built_ZUNT_PROGRAM[];
extern const char zt_built_ZUNT_README[];
extern const char zt_built_FAKEMQ_DIR[];
extern const char zt_built_ZUNT_CCDT_GOLDEN[];
extern const char zt_built_ZUNT_CONSOLE_GOLDEN[];
extern const char zt_built_ZUNT_EMIT_GOLDEN[];
}
