#include "outbox/policy.h"

#include <QRegularExpression>

namespace outbox {

namespace {

bool IsDueState(RecipientState state) {
    return state == RecipientState::Pending || state == RecipientState::Deferred;
}

const RecipientReply *FindReply(const QList<RecipientReply> &replies, const QString &address) {
    for (const RecipientReply &r : replies) {
        if (r.address.compare(address, Qt::CaseInsensitive) == 0) {
            return &r;
        }
    }
    return nullptr;
}

void Decide(RecipientRecord &rcpt, RecipientState state, int code, const QString &reply) {
    rcpt.state = state;
    rcpt.code = code;
    rcpt.reply = reply;
}

// A reply's verdict on a recipient: 4xx deferred, 5xx failed; anything
// else that is not a success is treated as transient.
RecipientState ByCode(int code) {
    return code >= 500 && code <= 599 ? RecipientState::Failed : RecipientState::Deferred;
}

QString OrKind(const AttemptOutcome &outcome) {
    return outcome.reply.isEmpty() ? OutcomeKindName(outcome.kind) : outcome.reply;
}

QDateTime LifetimeEnd(const MessageRecord &record, const Policy &policy) {
    return record.since.addSecs(policy.lifetime.count());
}

} // namespace

QString MessageStateName(MessageState state) {
    switch (state) {
    case MessageState::Queued:
        return "queued";
    case MessageState::Deferred:
        return "deferred";
    case MessageState::Uncertain:
        return "uncertain";
    case MessageState::Failed:
        return "failed";
    case MessageState::Delivered:
        return "delivered";
    }
    return "queued";
}

QString OutcomeKindName(OutcomeKind kind) {
    switch (kind) {
    case OutcomeKind::Ok:
        return "accepted";
    case OutcomeKind::Refused:
        return "refused by the server";
    case OutcomeKind::ConnectionRefused:
        return "connection refused";
    case OutcomeKind::ConnectionLost:
        return "connection lost";
    case OutcomeKind::TimedOut:
        return "timed out";
    case OutcomeKind::Dns:
        return "DNS failure";
    case OutcomeKind::Tls:
        return "TLS failure";
    case OutcomeKind::Login:
        return "login failed";
    case OutcomeKind::Token:
        return "token failure";
    case OutcomeKind::Cancelled:
        return "cancelled";
    case OutcomeKind::Local:
        return "local error";
    }
    return "failure";
}

MessageState StateOf(const MessageRecord &record) {
    if (record.uncertain) {
        return MessageState::Uncertain;
    }
    bool pending = false, failed = false;
    for (const RecipientRecord &r : record.recipients) {
        if (r.state == RecipientState::Deferred) {
            return MessageState::Deferred;
        }
        pending = pending || r.state == RecipientState::Pending;
        failed = failed || r.state == RecipientState::Failed;
    }
    if (pending) {
        return MessageState::Queued;
    }
    return failed ? MessageState::Failed : MessageState::Delivered;
}

QStringList DueRecipients(const MessageRecord &record) {
    QStringList due;
    for (const RecipientRecord &r : record.recipients) {
        if (IsDueState(r.state)) {
            due << r.address;
        }
    }
    return due;
}

void BeginAttempt(MessageRecord &record, const QDateTime &now) {
    ++record.attempts;
    record.lastAttempt = now.toUTC();
    record.inFlight = InFlight::Sending;
    for (RecipientRecord &r : record.recipients) {
        r.acceptedInFlight = false;
    }
}

void MarkFinalDotAhead(MessageRecord &record, const QList<RecipientReply> &replies) {
    for (RecipientRecord &r : record.recipients) {
        const RecipientReply *reply = IsDueState(r.state) ? FindReply(replies, r.address) : nullptr;
        if (!reply) {
            continue;
        }
        if (reply->code >= 200 && reply->code <= 299) {
            r.acceptedInFlight = true;
        } else {
            Decide(r, ByCode(reply->code), reply->code, reply->reply);
        }
    }
    record.inFlight = InFlight::FinalDot;
}

AttemptEffect ApplyOutcome(MessageRecord &record, const QList<RecipientReply> &replies,
                           const AttemptOutcome &outcome, const QDateTime &now,
                           const Policy &policy) {
    AttemptEffect effect;
    const bool lostAfterDot = outcome.finalDotWritten && outcome.kind != OutcomeKind::Ok &&
                              outcome.kind != OutcomeKind::Refused;
    // A login, token or TLS failure, or anything on this side, says nothing
    // about the recipients: deferred whatever code came with it.
    const bool transientKind = outcome.kind != OutcomeKind::Refused;
    record.uncertain = false;
    record.lastError.clear();
    for (RecipientRecord &r : record.recipients) {
        // Delivered ones are never sent again; one that failed in an
        // earlier attempt has no reply in this one.
        const RecipientReply *reply =
            r.state == RecipientState::Delivered ? nullptr : FindReply(replies, r.address);
        if (!reply && !IsDueState(r.state) && !r.acceptedInFlight) {
            continue;
        }
        const bool accepted = reply ? reply->code >= 200 && reply->code <= 299 : r.acceptedInFlight;
        r.acceptedInFlight = false;
        if (reply && !accepted) {
            Decide(r, ByCode(reply->code), reply->code, reply->reply);
        } else if (accepted && outcome.kind == OutcomeKind::Ok) {
            Decide(r, RecipientState::Delivered, outcome.code, outcome.reply);
        } else if (accepted && lostAfterDot) {
            Decide(r, RecipientState::Deferred, outcome.code, OrKind(outcome));
            record.uncertain = true;
            effect.uncertain << r.address;
        } else if (outcome.kind == OutcomeKind::Ok) {
            // The driver reported no RCPT reply for it: not known to be
            // delivered, so it stays due rather than be lost.
            Decide(r, RecipientState::Deferred, 0, "no reply to RCPT TO reported");
        } else if (transientKind) {
            Decide(r, RecipientState::Deferred, outcome.code, OrKind(outcome));
        } else {
            Decide(r, ByCode(outcome.code), outcome.code, OrKind(outcome));
        }
        if (r.state == RecipientState::Delivered) {
            effect.delivered << r.address;
            continue;
        }
        record.lastError = r.reply;
        if (r.state == RecipientState::Failed) {
            effect.failed << r.address;
        } else if (!effect.uncertain.contains(r.address)) {
            effect.deferred << r.address;
        }
    }
    record.inFlight = InFlight::None;

    // The lifetime ends what is still deferred, unless it waits for a retry.
    const bool hold = record.uncertain && policy.holdUncertain;
    if (!hold && now >= LifetimeEnd(record, policy)) {
        for (RecipientRecord &r : record.recipients) {
            if (r.state == RecipientState::Deferred || r.state == RecipientState::Pending) {
                r.reply = QString("gave up after %1: %2")
                              .arg(DurationText(policy.lifetime),
                                   r.reply.isEmpty() ? QString("no reply") : r.reply);
                r.state = RecipientState::Failed;
                record.lastError = r.reply;
                effect.deferred.removeAll(r.address);
                effect.uncertain.removeAll(r.address);
                effect.failed << r.address;
            }
        }
        record.uncertain = false;
    }

    const MessageState state = StateOf(record);
    record.held = hold;
    if (hold || state == MessageState::Failed || state == MessageState::Delivered) {
        record.nextAttempt = QDateTime();
    } else {
        QDateTime next = now.toUTC().addSecs(Backoff(policy, record.attempts).count());
        // The last try comes at the end of the lifetime, not after it.
        const QDateTime end = LifetimeEnd(record, policy);
        record.nextAttempt = next > end ? end : next;
    }
    effect.finished = state == MessageState::Delivered;
    return effect;
}

AttemptEffect RecoverInterrupted(MessageRecord &record, const QDateTime &now,
                                 const Policy &policy) {
    if (record.inFlight == InFlight::Sending) {
        // Nothing went past the data: the message is as it was before.
        record.inFlight = InFlight::None;
        for (RecipientRecord &r : record.recipients) {
            r.acceptedInFlight = false;
        }
        return {};
    }
    if (record.inFlight == InFlight::None) {
        return {};
    }
    AttemptOutcome outcome;
    outcome.kind = OutcomeKind::ConnectionLost;
    outcome.finalDotWritten = true;
    outcome.reply = "delivery was interrupted after the final \".\" was written; the server "
                    "may have the message";
    return ApplyOutcome(record, {}, outcome, now, policy);
}

std::optional<QDateTime> NextAttempt(const MessageRecord &record) {
    const MessageState state = StateOf(record);
    if (record.held || state == MessageState::Failed || state == MessageState::Delivered) {
        return std::nullopt;
    }
    return record.nextAttempt;
}

bool IsDue(const MessageRecord &record, const QDateTime &now) {
    const std::optional<QDateTime> next = NextAttempt(record);
    return next && (!next->isValid() || *next <= now);
}

bool IsFlushable(const MessageRecord &record) {
    return NextAttempt(record).has_value();
}

Seconds Backoff(const Policy &policy, int deferredAttempts) {
    Seconds delay = policy.firstBackoff;
    for (int i = 1; i < deferredAttempts && delay < policy.maxBackoff; ++i) {
        delay *= 2;
    }
    return std::min(delay, policy.maxBackoff);
}

bool Retry(MessageRecord &record, const QDateTime &now) {
    bool anyFailed = false;
    for (RecipientRecord &r : record.recipients) {
        if (r.state == RecipientState::Failed) {
            r.state = RecipientState::Pending;
            r.notified = false;
            anyFailed = true;
        }
    }
    if (!anyFailed && !record.uncertain && !record.held) {
        return false;
    }
    record.uncertain = false;
    record.held = false;
    record.nextAttempt = QDateTime();
    record.since = now.toUTC();
    return true;
}

QStringList NoticeDue(MessageRecord &record, const Policy &policy, bool callerToldOfAll) {
    QStringList due;
    for (const RecipientRecord &r : record.recipients) {
        if (r.state == RecipientState::Failed && !r.notified) {
            due << r.address;
        }
    }
    if (due.isEmpty()) {
        return due;
    }
    if (!policy.notify || record.sender.isEmpty() || record.isNotice || callerToldOfAll) {
        // Reported already or never to be: marked so that they are not
        // counted again once the next recipient fails.
        MarkNotified(record, due);
        return {};
    }
    return due;
}

void MarkNotified(MessageRecord &record, const QStringList &addresses) {
    for (RecipientRecord &r : record.recipients) {
        if (addresses.contains(r.address, Qt::CaseInsensitive)) {
            r.notified = true;
        }
    }
}

QString DurationText(Seconds duration) {
    const qint64 s = duration.count();
    auto unit = [](qint64 n, const char *one) {
        return QString("%1 %2%3").arg(n).arg(one).arg(n == 1 ? "" : "s");
    };
    if (s > 0 && s % 86400 == 0) {
        return unit(s / 86400, "day");
    }
    if (s > 0 && s % 3600 == 0) {
        return unit(s / 3600, "hour");
    }
    if (s > 0 && s % 60 == 0) {
        return unit(s / 60, "minute");
    }
    return unit(s, "second");
}

std::optional<Seconds> ParseDuration(const QString &text) {
    static const QRegularExpression form("^\\s*(\\d{1,9})\\s*([smhd]?)\\s*$");
    const QRegularExpressionMatch m = form.match(text);
    if (!m.hasMatch()) {
        return std::nullopt;
    }
    const qint64 n = m.captured(1).toLongLong();
    const QString u = m.captured(2);
    const qint64 factor = u == "m" ? 60 : u == "h" ? 3600 : u == "d" ? 86400 : 1;
    if (n == 0) {
        return std::nullopt;
    }
    return Seconds(n * factor);
}

bool ParseBackoff(const QString &text, Policy &policy) {
    const QStringList parts = text.split(',');
    if (parts.size() > 2) {
        return false;
    }
    const std::optional<Seconds> first = ParseDuration(parts[0]);
    const std::optional<Seconds> max =
        parts.size() == 2 ? ParseDuration(parts[1]) : std::optional<Seconds>(Seconds(3600));
    if (!first || !max || *max < *first) {
        return false;
    }
    policy.firstBackoff = *first;
    policy.maxBackoff = *max;
    return true;
}

} // namespace outbox
