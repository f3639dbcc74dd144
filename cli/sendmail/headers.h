// The pure core of sendmail mode: what kelmsend does to a message that
// arrives whole on standard input before it relays it. The header block is
// kept byte for byte, field by field, in its order, except that
//
// - every Bcc field is removed, continuation lines included;
// - Date and Message-ID fields are added at the end of the block when the
//   message has none (names compared without regard to case);
// - a From field is added only when the message has none and -F names the
//   sender;
//
// and nothing else is added or changed. The envelope comes from the
// command line and, with -t, from the To, Cc and Bcc fields.
//
// Message format: RFC 5322 (fields, folding, address lists, the date).
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

namespace kelmsend {

// Whether `line` opens a header field: a name of printable characters other
// than ":" (spaces or tabs may follow it), then ":".
[[nodiscard]] bool IsFieldLine(QByteArrayView line);

// Where the line that starts at `from` ends, its line break included: after
// CRLF, a lone LF or a lone CR, the rule by which the message goes on the
// wire, else at the end of `text`.
[[nodiscard]] qsizetype LineEnd(QByteArrayView text, qsizetype from);

// Whether `start` (the first bytes of an input, perhaps not all of it) is
// the beginning of a finished message rather than a text: after an mbox
// "From " line, nothing but header fields and their continuation lines up
// to a blank line (or to the end of `start`), among them at least one that
// every message carries or its sender writes (From, Sender, To, Cc, Bcc,
// Subject, Date, Message-ID, MIME-Version, Received, Return-Path).
// "Note: call Ann\n\n..." is a text.
[[nodiscard]] bool BeginsWithHeaderBlock(QByteArrayView start);

// How much of standard input kelmsend looks at for that.
inline constexpr qsizetype kFinishedMessagePeek = 64 * 1024;

// One field of a header block as it was read.
struct HeaderField {
    QByteArray name; // as written, without the colon and blanks before it
    QByteArray raw;  // every byte of its lines, continuation lines and breaks included
    // The text after the colon, unfolded (line breaks removed), as UTF-8.
    [[nodiscard]] QString value() const;
    [[nodiscard]] bool is(const char *fieldName) const;
};

// Splits a header block (the lines before the blank line, see LineEnd)
// into fields. A line that starts with a space or tab continues the field
// before it; anything before the first field is kept as a field without a
// name.
[[nodiscard]] QList<HeaderField> SplitHeaderFields(const QByteArray &block);

// The addresses of an address list in order: "Ann <a@x.org>, b@y.org (Bob),
// Team: c@z.org;" gives a@x.org, b@y.org, c@z.org. Display names, comments,
// quoted display names holding "," or "<", group names and source routes
// are dropped; an empty group ("undisclosed-recipients:;") gives nothing.
[[nodiscard]] QStringList ParseAddressList(const QString &value);

// "Thu, 13 Feb 2025 09:05:01 +0100" for `now` at its own offset from UTC.
[[nodiscard]] QByteArray DateFieldValue(const QDateTime &now);

// The header block as read from standard input.
struct HeaderBlock {
    QByteArray fields;    // the field lines
    QByteArray separator; // the blank line that ended them, as read; "" when none did
    // What began the body: a line that could not belong to a field, or what
    // followed a blank line that a lone CR ended within the line read.
    QByteArray bodyStart;
};

// What the command line says about the envelope and the sender.
struct RelayRequest {
    bool extractRecipients = false; // -t
    QStringList argumentRecipients; // addresses given as arguments
    QString envelopeSender;         // -f; "" when not given
    QString fromName;               // -F; "" when not given
    QString accountFrom;            // --from, or the account's from
};

// What is sent: the header block and its envelope.
struct RelayMessage {
    // The header block to send, then the blank line (or what began the body).
    QByteArray head;
    // To, Cc and Bcc addresses (with -t), then the arguments; each once,
    // letter case ignored.
    QStringList recipients;
    // -f, else the From field's first address when it has an "@", else
    // accountFrom; "" when none of them names one.
    QString sender;
    bool addedDate = false;
    bool addedMessageId = false;
};

// Prepares `block` for relaying. `now` dates a message without a Date
// field; `unique` (at least 12 random bytes) and the sender's domain, else
// `hostName`, make a Message-ID "<hex@domain>".
[[nodiscard]] RelayMessage PrepareRelay(const HeaderBlock &block, const RelayRequest &request,
                                        const QDateTime &now, const QByteArray &unique,
                                        const QString &hostName);

} // namespace kelmsend
