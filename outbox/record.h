// What the outbox knows about one queued message besides its bytes: the
// envelope, the account it goes through, and the state of each recipient.
//
// On disk a message is two files in the queue folder:
//
//   <id>.msg   the finished message, byte for byte as it was stored; written
//              once and never changed. Its flock is the message's lock.
//   <id>.env   this record as text, replaced as a whole (temporary file,
//              fsync, rename, fsync of the folder) at every change. The
//              message exists for readers only once this file does.
//
// The .env file is text, one item a line, "key value", the value
// percent-encoded: printable ASCII other than "%" kept, everything else
// (blanks, line breaks, control characters, UTF-8 bytes) %XX, so no value
// holds a space or a line break:
//
//   kelm-outbox 1                     format and version, always the first line
//   id 20261209-023612-5f3a9c
//   account work                      "" for the default account
//   sender ann@example.org            "" for the null sender <>
//   message-id <hex@example.org>      with the angle brackets; "" if none
//   created 2026-12-09T02:36:12Z      ISO 8601, UTC, whole seconds
//   since 2026-12-09T02:36:12Z        start of the lifetime (reset by a retry)
//   size 1234                         bytes of <id>.msg
//   attempts 2
//   last-attempt 2026-12-09T02:41:13Z or "-"
//   next-attempt 2026-12-09T02:51:13Z or "-" (due at once, or not by itself)
//   uncertain 0|1                     the last attempt ended after the final "."
//   held 0|1                          waits for an explicit retry
//   notice 0|1                        the message is itself a delivery notice
//   notices 0                         notices composed about it so far
//   in-flight none|sending|final-dot  an attempt in progress (see below)
//   last-error 451%204.3.0%20later
//   rcpt <state> <code> <flags> <address> <reply>   one line per recipient
//   end
//
// <state> is pending, deferred, delivered or failed; <code> the last reply
// code (0 for none); <flags> "-" or letters: n = a notice has reported its
// failure, f = accepted (RCPT 250) in the attempt in flight. Every key
// appears exactly once, in this order, rcpt lines after last-error; "end"
// closes the file so a cut-off file is never read as whole.
//
// in-flight is written before an attempt starts (sending) and again just
// before the final "." goes out (final-dot). A runner that finds it set on
// a message whose lock it could take knows the attempt before was killed:
// "sending" means nothing was delivered, "final-dot" that the server may
// have the message (uncertain).
//
// A reader rejects a file with another first line or version, an unknown or
// missing key, a bad value or no "end" as damaged; it never guesses.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

namespace outbox {

inline constexpr int kFormatVersion = 1;

enum class RecipientState { Pending, Deferred, Delivered, Failed };
enum class InFlight { None, Sending, FinalDot };

struct RecipientRecord {
    QString address;
    RecipientState state = RecipientState::Pending;
    int code = 0;  // the last reply's code, 0 when none came
    QString reply; // the last reply (or the failure's text), "" before any
    bool notified = false;
    bool acceptedInFlight = false;

    bool operator==(const RecipientRecord &) const = default;
};

struct MessageRecord {
    QString id;
    QString account;
    QString sender;
    QString messageId;
    QDateTime created;
    QDateTime since;
    qint64 size = 0;
    int attempts = 0;
    QDateTime lastAttempt; // invalid: never tried
    QDateTime nextAttempt; // invalid: due at once unless held or final
    bool uncertain = false;
    bool held = false;
    bool isNotice = false;
    int notices = 0;
    InFlight inFlight = InFlight::None;
    QString lastError;
    QList<RecipientRecord> recipients;

    bool operator==(const MessageRecord &) const = default;
};

[[nodiscard]] QString RecipientStateName(RecipientState state);
[[nodiscard]] QByteArray EncodeRecord(const MessageRecord &record);

struct ParsedRecord {
    bool ok = false;
    QString error; // why the file is damaged, when !ok
    MessageRecord record;
};
[[nodiscard]] ParsedRecord ParseRecord(const QByteArray &bytes);

// Whether `id` has the form the queue gives its ids (letters, digits and
// "-" only, 1 to 64 characters), so that it can name a file.
[[nodiscard]] bool IsValidId(const QString &id);

} // namespace outbox
