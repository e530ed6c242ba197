#include "platform/DateTime.h"

#include <cmath>
#include <cstdio>

namespace korvan {

namespace {

bool IsLeap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return (m == 2 && IsLeap(y)) ? 29 : kDays[m - 1];
}

// Days from 0001-01-01 to the given date (proleptic Gregorian).
std::int64_t DaysFromCivil(int y, int m, int d) {
    std::int64_t yy = y - (m <= 2 ? 1 : 0);
    const std::int64_t era = (yy >= 0 ? yy : yy - 399) / 400;
    const std::int64_t yoe = yy - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;  // days since 1970-01-01
}

void CivilFromDays(std::int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
}

// 1899-12-30 counted from 1970-01-01.
constexpr std::int64_t kEpochOffsetDays = -25569;

}  // namespace

bool TryEncodeDateTime(const DateTimeParts& p, TDateTime& out) {
    if (p.year < 1 || p.year > 9999 || p.month < 1 || p.month > 12 || p.day < 1 ||
        p.day > DaysInMonth(p.year, p.month) || p.hour < 0 || p.hour > 23 || p.minute < 0 ||
        p.minute > 59 || p.second < 0 || p.second > 59 || p.msec < 0 || p.msec > 999) {
        return false;
    }
    const std::int64_t days = DaysFromCivil(p.year, p.month, p.day) - kEpochOffsetDays;
    const double ms = ((p.hour * 60.0 + p.minute) * 60.0 + p.second) * 1000.0 + p.msec;
    out = static_cast<double>(days) + ms / kMsPerDay;
    return true;
}

DateTimeParts DecodeDateTime(TDateTime dt) {
    // Work in whole milliseconds so that 10:30:00 never prints as 10:29:59.
    const double totalMs = std::round(dt * kMsPerDay);
    std::int64_t days = static_cast<std::int64_t>(std::floor(totalMs / kMsPerDay));
    std::int64_t msOfDay =
        static_cast<std::int64_t>(totalMs - static_cast<double>(days) * kMsPerDay);
    if (msOfDay < 0) {
        msOfDay += 86400000;
        --days;
    }
    DateTimeParts p;
    CivilFromDays(days + kEpochOffsetDays, p.year, p.month, p.day);
    p.hour = static_cast<int>(msOfDay / 3600000);
    p.minute = static_cast<int>(msOfDay / 60000 % 60);
    p.second = static_cast<int>(msOfDay / 1000 % 60);
    p.msec = static_cast<int>(msOfDay % 1000);
    return p;
}

std::string NowStampText(TDateTime dt) {
    const DateTimeParts p = DecodeDateTime(dt);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d.%02d.%02d %02d:%02d:%02d", p.year, p.month, p.day, p.hour,
                  p.minute, p.second);
    return buf;
}

std::string DateFileText(TDateTime dt) {
    const DateTimeParts p = DecodeDateTime(dt);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", p.year, p.month, p.day);
    return buf;
}

std::string DateTimeText(TDateTime dt) {
    const DateTimeParts p = DecodeDateTime(dt);
    char buf[48];
    if (p.hour == 0 && p.minute == 0 && p.second == 0 && p.msec == 0) {
        std::snprintf(buf, sizeof buf, "%02d.%02d.%04d", p.day, p.month, p.year);
    } else {
        std::snprintf(buf, sizeof buf, "%02d.%02d.%04d %02d:%02d:%02d", p.day, p.month, p.year,
                      p.hour, p.minute, p.second);
    }
    return buf;
}

std::string ElapsedText(TDateTime elapsed) {
    const double totalMs = std::round(elapsed * kMsPerDay);
    const std::int64_t ms = static_cast<std::int64_t>(totalMs);
    const std::int64_t days = ms / 86400000;
    std::int64_t rest = ms % 86400000;
    if (rest < 0)
        rest = -rest;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%lldd. %02lld:%02lld:%02lld", static_cast<long long>(days),
                  static_cast<long long>(rest / 3600000), static_cast<long long>(rest / 60000 % 60),
                  static_cast<long long>(rest / 1000 % 60));
    return buf;
}

}  // namespace korvan
