#include "cli/sendmail/run.h"

#include "cli/bearer_send.h"

#include "cli/account.h"
#include "cli/configure.h"
#include "cli/sendmail/exit_status.h"
#include "cli/sendmail/headers.h"
#include "cli/sendmail/input.h"
#include "cli/sendmail/queue_only.h"
#include "cli/sendmail/sender.h"
#include "mail/send_mail.h"
#include "mail/validation.h"

#include <QDateTime>
#include <QDir>
#include <QRandomGenerator>
#include <QSysInfo>
#include <QTemporaryFile>

namespace kelmsend {

namespace {

// 128 random bits for the Message-ID.
QByteArray uniqueBytes() {
    QByteArray bytes(16, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(bytes.data()),
                                          bytes.size() / 4);
    return bytes;
}

struct Problem {
    QString text; // "" when there is none
    SendmailOutcome outcome = SendmailOutcome::Usage;
};

// Where a bad address came from: the command line, the account or the
// message's fields.
SendmailOutcome sourceOf(const QString &address, const SendmailArguments &a, const Options &o) {
    if (address == a.envelopeSender || a.recipients.contains(address, Qt::CaseInsensitive)) {
        return SendmailOutcome::Usage;
    }
    return address == o.from ? SendmailOutcome::Configuration : SendmailOutcome::BadMessage;
}

Problem envelopeProblem(const RelayMessage &m, const SendmailArguments &a, const Options &o) {
    const SendmailOutcome fromMessage =
        a.extractRecipients ? SendmailOutcome::BadMessage : SendmailOutcome::Usage;
    if (m.recipients.isEmpty()) {
        return {a.extractRecipients
                    ? QStringLiteral("no recipient: the To, Cc and Bcc fields and the arguments "
                                     "name none")
                    : QStringLiteral("no recipient: give the recipients as arguments, or -t to "
                                     "take them from the To, Cc and Bcc fields"),
                fromMessage};
    }
    if (m.sender.isEmpty()) {
        return {QStringLiteral("no sender: give -f ADDRESS, a From field with an address, or "
                               "from in the account"),
                SendmailOutcome::Configuration};
    }
    if (m.recipients.size() > kMaxRecipients) {
        return {"too many recipients: " + QString::number(m.recipients.size()) + ", at most " +
                    QString::number(kMaxRecipients) + " per message",
                fromMessage};
    }
    if (!o.noValidate) {
        for (const QString &address : QStringList{m.sender} + m.recipients) {
            if (!sendmail::IsValidEmailAddress(address)) {
                return {"not a valid e-mail address: " + address +
                            " (--no-validate, or no-validate = true in the account, sends it "
                            "unchecked)",
                        sourceOf(address, a, o)};
            }
        }
    }
    return {};
}

// Copies the rest of `in` to `spool` and rewinds it.
Problem spoolBody(QIODevice &in, QTemporaryFile &spool) {
    if (!spool.open()) {
        return {"cannot make a temporary file for the message in " + QDir::tempPath() + ": " +
                    spool.errorString(),
                SendmailOutcome::CannotCopy};
    }
    QByteArray chunk(64 * 1024, Qt::Uninitialized);
    for (;;) {
        const qint64 n = in.read(chunk.data(), chunk.size());
        if (n < 0) {
            return {"cannot read standard input: " + in.errorString(), SendmailOutcome::InputError};
        }
        if (n == 0) {
            break;
        }
        if (spool.write(chunk.constData(), n) != n) {
            return {"cannot write the message to " + spool.fileName() + ": " + spool.errorString(),
                    SendmailOutcome::CannotCopy};
        }
    }
    if (!spool.flush() || !spool.seek(0)) {
        return {"cannot write the message to " + spool.fileName() + ": " + spool.errorString(),
                SendmailOutcome::CannotCopy};
    }
    return {};
}

} // namespace

int RunSendmail(SendmailArguments a, const EnvironmentLookup &env, QFile &in,
                const Console &console) {
    const Options commandLine = a.options; // before the account
    Options &o = a.options;
    Reporter early(o.verbosity, console.terminal, console.err, console.clock);
    auto refuse = [&early](const QString &text, SendmailOutcome outcome) {
        early.Error(text);
        return SendmailExitStatus(outcome);
    };
    if (const QString problem = LoadAccountToRelay(o, env); !problem.isEmpty()) {
        return refuse(problem, SendmailOutcome::Configuration);
    }
    if (a.action == SendmailAction::ListQueue) {
        return ListForSendmail(o, env, console.out, console.err);
    }
    if (a.action == SendmailAction::FlushQueue) {
        return FlushForSendmail(commandLine, o, env, console.out, console.err);
    }

    const HeaderRead header = ReadHeaderBlock(in);
    if (!header.error.isEmpty()) {
        return refuse(header.error, SendmailOutcome::BadMessage);
    }
    const RelayRequest request{a.extractRecipients, a.recipients, a.envelopeSender, a.fromName,
                               o.from};
    RelayMessage message = PrepareRelay(header.block, request, QDateTime::currentDateTime(),
                                        uniqueBytes(), QSysInfo::machineHostName());
    const SenderChoice sender = QualifySender(message.sender, o.from);
    if (!sender.error.isEmpty() && !o.noValidate) {
        return refuse(sender.error, SendmailOutcome::Configuration);
    }
    message.sender = sender.sender;
    if (const Problem problem = envelopeProblem(message, a, o); !problem.text.isEmpty()) {
        return refuse(problem.text, problem.outcome);
    }
    if (a.delivery == DeliveryMode::QueueOnly) {
        return StoreForLater(message, o, in, env, console.err);
    }
    if (a.sendmailRole ? !o.noQueue : o.useQueue) {
        if (o.tlsInsecure) {
            console.err(("kelmsend: " + kInsecureWarning + "\n").toUtf8());
        }
        if (sender.replaced) {
            early.Status("the envelope sender is " + sender.sender + " (from of the account)");
        }
        return StoreAndDeliver(message, commandLine, o, in, env, console.err, early);
    }
    QString password;
    if (o.needsPassword()) {
        if (const QString problem = LoadPassword(o, password, env); !problem.isEmpty()) {
            return refuse(problem, SendmailOutcome::Configuration);
        }
    }

    QString oauthToken; // a command's and a sign-in's come right before the login
    if (o.auth && o.oauthTokenCommand.isEmpty() && !o.signsIn()) {
        if (const QString problem = LoadOAuthToken(o, oauthToken, env); !problem.isEmpty()) {
            return refuse(problem, SendmailOutcome::Configuration);
        }
    }

    Reporter reporter(o.verbosity, console.terminal, console.err, console.clock);
    if (o.tlsInsecure) {
        console.err(("kelmsend: " + kInsecureWarning + "\n").toUtf8());
    }
    if (sender.replaced) {
        reporter.Status("the envelope sender is " + sender.sender + " (from of the account)");
    }
    QTemporaryFile spool(QDir::tempPath() + "/kelmsend-XXXXXX");
    QIODevice *body = &in;
    if (in.isSequential()) {
        if (const Problem problem = spoolBody(in, spool); !problem.text.isEmpty()) {
            reporter.Error(problem.text);
            return SendmailExitStatus(problem.outcome);
        }
        body = &spool;
    }
    HeadThenBody device(message.head, *body);
    device.open(QIODevice::ReadOnly | QIODevice::Unbuffered);

    clsSendMail mail;
    ConfigureSession(mail, o, password, oauthToken);
    const auto relay = [&] { mail.Relay(message.sender, message.recipients, &device); };
    QStringList failures;
    if (o.auth && (o.signsIn() || !o.oauthTokenCommand.isEmpty())) {
        BearerTokens tokens(o, env);
        const int status = DeliverWithToken(mail, reporter, tokens, relay, &failures);
        // An expired sign-in keeps its own status (77) until the queue can defer it.
        if (status == kExitSignIn) {
            return status;
        }
        if (status == kExitUsage) {
            return SendmailExitStatus(SendmailOutcome::Configuration);
        }
        return status == kExitSent ? SendmailExitStatus(SendmailOutcome::Sent)
                                   : SendmailExitStatus(SendmailOutcome::SendFailed, failures);
    }
    const int sent = Deliver(mail, reporter, relay, &failures);
    return sent == kExitSent ? SendmailExitStatus(SendmailOutcome::Sent)
                             : SendmailExitStatus(SendmailOutcome::SendFailed, failures);
}

} // namespace kelmsend
