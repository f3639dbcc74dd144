// What the outbox's runner needs of whatever sends a message: start one
// attempt, be told each RCPT reply, be asked just before the final "." goes
// out, be told how the attempt ended. The mail component's non-blocking
// session implements it for a real server; tests use a scripted one.
//
// The contract of one attempt, after start():
//   - recipientResult once per recipient of the job, after its RCPT reply
//     (Code the three digits, Reply the whole text); a recipient without
//     one is judged by the outcome alone;
//   - finalDotAhead, emitted synchronously (a direct connection) right
//     before the final "." of the data is written: when it returns, the
//     runner has recorded on disk that the server may get the message. A
//     driver that never emits it never writes the final "."; one that was
//     cancelled from inside it (the record could not be written) does not
//     write it either;
//   - finished exactly once, last, never from inside start(): the outcome
//     (OutcomeKind, whether the final "." had been written, the last reply).
// cancel() ends the attempt at once (the connection closed without the end
// of the data when it had not been written) and is followed by finished
// with OutcomeKind::Cancelled, or with what had already happened.
// The driver only reads the message device, from its current position to
// its end; the runner owns it and keeps it open until finished. When some
// recipients are refused, the data goes to the accepted ones (the session's
// partial delivery): each recipient is decided on its own.
#pragma once

#include "outbox/policy.h"

#include <QIODevice>
#include <QObject>
#include <QString>
#include <QStringList>

namespace outbox {

struct DeliveryJob {
    QString id;             // the queue id, for traces and logs
    QString account;        // the account to send through ("" for the default)
    QString sender;         // the envelope sender, "" for <>
    QStringList recipients; // those still due, in their stored order
    QIODevice *message = nullptr;
    qint64 size = 0;
};

class DeliveryDriver : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~DeliveryDriver() override;

    virtual void start(const DeliveryJob &job) = 0;
    virtual void cancel() = 0;

signals:
    void recipientResult(const QString &address, int code, const QString &reply);
    void finalDotAhead();
    void finished(const outbox::AttemptOutcome &outcome);
};

} // namespace outbox
