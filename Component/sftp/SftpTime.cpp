#include "sftp/SftpTime.h"

#include "platform/CivilDate.h"

namespace velunor {

namespace {

constexpr uint64_t kSecondsFrom1601To1970 = 11644473600ull;

}  // namespace

bool DaylightInEffect(const platform::TimeZoneInformation& zone, int month0, int day) {
    if (zone.DaylightBias == zone.StandardBias) return false;
    int start = int(zone.DaylightDate.wMonth) - 1;
    int end = int(zone.StandardDate.wMonth) - 1;
    int startDay = zone.DaylightDate.wDay;
    int endDay = zone.StandardDate.wDay;
    if (start == end) return month0 == start && day > startDay && day < endDay;
    bool edge = (month0 == start && day > startDay) || (month0 == end && day < endDay);
    if (start < end) return edge || (month0 > start && month0 < end);
    return edge || month0 > start || month0 < end;
}

SYSTEMTIME UtcFieldsOf(uint64_t seconds) {
    int64_t days = int64_t(seconds / 86400);
    uint32_t rest = uint32_t(seconds % 86400);
    int64_t y;
    unsigned m, d;
    platform::CivilFromDays(days, y, m, d);
    SYSTEMTIME st{};
    st.wYear = uint16_t(y);
    st.wMonth = uint16_t(m);
    st.wDay = uint16_t(d);
    st.wDayOfWeek = uint16_t(platform::WeekdayOfDays(days));
    st.wHour = uint16_t(rest / 3600);
    st.wMinute = uint16_t(rest / 60 % 60);
    st.wSecond = uint16_t(rest % 60);
    return st;
}

int64_t SecondsOfFields(const SYSTEMTIME& f) {
    return platform::DaysFromCivil(f.wYear, f.wMonth, f.wDay) * 86400 + int64_t(f.wHour) * 3600 + int64_t(f.wMinute) * 60 +
           f.wSecond;
}

uint64_t FileTimeOf(uint64_t seconds) { return (seconds + kSecondsFrom1601To1970) * 10000000ull; }

}  // namespace velunor
