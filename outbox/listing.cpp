#include "outbox/listing.h"

#include "outbox/policy.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace outbox {

namespace {

QString TimeText(const QDateTime &time) {
    return time.toUTC().toString(Qt::ISODate);
}

QString OneLine(QString text) {
    text.replace('\r', ' ');
    text.replace('\n', ' ');
    return text;
}

} // namespace

QString AgeText(qint64 seconds) {
    seconds = std::max<qint64>(seconds, 0);
    if (seconds < 60) {
        return QString("%1s").arg(seconds);
    }
    if (seconds < 3600) {
        return QString("%1m").arg(seconds / 60);
    }
    if (seconds < 86400) {
        return QString("%1h").arg(seconds / 3600);
    }
    return QString("%1d").arg(seconds / 86400);
}

QueueEntry ListedView(const QueueEntry &entry, bool busy, const QDateTime &now,
                      const Policy &policy) {
    QueueEntry view = entry;
    if (!busy && !entry.damaged && entry.record.inFlight != InFlight::None) {
        RecoverInterrupted(view.record, now, policy);
    }
    return view;
}

QList<QueueEntry> ListedQueue(const QueueFolder &folder, const Policy &policy) {
    QList<QueueEntry> entries = folder.list();
    const QDateTime now = folder.now();
    for (QueueEntry &e : entries) {
        // Only a message with an attempt on record is looked at more
        // closely; a runner may hold it right now.
        const bool inFlight = !e.damaged && e.record.inFlight != InFlight::None;
        e = ListedView(e, inFlight && folder.isBusy(e.id), now, policy);
    }
    return entries;
}

QString ListLine(const QueueEntry &entry, const QDateTime &now) {
    if (entry.damaged) {
        return QString("%1  damaged: %2").arg(entry.id, OneLine(entry.error));
    }
    const MessageRecord &r = entry.record;
    const std::optional<QDateTime> next = NextAttempt(r);
    QString line =
        QString("%1  %2  %3  %4  %5  next %6")
            .arg(r.id, AgeText(r.created.secsTo(now)), QString::number(r.size),
                 r.sender.isEmpty() ? QString("<>") : r.sender, MessageStateName(StateOf(r)),
                 !next              ? QString("-")
                 : !next->isValid() ? QString("now")
                                    : TimeText(*next));
    QStringList recipients;
    for (const RecipientRecord &rcpt : r.recipients) {
        QString text = rcpt.address + " " + RecipientStateName(rcpt.state);
        if (!rcpt.reply.isEmpty()) {
            text += " \"" + OneLine(rcpt.reply) + "\"";
        }
        recipients << text;
    }
    return line + "  " + recipients.join("; ");
}

QString ListText(const QList<QueueEntry> &entries, const QDateTime &now) {
    QString text;
    for (const QueueEntry &e : entries) {
        text += ListLine(e, now) + "\n";
    }
    return text;
}

QByteArray ListJson(const QList<QueueEntry> &entries, const QDateTime &now) {
    QJsonArray array;
    for (const QueueEntry &e : entries) {
        QJsonObject o;
        o["id"] = e.id;
        if (e.damaged) {
            o["state"] = "damaged";
            o["error"] = e.error;
            array.append(o);
            continue;
        }
        const MessageRecord &r = e.record;
        const std::optional<QDateTime> next = NextAttempt(r);
        o["state"] = MessageStateName(StateOf(r));
        o["sender"] = r.sender;
        o["account"] = r.account;
        o["message_id"] = r.messageId;
        o["size"] = r.size;
        o["created"] = TimeText(r.created);
        o["age_seconds"] = r.created.secsTo(now);
        o["attempts"] = r.attempts;
        o["next_attempt"] = !next ? QJsonValue(QJsonValue::Null)
                                  : QJsonValue(TimeText(next->isValid() ? *next : now));
        o["last_error"] =
            r.lastError.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(r.lastError);
        o["held"] = r.held;
        o["notice"] = r.isNotice;
        QJsonArray recipients;
        for (const RecipientRecord &rcpt : r.recipients) {
            recipients.append(QJsonObject{{"address", rcpt.address},
                                          {"state", RecipientStateName(rcpt.state)},
                                          {"code", rcpt.code},
                                          {"reply", rcpt.reply}});
        }
        o["recipients"] = recipients;
        array.append(o);
    }
    return QJsonDocument(array).toJson(QJsonDocument::Indented);
}

} // namespace outbox
