// A strict reader of header values with RFC 2047 encoded words, for tests
// and fuzz targets: the value is unfolded, every encoded word (charset
// ISO-8859-1 or UTF-8, Q or B) is decoded on its own, white space between
// two adjacent words is dropped, other text is taken one character per
// byte. A word that does not decode on its own (bad Base64 or escape,
// invalid UTF-8, a character split between words) makes the whole value
// unreadable (nullopt).
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringDecoder>

#include <cctype>
#include <optional>

namespace testsupport {

inline std::optional<QString> DecodeEncodedWord(const QByteArray &charset, char encoding,
                                                const QByteArray &payload) {
    QByteArray bytes;
    if (encoding == 'B' || encoding == 'b') {
        const auto result =
            QByteArray::fromBase64Encoding(payload, QByteArray::AbortOnBase64DecodingErrors);
        if (!result)
            return std::nullopt;
        bytes = *result;
    } else {
        for (qsizetype i = 0; i < payload.size(); ++i) {
            const char c = payload[i];
            if (c == '_') {
                bytes += ' ';
            } else if (c == '=') {
                const QByteArray hex = payload.mid(i + 1, 2);
                if (hex.size() != 2 || !std::isxdigit(static_cast<uchar>(hex[0])) ||
                    !std::isxdigit(static_cast<uchar>(hex[1])))
                    return std::nullopt;
                bytes += static_cast<char>(hex.toInt(nullptr, 16));
                i += 2;
            } else {
                bytes += c;
            }
        }
    }
    const QByteArray name = charset.toUpper();
    if (name == "ISO-8859-1")
        return QString::fromLatin1(bytes);
    if (name != "UTF-8")
        return std::nullopt;
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8.decode(bytes);
    if (utf8.hasError())
        return std::nullopt;
    return text;
}

inline std::optional<QString> DecodeHeaderValue(QByteArray value) {
    value.replace("\r\n\t", "\t");
    value.replace("\r\n ", " ");
    QString out;
    QString pendingSpace; // white space after a word, dropped if a word follows
    bool afterWord = false;
    qsizetype i = 0;
    while (i < value.size()) {
        if (value.mid(i, 2) == "=?") {
            const qsizetype q1 = value.indexOf('?', i + 2);
            const qsizetype q2 = q1 < 0 ? -1 : value.indexOf('?', q1 + 1);
            const qsizetype end = q2 < 0 ? -1 : value.indexOf("?=", q2 + 1);
            if (q1 > 0 && q2 == q1 + 2 && end > 0) {
                const auto word = DecodeEncodedWord(value.mid(i + 2, q1 - i - 2), value[q1 + 1],
                                                    value.mid(q2 + 1, end - q2 - 1));
                if (!word)
                    return std::nullopt;
                if (!afterWord)
                    out += pendingSpace;
                pendingSpace.clear();
                out += *word;
                afterWord = true;
                i = end + 2;
                continue;
            }
        }
        const char c = value[i++];
        if (afterWord && (c == ' ' || c == '\t')) {
            pendingSpace += QLatin1Char(c);
            continue;
        }
        out += pendingSpace;
        pendingSpace.clear();
        afterWord = false;
        out += QChar(static_cast<uchar>(c));
    }
    return out + pendingSpace;
}

} // namespace testsupport
