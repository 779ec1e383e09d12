#pragma once

#include <cstdint>

namespace velunor::platform {

// Proleptic Gregorian calendar arithmetic on days counted from 1970-01-01 (day 0), valid far
// beyond the years any file time or OLE date can name.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day);
void CivilFromDays(int64_t days, int64_t& year, unsigned& month, unsigned& day);
// 0 Sunday to 6 Saturday.
unsigned WeekdayOfDays(int64_t days);

}  // namespace velunor::platform
