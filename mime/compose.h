#pragma once

// Message composition: everything the mail sender transmits after the SMTP
// "DATA" command is accepted, as an ordered list of transmissions, built
// without a socket so that the text can be checked on its own.
//
// How the send operation drives it:
//
//  1. Before anything is sent: when there are attachments, call
//     LinkEmbeddedFiles on the stored Message text, the AttachmentFileName
//     list and the AttachmentEmbedded list (both rewritten in place, and
//     both changes are kept by the component); its result is HasEmbedded.
//     Then fill a MessageDraft (with the rewritten text) and take
//     EstimateMessageSize(draft, ...) as TotalBytes; std::nullopt means
//     32-bit overflow, to be reported as the send's unexpected error.
//  2. After DATA is accepted (reply 354): set draft.now (or leave it
//     invalid for the current time) and call ComposeMessage(draft). Then
//     walk the list in order:
//       Kind::Text           SendData(t.bytes()); if t.debugText has a
//                            value, RaiseDebugPrint(*t.debugText).
//       Kind::AttachmentStart raise status(t.status) for attachment
//                            t.attachment.
//       Kind::FileData       SendFileData(full path of attachment
//                            t.attachment, t.encoding): Base64 in chunks
//                            of kBase64ChunkBytes, each chunk sent as the
//                            bytes of EncodeBase64Bytes and reported as
//                            "<<infile>>"; or, for uuencode, each
//                            kUULineBytes piece sent as the bytes of
//                            UUEncodedDataLine(piece) (or, for
//                            UUEncodeQuotedPrintable, of
//                            QuotedPrintableUUEncodedDataLine(piece)), not
//                            reported. Nothing for an empty file. End the
//                            send if Aborted is set afterwards.
//       Kind::AttachmentDone the send-buffer wait (BytesRemaining down to
//                            4096 or MessageTimeout), after the attachment's
//                            last line.
//       Kind::EndOfData      ReplyOK = false; SendData(t.bytes()) (".\r\n");
//                            RaiseDebugPrint(*t.debugText) ("."); then
//                            WaitForReply on ReplyOK. Always the last entry.
//     Every Text entry is one SendData call of its own.
//
// Bytes on the wire. A Transmission's `text` holds the octets that go on the
// wire, one character per octet (U+0000 to U+00FF), and bytes() gives them;
// so the send operation, a dry run and a test see the same bytes. Text that
// fits ISO-8859-1 is its own octets, so every message that does not need
// UTF-8 is byte for byte what it always was. Text outside ISO-8859-1 never
// stands in `text` as such: header texts become UTF-8 encoded words, the body
// becomes quoted-printable or Base64 of its UTF-8 bytes, file names RFC 2231
// parameters; all of these are ASCII. The one place where UTF-8 octets stand
// in `text` is an address in a header line when draft.smtpUtf8 is set (the
// server offered SMTPUTF8 and the envelope carries it). `debugText` is always
// the readable text.
//
// Body text outside ISO-8859-1 is never sent "8bit", even to a server that
// offers 8BITMIME: quoted-printable or Base64, whichever is shorter, carries
// it exactly (the decoded body is the text, with its line breaks as CRLF, no
// line added or broken), whatever the server, and a dry run shows the bytes
// a send transmits.
//
// Texts that stand in a header without encoding (subject, display names,
// addresses, ReplyToAddress, XMailer, ContentBase, attachment file names)
// have each CR or LF replaced by a space, so no caller-supplied text can
// start a header line of its own. Encoded words escape them already.
//
// Formats: RFC 5322 header fields, RFC 2045/2046 MIME with one multipart
// entity ("multipart/mixed", or "multipart/related" (RFC 2387) when the
// HTML refers to attached files by Content-ID, RFC 2392 "cid:" URLs),
// RFC 2047 encoded words, Base64 of RFC 2045 section 6.8, quoted-printable
// of section 6.7, RFC 2231 file-name parameters, Message-ID after RFC 5322
// section 3.6.4, addresses after RFC 6531/6532 (see mime/addresses.h), and
// classic uuencode blocks ("begin 600 name" ... "`" "end").

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace sendmail {

// 11400 = 200 lines x 57 bytes: every chunk but the last encodes to whole
// 76-character lines, so the chunks join into one continuous Base64 body.
inline constexpr qint64 kBase64ChunkBytes = 11400;
// 45 bytes make one full uuencoded line (length character "M").
inline constexpr qint64 kUULineBytes = 45;

enum class FileEncoding {
    Base64,   // MIME mode (EncodeType 0)
    UUEncode, // any other EncodeType
    // uuencode mode when the text goes out as UTF-8: the whole body is
    // quoted-printable, the uuencoded lines included.
    UUEncodeQuotedPrintable,
};

// What composition reads from the component for one send.
struct MessageDraft {
    QString from;                      // sender address (trimmed)
    QString fromDisplayName;           // "" when none
    QStringList recipients;            // To addresses
    QStringList recipientDisplayNames; // parallel to recipients; a missing or "" entry
                                       // means no display name
    QStringList ccRecipients;
    QStringList ccDisplayNames; // parallel to ccRecipients
    QStringList bccRecipients;  // envelope only; counted by EstimateMessageSize
    QString replyToAddress;     // "" for no Reply-to line
    QString subject;
    // The body after LinkEmbeddedFiles. Text that fits ISO-8859-1 is in its
    // wire form (prepared, CRLF line breaks) and goes out as it stands; any
    // other text is as the owner gave it and goes out as UTF-8,
    // quoted-printable or Base64 (its line breaks become CRLF).
    QString message;
    bool messageIs8Bit = false; // labels the text part 8bit instead of 7bit
    bool asHtml = false;
    QString contentBase;             // normalised base address, "" for none
    qint32 priority = 3;             // 3 gives no priority lines
    QString priorityText;            // "High", "Normal", "Low" or ""
    bool receipt = false;            // ask for a disposition notification
    QString xMailer;                 // blank (spaces only) gives no X-Mailer line
    qint32 encodeType = 0;           // 0 MIME, anything else uuencode
    QStringList attachmentFileNames; // one per attachment, as the lists hold them
    QList<bool> attachmentEmbedded;  // parallel; a missing entry reads as false
    bool hasEmbedded = false;        // what LinkEmbeddedFiles returned for this send
    qint64 attachmentTotalSize = 0;  // bytes of all attachment files
    qint32 attachmentNameLength = 0; // characters of all attachment file names
    QString timeZoneSuffix;          // e.g. "+0100"
    QDateTime now;                   // the clock; invalid = the current time
    // Addresses go into header lines as they are, in UTF-8 (the server
    // offered SMTPUTF8 and MAIL FROM carries it); false: domains outside
    // ASCII as A-labels (mime/addresses.h).
    bool smtpUtf8 = false;
    QString messageId; // "unique@domain" without brackets; "" = NewMessageId(from)
};

// One unit of what the send operation transmits after DATA.
struct Transmission {
    enum class Kind {
        Text,            // send `text`
        AttachmentStart, // attachment `attachment` begins: raise `status`
        FileData,        // stream the file of attachment `attachment` as `encoding`
        AttachmentDone,  // attachment `attachment` is out: wait for the send buffer
        EndOfData,       // the final "." line: send `text`, report, wait for the reply
    };
    Kind kind = Kind::Text;
    QString text;                     // Text, EndOfData: exact wire text, CRLFs included
    std::optional<QString> debugText; // what DebugPrint reports; none = not reported
    int attachment = -1;              // AttachmentStart, FileData, AttachmentDone
    FileEncoding encoding = FileEncoding::Base64; // FileData
    QString status;                               // AttachmentStart: the status text

    // Text, EndOfData: the octets to send.
    [[nodiscard]] QByteArray bytes() const { return text.toLatin1(); }

    bool operator==(const Transmission &) const = default;
};

// EncodeType 0 with at least one attachment: one multipart entity.
[[nodiscard]] bool IsMultipart(const MessageDraft &draft);

// The display part of the sender plus " <" + from + ">"; the display part is
// the encoded FromDisplayName (quoted when plain), or the address in quotes.
// `column` is where the value starts on its line (for folding encoded words;
// see HeaderPlace); the address is written as WireAddress(from, smtpUtf8)
// gives it. A display name in UTF-8 words whose last line would pass 78
// characters with the address puts the address on a continuation line.
[[nodiscard]] QString FromValue(const QString &from, const QString &fromDisplayName);
[[nodiscard]] QString FromValue(const QString &from, const QString &fromDisplayName, int column,
                                bool smtpUtf8);

// The To or Cc header value: one entry per address as in FromValue, joined
// by ", " CRLF TAB so that each further address stands on a continuation
// line. "" for no addresses.
[[nodiscard]] QString AddressHeaderValue(const QStringList &addresses,
                                         const QStringList &displayNames);
[[nodiscard]] QString AddressHeaderValue(const QStringList &addresses,
                                         const QStringList &displayNames, int column,
                                         bool smtpUtf8);

// A new message identifier "unique@domain" (without the angle brackets): 128
// random bits from the system's generator in 32 hexadecimal digits, then the
// domain of `from` (after its last "@", as an A-label when it is not ASCII),
// or the machine's host name when `from` has no usable domain, or
// "localhost".
[[nodiscard]] QString NewMessageId(const QString &from);

// Whether the message needs something of the server beyond plain SMTP: a
// text outside ISO-8859-1 (subject, display names, body, file names,
// ReplyToAddress, XMailer) or an address outside ASCII. Such a message is
// greeted with EHLO, to learn of SMTPUTF8 and 8BITMIME.
[[nodiscard]] bool NeedsSmtpExtensions(const MessageDraft &draft);

// Whether the body goes out "8bit": a text that fits ISO-8859-1 with a
// character above 126 (messageIs8Bit). A text that goes out as UTF-8 is
// always 7-bit (quoted-printable or Base64).
[[nodiscard]] bool HasEightBitBody(const MessageDraft &draft);

// Whether an envelope or header address (from, To, Cc, Bcc, the address of
// ReplyToAddress) is outside ASCII.
[[nodiscard]] bool HasInternationalAddress(const MessageDraft &draft);

// For a server without SMTPUTF8: "" when every address of the message can be
// written in ASCII, else AddressProblemWithoutSmtpUtf8 of the first one that
// cannot (from, To, Cc, Bcc, ReplyToAddress in that order).
[[nodiscard]] QString AddressProblem(const MessageDraft &draft);

// The Content-ID (without brackets) of an attached file named `name`, and
// what follows "cid:" in the HTML that refers to it: the name itself when
// it fits ISO-8859-1; otherwise its UTF-8 bytes with every byte other than
// a letter, a digit, ".", "_" and "-" written "=XX", so the identifier is
// ASCII and the reference matches it character for character.
[[nodiscard]] QString ContentIdOf(const QString &name);

// "Date: Mon, 7 Dec 2026 11:47:22 +0100" (without line break) for `now`
// taken in local time.
[[nodiscard]] QString DateLine(const QDateTime &now, const QString &timeZoneSuffix);

// "----_=_NextPart_000_" + 8 hex digits of the day number (30 December 1899
// is day 0) + "." + 8 hex digits of the time of day as a fraction of the day
// times 100,000,000, rounded; for `now` taken in local time, whole seconds.
[[nodiscard]] QString MessageBoundary(const QDateTime &now);

// The wire bytes of one uuencoded data line for a piece of at most
// kUULineBytes file bytes: UUEncodeLine(piece) + CRLF, with a leading "."
// doubled, as SMTP requires of every line of the data (RFC 5321 section
// 4.5.2); the server removes it again. Only the length character of a
// 14-byte piece is a ".", so without this the last line of one file in 45
// would lose its length character on the way.
[[nodiscard]] QByteArray UUEncodedDataLine(const QByteArray &piece);
// The same line in the quoted-printable body of a uuencode-mode message
// whose text goes out as UTF-8: EncodeQuotedPrintable(UUEncodeLine(piece) +
// CRLF). A leading "." is written "=2E", so no dot is doubled.
[[nodiscard]] QByteArray QuotedPrintableUUEncodedDataLine(const QByteArray &piece);

// The transmissions after DATA, in order (see the top of this file).
[[nodiscard]] QList<Transmission> ComposeMessage(const MessageDraft &draft);

// Rewrites references in an HTML `message` to attached files into "cid:"
// references. Acts only when `asHtml` is true and there is at least one
// file name; otherwise returns false and changes nothing.
// For each file name N in list order, each occurrence of N (letter case
// ignored) that stands inside a tag (after a "<" with no ">" between) and
// after an "=" inside that tag is replaced, together with whatever stood
// between the "=" (or the opening quote, double or single, after it) and N,
// by "cid:" + ContentIdOf(N) ("cid:" + N for a name that fits ISO-8859-1);
// the closing quote and the rest of the tag stay. So src="images/LOGO.GIF"
// becomes src="cid:logo.gif" for the attachment logo.gif. An occurrence
// outside a tag, or inside a tag without an "=" before it in that tag, is
// left unchanged. Every rewritten file gets attachmentEmbedded[i] = true
// (the list is lengthened with false to the number of names if shorter);
// marks are never cleared here. Empty names are skipped. Returns true when
// at least one reference was rewritten.
bool LinkEmbeddedFiles(QString &message, const QStringList &attachmentFileNames,
                       QList<bool> &attachmentEmbedded, bool asHtml);

// The number of bytes that 100 percent progress stands for: the expected
// byte count of the whole conversation of one send, session commands
// included. std::nullopt when the arithmetic overflows a 32-bit signed
// value (for instance attachments of more than 512 MiB).
[[nodiscard]] std::optional<qint32> EstimateMessageSize(const MessageDraft &draft,
                                                        bool useAuthentication,
                                                        const QString &username,
                                                        const QString &password);

} // namespace sendmail
