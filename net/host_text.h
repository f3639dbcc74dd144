// Text forms of hosts and addresses that both the network utilities and the
// address checks read: blank trimming, numeric pieces, dotted IPv4 addresses
// and IPv6 address literals. Pure text operations, no lookup.
#pragma once

#include <QString>
#include <QStringView>

namespace sendmail {

// Removes leading and trailing space characters (U+0020) only; tabs, line
// breaks and other white space stay.
QString TrimBlanks(const QString &text);

// Numeric text as the dotted-address checks read it: an optional sign ("+"
// or "-") followed by one or more ASCII digits, of any length, and nothing
// else (no blanks, no fraction, no exponent, no hexadecimal). "" is not
// numeric.
bool IsNumericText(QStringView text);

// True when the text splits at "." into exactly four numeric pieces, the
// first at most 239 and the others at most 255. Only the upper bounds are
// checked, so negative numbers pass. Numeric text is as IsNumericText
// defines it; an empty piece is not numeric.
bool IsDottedAddress(const QString &text);

// True when the text is one IPv6 address in a textual form of RFC 4291
// section 2.2: hexadecimal groups with at most one "::", possibly ending in
// a dotted IPv4 address ("::1", "2001:db8::25", "::ffff:192.0.2.1"). No
// brackets, blanks or zone ("%eth0") around it.
bool IsIPv6Literal(const QString &text);

// The address inside "[" and "]" when the text is exactly an IPv6 literal in
// brackets ("[2001:db8::25]"); any other text unchanged.
QString StripIPv6Brackets(const QString &text);

// Whether a host text is written as an IPv6 address, valid or not: it holds
// a ":" or a bracket, which no host name does. Such a text is judged by
// IsIPv6Literal (after StripIPv6Brackets), never looked up as a name.
bool IsIPv6Form(const QString &text);

// The host as RFC 5321 (section 4.1.3) writes an address literal in a
// command: an IPv6 literal, bare or in brackets, becomes
// "[IPv6:2001:db8::25]"; any other text, a dotted IPv4 address included, is
// returned unchanged.
QString SmtpAddressLiteral(const QString &host);

} // namespace sendmail
