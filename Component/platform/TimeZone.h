#pragma once

#include <cstdint>
#include <ctime>

#include "velunor/sftp.h"

namespace velunor::platform {

// The local zone's rules in the shape the component's time conversions expect. All biases are
// minutes with the sign that makes UTC = local time + bias.
struct TimeZoneInformation {
    int32_t Bias = 0;
    SYSTEMTIME StandardDate = {};  // month and day daylight time ends this year; month 0: none
    int32_t StandardBias = 0;
    SYSTEMTIME DaylightDate = {};  // month and day daylight time starts this year; month 0: none
    int32_t DaylightBias = 0;
};

// Reads the C library's rules for the local zone (TZ honoured) for the year that contains now.
TimeZoneInformation ReadTimeZoneInformation(std::time_t now);
TimeZoneInformation ReadTimeZoneInformation();

}  // namespace velunor::platform
