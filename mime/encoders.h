#pragma once

// Content encoders of the mail sender: header words (RFC 2047), Base64
// (RFC 2045 section 6.8) and uuencoded lines, plus the Base64 decoder that
// the component offers to its owner.
//
// Text that fits ISO-8859-1 reaches the wire one byte per character, as it
// always has: "the bytes of a text" below means QString::toLatin1(), and "a
// byte as a character" means QString::fromLatin1(). Text holding a character
// above U+00FF goes out as UTF-8 instead, always in a 7-bit form: RFC 2047
// encoded words in headers, quoted-printable or Base64 bodies (RFC 2045),
// RFC 2231 parameters for file names. Nothing is replaced by "?".

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <array>

namespace sendmail {

// The 64 Base64 digits followed by the fill character "=". The decoder
// searches all 65 characters; the encoder uses the first 64.
inline constexpr char Base64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";

// Base64Table[v] is the Base64 digit of the six-bit value v.
inline constexpr std::array<char, 64> Base64Table = [] {
    std::array<char, 64> t{};
    for (int i = 0; i < 64; ++i)
        t[i] = Base64Alphabet[i];
    return t;
}();

// UUTable[v] is the uuencode character of the six-bit value v: code 32 + v,
// except that 0 is "`" rather than a space, so no line carries a trailing
// blank that a mail relay could strip.
inline constexpr std::array<char, 64> UUTable = [] {
    std::array<char, 64> t{};
    for (int i = 0; i < 64; ++i)
        t[i] = static_cast<char>(32 + i);
    t[0] = '`';
    return t;
}();

// A header text (display name or subject) ready to stand in a header line.
// - No byte above 126: the text itself, or with `quote` true (a display
//   name) QuotedString(text). Each CR or LF in it is replaced by a space, so
//   the text can never start a header line of its own; other control
//   characters stay.
// - Otherwise: RFC 2047 encoded words in charset "ISO-8859-1", the "Q" form
//   when it is strictly shorter than the "B" form, else the "B" form. With
//   `quote` true the Q form keeps only letters, digits and "!*+-/" as they
//   are (RFC 2047 section 5 (3)), so no word can end the phrase. Words
//   are joined by CRLF + TAB (a folded header) and never quoted; no line
//   break follows the last word. Q words hold 54 to 56 encoded characters
//   (the last one may hold fewer), B words encode 42 characters each.
[[nodiscard]] QString EncodeHeaderText(const QString &text, bool quote);

// `text` as an RFC 5322 quoted string: between double quotes, each "\" and
// '"' preceded by a "\", each CR or LF replaced by a space. A display name,
// or a parameter value of a MIME header (a file name), cannot then end
// early and add a mailbox or a parameter of its own.
[[nodiscard]] QString QuotedString(const QString &text);

// True when every character is in ISO-8859-1 (U+0000 to U+00FF): such a
// text keeps the single-byte forms above, byte for byte.
[[nodiscard]] bool FitsLatin1(QStringView text);
// True when every character is below U+0080.
[[nodiscard]] bool IsAscii(QStringView text);

// Where a header text stands: `column` characters precede it on its first
// line (the field name and ": ", or the TAB of a continuation line), and
// `reserve` characters must still fit after its last word (a closing quote).
struct HeaderPlace {
    int column = 0;
    int reserve = 0;
};

// As above, for a text at `place`. A text that fits ISO-8859-1 gives exactly
// what EncodeHeaderText(text, quote) gives (the place is not looked at).
// Any other text becomes RFC 2047 encoded words in charset "UTF-8", the Q
// form when it is strictly shorter than the B form: every word is at most 75
// characters, holds whole characters only (a character's UTF-8 bytes are
// never split between two words, so each word decodes on its own), and the
// words are folded with CRLF + TAB so that each line, `place` included,
// stays within 78 characters. With `quote` true the text is a display name:
// its Q words then keep only letters, digits and "!*+-/" as they are, as
// RFC 2047 section 5 asks of words in a phrase.
[[nodiscard]] QString EncodeHeaderText(const QString &text, bool quote, HeaderPlace place);

// Quoted-printable (RFC 2045 section 6.7) of `bytes`, whose line breaks are
// CRLF: output lines of at most 76 characters, every one ended by CRLF, long
// lines continued with soft breaks ("=" at the end). Bytes 33..126 other
// than "=" stay as they are, space and TAB too except at the end of a line;
// a "." that would begin an output line is written "=2E", so no line needs
// the SMTP dot doubling. A text that does not end with a line break ends
// with a soft break, so the decoded text ends exactly where `bytes` end. An
// empty input gives an empty output.
[[nodiscard]] QByteArray EncodeQuotedPrintable(const QByteArray &bytes);

// The text with every line break (CRLF, a lone CR, a lone LF) written CRLF,
// the canonical form of text in a MIME body.
[[nodiscard]] QString CanonicalLineBreaks(const QString &text);

// The parameter `attribute` with `value` in RFC 2231 form (charset UTF-8,
// every byte outside the attribute characters percent-encoded):
// "filename*=UTF-8''%D1%84..." when that fits in `width` characters,
// otherwise the continued form "filename*0*=UTF-8''...", "filename*1*=...",
// each piece at most `width` characters (when one character's escapes
// allow) and none splitting a character's escapes. Each entry is one
// parameter text, without separators.
[[nodiscard]] QStringList EncodeExtendedParameter(const QString &attribute, const QString &value,
                                                  int width);

// Base64 lines of `data`: 76 characters each (the last one may be shorter),
// every line ended by CRLF, the last one included.
// The caller's array is lengthened with zero bytes to a multiple of 3 (the
// fill characters "=" stand for them in the output). The output is written
// in one pass into one buffer sized once, because this routine carries file
// data. An empty `data` gives an empty result and is left as it is.
// Blocks whose length is a multiple of 57 encode to whole lines only, so the
// outputs of consecutive such blocks join into one continuous body.
[[nodiscard]] QByteArray EncodeBase64Bytes(QByteArray &data);

// The bytes of `text` as Base64 lines (see EncodeBase64Bytes); "" for an
// empty text. A non-empty result always ends with CRLF.
[[nodiscard]] QString EncodeBase64String(const QString &text);

// One uuencoded line, without a line break, of `text` (at most 63
// characters, each taken as one byte): the length character, then 2, 3 or 4
// characters per piece of 1, 2 or 3 bytes, then "==" after a last piece of
// one byte or "=" after one of two bytes. "" when the text is longer than 63
// characters. An empty text gives "`", the zero-length line that ends the
// data of a uuencoded file.
[[nodiscard]] QString UUEncodeLine(const QString &text);
// The same for bytes: at most 63 bytes, else "".
[[nodiscard]] QByteArray UUEncodeLine(const QByteArray &bytes);

// Base64 text back to text, each decoded byte as one character.
// The text is read in groups of four characters; a group cut short by the
// end of the text is read as if filled with "A". The alphabet is compared
// with letter case. "=" ends its group (the bytes that the digits before it
// complete are kept) and decoding goes on with the next group, so several
// padded blocks in a row decode to their joined texts. Any character outside
// the alphabet and "=" (space, CR and LF included) gives "" for the whole
// text.
[[nodiscard]] QString DecodeBase64String(const QString &str2Decode);

} // namespace sendmail
