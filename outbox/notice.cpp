#include "outbox/notice.h"

#include "mime/compose.h"

#include <QLocale>
#include <QRandomGenerator>
#include <QRegularExpression>

namespace outbox {

namespace {

// RFC 5322 section 3.3, at the time's own offset.
QByteArray DateText(const QDateTime &time) {
    const QDateTime t = time.isValid() ? time : QDateTime::currentDateTimeUtc();
    const int offset = t.offsetFromUtc() / 60;
    const QString zone = QString("%1%2%3")
                             .arg(offset < 0 ? '-' : '+')
                             .arg(std::abs(offset) / 60, 2, 10, QChar('0'))
                             .arg(std::abs(offset) % 60, 2, 10, QChar('0'));
    return (QLocale::c().toString(t, "ddd, dd MMM yyyy hh:mm:ss ") + zone).toLatin1();
}

// One line of header text: breaks become spaces, and a reply of a few
// hundred lines does not make a field longer than a line may be.
QByteArray OneLine(const QString &text) {
    QString line = text;
    line.replace(QRegularExpression("[\\r\\n\\t]+"), " ");
    return line.trimmed().left(900).toUtf8();
}

QByteArray WithCrlf(QByteArray text) {
    text.replace("\r\n", "\n");
    text.replace('\r', "\n");
    text.replace("\n", "\r\n");
    if (!text.isEmpty() && !text.endsWith("\r\n")) {
        text += "\r\n";
    }
    return text;
}

bool IsAscii(const QByteArray &bytes) {
    for (char c : bytes) {
        if (static_cast<unsigned char>(c) > 127) {
            return false;
        }
    }
    return true;
}

} // namespace

QString StatusOf(const RecipientRecord &recipient) {
    if (recipient.reply.startsWith("gave up after")) {
        return "4.4.7";
    }
    static const QRegularExpression enhanced("^\\d{3}[ -]([245]\\.\\d{1,3}\\.\\d{1,3})\\b");
    const QRegularExpressionMatch m = enhanced.match(recipient.reply);
    if (m.hasMatch()) {
        return m.captured(1);
    }
    const int klass = recipient.code / 100;
    return QString("%1.0.0").arg(klass == 4 || klass == 5 ? klass : 5);
}

QByteArray ReadHeaderBlock(QIODevice &message, qint64 limit) {
    QByteArray head;
    while (head.size() < limit) {
        const QByteArray line = message.readLine(limit - head.size() + 1);
        if (line.isEmpty() || line == "\n" || line == "\r\n") {
            break;
        }
        head += line;
    }
    return head.left(limit);
}

QByteArray ComposeNotice(const MessageRecord &original, const QByteArray &originalHeaders,
                         const QStringList &failed, const NoticeContext &context) {
    const QString host =
        context.reportingHost.isEmpty() ? QString("localhost") : context.reportingHost;
    const QString from = context.from.isEmpty() ? "MAILER-DAEMON@" + host : context.from;
    const QByteArray boundary =
        "=_report_" + QByteArray::number(QRandomGenerator::system()->generate64(), 16);

    QList<const RecipientRecord *> recipients;
    for (const RecipientRecord &r : original.recipients) {
        if (failed.contains(r.address, Qt::CaseInsensitive)) {
            recipients << &r;
        }
    }

    QByteArray human = "Your message could not be delivered to ";
    human += recipients.size() == 1 ? "this recipient" : "these recipients";
    human += ".\r\n";
    if (!original.messageId.isEmpty()) {
        human += "Message-ID: " + OneLine(original.messageId) + "\r\n";
    }
    human += "Queued: " + DateText(original.created) + " (queue id " + original.id.toLatin1() +
             ")\r\n\r\n";
    for (const RecipientRecord *r : recipients) {
        human += "  <" + OneLine(r->address) + ">\r\n    " + OneLine(r->reply) + "\r\n";
    }
    human += "\r\nThe header of your message follows at the end.\r\n";

    QByteArray status = "Reporting-MTA: dns; " + OneLine(host) + "\r\n";
    status += "Arrival-Date: " + DateText(original.created) + "\r\n";
    for (const RecipientRecord *r : recipients) {
        status += "\r\nFinal-Recipient: rfc822; " + OneLine(r->address) + "\r\n";
        status += "Action: failed\r\n";
        status += "Status: " + StatusOf(*r).toLatin1() + "\r\n";
        if (!r->reply.isEmpty()) {
            status += "Diagnostic-Code: smtp; " + OneLine(r->reply) + "\r\n";
        }
        if (original.lastAttempt.isValid()) {
            status += "Last-Attempt-Date: " + DateText(original.lastAttempt) + "\r\n";
        }
    }

    const QByteArray messageId = "<" + sendmail::NewMessageId(from).toUtf8() + ">";
    QByteArray out;
    out += "From: Mail Delivery System <" + OneLine(from) + ">\r\n";
    out += "To: <" + OneLine(original.sender) + ">\r\n";
    out += "Subject: Undelivered mail returned to sender\r\n";
    out += "Date: " + DateText(context.now) + "\r\n";
    out += "Message-ID: " + messageId + "\r\n";
    out += "Auto-Submitted: auto-replied\r\n";
    out += "MIME-Version: 1.0\r\n";
    out += "Content-Type: multipart/report; report-type=delivery-status;\r\n\tboundary=\"" +
           boundary + "\"\r\n";
    out += "\r\nThis is a delivery status notification in MIME format.\r\n";
    auto part = [&](const QByteArray &type, const QByteArray &body, bool text) {
        out += "\r\n--" + boundary + "\r\n";
        out += "Content-Type: " + type + "\r\n";
        if (text) {
            out += IsAscii(body) ? "Content-Transfer-Encoding: 7bit\r\n"
                                 : "Content-Transfer-Encoding: 8bit\r\n";
        }
        out += "\r\n" + body;
    };
    part("text/plain; charset=utf-8", human, true);
    part("message/delivery-status", status, false);
    part("text/rfc822-headers", WithCrlf(originalHeaders), true);
    out += "\r\n--" + boundary + "--\r\n";
    return out;
}

} // namespace outbox
