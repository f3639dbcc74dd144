// Addresses outside ASCII (RFC 6530-6532): how an address goes into the
// envelope and the header block. A server that offers SMTPUTF8 (RFC 6531)
// takes addresses as they are, in UTF-8. Any other server gets the domain in
// its IDNA A-label form (RFC 5890, "xn--..."), converted by Qt's IDNA
// implementation (UTS #46, nontransitional); an address whose local part is
// not ASCII has no such form and cannot be sent to it at all.
#pragma once

#include <QString>

#include <optional>

namespace sendmail {

// The domain in ASCII: unchanged when it is ASCII already, else its A-label
// form ("bücher.de" gives "xn--bcher-kva.de"). "" when it has none (not a
// valid internationalized domain name).
[[nodiscard]] QString AsciiDomain(const QString &domain);

// The address as it goes out. With `smtpUtf8` it is returned unchanged.
// Otherwise the domain, the text after the last "@", is replaced by
// AsciiDomain of it when it is not ASCII; nullopt when the address cannot be
// written in ASCII (its local part is not ASCII, or its domain has no A-label
// form). An ASCII address is always returned unchanged.
[[nodiscard]] std::optional<QString> WireAddress(const QString &address, bool smtpUtf8);

// "" when the address can go to a server without SMTPUTF8, else the reason,
// naming the address: "josé@example.com requires a server with SMTPUTF8", or
// for a domain without an A-label form "ivan@bad..рф: the domain is not a
// valid internationalized domain name".
[[nodiscard]] QString AddressProblemWithoutSmtpUtf8(const QString &address);

// A "Display Name <address>" text split into its two parts; a text without
// that form is all address (display "").
struct NamedAddress {
    QString display;
    QString address;
};
[[nodiscard]] NamedAddress SplitNamedAddress(const QString &text);

} // namespace sendmail
