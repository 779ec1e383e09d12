#include "platform/TimeZone.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

using velunor::platform::ReadTimeZoneInformation;

namespace {

// Sets TZ for one test and puts the previous value back.
class ScopedTz {
public:
    explicit ScopedTz(const char* tz) {
        if (const char* old = std::getenv("TZ")) saved = old, hadOld = true;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTz() {
        if (hadOld)
            setenv("TZ", saved.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::string saved;
    bool hadOld = false;
};

std::time_t MidYear(int year) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = 5;
    t.tm_mday = 15;
    return timegm(&t);
}

}  // namespace

TEST(TimeZoneInformation, BiasesUnderTzSettings) {
    struct Case {
        const char* tz;
        int32_t bias, daylightBias;
        uint16_t daylightMonth, daylightDay, standardMonth, standardDay;
    };
    // POSIX rules so the test needs no zone database: M3.5.0 is the last Sunday of March.
    const Case cases[] = {
        {"UTC0", 0, 0, 0, 0, 0, 0},
        {"<+01>-1", -60, 0, 0, 0, 0, 0},  // 60 minutes east, no daylight time
        {"<-0330>3:30", 210, 0, 0, 0, 0, 0},
        {"CET-1CEST,M3.5.0,M10.5.0/3", -60, -60, 3, 26, 10, 29},
        {"EST5EDT,M3.2.0,M11.1.0", 300, -60, 3, 12, 11, 5},
        // Southern hemisphere: daylight time starts in spring (October) and ends in April.
        {"AEST-10AEDT,M10.1.0,M4.1.0/3", -600, -60, 10, 1, 4, 2},
    };
    for (const auto& c : cases) {
        ScopedTz tz(c.tz);
        auto info = ReadTimeZoneInformation(MidYear(2023));
        EXPECT_EQ(info.Bias, c.bias) << c.tz;
        EXPECT_EQ(info.StandardBias, 0) << c.tz;
        EXPECT_EQ(info.DaylightBias, c.daylightBias) << c.tz;
        EXPECT_EQ(info.DaylightDate.wMonth, c.daylightMonth) << c.tz;
        EXPECT_EQ(info.DaylightDate.wDay, c.daylightDay) << c.tz;
        EXPECT_EQ(info.StandardDate.wMonth, c.standardMonth) << c.tz;
        EXPECT_EQ(info.StandardDate.wDay, c.standardDay) << c.tz;
    }
}
