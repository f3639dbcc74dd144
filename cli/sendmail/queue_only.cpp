#include "cli/sendmail/queue_only.h"

#include "cli/queue_command.h"
#include "cli/queue_delivery.h"
#include "cli/sendmail/exit_status.h"
#include "cli/sendmail/input.h"
#include "outbox/queue_folder.h"

namespace kelmsend {

namespace {

int refuse(const Reporter::Writer &err, const QString &text, SendmailOutcome outcome) {
    err("kelmsend: " + text.toUtf8() + "\n");
    return SendmailExitStatus(outcome);
}

} // namespace

int StoreForLater(const RelayMessage &message, const Options &o, QIODevice &in,
                  const EnvironmentLookup &env, const Reporter::Writer &err) {
    QString error;
    const QString path = QueueFolderPath(o, env, &error);
    if (path.isEmpty()) {
        return refuse(err, "cannot store the message: " + error, SendmailOutcome::CannotCopy);
    }
    outbox::QueueFolder folder(path);
    if (!folder.open(&error)) {
        return refuse(err, "cannot store the message: " + error, SendmailOutcome::CannotCopy);
    }
    HeadThenBody device(message.head, in);
    device.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    const outbox::StoreResult stored =
        folder.store(device, {o.account, message.sender, message.recipients});
    if (!stored.ok()) {
        return refuse(err, "cannot store the message: " + stored.errorText,
                      stored.error == outbox::StoreError::ReadError ? SendmailOutcome::InputError
                                                                    : SendmailOutcome::CannotCopy);
    }
    if (o.verbosity != Verbosity::Quiet) {
        const auto count = message.recipients.size();
        err(QString("kelmsend: queued as %1 for %2 recipient%3, not tried yet (-odq)\n")
                .arg(stored.id)
                .arg(count)
                .arg(count == 1 ? "" : "s")
                .toUtf8());
    }
    return SendmailExitStatus(SendmailOutcome::Sent);
}

int StoreAndDeliver(const RelayMessage &message, const Options &commandLine, const Options &o,
                    QIODevice &in, const EnvironmentLookup &env, const Reporter::Writer &err,
                    Reporter &reporter) {
    // The password first: a source that fails is the caller's to fix now.
    std::optional<QString> password;
    if (o.needsPassword()) {
        QString text;
        if (const QString problem = LoadPassword(o, text, env); !problem.isEmpty()) {
            return refuse(err, problem, SendmailOutcome::Configuration);
        }
        password = text;
    }
    HeadThenBody device(message.head, in);
    device.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    const QueuedSend sent = StoreAndTry(device, {o.account, message.sender, message.recipients},
                                        commandLine, o, env, reporter, err, password);
    switch (sent.result) {
    case QueuedSend::Result::Stored:
        return SendmailExitStatus(SendmailOutcome::Sent);
    case QueuedSend::Result::Refused:
        return SendmailExitStatus(SendmailOutcome::SendFailed, sent.failures);
    case QueuedSend::Result::InputError:
        return SendmailExitStatus(SendmailOutcome::InputError);
    case QueuedSend::Result::NotStored:
        break;
    }
    return SendmailExitStatus(SendmailOutcome::CannotCopy);
}

int FlushForSendmail(const Options &commandLine, const Options &o, const EnvironmentLookup &env,
                     const Reporter::Writer &out, const Reporter::Writer &err) {
    QString error;
    const QString path = QueueFolderPath(o, env, &error);
    if (path.isEmpty()) {
        return refuse(err, error, SendmailOutcome::Configuration);
    }
    const FlushResult flushed = FlushQueueFolder(path, commandLine, o, false, env, out, err);
    if (flushed.folderError) {
        return SendmailExitStatus(SendmailOutcome::CannotCopy);
    }
    return flushed.errors.isEmpty() ? SendmailExitStatus(SendmailOutcome::Sent)
                                    : SendmailExitStatus(SendmailOutcome::InputError);
}

int ListForSendmail(const Options &o, const EnvironmentLookup &env, const Reporter::Writer &out,
                    const Reporter::Writer &err) {
    QString error;
    const QString path = QueueFolderPath(o, env, &error);
    if (path.isEmpty()) {
        return refuse(err, error, SendmailOutcome::Configuration);
    }
    QByteArray text;
    if (!QueueListing(path, false, &text, &error)) {
        // An I/O error on the queue's files.
        return refuse(err, error, SendmailOutcome::InputError);
    }
    out(text);
    return SendmailExitStatus(SendmailOutcome::Sent);
}

} // namespace kelmsend
