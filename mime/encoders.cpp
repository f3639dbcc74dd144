// Encoded words follow RFC 2047 (sections 4.1 "B" and 4.2 "Q"), Base64
// follows RFC 2045 section 6.8 (76-character lines), and uuencoded lines use
// the classic format read by uudecode: a length character, then four
// characters per three bytes.

#include "mime/encoders.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace sendmail {

namespace {

const QString kCrLfTab = QStringLiteral("\r\n\t");
const QString kQPrefix = QStringLiteral("=?ISO-8859-1?Q?");
const QString kBPrefix = QStringLiteral("=?ISO-8859-1?B?");
const QString kWordEnd = QStringLiteral("?=");

// A Q word is closed once its encoded text reaches this many characters;
// with the prefix and suffix it stays within 73 characters, so a folded
// line never exceeds the 76 characters RFC 2047 allows for a word.
constexpr int kQChunkChars = 54;
// 42 characters encode to 56 Base64 digits: a 73-character B word.
constexpr int kBPieceChars = 42;

constexpr int kGroupsPerLine = 19; // 19 x 4 = 76 characters

bool IsQLiteral(uchar c) {
    return (c >= 33 && c <= 60) || c == 62 || (c >= 64 && c <= 94) || (c >= 96 && c <= 126);
}

QString QForm(const QByteArray &bytes) {
    static const char hex[] = "0123456789ABCDEF";
    QString result;
    QString chunk;
    for (qsizetype p = 0; p < bytes.size(); ++p) {
        const auto c = static_cast<uchar>(bytes[p]);
        if (c == ' ') {
            chunk += QLatin1Char('_');
        } else if (IsQLiteral(c)) {
            chunk += QLatin1Char(static_cast<char>(c));
        } else {
            chunk += QLatin1Char('=');
            chunk += QLatin1Char(hex[c >> 4]);
            chunk += QLatin1Char(hex[c & 15]);
        }
        if (chunk.size() >= kQChunkChars) {
            result += kQPrefix + chunk + kWordEnd;
            if (p + 1 < bytes.size())
                result += kCrLfTab;
            chunk.clear();
        }
    }
    if (!chunk.isEmpty())
        result += kQPrefix + chunk + kWordEnd;
    return result;
}

QString BForm(const QString &text) {
    QString result;
    for (qsizetype start = 0; start < text.size(); start += kBPieceChars) {
        QString encoded = EncodeBase64String(text.mid(start, kBPieceChars));
        encoded.chop(2); // the CRLF that ends every Base64 output
        result += kBPrefix + encoded + kWordEnd;
        if (start + kBPieceChars < text.size())
            result += kCrLfTab;
    }
    return result;
}

// Four six-bit values of the three bytes b0, b1, b2.
struct Sextets {
    uchar s[4];
};

Sextets Split(uchar b0, uchar b1, uchar b2) {
    return {{static_cast<uchar>(b0 >> 2), static_cast<uchar>(((b0 & 3) << 4) | (b1 >> 4)),
             static_cast<uchar>(((b1 & 15) << 2) | (b2 >> 6)), static_cast<uchar>(b2 & 63)}};
}

} // namespace

QString EncodeHeaderText(const QString &text, bool quote) {
    const QByteArray bytes = text.toLatin1();
    bool plain = true;
    for (char ch : bytes) {
        if (static_cast<uchar>(ch) > 126) {
            plain = false;
            break;
        }
    }
    if (plain) {
        QString safe = text;
        safe.replace(QLatin1Char('\r'), QLatin1Char(' '));
        safe.replace(QLatin1Char('\n'), QLatin1Char(' '));
        return quote ? QLatin1Char('"') + safe + QLatin1Char('"') : safe;
    }
    const QString q = QForm(bytes);
    QString b = BForm(text);
    return q.size() < b.size() ? q : b;
}

QByteArray EncodeBase64Bytes(QByteArray &data) {
    if (data.isEmpty())
        return {};
    const qsizetype added = (3 - data.size() % 3) % 3;
    if (added)
        data.append(added, '\0');

    const qsizetype groups = data.size() / 3;
    const qsizetype breaks = (groups - 1) / kGroupsPerLine;
    QByteArray out(groups * 4 + breaks * 2 + 2, Qt::Uninitialized);
    char *w = out.data();
    const auto *r = reinterpret_cast<const uchar *>(data.constData());
    // This carries whole attachment files: twelve bits map to two digits in
    // one lookup, and each pass of the inner loop writes one whole line.
    static const std::array<std::array<char, 2>, 4096> pairs = [] {
        std::array<std::array<char, 2>, 4096> t{};
        for (size_t i = 0; i < t.size(); ++i)
            t[i] = {Base64Table[i >> 6], Base64Table[i & 63]};
        return t;
    }();
    for (qsizetype g = 0; g < groups;) {
        if (g > 0) {
            *w++ = '\r';
            *w++ = '\n';
        }
        const qsizetype lineEnd = std::min<qsizetype>(groups, g + kGroupsPerLine);
        for (; g < lineEnd; ++g, r += 3) {
            const uint32_t v = (uint32_t{r[0]} << 16) | (uint32_t{r[1]} << 8) | r[2];
            std::memcpy(w, pairs[v >> 12].data(), 2);
            std::memcpy(w + 2, pairs[v & 0xFFF].data(), 2);
            w += 4;
        }
    }
    for (qsizetype i = 1; i <= added; ++i)
        w[-i] = '=';
    *w++ = '\r';
    *w++ = '\n';
    Q_ASSERT(w == out.data() + out.size());
    return out;
}

QString EncodeBase64String(const QString &text) {
    if (text.isEmpty())
        return {};
    QByteArray bytes = text.toLatin1();
    return QString::fromLatin1(EncodeBase64Bytes(bytes));
}

QByteArray UUEncodeLine(const QByteArray &bytes) {
    if (bytes.size() > 63)
        return {};
    QByteArray result;
    result.reserve(1 + (bytes.size() + 2) / 3 * 4);
    result += UUTable[bytes.size()];
    qsizetype lastPiece = 0;
    for (qsizetype start = 0; start < bytes.size(); start += 3) {
        const qsizetype k = std::min<qsizetype>(3, bytes.size() - start);
        uchar buf[3] = {0, 0, 0};
        for (qsizetype i = 0; i < k; ++i)
            buf[i] = static_cast<uchar>(bytes[start + i]);
        const Sextets s = Split(buf[0], buf[1], buf[2]);
        for (qsizetype i = 0; i <= k; ++i)
            result += UUTable[s.s[i]];
        lastPiece = k;
    }
    if (lastPiece == 1)
        result += "==";
    else if (lastPiece == 2)
        result += '=';
    return result;
}

QString UUEncodeLine(const QString &text) {
    if (text.size() > 63)
        return {};
    return QString::fromLatin1(UUEncodeLine(text.toLatin1()));
}

QString DecodeBase64String(const QString &str2Decode) {
    // Value of each character code: 0..63 a digit, 64 the fill, -1 invalid.
    static const std::array<signed char, 256> value = [] {
        std::array<signed char, 256> v{};
        v.fill(-1);
        for (int i = 0; i < 65; ++i)
            v[static_cast<uchar>(Base64Alphabet[i])] = static_cast<signed char>(i);
        return v;
    }();

    QByteArray result;
    result.reserve(str2Decode.size() / 4 * 3 + 3);
    const qsizetype n = str2Decode.size();
    for (qsizetype start = 0; start < n; start += 4) {
        int count = 4;
        uchar s[4] = {0, 0, 0, 0};
        for (int i = 0; i < 4; ++i) {
            if (start + i >= n)
                continue; // past the end reads as "A"
            const char16_t ch = str2Decode[start + i].unicode();
            const int v = ch < 256 ? value[ch] : -1;
            if (v < 0)
                return {};
            if (v == 64) {
                count = i;
                break;
            }
            s[i] = static_cast<uchar>(v);
        }
        const char d[3] = {static_cast<char>((s[0] << 2) | (s[1] >> 4)),
                           static_cast<char>(((s[1] & 15) << 4) | (s[2] >> 2)),
                           static_cast<char>(((s[2] & 3) << 6) | s[3])};
        if (count > 1)
            result.append(d, count - 1);
    }
    return QString::fromLatin1(result);
}

} // namespace sendmail
