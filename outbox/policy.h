// The delivery policy of the outbox as pure functions over a MessageRecord:
// what an attempt's results do to each recipient, when the message is due
// again, when it is given up, and when its sender gets a notice. Nothing
// here touches a file or a clock; the time is always passed in.
//
// Per recipient, after an attempt (RFC 5321 reply classes, section 4.2.1):
//   250 to the final "."              delivered (every recipient accepted
//                                     by RCPT in that attempt)
//   5xx (RCPT, MAIL, DATA or ".")     failed, never tried again by itself
//   4xx, or the connection refused,   deferred: tried again after the
//   lost or timed out before the      back-off (5 minutes, doubling up to
//   final ".", or a DNS, TLS, login   1 hour by default) until the lifetime
//   or token failure                  (5 days) ends it: failed, "gave up
//                                     after 5 days: <last reply>"
//   lost or timed out after the       deferred, and the message uncertain:
//   final "." was written             the server may have it. Retried like
//                                     a deferred one, or with hold set it
//                                     waits for an explicit retry.
// A login, token or TLS failure is deferred whatever its code: it says
// nothing about the recipients, and a settings mistake must not fail the
// whole queue.
//
// The message's state follows from its recipients: "uncertain" while the
// last attempt was; else "deferred" while any recipient is; else "queued"
// while any is pending; else, every recipient final, "failed" when any has
// failed (the message stays until it is dropped or retried) and delivered
// (it leaves the queue) when all were.
#pragma once

#include "outbox/record.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <chrono>
#include <optional>

namespace outbox {

using Seconds = std::chrono::seconds;

struct Policy {
    Seconds firstBackoff{5 * 60};
    Seconds maxBackoff{60 * 60};
    Seconds lifetime{5 * 24 * 60 * 60};
    bool holdUncertain = false; // uncertain = hold
    bool notify = true;         // notify = false turns the notices off
};

enum class MessageState { Queued, Deferred, Uncertain, Failed, Delivered };
[[nodiscard]] QString MessageStateName(MessageState state);
[[nodiscard]] MessageState StateOf(const MessageRecord &record);

// How an attempt ended, as the delivery driver tells it.
enum class OutcomeKind {
    Ok,                // the final "." was answered 2xx
    Refused,           // the server answered with a refusal (code in the outcome)
    ConnectionRefused, // or unreachable
    ConnectionLost,
    TimedOut,
    Dns,
    Tls,
    Login,
    Token,
    Cancelled, // stopped by the runner or the user
    Local,     // on this side: the message unreadable, a configuration error
};
[[nodiscard]] QString OutcomeKindName(OutcomeKind kind);

struct AttemptOutcome {
    OutcomeKind kind = OutcomeKind::Ok;
    bool finalDotWritten = false;
    int code = 0;  // the server's code for Ok and Refused, else 0 or the code seen
    QString reply; // the server's reply, or the failure's text
};

// A reply to one RCPT command.
struct RecipientReply {
    QString address;
    int code = 0;
    QString reply;
};

// What an attempt did, for the log and the notices.
struct AttemptEffect {
    QStringList delivered, deferred, failed, uncertain;
    bool finished = false; // every recipient delivered: the message leaves the queue
};

// The recipients that an attempt sends to: pending and deferred ones.
[[nodiscard]] QStringList DueRecipients(const MessageRecord &record);

// Marks the start of an attempt at `now`.
void BeginAttempt(MessageRecord &record, const QDateTime &now);

// What is on disk just before the final "." goes out: the RCPT replies so
// far decided (4xx deferred, 5xx failed), the recipients they accepted
// marked as accepted in flight, in-flight = final-dot.
void MarkFinalDotAhead(MessageRecord &record, const QList<RecipientReply> &replies);

// Applies the attempt begun by BeginAttempt: its RCPT replies (a recipient
// without one is judged by the outcome alone) and its outcome. Sets the
// next attempt and gives up what outlived the lifetime.
AttemptEffect ApplyOutcome(MessageRecord &record, const QList<RecipientReply> &replies,
                           const AttemptOutcome &outcome, const QDateTime &now,
                           const Policy &policy);

// An attempt whose runner was killed (in-flight found set under the lock):
// killed while sending, nothing was delivered and the message is as it was;
// killed after the final "." was about to go out, its recipients accepted
// in flight are uncertain.
AttemptEffect RecoverInterrupted(MessageRecord &record, const QDateTime &now, const Policy &policy);

// When the next attempt may start by itself; nullopt when never (held, or
// every recipient final). Invalid nextAttempt means at once.
[[nodiscard]] std::optional<QDateTime> NextAttempt(const MessageRecord &record);
[[nodiscard]] bool IsDue(const MessageRecord &record, const QDateTime &now);
// For a flush of everything: every message that is not failed, and not held.
[[nodiscard]] bool IsFlushable(const MessageRecord &record);

// The back-off after `deferredAttempts` attempts (1 for the first deferral).
[[nodiscard]] Seconds Backoff(const Policy &policy, int deferredAttempts);

// An explicit retry: failed recipients back to pending, an uncertain or held
// message due at once, the lifetime counted from `now`. False (and nothing
// changed) when there is nothing to retry: no recipient failed and the
// message is not uncertain.
bool Retry(MessageRecord &record, const QDateTime &now);

// The recipients a notice is due for: failed and not yet reported, when
// the policy notifies, the sender is not <> and the message is no notice.
// `callerToldOfAll`: this attempt was the storing run's own first try and
// every recipient was refused in it; the caller's exit status told it, so
// they are marked reported without a notice.
[[nodiscard]] QStringList NoticeDue(MessageRecord &record, const Policy &policy,
                                    bool callerToldOfAll);
void MarkNotified(MessageRecord &record, const QStringList &addresses);

// "5 days", "1 hour", "90 minutes", "30 seconds".
[[nodiscard]] QString DurationText(Seconds duration);
// "30s", "5m", "1h", "5d" or a number of seconds; nullopt when malformed or 0.
[[nodiscard]] std::optional<Seconds> ParseDuration(const QString &text);
// The queue-backoff key: "FIRST" or "FIRST,MAX" (first delay, then doubling
// up to MAX, 1 hour when not given). False, and `policy` unchanged, when
// malformed or MAX < FIRST.
[[nodiscard]] bool ParseBackoff(const QString &text, Policy &policy);

} // namespace outbox
