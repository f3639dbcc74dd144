// Header fields after RFC 5322 (Date in section 3.3 form, Message-ID in
// section 3.6.4), MIME after RFC 2045 and RFC 2046 (boundary delimiters and
// the closing "--"), "multipart/related" after RFC 2387, "cid:" references
// after RFC 2392, encoded words after RFC 2047, file-name parameters after
// RFC 2231, addresses in UTF-8 after RFC 6532.

#include "mime/compose.h"

#include "mime/addresses.h"
#include "mime/content_type.h"
#include "mime/encoders.h"

#include <QDate>
#include <QRandomGenerator>
#include <QSysInfo>
#include <QTime>

#include <algorithm>
#include <limits>

namespace sendmail {

namespace {

const QString kCrLf = QStringLiteral("\r\n");
const QChar kQuote = QLatin1Char('"');

const char *const kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char *const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// A text that goes into a header as it stands: a CR or LF would end the
// header line and let the text add lines of its own.
QString OneLine(QString text) {
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text;
}

QString TrimSpaces(const QString &text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text[begin] == QLatin1Char(' '))
        ++begin;
    while (end > begin && text[end - 1] == QLatin1Char(' '))
        --end;
    return text.mid(begin, end - begin);
}

constexpr int kFoldColumns = 78;

// Characters on the last line of a header text that starts `column`
// characters into its first line.
qsizetype LastLineLength(const QString &text, int column) {
    const qsizetype fold = text.lastIndexOf(QLatin1String("\r\n"));
    return fold < 0 ? column + text.size() : text.size() - fold - 2;
}

QString AddressEntry(const QString &address, const QString &displayName, int column,
                     bool smtpUtf8) {
    const QString safeAddress = OneLine(WireAddress(address, smtpUtf8).value_or(address));
    if (displayName.isEmpty())
        return QuotedString(safeAddress) + QStringLiteral(" <") + safeAddress + QLatin1Char('>');
    const QString display = EncodeHeaderText(displayName, true, {column, 0});
    const QString angle = QLatin1Char('<') + safeAddress + QLatin1Char('>');
    // Only UTF-8 words are laid out for the line limit; a name that fits
    // ISO-8859-1 keeps the form it always had.
    if (!FitsLatin1(displayName) &&
        LastLineLength(display, column) + 1 + angle.size() > kFoldColumns)
        return display + QStringLiteral("\r\n\t") + angle;
    return display + QLatin1Char(' ') + angle;
}

// The octets of a header line. A line that fits ISO-8859-1 is its own
// octets, as it always was; a line with UTF-8 addresses (smtpUtf8), or with
// anything else outside ISO-8859-1, goes as UTF-8.
QString Octets(const QString &line, bool utf8) {
    if (!utf8 && FitsLatin1(line))
        return line;
    return QString::fromLatin1(line.toUtf8());
}

// An unstructured header text (X-Mailer): as stored when it fits
// ISO-8859-1, else UTF-8 encoded words.
QString UnstructuredText(const QString &text, int column) {
    return FitsLatin1(text) ? OneLine(text) : EncodeHeaderText(text, false, {column, 0});
}

bool IsAtext(QChar c) {
    const char16_t u = c.unicode();
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') ||
           (u < 128 && QByteArrayView("!#$%&'*+-/=?^_`{|}~").contains(char(u)));
}

// A domain that can stand after the "@" of a Message-ID as a dot-atom.
bool IsDotAtom(const QString &text) {
    if (text.isEmpty() || text.startsWith(QLatin1Char('.')) || text.endsWith(QLatin1Char('.')) ||
        text.contains(QLatin1String("..")))
        return false;
    return std::all_of(text.begin(), text.end(),
                       [](QChar c) { return c == QLatin1Char('.') || IsAtext(c); });
}

// A text in its wire form (only a file name outside ISO-8859-1 made it
// UTF-8) as a server would store it: one leading dot taken off each line.
QString WithoutDotStuffing(const QString &wireText) {
    QStringList lines = wireText.split(kCrLf);
    for (QString &line : lines) {
        if (line.startsWith(QLatin1Char('.')))
            line.remove(0, 1);
    }
    return lines.join(kCrLf);
}

// The body part of a text outside ISO-8859-1: the transfer encoding's name
// and the encoded lines (each ended by CRLF).
struct EncodedBody {
    QString encoding;
    QString lines;
};

EncodedBody EncodeUtf8Body(const QString &text, bool allowBase64) {
    QByteArray bytes = CanonicalLineBreaks(text).toUtf8();
    const QByteArray qp = EncodeQuotedPrintable(bytes);
    if (allowBase64) {
        const QByteArray base64 = EncodeBase64Bytes(bytes);
        if (base64.size() < qp.size())
            return {QStringLiteral("base64"), QString::fromLatin1(base64)};
    }
    return {QStringLiteral("quoted-printable"), QString::fromLatin1(qp)};
}

// The first quote character, double or single, at or after `from`; a
// value in single quotes would otherwise lose its opening quote.
qsizetype OpeningQuote(const QString &text, qsizetype from) {
    const qsizetype dq = text.indexOf(QLatin1Char('"'), from);
    const qsizetype sq = text.indexOf(QLatin1Char('\''), from);
    if (dq < 0 || sq < 0)
        return std::max(dq, sq);
    return std::min(dq, sq);
}

QDateTime LocalNow(const QDateTime &now) {
    return now.isValid() ? now.toLocalTime() : QDateTime::currentDateTime();
}

QString Hex8(quint32 value) {
    return QString::number(value, 16).toUpper().rightJustified(8, QLatin1Char('0'));
}

class Composer {
public:
    QList<Transmission> out;
    // Header lines with addresses go as UTF-8 (SMTPUTF8 in use).
    bool utf8Addresses = false;

    // A line sent with CRLF and reported without it.
    void Reported(const QString &line) { Add(Octets(line, false) + kCrLf, line); }
    // A line sent with CRLF and not reported.
    void Quiet(const QString &line) { Add(Octets(line, false) + kCrLf, std::nullopt); }
    // The same for a line that holds addresses.
    void ReportedAddresses(const QString &line) { Add(Octets(line, utf8Addresses) + kCrLf, line); }
    void QuietAddresses(const QString &line) {
        Add(Octets(line, utf8Addresses) + kCrLf, std::nullopt);
    }
    void Add(const QString &text, std::optional<QString> debugText) {
        Transmission t;
        t.text = text;
        t.debugText = std::move(debugText);
        out.append(std::move(t));
    }
    void Marker(Transmission::Kind kind, int attachment) {
        Transmission t;
        t.kind = kind;
        t.attachment = attachment;
        out.append(std::move(t));
    }
};

// Overflow-checked 32-bit arithmetic for the size estimate.
class Checked32 {
public:
    bool overflowed = false;

    qint64 Add(qint64 a, qint64 b) { return Fit(a + b); }
    qint64 Mul(qint64 a, qint64 b) { return Fit(a * b); }

private:
    qint64 Fit(qint64 v) {
        if (v < std::numeric_limits<qint32>::min() || v > std::numeric_limits<qint32>::max())
            overflowed = true;
        return v;
    }
};

} // namespace

bool IsMultipart(const MessageDraft &draft) {
    return draft.encodeType == 0 && !draft.attachmentFileNames.isEmpty();
}

QString FromValue(const QString &from, const QString &fromDisplayName) {
    return FromValue(from, fromDisplayName, 0, false);
}

QString FromValue(const QString &from, const QString &fromDisplayName, int column, bool smtpUtf8) {
    return AddressEntry(from, fromDisplayName, column, smtpUtf8);
}

QString AddressHeaderValue(const QStringList &addresses, const QStringList &displayNames) {
    return AddressHeaderValue(addresses, displayNames, 0, false);
}

QString AddressHeaderValue(const QStringList &addresses, const QStringList &displayNames,
                           int column, bool smtpUtf8) {
    QString value;
    for (qsizetype k = 0; k < addresses.size(); ++k) {
        if (k > 0)
            value += QStringLiteral(", \r\n\t");
        value += AddressEntry(addresses[k], displayNames.value(k), k == 0 ? column : 1, smtpUtf8);
    }
    return value;
}

QString NewMessageId(const QString &from) {
    const qsizetype at = from.lastIndexOf(QLatin1Char('@'));
    QString domain = at >= 0 ? AsciiDomain(from.mid(at + 1)) : QString();
    if (!IsDotAtom(domain))
        domain = AsciiDomain(QSysInfo::machineHostName());
    if (!IsDotAtom(domain))
        domain = QStringLiteral("localhost");
    // 128 bits from the system's generator: unique across messages,
    // processes and machines without any shared state.
    quint32 random[4];
    QRandomGenerator::system()->fillRange(random);
    QString unique;
    for (quint32 word : random)
        unique += QStringLiteral("%1").arg(word, 8, 16, QLatin1Char('0'));
    return unique + QLatin1Char('@') + domain;
}

namespace {

// A text outside ISO-8859-1 makes the body UTF-8; in uuencode mode, where
// the "begin" lines stand in the body, so does a file name.
bool HasUtf8Body(const MessageDraft &draft) {
    if (!FitsLatin1(draft.message))
        return true;
    if (draft.encodeType == 0)
        return false;
    return !std::all_of(draft.attachmentFileNames.begin(), draft.attachmentFileNames.end(),
                        [](const QString &name) { return FitsLatin1(name); });
}

// The address part of ReplyToAddress ("Name <address>" or an address).
QString ReplyToMailbox(const QString &replyTo) {
    return SplitNamedAddress(replyTo).address;
}

QStringList MessageAddresses(const MessageDraft &draft) {
    QStringList all{draft.from};
    all << draft.recipients << draft.ccRecipients << draft.bccRecipients;
    if (!draft.replyToAddress.isEmpty())
        all << ReplyToMailbox(draft.replyToAddress);
    return all;
}

// The Reply-to line: "<" + address + ">" as it always was; a display text
// outside ISO-8859-1, or an address that changes on the way (an A-label),
// makes it a proper "name <address>" with the name encoded.
QString ReplyToLine(const QString &replyTo, bool smtpUtf8) {
    const QString head = QStringLiteral("Reply-to: ");
    const NamedAddress named = SplitNamedAddress(replyTo);
    const QString wire = WireAddress(named.address, smtpUtf8).value_or(named.address);
    if (wire == named.address && FitsLatin1(named.display))
        return head + QLatin1Char('<') + OneLine(replyTo) + QLatin1Char('>');
    if (named.display.isEmpty())
        return head + QLatin1Char('<') + OneLine(wire) + QLatin1Char('>');
    return head + AddressEntry(named.address, named.display, int(head.size()), smtpUtf8);
}

} // namespace

bool HasEightBitBody(const MessageDraft &draft) {
    return draft.messageIs8Bit && !HasUtf8Body(draft);
}

bool NeedsSmtpExtensions(const MessageDraft &draft) {
    QStringList texts{draft.subject, draft.fromDisplayName, draft.message, draft.replyToAddress,
                      draft.xMailer};
    texts << draft.recipientDisplayNames << draft.ccDisplayNames << draft.attachmentFileNames;
    for (const QString &text : texts) {
        if (!FitsLatin1(text))
            return true;
    }
    return HasInternationalAddress(draft);
}

bool HasInternationalAddress(const MessageDraft &draft) {
    const QStringList addresses = MessageAddresses(draft);
    return !std::all_of(addresses.begin(), addresses.end(),
                        [](const QString &a) { return IsAscii(a); });
}

QString AddressProblem(const MessageDraft &draft) {
    for (const QString &address : MessageAddresses(draft)) {
        if (QString problem = AddressProblemWithoutSmtpUtf8(address); !problem.isEmpty())
            return problem;
    }
    return QString();
}

QString ContentIdOf(const QString &name) {
    if (FitsLatin1(name))
        return name;
    static const char hex[] = "0123456789ABCDEF";
    QString id;
    for (char ch : name.toUtf8()) {
        const auto c = static_cast<uchar>(ch);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '.' || c == '_' || c == '-') {
            id += QLatin1Char(ch);
        } else {
            id += QLatin1Char('=');
            id += QLatin1Char(hex[c >> 4]);
            id += QLatin1Char(hex[c & 15]);
        }
    }
    return id;
}

QString DateLine(const QDateTime &now, const QString &timeZoneSuffix) {
    const QDateTime local = LocalNow(now);
    const QDate date = local.date();
    const QTime time = local.time();
    // Qt counts Monday as 1 and Sunday as 7.
    return QStringLiteral("Date: ") + QLatin1String(kDayNames[date.dayOfWeek() % 7]) +
           QStringLiteral(", ") + QString::number(date.day()) + QLatin1Char(' ') +
           QLatin1String(kMonthNames[date.month() - 1]) +
           QStringLiteral(" %1 %2 ")
               .arg(date.year(), 4, 10, QLatin1Char('0'))
               .arg(time.toString(QStringLiteral("HH:mm:ss"))) +
           timeZoneSuffix;
}

QString MessageBoundary(const QDateTime &now) {
    const QDateTime local = LocalNow(now);
    const qint64 day = QDate(1899, 12, 30).daysTo(local.date());
    // seconds / 86400 x 100,000,000 = seconds x 31250 / 27; with an odd
    // divisor an exact half cannot occur, so rounding to nearest is all.
    const qint64 scaled = qint64(local.time().msecsSinceStartOfDay() / 1000) * 31250;
    const qint64 fraction = (scaled + 13) / 27;
    return QStringLiteral("----_=_NextPart_000_") + Hex8(quint32(day)) + QLatin1Char('.') +
           Hex8(quint32(fraction));
}

QByteArray UUEncodedDataLine(const QByteArray &piece) {
    QByteArray line = UUEncodeLine(piece);
    if (line.startsWith('.'))
        line.prepend('.');
    return line + "\r\n";
}

QByteArray QuotedPrintableUUEncodedDataLine(const QByteArray &piece) {
    return EncodeQuotedPrintable(UUEncodeLine(piece) + "\r\n");
}

QList<Transmission> ComposeMessage(const MessageDraft &draft) {
    Composer c;
    c.utf8Addresses = draft.smtpUtf8;
    const bool mime = draft.encodeType == 0;
    const bool multipart = IsMultipart(draft);
    const bool utf8 = draft.smtpUtf8;
    const bool utf8Body = HasUtf8Body(draft);

    c.ReportedAddresses(QStringLiteral("From: ") +
                        FromValue(draft.from, draft.fromDisplayName, 6, utf8));
    c.ReportedAddresses(QStringLiteral("To: ") +
                        AddressHeaderValue(draft.recipients, draft.recipientDisplayNames, 4, utf8));
    const QString cc = AddressHeaderValue(draft.ccRecipients, draft.ccDisplayNames, 4, utf8);
    if (!cc.isEmpty())
        c.QuietAddresses(QStringLiteral("Cc: ") + cc);
    c.Reported(QStringLiteral("Subject: ") + EncodeHeaderText(draft.subject, false, {9, 0}));
    if (!draft.replyToAddress.isEmpty())
        c.QuietAddresses(ReplyToLine(draft.replyToAddress, utf8));
    c.Reported(DateLine(draft.now, draft.timeZoneSuffix));
    c.Reported(QStringLiteral("Message-ID: <") +
               (draft.messageId.isEmpty() ? NewMessageId(draft.from) : OneLine(draft.messageId)) +
               QLatin1Char('>'));

    QString boundary;
    EncodedBody body;
    if (mime) {
        boundary = MessageBoundary(draft.now);
        c.Reported(QStringLiteral("MIME-Version: 1.0"));
        if (draft.priority != 3) {
            c.Reported(QStringLiteral("X-Priority: ") + QString::number(draft.priority));
            c.Reported(QStringLiteral("X-MSMail-Priority: ") + draft.priorityText);
        }
        if (!TrimSpaces(draft.xMailer).isEmpty())
            c.Reported(QStringLiteral("X-Mailer: ") + UnstructuredText(draft.xMailer, 10));
        if (draft.receipt) {
            const QString line = QStringLiteral("Disposition-Notification-To: ") +
                                 FromValue(draft.from, draft.fromDisplayName, 29, utf8);
            c.Add(Octets(line, utf8) + kCrLf, line + kCrLf);
        }
        if (multipart) {
            c.Reported(draft.hasEmbedded ? QStringLiteral("Content-Type: multipart/related;")
                                         : QStringLiteral("Content-Type: multipart/mixed;"));
            const QString parameter = QStringLiteral("\tboundary=\"") + boundary + kQuote;
            c.Add(parameter + kCrLf + kCrLf, parameter + kCrLf);
            const QString preamble = QStringLiteral("This is a multi-part message in MIME format.");
            c.Add(preamble + kCrLf + kCrLf, preamble + kCrLf);
            c.Reported(QStringLiteral("--") + boundary);
        }
        c.Reported(draft.asHtml ? QStringLiteral("Content-Type: text/html;")
                                : QStringLiteral("Content-Type: text/plain;"));
        if (utf8Body) {
            body = EncodeUtf8Body(draft.message, true);
            c.Reported(QStringLiteral("\tcharset=\"UTF-8\""));
            c.Reported(QStringLiteral("Content-Transfer-Encoding: ") + body.encoding);
        } else {
            c.Reported(QStringLiteral("\tcharset=\"iso-8859-1\""));
            c.Reported(draft.messageIs8Bit ? QStringLiteral("Content-Transfer-Encoding: 8bit")
                                           : QStringLiteral("Content-Transfer-Encoding: 7bit"));
        }
        if (draft.asHtml && !draft.contentBase.isEmpty())
            c.Reported(QStringLiteral("Content-Base: ") + QuotedString(draft.contentBase));
    } else if (utf8Body) {
        // uuencode mode has no MIME lines of its own; a UTF-8 text needs
        // them to say what it is. The uuencoded blocks that follow share the
        // body's encoding, so with files only quoted-printable will do.
        QString text = FitsLatin1(draft.message) ? WithoutDotStuffing(draft.message)
                                                 : CanonicalLineBreaks(draft.message);
        if (!draft.attachmentFileNames.isEmpty()) {
            if (!text.isEmpty() && !text.endsWith(kCrLf))
                text += kCrLf;
            text += kCrLf;
        }
        body = EncodeUtf8Body(text, draft.attachmentFileNames.isEmpty());
        c.Reported(QStringLiteral("MIME-Version: 1.0"));
        c.Reported(QStringLiteral("Content-Type: text/plain;"));
        c.Reported(QStringLiteral("\tcharset=\"UTF-8\""));
        c.Reported(QStringLiteral("Content-Transfer-Encoding: ") + body.encoding);
    }

    if (utf8Body) {
        // The encoded text is the body exactly: nothing added before or
        // after it. Before a delimiter one more CRLF stands, which the
        // delimiter takes as its own.
        c.Add(kCrLf, kCrLf);
        c.Add(body.lines + (multipart ? kCrLf : QString()), draft.message + kCrLf);
    } else {
        c.Add(kCrLf + kCrLf, kCrLf);
        c.Add(draft.message + kCrLf + kCrLf + kCrLf, draft.message + kCrLf + kCrLf);
    }

    for (int i = 0; i < draft.attachmentFileNames.size(); ++i) {
        const QString &name = draft.attachmentFileNames[i];
        const QString safeName = OneLine(name);
        const bool embedded = draft.attachmentEmbedded.value(i, false);
        const bool plainName = FitsLatin1(name);

        c.Marker(Transmission::Kind::AttachmentStart, i);
        c.out.last().status = (embedded ? QStringLiteral("Sending Embedded File, ")
                                        : QStringLiteral("Sending Attachment, ")) +
                              name + QStringLiteral("...");
        if (mime) {
            c.Quiet(QStringLiteral("--") + boundary);
            c.Quiet(QStringLiteral("Content-Type: ") +
                    GetContentType(name, QStringLiteral("application/octet-stream")) +
                    QLatin1Char(';'));
            if (plainName) {
                c.Quiet(QStringLiteral("\tname=") + QuotedString(name));
            } else {
                // Readers that know no RFC 2231 still read encoded words here.
                c.Quiet(QStringLiteral("\tname=\"") + EncodeHeaderText(name, true, {7, 1}) +
                        kQuote);
            }
            c.Quiet(QStringLiteral("Content-Transfer-Encoding: base64"));
            c.Quiet(QStringLiteral("Content-Disposition: attachment;"));
            if (plainName) {
                c.Quiet(QStringLiteral("\tfilename=") + QuotedString(name));
            } else {
                // A TAB before and a ";" after each piece: 76 characters left.
                const QStringList pieces =
                    EncodeExtendedParameter(QStringLiteral("filename"), name, kFoldColumns - 2);
                for (qsizetype p = 0; p < pieces.size(); ++p)
                    c.Quiet(QLatin1Char('\t') + pieces[p] +
                            (p + 1 < pieces.size() ? QStringLiteral(";") : QString()));
            }
            if (embedded && draft.hasEmbedded)
                c.Quiet(QStringLiteral("Content-ID: <") + OneLine(ContentIdOf(name)) +
                        QLatin1Char('>'));
            c.Quiet(QString());
            c.Marker(Transmission::Kind::FileData, i);
            c.out.last().encoding = FileEncoding::Base64;
            c.Quiet(QString());
        } else if (utf8Body) {
            const QString begin = QStringLiteral("begin 600 ") + safeName;
            c.Add(QString::fromLatin1(EncodeQuotedPrintable(begin.toUtf8() + "\r\n")), begin);
            c.Marker(Transmission::Kind::FileData, i);
            c.out.last().encoding = FileEncoding::UUEncodeQuotedPrintable;
            c.Quiet(UUEncodeLine(QString()));
            c.Reported(QStringLiteral("end"));
        } else {
            c.Reported(QStringLiteral("begin 600 ") + safeName);
            c.Marker(Transmission::Kind::FileData, i);
            c.out.last().encoding = FileEncoding::UUEncode;
            // The zero-length line ends the data; without it a decoder reads
            // "end" as a data line.
            c.Quiet(UUEncodeLine(QString()));
            c.Reported(QStringLiteral("end"));
        }
        c.Marker(Transmission::Kind::AttachmentDone, i);
    }
    if (multipart)
        c.Reported(QStringLiteral("--") + boundary + QStringLiteral("--"));

    Transmission end;
    end.kind = Transmission::Kind::EndOfData;
    end.text = QStringLiteral(".\r\n");
    end.debugText = QStringLiteral(".");
    c.out.append(end);
    return c.out;
}

bool LinkEmbeddedFiles(QString &message, const QStringList &attachmentFileNames,
                       QList<bool> &attachmentEmbedded, bool asHtml) {
    if (!asHtml || attachmentFileNames.isEmpty())
        return false;
    if (attachmentEmbedded.size() < attachmentFileNames.size())
        attachmentEmbedded.resize(attachmentFileNames.size(), false);

    bool linked = false;
    for (qsizetype i = 0; i < attachmentFileNames.size(); ++i) {
        const QString &name = attachmentFileNames[i];
        if (name.isEmpty())
            continue;
        qsizetype p = message.indexOf(name, 0, Qt::CaseInsensitive);
        while (p >= 0) {
            qsizetype next = p + name.size();
            const qsizetype lt = message.lastIndexOf(QLatin1Char('<'), p);
            const qsizetype gt = lt >= 0 ? message.indexOf(QLatin1Char('>'), lt) : -1;
            const bool insideTag = lt >= 0 && gt >= 0 && lt < p && p < gt;
            const qsizetype eq = insideTag ? message.lastIndexOf(QLatin1Char('='), p) : -1;
            // Only an "=" of this tag marks an attribute value; one before the
            // tag would make the rewrite swallow the start of the tag.
            if (insideTag && eq > lt) {
                const qsizetype qt = OpeningQuote(message, eq);
                const qsizetype keep = (qt >= 0 && qt < p ? qt : eq) + 1;
                const QString reference = QStringLiteral("cid:") + ContentIdOf(name);
                message = message.left(keep) + reference + message.mid(p + name.size());
                attachmentEmbedded[i] = true;
                linked = true;
                next = keep + reference.size();
            }
            p = message.indexOf(name, next, Qt::CaseInsensitive);
        }
    }
    return linked;
}

std::optional<qint32> EstimateMessageSize(const MessageDraft &draft, bool useAuthentication,
                                          const QString &username, const QString &password) {
    Checked32 k;
    const qint64 fromLength = draft.from.size();
    qint64 s = k.Add(fromLength, 93);
    if (useAuthentication) {
        s = k.Add(k.Mul(2, fromLength), 118);
        if (!username.isEmpty())
            s = k.Add(s, k.Mul(4, username.size()) / 3);
        if (!password.isEmpty())
            s = k.Add(s, k.Mul(4, password.size()) / 3);
    }
    const auto addresses = [&](const QStringList &list, qint64 factor) {
        for (qsizetype i = 0; i < list.size(); ++i) {
            s = k.Add(k.Add(s, k.Mul(factor, list[i].size())), 15);
            if (i > 0)
                s = k.Add(s, 6);
        }
    };
    const auto names = [&](const QStringList &list) {
        for (const QString &name : list)
            s = k.Add(k.Add(s, name.size()), 11);
    };
    addresses(draft.recipients, 2);
    names(draft.recipientDisplayNames);
    addresses(draft.ccRecipients, 2);
    names(draft.ccDisplayNames);
    addresses(draft.bccRecipients, 1);
    if (!draft.fromDisplayName.isEmpty())
        s = k.Add(k.Add(s, draft.fromDisplayName.size()), 3);
    s = k.Add(s, fromLength);
    if (!draft.replyToAddress.isEmpty())
        s = k.Add(k.Add(s, draft.replyToAddress.size()), 14);
    s = k.Add(k.Add(s, draft.subject.size()), draft.message.size());
    if (draft.encodeType == 0) {
        s = k.Add(s, 64);
        if (!draft.contentBase.isEmpty() && draft.asHtml)
            s = k.Add(k.Add(s, draft.contentBase.size()), 18);
        if (draft.receipt)
            s = k.Add(k.Add(k.Add(s, draft.fromDisplayName.size()), 36), fromLength);
    }
    const qint64 count = draft.attachmentFileNames.size();
    if (count >= 1) {
        const qint64 f = k.Add(draft.attachmentTotalSize, 0);
        const qint64 g = draft.attachmentNameLength;
        s = k.Add(s, k.Mul(4, f) / 3);
        if (draft.encodeType == 0) {
            s = k.Add(s, k.Mul(2, f / 57));
            s = k.Add(s, 42);
            s = k.Add(s, k.Mul(2, g));
            s = k.Add(s, k.Mul(182, count));
            s = k.Add(s, 290);
        } else {
            s = k.Add(s, k.Mul(3, f / 45));
            s = k.Add(s, g);
            // 20 per attachment for its "begin" and "end" lines, 3 for the
            // zero-length line ("`" CRLF) before "end".
            s = k.Add(s, k.Mul(23, count));
        }
    }
    if (k.overflowed)
        return std::nullopt;
    return static_cast<qint32>(s);
}

} // namespace sendmail
