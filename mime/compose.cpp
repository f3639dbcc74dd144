// Header fields after RFC 5322 (Date in section 3.3 form), MIME after
// RFC 2045 and RFC 2046 (boundary delimiters and the closing "--"),
// "multipart/related" after RFC 2387, "cid:" references after RFC 2392,
// encoded words after RFC 2047.

#include "mime/compose.h"

#include "mime/content_type.h"
#include "mime/encoders.h"

#include <QDate>
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

QString AddressEntry(const QString &address, const QString &displayName) {
    const QString safeAddress = OneLine(address);
    const QString display =
        displayName.isEmpty() ? kQuote + safeAddress + kQuote : EncodeHeaderText(displayName, true);
    return display + QStringLiteral(" <") + safeAddress + QLatin1Char('>');
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

    // A line sent with CRLF and reported without it.
    void Reported(const QString &line) { Add(line + kCrLf, line); }
    // A line sent with CRLF and not reported.
    void Quiet(const QString &line) { Add(line + kCrLf, std::nullopt); }
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
    return AddressEntry(from, fromDisplayName);
}

QString AddressHeaderValue(const QStringList &addresses, const QStringList &displayNames) {
    QString value;
    for (qsizetype k = 0; k < addresses.size(); ++k) {
        if (k > 0)
            value += QStringLiteral(", \r\n\t");
        value += AddressEntry(addresses[k], displayNames.value(k));
    }
    return value;
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

QList<Transmission> ComposeMessage(const MessageDraft &draft) {
    Composer c;
    const bool mime = draft.encodeType == 0;
    const bool multipart = IsMultipart(draft);
    const QString fromValue = FromValue(draft.from, draft.fromDisplayName);

    c.Reported(QStringLiteral("From: ") + fromValue);
    c.Reported(QStringLiteral("To: ") +
               AddressHeaderValue(draft.recipients, draft.recipientDisplayNames));
    const QString cc = AddressHeaderValue(draft.ccRecipients, draft.ccDisplayNames);
    if (!cc.isEmpty())
        c.Quiet(QStringLiteral("Cc: ") + cc);
    c.Reported(QStringLiteral("Subject: ") + EncodeHeaderText(draft.subject, false));
    if (!draft.replyToAddress.isEmpty())
        c.Quiet(QStringLiteral("Reply-to: <") + OneLine(draft.replyToAddress) + QLatin1Char('>'));
    c.Reported(DateLine(draft.now, draft.timeZoneSuffix));

    QString boundary;
    if (mime) {
        boundary = MessageBoundary(draft.now);
        c.Reported(QStringLiteral("MIME-Version: 1.0"));
        if (draft.priority != 3) {
            c.Reported(QStringLiteral("X-Priority: ") + QString::number(draft.priority));
            c.Reported(QStringLiteral("X-MSMail-Priority: ") + draft.priorityText);
        }
        if (!TrimSpaces(draft.xMailer).isEmpty())
            c.Reported(QStringLiteral("X-Mailer: ") + OneLine(draft.xMailer));
        if (draft.receipt) {
            const QString line = QStringLiteral("Disposition-Notification-To: ") + fromValue;
            c.Add(line + kCrLf, line + kCrLf);
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
        c.Reported(QStringLiteral("\tcharset=\"iso-8859-1\""));
        c.Reported(draft.messageIs8Bit ? QStringLiteral("Content-Transfer-Encoding: 8bit")
                                       : QStringLiteral("Content-Transfer-Encoding: 7bit"));
        if (draft.asHtml && !draft.contentBase.isEmpty())
            c.Reported(QStringLiteral("Content-Base: \"") + OneLine(draft.contentBase) + kQuote);
    }

    c.Add(kCrLf + kCrLf, kCrLf);
    c.Add(draft.message + kCrLf + kCrLf + kCrLf, draft.message + kCrLf + kCrLf);

    for (int i = 0; i < draft.attachmentFileNames.size(); ++i) {
        const QString &name = draft.attachmentFileNames[i];
        const QString safeName = OneLine(name);
        const bool embedded = draft.attachmentEmbedded.value(i, false);

        c.Marker(Transmission::Kind::AttachmentStart, i);
        c.out.last().status = (embedded ? QStringLiteral("Sending Embedded File, ")
                                        : QStringLiteral("Sending Attachment, ")) +
                              name + QStringLiteral("...");
        if (mime) {
            c.Quiet(QStringLiteral("--") + boundary);
            c.Quiet(QStringLiteral("Content-Type: ") +
                    GetContentType(name, QStringLiteral("application/octet-stream")) +
                    QLatin1Char(';'));
            c.Quiet(QStringLiteral("\tname=\"") + safeName + kQuote);
            c.Quiet(QStringLiteral("Content-Transfer-Encoding: base64"));
            c.Quiet(QStringLiteral("Content-Disposition: attachment;"));
            c.Quiet(QStringLiteral("\tfilename=\"") + safeName + kQuote);
            if (embedded && draft.hasEmbedded)
                c.Quiet(QStringLiteral("Content-ID: <") + safeName + QLatin1Char('>'));
            c.Quiet(QString());
            c.Marker(Transmission::Kind::FileData, i);
            c.out.last().encoding = FileEncoding::Base64;
            c.Quiet(QString());
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
                const QString reference = QStringLiteral("cid:") + name;
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
