// The percentage that the Progress signal reports while a message is sent.
#pragma once

#include <cstdint>

namespace sendmail {

// sent / total as a whole percentage, 0 when total is below 1, at most 100.
// The ratio is taken in double precision, narrowed to single precision,
// scaled by 100 and rounded half to even, so 12.5 % reads 12 and 13.5 %
// reads 14.
int32_t ProgressPercent(int32_t sent, int32_t total);

} // namespace sendmail
