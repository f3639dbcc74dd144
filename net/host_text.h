// Text forms of hosts and addresses that both the network utilities and the
// address checks read: blank trimming, numeric pieces and dotted IPv4
// addresses. Pure text operations, no lookup.
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

} // namespace sendmail
