// The queue as people and programs read it.
//
// A line a message:
//   <id>  <age>  <size>  <sender>  <state>  next <time|->  <rcpt> <state> "<reply>"; ...
// e.g.
//   20261209-023612-5f3a9c  2h  1234  ann@example.org  deferred  next 2026-12-09T04:51:13Z
//   bob@example.net deferred "451 4.3.0 try later"; cy@example.net delivered "250 ok"
// (one line), with <> for the null sender, and "damaged: <reason>" in place
// of everything after the id for a damaged message.
//
// JSON: an array of objects, one per message:
//   {"id", "state" (queued, deferred, uncertain, failed, or damaged),
//    "sender", "account", "message_id", "size", "created" (ISO 8601),
//    "age_seconds", "attempts", "next_attempt" (ISO 8601 or null),
//    "last_error" (or null), "held", "notice",
//    "recipients": [{"address", "state" (pending, deferred, delivered,
//    failed), "code", "reply"}]}
// a damaged one as {"id", "state": "damaged", "error"}.
#pragma once

#include "outbox/policy.h"
#include "outbox/queue_folder.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

namespace outbox {

// "45s", "12m", "3h", "5d".
[[nodiscard]] QString AgeText(qint64 seconds);

[[nodiscard]] QString ListLine(const QueueEntry &entry, const QDateTime &now);
[[nodiscard]] QString ListText(const QList<QueueEntry> &entries, const QDateTime &now);
[[nodiscard]] QByteArray ListJson(const QList<QueueEntry> &entries, const QDateTime &now);

// How an entry is listed: the record as a runner would find it, with an
// attempt that was killed (in-flight set, lock free) recovered as the next
// runner will recover it. `busy`: the message is being delivered now, and
// shown as it is on disk.
[[nodiscard]] QueueEntry ListedView(const QueueEntry &entry, bool busy, const QDateTime &now,
                                    const Policy &policy);
// The folder's messages, each as ListedView gives it.
[[nodiscard]] QList<QueueEntry> ListedQueue(const QueueFolder &folder, const Policy &policy);

} // namespace outbox
