#include "cli/sendmail/sender.h"

namespace kelmsend {

bool IsQualifiedAddress(const QString &address) {
    const qsizetype at = address.lastIndexOf(QLatin1Char('@'));
    if (at <= 0) {
        return false;
    }
    const QString domain = address.mid(at + 1);
    if (domain.startsWith(QLatin1Char('[')) && domain.endsWith(QLatin1Char(']'))) {
        return domain.size() > 2;
    }
    const qsizetype dot = domain.indexOf(QLatin1Char('.'));
    return dot > 0 && !domain.endsWith(QLatin1Char('.'));
}

SenderChoice QualifySender(const QString &sender, const QString &accountFrom) {
    if (sender.isEmpty() || IsQualifiedAddress(sender)) {
        return {sender, false, QString()};
    }
    if (IsQualifiedAddress(accountFrom)) {
        return {accountFrom, true, QString()};
    }
    return {sender, false,
            "the sender " + sender +
                " has no domain with a dot, and servers refuse such an address; set from = "
                "ADDRESS in the account (kelmsend then sends with it instead), or give -f with "
                "a full address"};
}

} // namespace kelmsend
