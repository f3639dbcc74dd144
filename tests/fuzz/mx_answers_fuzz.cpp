// Walks arbitrary bytes as an MX answer. The walk must stay inside the
// bytes it is given (the sanitizer checks every read, the input is not
// copied) and end however the pointers are laid out.
#include "dns/mx_query.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 65536)
        return 0;
    const QByteArray message =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const int count = size >= 8 ? (data[6] << 8 | data[7]) : 0;

    const QString best = modMXQuery::ParseMXAnswers(message, 12, count);
    // A name is never longer than the bytes it was read from.
    if (best.size() > message.size())
        std::abort();

    int position = 12;
    QString name;
    if (modMXQuery::ReadDomainName(message, position, name) &&
        (position <= 12 || position > message.size() || name.size() > message.size()))
        std::abort();
    return 0;
}
