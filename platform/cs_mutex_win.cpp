// Windows side of the locks: the slim reader/writer lock under CSLock and CSRecursiveLock, and
// the thread id the locks and the trace record.
#include <windows.h>

#include "platform/cs.h"

namespace {

PSRWLOCK srw(void **word) {
    static_assert(sizeof(SRWLOCK) == sizeof(void *));
    return reinterpret_cast<PSRWLOCK>(word);
}

}  // namespace

uint32_t csThreadId() {
    static thread_local uint32_t id = static_cast<uint32_t>(GetCurrentThreadId());
    return id;
}

void CSOsMutex::lock() {
    AcquireSRWLockExclusive(srw(&word_));
}

void CSOsMutex::unlock() {
    ReleaseSRWLockExclusive(srw(&word_));
}

bool CSOsMutex::tryLockFor(uint32_t timeoutMs) {
    // An SRW lock has no timed acquire: try, then back off in short sleeps until the time is up.
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    DWORD pause = 0;
    for (;;) {
        if (TryAcquireSRWLockExclusive(srw(&word_))) return true;
        if (GetTickCount64() >= deadline) return false;
        Sleep(pause);
        if (pause < 10) pause++;
    }
}
