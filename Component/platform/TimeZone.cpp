#include "platform/TimeZone.h"

#include <time.h>

namespace velunor::platform {

namespace {

struct LocalState {
    bool dst;
    long offset;  // seconds east of UTC
};

LocalState StateAt(std::time_t t) {
    std::tm fields{};
    localtime_r(&t, &fields);
    return {fields.tm_isdst > 0, fields.tm_gmtoff};
}

// The first second at which the zone's state differs from its state at lo; lo < hi and the
// states at lo and hi differ.
std::time_t FindTransition(std::time_t lo, std::time_t hi) {
    LocalState start = StateAt(lo);
    while (hi - lo > 1) {
        std::time_t mid = lo + (hi - lo) / 2;
        LocalState s = StateAt(mid);
        if (s.dst == start.dst && s.offset == start.offset)
            lo = mid;
        else
            hi = mid;
    }
    return hi;
}

// The wall-clock date at which a transition happens, read on the clock in force before it.
SYSTEMTIME TransitionDate(std::time_t at, long offsetBefore) {
    std::time_t wall = at + offsetBefore;
    std::tm f{};
    gmtime_r(&wall, &f);
    SYSTEMTIME st{};
    st.wYear = uint16_t(f.tm_year + 1900);
    st.wMonth = uint16_t(f.tm_mon + 1);
    st.wDayOfWeek = uint16_t(f.tm_wday);
    st.wDay = uint16_t(f.tm_mday);
    st.wHour = uint16_t(f.tm_hour);
    st.wMinute = uint16_t(f.tm_min);
    st.wSecond = uint16_t(f.tm_sec);
    return st;
}

}  // namespace

TimeZoneInformation ReadTimeZoneInformation(std::time_t now) {
    tzset();
    std::tm nowFields{};
    gmtime_r(&now, &nowFields);
    std::tm jan1{};
    jan1.tm_year = nowFields.tm_year;
    jan1.tm_mday = 1;
    std::time_t yearStart = timegm(&jan1);
    std::tm nextJan1 = jan1;
    nextJan1.tm_year += 1;
    std::time_t yearEnd = timegm(&nextJan1);

    TimeZoneInformation tz;
    bool haveStandard = false;
    long standardOffset = 0, daylightOffset = 0;
    bool haveDaylight = false;
    std::time_t daylightStart = 0, daylightEnd = 0;
    long offsetBeforeStart = 0, offsetBeforeEnd = 0;

    // Step a day at a time and pin each change of state to the second.
    constexpr std::time_t kStep = 86400;
    LocalState previous = StateAt(yearStart);
    for (std::time_t t = yearStart; t < yearEnd;) {
        if (previous.dst) {
            haveDaylight = true;
            daylightOffset = previous.offset;
        } else {
            haveStandard = true;
            standardOffset = previous.offset;
        }
        std::time_t next = t + kStep < yearEnd ? t + kStep : yearEnd;
        LocalState s = StateAt(next);
        if (s.dst != previous.dst) {
            std::time_t at = FindTransition(t, next);
            if (s.dst) {
                daylightStart = at;
                offsetBeforeStart = previous.offset;
            } else {
                daylightEnd = at;
                offsetBeforeEnd = previous.offset;
            }
        }
        previous = s;
        t = next;
    }
    if (!haveStandard) standardOffset = previous.offset;

    tz.Bias = int32_t(-standardOffset / 60);
    tz.StandardBias = 0;
    if (haveDaylight && daylightStart != 0 && daylightEnd != 0) {
        tz.DaylightBias = int32_t(-(daylightOffset - standardOffset) / 60);
        tz.DaylightDate = TransitionDate(daylightStart, offsetBeforeStart);
        tz.StandardDate = TransitionDate(daylightEnd, offsetBeforeEnd);
    }
    return tz;
}

TimeZoneInformation ReadTimeZoneInformation() { return ReadTimeZoneInformation(std::time(nullptr)); }

}  // namespace velunor::platform
