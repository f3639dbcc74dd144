// Preparing a body text for SMTP transmission: a line that starts with "."
// gets a second one (so it is never read as the end of the data), and a line
// longer than 998 characters is broken, at a space where possible, because
// SMTP limits a line to 998 characters plus its CRLF.
#pragma once

#include <QString>

namespace sendmail {

// The separator the text's lines end with: CRLF when it has one, else CR,
// else LF; "" for a text without any line break (one line).
QString MessageLineSeparator(const QString &text);

// The text with leading dots doubled and long lines broken. Lines are split
// and re-joined with MessageLineSeparator(text); a piece broken off a long
// line ends with that separator, or with CRLF for a one-line text.
QString PrepareMessageText(const QString &text);

// True when the text holds a character above U+007E (for a text that fits
// ISO-8859-1: a byte above 126).
bool IsEightBit(const QString &text);

// The prepared text as it goes on the wire: SMTP allows CR and LF only as
// the pair CRLF. The text's own line separator becomes CRLF; any other lone
// CR or LF becomes CRLF too, followed by one more "." when the line it starts
// begins with "." (so no line can end the data early).
QString ToWireText(const QString &text);

} // namespace sendmail
