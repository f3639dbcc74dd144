// Encoded words follow RFC 2047 (sections 4.1 "B" and 4.2 "Q", section 5
// for words in a phrase), Base64 follows RFC 2045 section 6.8 (76-character
// lines), quoted-printable RFC 2045 section 6.7, parameters with a charset
// RFC 2231 sections 3 and 4, and uuencoded lines use the classic format read
// by uudecode: a length character, then four characters per three bytes.

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

// Characters a Q word in a phrase may hold as they are (RFC 2047 section 5
// (3)); everything else is escaped, so the word can stand in an address.
bool IsPhraseLiteral(uchar c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '!' ||
           c == '*' || c == '+' || c == '-' || c == '/';
}

QString QForm(const QByteArray &bytes, bool phrase) {
    static const char hex[] = "0123456789ABCDEF";
    QString result;
    QString chunk;
    for (qsizetype p = 0; p < bytes.size(); ++p) {
        const auto c = static_cast<uchar>(bytes[p]);
        if (c == ' ') {
            chunk += QLatin1Char('_');
        } else if (phrase ? IsPhraseLiteral(c) : IsQLiteral(c)) {
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

// ---- UTF-8 encoded words --------------------------------------------------

const QString kUtf8QPrefix = QStringLiteral("=?UTF-8?Q?");
const QString kUtf8BPrefix = QStringLiteral("=?UTF-8?B?");
// RFC 2047 section 2: an encoded word is at most 75 characters; RFC 5322
// section 2.1.1: a line should stay within 78.
constexpr int kMaxWord = 75;
constexpr int kMaxLine = 78;
constexpr int kUtf8WordFrame = 12; // "=?UTF-8?Q?" + "?="

// The UTF-8 bytes of each character of `text` in order. A lone surrogate,
// which no encoding can carry, stands as U+FFFD.
QList<QByteArray> Utf8Characters(QStringView text) {
    QList<QByteArray> out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        if (QChar::isHighSurrogate(u) && i + 1 < text.size() &&
            QChar::isLowSurrogate(text[i + 1].unicode())) {
            out << text.mid(i, 2).toUtf8();
            ++i;
        } else if (QChar::isSurrogate(u)) {
            out << QByteArray("\xEF\xBF\xBD");
        } else {
            out << text.mid(i, 1).toUtf8();
        }
    }
    return out;
}

QString QEncodeBytes(const QByteArray &bytes, bool phrase) {
    static const char hex[] = "0123456789ABCDEF";
    QString out;
    for (char ch : bytes) {
        const auto c = static_cast<uchar>(ch);
        if (c == ' ') {
            out += QLatin1Char('_');
        } else if (phrase ? IsPhraseLiteral(c) : IsQLiteral(c)) {
            out += QLatin1Char(static_cast<char>(c));
        } else {
            out += QLatin1Char('=');
            out += QLatin1Char(hex[c >> 4]);
            out += QLatin1Char(hex[c & 15]);
        }
    }
    return out;
}

// Characters of encoded text a word may hold when it starts `column`
// characters into its line.
int PayloadRoom(int column, int reserve) {
    return std::min(kMaxWord, kMaxLine - column - reserve) - kUtf8WordFrame;
}

// Words filled with whole characters: `room(first)` gives the encoded
// characters a word may hold, `encode` the encoded text of some bytes.
template <typename Room, typename Encode>
QString Utf8Words(const QList<QByteArray> &characters, const QString &prefix, Room room,
                  Encode encode) {
    QStringList words;
    QByteArray pending;
    QString encoded;
    for (const QByteArray &character : characters) {
        const QString longer = encode(pending + character);
        if (!pending.isEmpty() && longer.size() > room(words.isEmpty())) {
            words << prefix + encoded + kWordEnd;
            pending = character;
            encoded = encode(pending);
        } else {
            pending += character;
            encoded = longer;
        }
    }
    if (!pending.isEmpty())
        words << prefix + encoded + kWordEnd;
    return words.join(kCrLfTab);
}

QString Utf8EncodedWords(const QString &text, bool phrase, HeaderPlace place) {
    const QList<QByteArray> characters = Utf8Characters(text);
    const auto room = [place](bool first) {
        return PayloadRoom(first ? place.column : 1, place.reserve);
    };
    // Q text grows by whole escapes, so it is measured as it is; Base64
    // text grows in steps of four characters for three bytes.
    const QString q = Utf8Words(characters, kUtf8QPrefix, room,
                                [phrase](const QByteArray &b) { return QEncodeBytes(b, phrase); });
    const QString b = Utf8Words(characters, kUtf8BPrefix, room, [](const QByteArray &bytes) {
        return QString::fromLatin1(bytes.toBase64());
    });
    return q.size() < b.size() ? q : b;
}

} // namespace

QString QuotedString(const QString &text) {
    QString out;
    out.reserve(text.size() + 2);
    out += QLatin1Char('"');
    for (QChar c : text) {
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n')) {
            out += QLatin1Char(' ');
            continue;
        }
        if (c == QLatin1Char('"') || c == QLatin1Char('\\'))
            out += QLatin1Char('\\');
        out += c;
    }
    out += QLatin1Char('"');
    return out;
}

bool FitsLatin1(QStringView text) {
    for (QChar c : text) {
        if (c.unicode() > 0xFF)
            return false;
    }
    return true;
}

bool IsAscii(QStringView text) {
    for (QChar c : text) {
        if (c.unicode() > 0x7F)
            return false;
    }
    return true;
}

QString EncodeHeaderText(const QString &text, bool quote, HeaderPlace place) {
    if (!FitsLatin1(text))
        return Utf8EncodedWords(text, quote, place);
    return EncodeHeaderText(text, quote);
}

QString CanonicalLineBreaks(const QString &text) {
    QString out;
    out.reserve(text.size() + text.size() / 32);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('\r')) {
            out += QLatin1String("\r\n");
            if (i + 1 < text.size() && text[i + 1] == QLatin1Char('\n'))
                ++i;
        } else if (c == QLatin1Char('\n')) {
            out += QLatin1String("\r\n");
        } else {
            out += c;
        }
    }
    return out;
}

QByteArray EncodeQuotedPrintable(const QByteArray &bytes) {
    static const char hex[] = "0123456789ABCDEF";
    constexpr qsizetype kLine = 76;
    const qsizetype n = bytes.size();
    const auto crlfAt = [&](qsizetype i) {
        return i + 1 < n && bytes[i] == '\r' && bytes[i + 1] == '\n';
    };
    QByteArray out;
    out.reserve(n + n / 8 + 8);
    QByteArray current;
    for (qsizetype i = 0; i < n; ++i) {
        if (crlfAt(i)) {
            out += current + "\r\n";
            current.clear();
            ++i;
            continue;
        }
        const auto c = static_cast<uchar>(bytes[i]);
        const bool hardBreakNext = crlfAt(i + 1);
        const bool lineEnd = hardBreakNext || i + 1 == n;
        QByteArray token;
        if ((c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !lineEnd))
            token = QByteArray(1, static_cast<char>(c));
        else
            token = QByteArray("=") + hex[c >> 4] + hex[c & 15];
        // The last character before a hard break may use the 76th column;
        // anything else leaves it for a soft break.
        const qsizetype room = hardBreakNext ? kLine : kLine - 1;
        if (current.size() + token.size() > room) {
            out += current + "=\r\n";
            current.clear();
        }
        if (current.isEmpty() && token == ".")
            token = "=2E";
        current += token;
    }
    // A text without a final line break ends with a soft break: the decoded
    // text then ends where it did, and the line still ends with CRLF.
    if (!current.isEmpty())
        out += current + "=\r\n";
    return out;
}

QStringList EncodeExtendedParameter(const QString &attribute, const QString &value, int width) {
    static const char hex[] = "0123456789ABCDEF";
    const auto escaped = [](const QByteArray &bytes) {
        QString out;
        for (char ch : bytes) {
            const auto c = static_cast<uchar>(ch);
            // RFC 2231 attribute-char: a token character other than "*",
            // "'" and "%".
            const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                               (c >= '0' && c <= '9') || QByteArray("!#$&+-.^_`|~").contains(ch);
            if (plain) {
                out += QLatin1Char(ch);
            } else {
                out += QLatin1Char('%');
                out += QLatin1Char(hex[c >> 4]);
                out += QLatin1Char(hex[c & 15]);
            }
        }
        return out;
    };
    const QString charset = QStringLiteral("UTF-8''");
    const QList<QByteArray> characters = Utf8Characters(value);
    QString whole;
    for (const QByteArray &character : characters)
        whole += escaped(character);
    const QString single = attribute + QStringLiteral("*=") + charset + whole;
    if (single.size() <= width)
        return {single};

    QStringList pieces;
    QString current;
    const auto head = [&](qsizetype n) {
        return attribute + QLatin1Char('*') + QString::number(n) + QStringLiteral("*=") +
               (n == 0 ? charset : QString());
    };
    for (const QByteArray &character : characters) {
        const QString e = escaped(character);
        if (!current.isEmpty() && head(pieces.size()).size() + current.size() + e.size() > width) {
            pieces << head(pieces.size()) + current;
            current.clear();
        }
        current += e;
    }
    if (!current.isEmpty() || pieces.isEmpty())
        pieces << head(pieces.size()) + current;
    return pieces;
}

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
        if (quote)
            return QuotedString(text);
        QString safe = text;
        safe.replace(QLatin1Char('\r'), QLatin1Char(' '));
        safe.replace(QLatin1Char('\n'), QLatin1Char(' '));
        return safe;
    }
    const QString q = QForm(bytes, quote);
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
