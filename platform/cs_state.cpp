// The state shared by every thread of the process, the clock that the main loop ticks, and the
// time-zone values refreshed at start and daily at 03:00 local time.
#include <time.h>

#include <cerrno>

#include "platform/cs.h"
#include "platform/os_time.h"
#include "platform/output.h"
#include "platform/scan.h"

std::atomic<int32_t> evEndFlag{0};
std::atomic<int32_t> evExitStatus{0};
std::atomic<uint32_t> evEndSignals{0};
std::atomic<uint32_t> evDebugFlags{0};
std::atomic<uint32_t> evDebugOptions{0};
std::atomic<int32_t> evConfigChanged{0};
std::atomic<int32_t> evAlertsChanged{0};
std::atomic<uint32_t> evDataQueueCondition{0};
std::atomic<int32_t> evDataQueueMsgCount{0};

std::atomic<int32_t> evTzBias{0};
std::atomic<int32_t> evTzDaylight{0};
std::atomic<int32_t> evTzOffset{0};
std::atomic<int64_t> evTzNextRefresh{0};

namespace {

int64_t realNow() {
    return ::time(nullptr);
}

void realSleepMs(uint32_t ms) {
    timespec wait{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

std::atomic<const evTimeFuncs *> timeFuncs{&evRealTime};
std::atomic<int64_t> clockNow{0};

}  // namespace

const evTimeFuncs evRealTime = {realNow, realSleepMs};

void evEndWith(int32_t status) {
    int32_t running = 0;
    if (!evEndFlag.compare_exchange_strong(running, 1)) return;
    evExitStatus.store(status);
    if (status == EV_EXIT_START) evNoteEndReason();
}

const evTimeFuncs *evSetTimeFuncs(const evTimeFuncs *funcs) {
    const evTimeFuncs *previous = timeFuncs.exchange(funcs ? funcs : &evRealTime);
    clockNow.store(0);  // the next read of the clock comes from the new table
    return previous;
}

int evTimeIsReal() {
    return timeFuncs.load() == &evRealTime ? 1 : 0;
}

int64_t evTimeNow() {
    return timeFuncs.load()->now();
}

void evSleepMs(uint32_t ms) {
    timeFuncs.load()->sleepMs(ms);
}

int64_t evClockTick() {
    int64_t now = evTimeNow();
    clockNow.store(now);
    return now;
}

int64_t evClockNow() {
    int64_t now = clockNow.load();
    return now != 0 ? now : evClockTick();
}

void evRefreshTimeZone() {
    time_t now = evClockNow();
    struct tm local {};
    int32_t dst = 0, offset = 0;
    if (csLocalTime(&now, &local)) {
        dst = local.tm_isdst > 0 ? 60 : 0;
        // The true offset, also for zones whose daylight shift is not 60 minutes.
        offset = csUtcOffsetMinutes(local, now);
    }
    evTzDaylight.store(dst);
    evTzOffset.store(offset);
    evTzBias.store(offset - dst);
}

void evStartTimeZone(int64_t now) {
    evRefreshTimeZone();
    time_t t = now;
    struct tm local {};
    int64_t next = now + 86400;
    if (csLocalTime(&t, &local)) {
        EvCivilTime three{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, 3, 0, 0};
        int64_t seconds = 0;
        if (evCivilToTime(&three, 1, &seconds)) next = seconds;
    }
    evTzNextRefresh.store(next);
}

int evCheckTimeZone(int64_t now) {
    int64_t next = evTzNextRefresh.load();
    if (next == 0 || now < next) return 0;
    evRefreshTimeZone();
    while (next <= now) next += 86400;
    evTzNextRefresh.store(next);
    return 1;
}
