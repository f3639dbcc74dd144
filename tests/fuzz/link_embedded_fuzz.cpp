// Feeds arbitrary HTML and file names to LinkEmbeddedFiles. The input is
// the file names, one per line, then a NUL byte, then the HTML.

#include "mime/compose.h"

#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const qsizetype split = bytes.indexOf('\0');
    const QString names = QString::fromUtf8(split < 0 ? QByteArray() : bytes.left(split));
    const QString original = QString::fromUtf8(split < 0 ? bytes : bytes.mid(split + 1));
    const QStringList files = names.isEmpty() ? QStringList() : names.split(QLatin1Char('\n'));

    QString html = original;
    QList<bool> embedded;
    const bool linked = sendmail::LinkEmbeddedFiles(html, files, embedded, true);
    if (!files.isEmpty() && embedded.size() != files.size())
        abort();
    if (linked != embedded.contains(true))
        abort();
    if (!linked && html != original)
        abort();
    // A rewrite inserts a "cid:" reference. (A later name in the same
    // unquoted attribute may replace an earlier reference, so the check
    // cannot be per name.)
    if (linked && !html.contains(QStringLiteral("cid:")))
        abort();

    QString plain = original;
    QList<bool> untouched;
    if (sendmail::LinkEmbeddedFiles(plain, files, untouched, false) || plain != original)
        abort();
    return 0;
}
