// International addresses after RFC 6530 (overview), RFC 6531 (SMTPUTF8)
// and RFC 6532 (UTF-8 in header fields); A-labels after RFC 5890/5891.
#include "mime/addresses.h"

#include "mime/encoders.h"

#include <QUrl>

namespace sendmail {

QString AsciiDomain(const QString &domain) {
    if (IsAscii(domain))
        return domain;
    // Qt applies the UTS #46 mapping (case folding included) and refuses
    // what IDNA does not allow, with an empty result.
    return QString::fromLatin1(QUrl::toAce(domain, QUrl::AceProcessingOptions{}));
}

std::optional<QString> WireAddress(const QString &address, bool smtpUtf8) {
    if (smtpUtf8 || IsAscii(address))
        return address;
    const qsizetype at = address.lastIndexOf(QLatin1Char('@'));
    const QString local = at >= 0 ? address.left(at) : address;
    if (!IsAscii(local))
        return std::nullopt;
    const QString domain = AsciiDomain(address.mid(at + 1));
    if (domain.isEmpty())
        return std::nullopt;
    return local + QLatin1Char('@') + domain;
}

QString AddressProblemWithoutSmtpUtf8(const QString &address) {
    if (WireAddress(address, false))
        return QString();
    const qsizetype at = address.lastIndexOf(QLatin1Char('@'));
    if (!IsAscii(at >= 0 ? address.left(at) : address))
        return address + QStringLiteral(" requires a server with SMTPUTF8");
    return address + QStringLiteral(": the domain is not a valid internationalized domain name");
}

NamedAddress SplitNamedAddress(const QString &text) {
    const qsizetype open = text.lastIndexOf(QLatin1Char('<'));
    if (open < 0 || !text.endsWith(QLatin1Char('>')))
        return {QString(), text};
    return {text.left(open).trimmed(), text.mid(open + 1, text.size() - open - 2)};
}

} // namespace sendmail
