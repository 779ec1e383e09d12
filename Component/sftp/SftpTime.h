#pragma once

#include <cstdint>

#include "platform/TimeZone.h"
#include "velunor/sftp.h"

namespace velunor {

// Whether the zone's daylight time is in effect on a day, given its 0-based month and its day
// of month. Zones whose daylight time spans the new year (it starts in a later month than it
// ends) are in daylight time outside the interval between the end and the start.
bool DaylightInEffect(const platform::TimeZoneInformation& zone, int month0, int day);

// The UTC calendar fields of a time in seconds since 1970 (not before 1970).
SYSTEMTIME UtcFieldsOf(uint64_t seconds);
// Seconds since 1970 of UTC calendar fields; negative before 1970.
int64_t SecondsOfFields(const SYSTEMTIME& fields);
// A FILETIME value (100-ns units since 1601-01-01 UTC) of a time in seconds since 1970.
uint64_t FileTimeOf(uint64_t seconds);

}  // namespace velunor
