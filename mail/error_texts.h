// The fixed texts the component records in its error list, in one place:
// assignments record them and the session and send operation record some
// of the same ones.
#pragma once

#include <QString>

namespace sendmail {

inline const QString MsgRecipient = QStringLiteral("Missing or Invalid Recipient E-mail Address");
inline const QString MsgCc = QStringLiteral("Invalid Cc: Recipient E-mail Address");
inline const QString MsgBcc = QStringLiteral("Invalid Bcc: Recipient E-mail Address");
inline const QString MsgFrom = QStringLiteral("Missing or Invalid Sender E-mail Address");
inline const QString MsgAttachment = QStringLiteral("The file you tried to attach does not exist");
inline const QString MsgPOP3Host = QStringLiteral("Invalid or Missing POP3 Host Name");
inline const QString MsgSMTPHost = QStringLiteral("Invalid or Missing SMTP Host Name");
inline const QString MsgPort = QStringLiteral("Invalid Remote Port");
inline const QString MsgFingerprint = QStringLiteral("Invalid TLS Fingerprint");
inline const QString MsgTimeout =
    QStringLiteral("Timeout occurred: The SMTP Host did not respond to the request");

} // namespace sendmail
