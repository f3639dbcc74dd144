// Feeds arbitrary bytes to the header core of kelmsend's sendmail mode as a
// message's header block, and checks what must hold whatever the block: the
// fields split back into the block, every kept field is in the result in
// its order, no Bcc field is, and no address carries a line break.

#include "cli/sendmail/headers.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace kelmsend;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));

    const QList<HeaderField> fields = SplitHeaderFields(bytes);
    QByteArray joined;
    QByteArray kept;
    for (const HeaderField &f : fields) {
        joined += f.raw;
        if (!f.is("Bcc")) {
            kept += f.raw;
        }
        for (const QString &address : ParseAddressList(f.value())) {
            if (address.isEmpty() || address.contains(QLatin1Char('\r')) ||
                address.contains(QLatin1Char('\n')))
                abort();
        }
    }
    if (joined != bytes)
        abort();

    RelayRequest request;
    request.extractRecipients = true;
    request.fromName = QString::fromUtf8(bytes.left(20));
    const QDateTime now(QDate(2025, 2, 13), QTime(9, 5, 1), Qt::UTC);
    const RelayMessage m =
        PrepareRelay({bytes, "\r\n", {}}, request, now, QByteArray(16, 'x'), "host.example");
    if (!m.head.startsWith(kept) || !m.head.endsWith("\n\r\n"))
        abort();
    for (const HeaderField &f : SplitHeaderFields(m.head.mid(kept.size()))) {
        if (f.is("Bcc"))
            abort();
    }
    return 0;
}
