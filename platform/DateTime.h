#pragma once

#include <cstdint>
#include <string>

namespace korvan {

// Local wall-clock time as a day count: whole days since 1899-12-30, the
// fraction is the time of day. This is the form the database, the grid and
// the log texts are computed from.
using TDateTime = double;

struct DateTimeParts {
    int year = 1899;
    int month = 12;
    int day = 30;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int msec = 0;
};

// 2000-01-01 00:00:00, the zero of the database's second counts.
inline constexpr TDateTime kDbBaseDate = 36526.0;
inline constexpr double kMsPerDay = 86400000.0;

// False when the parts are not a real date and time (month 13, 31 April,
// hour 24, ...); `out` is then left unchanged.
bool TryEncodeDateTime(const DateTimeParts& parts, TDateTime& out);
DateTimeParts DecodeDateTime(TDateTime dt);

// "yyyy.mm.dd hh:nn:ss": the stamp in front of every log line.
std::string NowStampText(TDateTime dt);
// "yyyy-mm-dd": the name of a daily log file.
std::string DateFileText(TDateTime dt);
// The date-time text of the grid, the row search text and the event log
// line: "dd.mm.yyyy hh:nn:ss", the time part left out at exactly midnight.
std::string DateTimeText(TDateTime dt);
// Elapsed time as "%dd. hh:nn:ss" (whole days, then the time of day).
std::string ElapsedText(TDateTime elapsed);

}  // namespace korvan
