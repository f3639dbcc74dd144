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
//       Kind::Text           SendData(t.text) as a string (the socket turns
//                            it into ISO-8859-1 bytes); if t.debugText has a
//                            value, RaiseDebugPrint(*t.debugText).
//       Kind::AttachmentStart raise status(t.status) for attachment
//                            t.attachment.
//       Kind::FileData       SendFileData(full path of attachment
//                            t.attachment, t.encoding): Base64 in chunks
//                            of kBase64ChunkBytes, each chunk sent as the
//                            bytes of EncodeBase64Bytes and reported as
//                            "<<infile>>"; or, for uuencode, each
//                            kUULineBytes piece sent as the bytes of
//                            UUEncodedDataLine(piece), not reported. Nothing
//                            for an empty file. End the send if Aborted is
//                            set afterwards.
//       Kind::AttachmentDone the send-buffer wait (BytesRemaining down to
//                            4096 or MessageTimeout), after the attachment's
//                            last line.
//       Kind::EndOfData      ReplyOK = false; SendData(t.text) (".\r\n");
//                            RaiseDebugPrint(*t.debugText) ("."); then
//                            WaitForReply on ReplyOK. Always the last entry.
//     Every Text entry is one SendData call of its own.
//
// Texts that stand in a header without encoding (subject, display names,
// addresses, ReplyToAddress, XMailer, ContentBase, attachment file names)
// have each CR or LF replaced by a space, so no caller-supplied text can
// start a header line of its own. Encoded words escape them already.
//
// Formats: RFC 5322 header fields, RFC 2045/2046 MIME with one multipart
// entity ("multipart/mixed", or "multipart/related" (RFC 2387) when the
// HTML refers to attached files by Content-ID, RFC 2392 "cid:" URLs),
// RFC 2047 encoded words, Base64 of RFC 2045 section 6.8, and classic
// uuencode blocks ("begin 600 name" ... "`" "end").

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
    QString message;            // prepared body text, after LinkEmbeddedFiles
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

    bool operator==(const Transmission &) const = default;
};

// EncodeType 0 with at least one attachment: one multipart entity.
[[nodiscard]] bool IsMultipart(const MessageDraft &draft);

// The display part of the sender plus " <" + from + ">"; the display part is
// the encoded FromDisplayName (quoted when plain), or the address in quotes.
[[nodiscard]] QString FromValue(const QString &from, const QString &fromDisplayName);

// The To or Cc header value: one entry per address as in FromValue, joined
// by ", " CRLF TAB so that each further address stands on a continuation
// line. "" for no addresses.
[[nodiscard]] QString AddressHeaderValue(const QStringList &addresses,
                                         const QStringList &displayNames);

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

// The transmissions after DATA, in order (see the top of this file).
[[nodiscard]] QList<Transmission> ComposeMessage(const MessageDraft &draft);

// Rewrites references in an HTML `message` to attached files into "cid:"
// references. Acts only when `asHtml` is true and there is at least one
// file name; otherwise returns false and changes nothing.
// For each file name N in list order, each occurrence of N (letter case
// ignored) that stands inside a tag (after a "<" with no ">" between) and
// after an "=" inside that tag is replaced, together with whatever stood
// between the "=" (or the opening quote, double or single, after it) and N,
// by "cid:" + N;
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
