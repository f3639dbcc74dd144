// The service extensions an SMTP server lists in its reply to EHLO
// (RFC 5321 section 4.1.1.1) that the send operation uses: 8BITMIME
// (RFC 6152), SMTPUTF8 (RFC 6531), PIPELINING (RFC 2920), STARTTLS
// (RFC 3207) and SIZE (RFC 1870).
#pragma once

#include <QString>

namespace sendmail {

struct SmtpExtensions {
    bool eightBitMime = false;
    bool smtpUtf8 = false;
    bool pipelining = false;
    bool startTls = false;
    bool size = false;
    // The largest message the server takes, in octets ("SIZE 1048576");
    // 0 when it names none.
    qint64 sizeLimit = 0;
};

// The extensions named in a complete EHLO reply: every line after the first
// (which names the server) is "250-" or "250 " followed by a keyword and its
// parameters; keywords are compared without regard to letter case.
[[nodiscard]] SmtpExtensions ParseEhloReply(const QString &reply);

} // namespace sendmail
