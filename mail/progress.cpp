#include "mail/progress.h"

#include <cmath>

namespace sendmail {

int32_t ProgressPercent(int32_t sent, int32_t total) {
    if (total < 1) {
        return 0;
    }
    const float ratio = static_cast<float>(static_cast<double>(sent) / total);
    const float scaled = ratio * 100.0f;
    // Checked before the conversion: a ratio far above 1 would not fit.
    if (scaled > 100.0f) {
        return 100;
    }
    // The default floating-point rounding mode rounds halves to even.
    return static_cast<int32_t>(std::nearbyint(scaled));
}

} // namespace sendmail
