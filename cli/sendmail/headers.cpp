#include "cli/sendmail/headers.h"

#include <QRegularExpression>
#include <QSet>

namespace kelmsend {

namespace {

const char *const kDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// Appends the address that the mailbox text so far names, then starts anew.
void finishMailbox(QString &plain, QString &angle, bool &hasAngle, QStringList &out) {
    QString address = (hasAngle ? angle : plain).trimmed();
    // A source route ("@relay.example:user@host") only says how to get there.
    if (address.startsWith(QLatin1Char('@'))) {
        const qsizetype colon = address.indexOf(QLatin1Char(':'));
        address = colon >= 0 ? address.mid(colon + 1).trimmed() : QString();
    }
    if (!address.isEmpty()) {
        out << address;
    }
    plain.clear();
    angle.clear();
    hasAngle = false;
}

// The index just past a quoted string or comment that opens at `i`.
qsizetype skipQuoted(const QString &text, qsizetype i) {
    for (++i; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('\\')) {
            ++i;
        } else if (text[i] == QLatin1Char('"')) {
            return i + 1;
        }
    }
    return i;
}

qsizetype skipComment(const QString &text, qsizetype i) {
    int depth = 0;
    for (; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('\\')) {
            ++i;
        } else if (c == QLatin1Char('(')) {
            ++depth;
        } else if (c == QLatin1Char(')') && --depth == 0) {
            return i + 1;
        }
    }
    return i;
}

// The domain of an address when it can stand in a Message-ID, else "".
QString usableDomain(const QString &address) {
    const qsizetype at = address.lastIndexOf(QLatin1Char('@'));
    const QString domain = at >= 0 ? address.mid(at + 1) : address;
    if (domain.isEmpty()) {
        return QString();
    }
    for (QChar c : domain) {
        if (!(c.isLetterOrNumber() || c == QLatin1Char('.') || c == QLatin1Char('-'))) {
            return QString();
        }
    }
    return domain;
}

// A display name as a phrase: as it is when plain, quoted when it holds
// specials, as UTF-8 encoded words when it is not ASCII (RFC 2047; words of
// at most 45 bytes stay under the 75-character limit).
QByteArray displayPhrase(QString name) {
    name.remove(QRegularExpression(QStringLiteral("[\\x00-\\x1f\\x7f]")));
    name = name.trimmed();
    bool ascii = true;
    bool plain = true;
    for (QChar c : name) {
        if (c.unicode() > 126) {
            ascii = false;
        } else if (!(c.isLetterOrNumber() || QStringLiteral(" !#$%&'*+-/=?^_`{|}~").contains(c))) {
            plain = false;
        }
    }
    if (!ascii) {
        QByteArray out;
        QString piece;
        auto flush = [&] {
            if (!piece.isEmpty()) {
                out += (out.isEmpty() ? "" : " ") + QByteArray("=?UTF-8?B?") +
                       piece.toUtf8().toBase64() + "?=";
                piece.clear();
            }
        };
        for (qsizetype i = 0; i < name.size(); ++i) {
            // A surrogate pair stays in one word.
            const qsizetype n = name[i].isHighSurrogate() && i + 1 < name.size() ? 2 : 1;
            const QString ch = name.mid(i, n);
            if ((piece + ch).toUtf8().size() > 45) {
                flush();
            }
            piece += ch;
            i += n - 1;
        }
        flush();
        return out;
    }
    if (plain) {
        return name.toLatin1();
    }
    QString quoted = name;
    quoted.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    quoted.replace(QLatin1Char('"'), QLatin1String("\\\""));
    return '"' + quoted.toLatin1() + '"';
}

} // namespace

bool IsFieldLine(QByteArrayView line) {
    qsizetype i = 0;
    while (i < line.size() && line[i] > ' ' && line[i] < 127 && line[i] != ':') {
        ++i;
    }
    if (i == 0) {
        return false;
    }
    while (i < line.size() && isBlank(line[i])) {
        ++i;
    }
    return i < line.size() && line[i] == ':';
}

bool BeginsWithHeaderBlock(QByteArrayView start) {
    static const QList<QByteArray> kMessageFields{
        "from", "sender",     "to",           "cc",       "bcc",        "subject",
        "date", "message-id", "mime-version", "received", "return-path"};
    qsizetype pos = 0;
    if (start.startsWith(QByteArrayView("From "))) {
        pos = LineEnd(start, 0);
    }
    bool inField = false;
    bool messageField = false;
    while (pos < start.size()) {
        const qsizetype end = LineEnd(start, pos);
        const QByteArrayView line = start.sliced(pos, end - pos);
        pos = end;
        if (line[0] == '\r' || line[0] == '\n') {
            break; // the blank line that ends the block
        }
        if (isBlank(line[0])) {
            if (!inField) {
                return false;
            }
            continue;
        }
        if (!IsFieldLine(line)) {
            return false;
        }
        inField = true;
        const qsizetype colon = line.indexOf(':');
        const QByteArray name = line.first(colon).trimmed().toByteArray().toLower();
        messageField = messageField || kMessageFields.contains(name);
    }
    return messageField;
}

QString HeaderField::value() const {
    const qsizetype colon = raw.indexOf(':');
    QByteArray v = colon >= 0 ? raw.mid(colon + 1) : raw;
    v.replace("\r", "").replace("\n", "");
    return QString::fromUtf8(v);
}

bool HeaderField::is(const char *fieldName) const {
    return name.compare(fieldName, Qt::CaseInsensitive) == 0;
}

qsizetype LineEnd(QByteArrayView text, qsizetype from) {
    for (qsizetype i = from; i < text.size(); ++i) {
        if (text[i] == '\n') {
            return i + 1;
        }
        if (text[i] == '\r') {
            return i + 1 < text.size() && text[i + 1] == '\n' ? i + 2 : i + 1;
        }
    }
    return text.size();
}

QList<HeaderField> SplitHeaderFields(const QByteArray &block) {
    QList<HeaderField> fields;
    qsizetype start = 0;
    while (start < block.size()) {
        const qsizetype end = LineEnd(block, start);
        const QByteArrayView line(block.constData() + start, end - start);
        if (fields.isEmpty() || !isBlank(line[0])) {
            HeaderField field;
            if (IsFieldLine(line)) {
                qsizetype n = 0;
                while (line[n] != ':' && !isBlank(line[n])) {
                    ++n;
                }
                field.name = line.first(n).toByteArray();
            }
            fields.append(field);
        }
        fields.last().raw += line;
        start = end;
    }
    return fields;
}

QStringList ParseAddressList(const QString &value) {
    QStringList out;
    QString plain;
    QString angle;
    bool hasAngle = false;
    qsizetype i = 0;
    while (i < value.size()) {
        const QChar c = value[i];
        if (c == QLatin1Char('"')) {
            const qsizetype end = skipQuoted(value, i);
            plain += value.mid(i, end - i);
            i = end;
        } else if (c == QLatin1Char('(')) {
            i = skipComment(value, i);
        } else if (c == QLatin1Char('<')) {
            qsizetype end = i + 1;
            while (end < value.size() && value[end] != QLatin1Char('>')) {
                end = value[end] == QLatin1Char('"') ? skipQuoted(value, end) : end + 1;
            }
            angle = value.mid(i + 1, end - i - 1);
            hasAngle = true;
            i = end + 1;
        } else if (c == QLatin1Char(',') || c == QLatin1Char(';')) {
            finishMailbox(plain, angle, hasAngle, out);
            ++i;
        } else if (c == QLatin1Char(':') && !hasAngle) {
            // What came before was a group's name.
            plain.clear();
            ++i;
        } else {
            plain += c;
            ++i;
        }
    }
    finishMailbox(plain, angle, hasAngle, out);
    return out;
}

QByteArray DateFieldValue(const QDateTime &now) {
    const QDate date = now.date();
    const QTime time = now.time();
    const int offset = now.offsetFromUtc() / 60;
    const int magnitude = offset < 0 ? -offset : offset;
    return QByteArray(kDays[date.dayOfWeek() - 1]) + ", " + QByteArray::number(date.day()) + ' ' +
           kMonths[date.month() - 1] + ' ' +
           QStringLiteral("%1 %2:%3:%4 %5%6%7")
               .arg(date.year(), 4, 10, QLatin1Char('0'))
               .arg(time.hour(), 2, 10, QLatin1Char('0'))
               .arg(time.minute(), 2, 10, QLatin1Char('0'))
               .arg(time.second(), 2, 10, QLatin1Char('0'))
               .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
               .arg(magnitude / 60, 2, 10, QLatin1Char('0'))
               .arg(magnitude % 60, 2, 10, QLatin1Char('0'))
               .toLatin1();
}

RelayMessage PrepareRelay(const HeaderBlock &block, const RelayRequest &request,
                          const QDateTime &now, const QByteArray &unique, const QString &hostName) {
    RelayMessage m;
    const QList<HeaderField> fields = SplitHeaderFields(block.fields);
    QStringList recipients;
    QString fromAddress;
    bool hasFrom = false;
    bool hasDate = false;
    bool hasMessageId = false;
    for (const HeaderField &f : fields) {
        if (f.is("To") || f.is("Cc") || f.is("Bcc")) {
            if (request.extractRecipients) {
                recipients += ParseAddressList(f.value());
            }
        } else if (f.is("From")) {
            if (!hasFrom) {
                fromAddress = ParseAddressList(f.value()).value(0);
            }
            hasFrom = true;
        } else if (f.is("Date")) {
            hasDate = true;
        } else if (f.is("Message-ID")) {
            hasMessageId = true;
        }
        if (!f.is("Bcc")) {
            m.head += f.raw;
        }
    }
    recipients += request.argumentRecipients;
    QSet<QString> seen;
    for (const QString &r : recipients) {
        if (!seen.contains(r.toLower())) {
            seen.insert(r.toLower());
            m.recipients << r;
        }
    }

    if (!request.envelopeSender.isEmpty()) {
        m.sender = request.envelopeSender;
    } else if (fromAddress.contains(QLatin1Char('@'))) {
        m.sender = fromAddress;
    } else {
        m.sender = request.accountFrom;
    }

    // Fields added below must not run into a last line without a break; a
    // last line that ends in a bare CR (a line break on the wire) gets its LF
    // here, so that the blank line after the fields is one in the bytes too.
    if (m.head.endsWith('\r')) {
        m.head += '\n';
    } else if (!m.head.isEmpty() && !m.head.endsWith('\n')) {
        m.head += "\r\n";
    }
    if (!hasFrom && !request.fromName.trimmed().isEmpty() && !m.sender.isEmpty()) {
        m.head += "From: " + displayPhrase(request.fromName) + " <" + m.sender.toUtf8() + ">\r\n";
    }
    if (!hasDate) {
        m.head += "Date: " + DateFieldValue(now) + "\r\n";
        m.addedDate = true;
    }
    if (!hasMessageId) {
        QString domain = usableDomain(m.sender);
        if (domain.isEmpty()) {
            domain = usableDomain(hostName);
        }
        if (domain.isEmpty()) {
            domain = QStringLiteral("localhost");
        }
        m.head += "Message-ID: <" + unique.toHex() + "@" + domain.toUtf8() + ">\r\n";
        m.addedMessageId = true;
    }
    if (!block.separator.isEmpty()) {
        m.head += block.separator;
    } else if (!block.bodyStart.isEmpty()) {
        m.head += "\r\n";
    }
    m.head += block.bodyStart;
    return m;
}

} // namespace kelmsend
