// Feeds arbitrary Unicode text to the header encoder and reads the result
// back with an independent strict decoder (tests/support/header_words.h):
// the text must come back unchanged, every encoded word must decode on its
// own, and no line may pass the 998 octets SMTP allows (78 for UTF-8 words,
// which are folded for the line).

#include "mime/encoders.h"

#include "../support/header_words.h"

#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    // The first byte chooses the place and whether the text is a display
    // name; the rest, as UTF-8 (invalid sequences become U+FFFD), is the
    // text.
    const int column = data[0] % 41;
    const bool quote = (data[0] & 0x80) != 0;
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data + 1),
                                           static_cast<qsizetype>(size - 1));

    const QString out = sendmail::EncodeHeaderText(text, quote, {column, 0});
    const QByteArray octets = out.toLatin1();
    if (QString::fromLatin1(octets) != out)
        abort(); // a character that is no octet

    bool plain = true;
    for (QChar c : text)
        plain = plain && c.unicode() <= 126;
    if (plain) {
        // Stands as it is, line breaks turned into spaces; a display name in
        // quotes with its own quotes and backslashes escaped, so that it
        // stays one phrase.
        QString expected = text;
        expected.replace(QLatin1Char('\r'), QLatin1Char(' '));
        expected.replace(QLatin1Char('\n'), QLatin1Char(' '));
        if (quote) {
            expected.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
            expected.replace(QLatin1Char('"'), QStringLiteral("\\\""));
            expected = QLatin1Char('"') + expected + QLatin1Char('"');
        }
        if (out != expected)
            abort();
        return 0;
    }

    if (testsupport::DecodeHeaderValue(octets) != text)
        abort();
    const bool utf8 = !sendmail::FitsLatin1(text);
    const QStringList lines = out.split(QStringLiteral("\r\n"));
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString &line = lines[i];
        if (line.size() > 998)
            abort();
        if (i > 0 && !line.startsWith(QLatin1Char('\t')))
            abort(); // every fold is CRLF TAB
        if (!utf8)
            continue;
        const QString word = line.trimmed();
        if (word.size() > 75 || (i == 0 ? column : 0) + line.size() > 78)
            abort();
        if (!testsupport::DecodeHeaderValue(word.toLatin1()))
            abort(); // a word that does not decode on its own
    }
    return 0;
}
