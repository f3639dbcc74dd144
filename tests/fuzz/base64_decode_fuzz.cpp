// Feeds arbitrary text to DecodeBase64String, and checks that the decoder
// inverts the encoder for arbitrary bytes.

#include "mime/encoders.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const QString text = QString::fromLatin1(bytes);

    // Every group of up to four characters gives at most three bytes.
    const QString decoded = sendmail::DecodeBase64String(text);
    if (decoded.size() > (text.size() + 3) / 4 * 3)
        abort();

    // The same bytes taken as UTF-8 reach the characters above U+00FF.
    (void)sendmail::DecodeBase64String(QString::fromUtf8(bytes));

    if (!bytes.isEmpty()) {
        QByteArray copy = bytes;
        QString encoded = QString::fromLatin1(sendmail::EncodeBase64Bytes(copy));
        encoded.remove(QStringLiteral("\r\n"));
        if (sendmail::DecodeBase64String(encoded) != text)
            abort();
    }
    return 0;
}
