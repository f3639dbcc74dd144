#include "mail/time_zone.h"

#include <cstdlib>
#include <ctime>

namespace sendmail {

int LocalBiasMinutes() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) {
        return 0;
    }
    // tm_gmtoff already includes daylight time when it is in effect.
    return static_cast<int>(-local.tm_gmtoff / 60);
}

QString TimeZoneSuffixFromBias(int bias) {
    const int magnitude = std::abs(bias);
    return QStringLiteral("%1%2%3")
        .arg(bias > 0 ? QLatin1Char('-') : QLatin1Char('+'))
        .arg(magnitude / 60, 2, 10, QLatin1Char('0'))
        .arg(magnitude % 60, 2, 10, QLatin1Char('0'));
}

} // namespace sendmail
