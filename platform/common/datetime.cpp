// The date parser behind COleDateTime::ParseDateTime: one parser for every back end, so the
// column sort orders date texts alike everywhere. It accepts the forms of the default
// (C/POSIX, US-style) locale: "2026-12-09", "12/09/2026", either followed by "HH:MM" or
// "HH:MM:SS", and a time of day alone ("08:30"), which falls on day 0.
#include "platform/afx.h"

#include <cstdio>
#include <cstring>

namespace {

// Days from 1899-12-30 to the given civil date (proleptic Gregorian).
long DaysFromCivil(int y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long>(doe) - 719468 + 25569; // 1970-01-01 is day 25569
}

bool ValidDate(int y, int m, int d) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 100 || y > 9999 || m < 1 || m > 12 || d < 1)
        return false;
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return d <= kDays[m - 1] + (m == 2 && leap ? 1 : 0);
}

bool ParseTime(const char* p, double& fraction) {
    int h = 0, mi = 0, s = 0, used = 0;
    if (std::sscanf(p, "%2d:%2d:%2d%n", &h, &mi, &s, &used) == 3 && p[used] == '\0') {
    } else if (std::sscanf(p, "%2d:%2d%n", &h, &mi, &used) == 2 && p[used] == '\0') {
        s = 0;
    } else {
        return false;
    }
    if (h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 59)
        return false;
    fraction = (h * 3600 + mi * 60 + s) / 86400.0;
    return true;
}

} // namespace

bool COleDateTime::ParseDateTime(const char* lpszDate, DWORD, DWORD) {
    m_valid = false;
    if (!lpszDate)
        return false;
    while (*lpszDate == ' ' || *lpszDate == '\t')
        ++lpszDate;
    int y = 0, m = 0, d = 0, used = 0;
    bool haveDate = false;
    if (std::sscanf(lpszDate, "%4d-%2d-%2d%n", &y, &m, &d, &used) == 3)
        haveDate = true;
    else if (std::sscanf(lpszDate, "%2d/%2d/%4d%n", &m, &d, &y, &used) == 3)
        haveDate = true;

    double fraction = 0;
    if (haveDate) {
        if (!ValidDate(y, m, d))
            return false;
        const char* rest = lpszDate + used;
        while (*rest == ' ')
            ++rest;
        if (*rest != '\0' && !ParseTime(rest, fraction))
            return false;
        m_dt = static_cast<double>(
                   DaysFromCivil(y, static_cast<unsigned>(m), static_cast<unsigned>(d))) +
               fraction;
    } else {
        if (!ParseTime(lpszDate, fraction))
            return false;
        m_dt = fraction;
    }
    m_valid = true;
    return true;
}
