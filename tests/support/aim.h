// The component pointed at a test's own server on 127.0.0.1: the host taken
// as given, short time limits, one connection attempt, and a small message
// from sender@example.com.
#pragma once

#include "mail/send_mail.h"

namespace testsupport {

inline void AimAtLoopback(clsSendMail &m, quint16 port,
                          const QString &recipients = QStringLiteral("rcpt@example.com"),
                          int timeoutSeconds = 2) {
    m.setSMTPHostValidation(0);
    m.setSMTPHost("127.0.0.1");
    m.setSMTPPort(port);
    m.setConnectTimeout(timeoutSeconds);
    m.setMessageTimeout(timeoutSeconds);
    m.setConnectRetry(1);
    m.setFrom("sender@example.com");
    m.setRecipient(recipients);
    m.setSubject("Hi");
    m.setMessage("Hello");
}

} // namespace testsupport
