#include "sftp/SftpTime.h"

namespace velunor {

namespace {

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    unsigned yoe = unsigned(y - era * 400);
    unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + int64_t(doe) - 719468;
}

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
    int64_t z = days + 719468;
    int64_t era = z / 146097;
    unsigned doe = unsigned(z - era * 146097);
    unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t y = int64_t(yoe) + era * 400;
    unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    unsigned mp = (5 * doy + 2) / 153;
    unsigned d = doy - (153 * mp + 2) / 5 + 1;
    unsigned m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
    SYSTEMTIME st{};
    st.wYear = uint16_t(y);
    st.wMonth = uint16_t(m);
    st.wDay = uint16_t(d);
    st.wDayOfWeek = uint16_t((days + 4) % 7);  // 1970-01-01 was a Thursday
    st.wHour = uint16_t(rest / 3600);
    st.wMinute = uint16_t(rest / 60 % 60);
    st.wSecond = uint16_t(rest % 60);
    return st;
}

int64_t SecondsOfFields(const SYSTEMTIME& f) {
    return DaysFromCivil(f.wYear, f.wMonth, f.wDay) * 86400 + int64_t(f.wHour) * 3600 + int64_t(f.wMinute) * 60 +
           f.wSecond;
}

uint64_t FileTimeOf(uint64_t seconds) { return (seconds + kSecondsFrom1601To1970) * 10000000ull; }

}  // namespace velunor
