#include "cli/sendmail/run.h"

#include "cli/bearer_send.h"

#include "cli/account.h"
#include "cli/configure.h"
#include "cli/sendmail/headers.h"
#include "cli/sendmail/input.h"
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

QString envelopeProblem(const RelayMessage &m, const SendmailArguments &a, const Options &o) {
    if (m.recipients.isEmpty()) {
        return a.extractRecipients
                   ? QStringLiteral("no recipient: the To, Cc and Bcc fields and the arguments "
                                    "name none")
                   : QStringLiteral("no recipient: give the recipients as arguments, or -t to "
                                    "take them from the To, Cc and Bcc fields");
    }
    if (m.sender.isEmpty()) {
        return QStringLiteral("no sender: give -f ADDRESS, a From field with an address, or "
                              "from in the account");
    }
    if (m.recipients.size() > kMaxRecipients) {
        return "too many recipients: " + QString::number(m.recipients.size()) + ", at most " +
               QString::number(kMaxRecipients) + " per message";
    }
    if (!o.noValidate) {
        for (const QString &address : QStringList{m.sender} + m.recipients) {
            if (!sendmail::IsValidEmailAddress(address)) {
                return "not a valid e-mail address: " + address +
                       " (--no-validate, or no-validate = true in the account, sends it "
                       "unchecked)";
            }
        }
    }
    return QString();
}

// Copies the rest of `in` to `spool` and rewinds it. "" or the problem.
QString spoolBody(QIODevice &in, QTemporaryFile &spool) {
    if (!spool.open()) {
        return "cannot make a temporary file for the message in " + QDir::tempPath() + ": " +
               spool.errorString();
    }
    QByteArray chunk(64 * 1024, Qt::Uninitialized);
    for (;;) {
        const qint64 n = in.read(chunk.data(), chunk.size());
        if (n < 0) {
            return "cannot read standard input: " + in.errorString();
        }
        if (n == 0) {
            break;
        }
        if (spool.write(chunk.constData(), n) != n) {
            return "cannot write the message to " + spool.fileName() + ": " + spool.errorString();
        }
    }
    if (!spool.flush() || !spool.seek(0)) {
        return "cannot write the message to " + spool.fileName() + ": " + spool.errorString();
    }
    return QString();
}

} // namespace

int RunSendmail(SendmailArguments a, const EnvironmentLookup &env, QFile &in,
                const Console &console) {
    Options &o = a.options;
    Reporter early(o.verbosity, console.terminal, console.err, console.clock);
    auto usage = [&early](const QString &text) {
        early.Error(text);
        return kExitUsage;
    };
    for (const QString &problem : {LoadAccount(o, env), ApplyProviderDefaults(o), CheckLogin(o)}) {
        if (!problem.isEmpty()) {
            return usage(problem);
        }
    }

    const HeaderRead header = ReadHeaderBlock(in);
    if (!header.error.isEmpty()) {
        return usage(header.error);
    }
    const RelayRequest request{a.extractRecipients, a.recipients, a.envelopeSender, a.fromName,
                               o.from};
    const RelayMessage message = PrepareRelay(header.block, request, QDateTime::currentDateTime(),
                                              uniqueBytes(), QSysInfo::machineHostName());
    if (const QString problem = envelopeProblem(message, a, o); !problem.isEmpty()) {
        return usage(problem);
    }
    QString password;
    if (o.needsPassword()) {
        if (const QString problem = LoadPassword(o, password, env); !problem.isEmpty()) {
            return usage(problem);
        }
    }

    QString oauthToken; // a command's and a sign-in's come right before the login
    if (o.auth && o.oauthTokenCommand.isEmpty() && !o.signsIn()) {
        if (const QString problem = LoadOAuthToken(o, oauthToken, env); !problem.isEmpty()) {
            return usage(problem);
        }
    }

    Reporter reporter(o.verbosity, console.terminal, console.err, console.clock);
    if (o.tlsInsecure) {
        console.err(("kelmsend: " + kInsecureWarning + "\n").toUtf8());
    }
    QTemporaryFile spool(QDir::tempPath() + "/kelmsend-XXXXXX");
    QIODevice *body = &in;
    if (in.isSequential()) {
        if (const QString problem = spoolBody(in, spool); !problem.isEmpty()) {
            reporter.Error(problem);
            return kExitFailed;
        }
        body = &spool;
    }
    HeadThenBody device(message.head, *body);
    device.open(QIODevice::ReadOnly | QIODevice::Unbuffered);

    clsSendMail mail;
    ConfigureSession(mail, o, password, oauthToken);
    const auto relay = [&] { mail.Relay(message.sender, message.recipients, &device); };
    if (o.auth && (o.signsIn() || !o.oauthTokenCommand.isEmpty())) {
        BearerTokens tokens(o, env);
        return DeliverWithToken(mail, reporter, tokens, relay);
    }
    return Deliver(mail, reporter, relay);
}

} // namespace kelmsend
