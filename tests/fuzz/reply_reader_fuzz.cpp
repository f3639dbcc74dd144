// Feeds arbitrary server output to the reply assembly in arbitrary pieces and
// checks that the pieces change nothing: the replies are those of the whole
// output read at once, none longer than the bound.
//
// Input: bytes below 0xF0 are the server's bytes; 0xFE ends a piece; 0xF1 to
// 0xF4 followed by a byte repeat that byte 16 Ki to 64 Ki times, so that short
// inputs reach replies past the 64 KiB bound.

#include "mail/reply_reader.h"

#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

QStringList readAll(const QStringList &pieces) {
    sendmail::ReplyReader reader;
    QStringList replies;
    for (const QString &piece : pieces) {
        reader.append(piece);
        while (std::optional<sendmail::Reply> r = reader.next()) {
            if (r->text.size() > sendmail::MaxReplyLength + sendmail::ReplyCutMarker.size())
                abort();
            if (r->cut && !r->text.endsWith(sendmail::ReplyCutMarker))
                abort();
            replies << r->text;
        }
    }
    return replies;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    QStringList pieces{QString()};
    QString whole;
    for (size_t i = 0; i < size; ++i) {
        const uint8_t b = data[i];
        if (b == 0xFE) {
            pieces << QString();
        } else if (b >= 0xF1 && b <= 0xF4 && i + 1 < size) {
            const QString run(qsizetype(b - 0xF0) * 16 * 1024, QChar(char16_t(data[++i])));
            pieces.last() += run;
            whole += run;
        } else if (b < 0xF0) {
            pieces.last() += QChar(char16_t(b));
            whole += QChar(char16_t(b));
        }
    }
    if (readAll(pieces) != readAll({whole}))
        abort();
    return 0;
}
