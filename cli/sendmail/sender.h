// The envelope sender of sendmail mode when the caller names one that a
// server cannot use: programs such as mail(1) pass "-f root@<host name>",
// and on a machine whose name has no domain that is "root@myhost".
#pragma once

#include <QString>

namespace kelmsend {

// Whether `address` has a domain with a dot in it ("a@example.com") or an
// address literal ("a@[192.0.2.1]"); "root" and "root@myhost" have not.
[[nodiscard]] bool IsQualifiedAddress(const QString &address);

struct SenderChoice {
    QString sender;        // the envelope sender to use
    bool replaced = false; // accountFrom stands in for an unqualified sender
    QString error;         // "" unless the sender is unqualified and no from can stand in
};

// `sender` when it is qualified (or empty: the caller reports that), else
// `accountFrom` when that is qualified, else an error that names the
// account's from key.
[[nodiscard]] SenderChoice QualifySender(const QString &sender, const QString &accountFrom);

} // namespace kelmsend
