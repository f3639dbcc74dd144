// The local offset from UTC as the "Date:" header writes it.
#pragma once

#include <QString>

namespace sendmail {

// Minutes to add to local time to get UTC (positive west of Greenwich), from
// the C library's local time now (honours TZ).
int LocalBiasMinutes();

// "-" for a positive bias, else "+", then hours and minutes of the absolute
// bias as two digits each: bias -60 gives "+0100", 210 gives "-0330".
QString TimeZoneSuffixFromBias(int bias);

} // namespace sendmail
