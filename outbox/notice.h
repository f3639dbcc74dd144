// Delivery status notices to the envelope sender of a queued message, after
// RFC 3464 (the report), RFC 3462/6522 (multipart/report), RFC 3463 (status
// codes) and RFC 3834 (Auto-Submitted). When one is due is the policy's
// (NoticeDue in policy.h); this composes it.
//
// The notice is multipart/report; report-type=delivery-status with three
// parts: a text for people naming each failed recipient and the reply it
// got, a message/delivery-status part (one block per failed recipient:
// Final-Recipient, Action: failed, Status, Diagnostic-Code with the
// server's reply), and the original header block as text/rfc822-headers.
#pragma once

#include "outbox/record.h"

#include <QByteArray>
#include <QDateTime>
#include <QIODevice>
#include <QString>
#include <QStringList>

namespace outbox {

struct NoticeContext {
    QString from;          // the From address: the account's; "" for MAILER-DAEMON@<host>
    QString reportingHost; // this machine's name, for Reporting-MTA
    QDateTime now;
};

// The notice's bytes (CRLF line ends) about `failed`, recipients of
// `original`, addressed to its envelope sender.
[[nodiscard]] QByteArray ComposeNotice(const MessageRecord &original,
                                       const QByteArray &originalHeaders, const QStringList &failed,
                                       const NoticeContext &context);

// The header block of a message (up to the blank line, without it), read
// from `message`'s current position, at most `limit` bytes.
[[nodiscard]] QByteArray ReadHeaderBlock(QIODevice &message, qint64 limit = 256 * 1024);

// The status code for a reply: its enhanced code ("550 5.1.1 unknown" gives
// "5.1.1", RFC 3463), else the class of its code with ".0.0", "4.4.7" (the
// delivery time expired) for a recipient given up after the lifetime.
[[nodiscard]] QString StatusOf(const RecipientRecord &recipient);

} // namespace outbox
