// kelmsend: sends one e-mail message from the shell through one clsSendMail,
// or runs one of the component's utilities; as "sendmail" (or with a flag
// of sendmail's such as -t, -i or -f) it relays a finished message from
// standard input instead (cli/sendmail/), as it does for a send whose
// options compose nothing when standard input begins with a header block.
// See cli/options.h for the command line, cli/account.h for the
// configuration file and cli/reporter.h for what is
// reported where.
//
// Environment:
//   KELMSEND_CONFIG      the configuration file (see cli/account.h)
//   KELMSEND_PASSWORD    the password for --auth and --pop3 (the variable's
//                        name can be changed with --password-env)
//   KELMSEND_NAMESERVER  ADDRESS[:PORT]: the name server that MX lookups ask
//                        instead of the machine's configured one
//   KELMSEND_DOMAIN      with KELMSEND_NAMESERVER: the domain that "kelmsend
//                        mx" and a send without --server look up (default:
//                        the machine's DNS domain)
#include "cli/account.h"
#include "cli/auth_command.h"
#include "cli/bearer_send.h"
#include "cli/configure.h"
#include "cli/dry_run.h"
#include "cli/inputs.h"
#include "cli/options.h"
#include "cli/probe.h"
#include "cli/queue_command.h"
#include "cli/queue_delivery.h"
#include "cli/reporter.h"
#include "cli/sendmail/arguments.h"
#include "cli/sendmail/exit_status.h"
#include "cli/sendmail/headers.h"
#include "cli/sendmail/run.h"
#include "dns/mx_query.h"
#include "dns/system_configuration.h"
#include "mail/send_mail.h"
#include "mime/compose.h"
#include "net/net_utils.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryFile>

#include <optional>

#include <cstdio>
#include <memory>
#include <unistd.h>

using namespace kelmsend;

namespace {

void writeStderr(const QByteArray &bytes) {
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
    std::fflush(stderr);
}

bool writeStdout(const QByteArray &bytes) {
    return std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout) ==
           static_cast<size_t>(bytes.size());
}

void printLine(const QString &text) {
    writeStdout(text.toUtf8() + '\n');
}

int usageError(const QString &text) {
    writeStderr("kelmsend: " + text.toUtf8() + "\n");
    return kExitUsage;
}

std::optional<QString> environment(const QString &name) {
    const QByteArray key = name.toLocal8Bit();
    if (!qEnvironmentVariableIsSet(key.constData())) {
        return std::nullopt;
    }
    return qEnvironmentVariable(key.constData());
}

// Standard input, opened once: what the check for a finished message
// peeks at is read again by whoever reads the input.
QFile &standardInput() {
    static QFile in;
    if (!in.isOpen()) {
        (void)in.open(STDIN_FILENO, QIODevice::ReadOnly);
    }
    return in;
}

QByteArray readAllStdin() {
    QFile &in = standardInput();
    return in.isOpen() ? in.readAll() : QByteArray();
}

// KELMSEND_NAMESERVER points the MX lookups at one name server. Returns an
// error text for a value that is not ADDRESS[:PORT] ([IPV6-ADDRESS]:PORT).
QString applyNameServerOverride() {
    const std::optional<QString> value = environment(QStringLiteral("KELMSEND_NAMESERVER"));
    if (!value) {
        return QString();
    }
    const HostAndPort server = SplitHostAndPort(*value);
    if (!server.error.isEmpty()) {
        return "KELMSEND_NAMESERVER: not ADDRESS[:PORT]: " + *value;
    }
    const QString address = server.host;
    const quint16 port =
        server.port != 0 ? static_cast<quint16>(server.port) : modMXQuery::kDnsPort;
    QString domain = environment(QStringLiteral("KELMSEND_DOMAIN")).value_or(QString());
    if (domain.isEmpty()) {
        // Only the machine's configuration file is read for it; its name
        // servers are not asked.
        modMXQuery::LinuxSystemConfiguration system;
        if (const auto params = system.GetNetworkParams()) {
            domain = params->DomainName;
        }
    }
    modMXQuery::SetSystemConfiguration(
        std::make_shared<modMXQuery::StaticSystemConfiguration>(QStringList{address}, domain));
    modMXQuery::SetServerPort(port);
    return QString();
}

// The message a send would compose, after the checks of the assignments as
// Send would report them; nothing when one fails (the reason reported).
// No server, so no SMTPUTF8: addresses go as a server without it would take
// them, and one that cannot fails as such a send would.
std::optional<sendmail::MessageDraft> checkedDraft(clsSendMail &mail, Reporter &reporter) {
    if (!mail.ErrorList().isEmpty()) {
        reporter.Error(mail.ErrorList().join(QString()));
        return std::nullopt;
    }
    sendmail::MessageDraft draft = mail.ComposeDraft();
    if (const QString unsendable = sendmail::AddressProblem(draft); !unsendable.isEmpty()) {
        reporter.Error(unsendable);
        return std::nullopt;
    }
    return draft;
}

// The composed message stored in the queue, then tried (--queue): the bytes
// that would follow DATA, with the dot-stuffing and the final "." undone,
// since the queue keeps a message as it is.
int runQueuedSend(const Options &commandLine, const Options &o, clsSendMail &mail,
                  Reporter &reporter) {
    const std::optional<sendmail::MessageDraft> draft = checkedDraft(mail, reporter);
    if (!draft) {
        return kExitFailed;
    }
    QTemporaryFile spool(QDir::tempPath() + "/kelmsend-XXXXXX");
    if (!spool.open()) {
        reporter.Error("cannot make a temporary file in " + QDir::tempPath() + ": " +
                       spool.errorString());
        return kExitFailed;
    }
    bool lineStart = true;
    const QString error = WriteWireMessage(*draft, o.attachments, [&](const QByteArray &bytes) {
        QByteArray plain;
        plain.reserve(bytes.size());
        for (const char c : bytes) {
            if (!(lineStart && c == '.')) {
                plain += c;
            }
            lineStart = c == '\n';
        }
        return spool.write(plain) == plain.size();
    });
    // The final "." became an empty last line.
    if (!error.isEmpty() || !spool.flush() || spool.size() < 2 || !spool.resize(spool.size() - 2) ||
        !spool.seek(0)) {
        reporter.Error(error.isEmpty()
                           ? "cannot write " + spool.fileName() + ": " + spool.errorString()
                           : error);
        return kExitFailed;
    }
    const QStringList recipients = o.to + o.cc + o.bcc;
    const QueuedSend sent = StoreAndTry(spool, {o.account, o.from, recipients}, commandLine, o,
                                        environment, reporter, writeStderr);
    return sent.result == QueuedSend::Result::Stored ? kExitSent : kExitFailed;
}

int runSend(const Options &commandLine, const Options &o, Reporter &reporter) {
    if (const QString problem = CheckAddresses(o); !problem.isEmpty()) {
        return usageError(problem);
    }
    Inputs inputs;
    const bool bodyFromTerminal =
        !o.body && (o.bodyFile.isEmpty() || o.bodyFile == "-") && ::isatty(STDIN_FILENO);
    const QString problem = LoadInputs(
        o, inputs,
        [&] {
            if (bodyFromTerminal) {
                writeStderr("kelmsend: type the message, then Ctrl-D on a line of its own\n");
            }
            return readAllStdin();
        },
        environment);
    if (!problem.isEmpty()) {
        return usageError(problem);
    }

    clsSendMail mail;
    Configure(mail, o, inputs);
    mail.setPipelining(!o.noPipelining);

    if (o.dryRun) {
        const std::optional<sendmail::MessageDraft> draft = checkedDraft(mail, reporter);
        if (!draft) {
            return kExitFailed;
        }
        const QString error = WriteWireMessage(*draft, o.attachments, writeStdout);
        if (!error.isEmpty() || std::fflush(stdout) != 0) {
            reporter.Error(error.isEmpty() ? QStringLiteral("cannot write standard output")
                                           : error);
            return kExitFailed;
        }
        return kExitSent;
    }

    if (o.useQueue) {
        return runQueuedSend(commandLine, o, mail, reporter);
    }
    if (o.auth && (o.signsIn() || !o.oauthTokenCommand.isEmpty())) {
        BearerTokens tokens(o, environment);
        return DeliverWithToken(mail, reporter, tokens, [&mail] { mail.Send(); });
    }
    return Deliver(mail, reporter, [&mail] { mail.Send(); });
}

int runUtility(const Options &o, Reporter &reporter) {
    clsSendMail mail;
    QStringList statuses;
    QObject::connect(&mail, &clsSendMail::status, [&](const QString &s) {
        statuses << s;
        reporter.Status(s);
    });
    switch (o.command) {
    case Command::Mx: {
        const QString exchange = mail.MXQuery(o.argument);
        if (exchange.isEmpty()) {
            QString why = "no mail exchanger found for " +
                          (o.argument.trimmed().isEmpty() ? QStringLiteral("this machine's domain")
                                                          : o.argument.trimmed());
            // The first text announces the query; a later one says what failed.
            if (statuses.size() > 1) {
                why += " (" + statuses.last() + ")";
            }
            reporter.Error(why);
            return kExitFailed;
        }
        printLine(exchange);
        return kExitSent;
    }
    case Command::Ping: {
        QString address = o.argument;
        QString roundTrip, dataSize;
        bool dataMatch = false;
        if (!mail.Ping(address, roundTrip, dataSize, dataMatch)) {
            reporter.Error("no echo reply from " + o.argument);
            return kExitFailed;
        }
        printLine("reply from " + address + ": " + dataSize + ", time " + roundTrip + " ms" +
                  (dataMatch ? QString() : QStringLiteral(", data differs")));
        return kExitSent;
    }
    case Command::Resolve: {
        // The component's own answer first (the first IPv4 address), then
        // every other address of either family in the resolver's order.
        QString name = o.argument;
        const QString first = mail.GetIPAddress(name);
        QStringList addresses = first.isEmpty() ? QStringList() : QStringList{first};
        QString lookedUp = o.argument;
        for (const QString &address : sendmail::GetIPAddresses(lookedUp)) {
            if (!addresses.contains(address)) {
                addresses << address;
            }
        }
        if (addresses.isEmpty()) {
            reporter.Error("no address for " +
                           (lookedUp.isEmpty() ? QStringLiteral("this machine") : lookedUp));
            return kExitFailed;
        }
        for (const QString &address : addresses) {
            printLine(address + " " + lookedUp);
        }
        return kExitSent;
    }
    case Command::ContentType:
        printLine(mail.GetContentType(o.argument));
        return kExitSent;
    case Command::Probe:
        return RunProbe(o, printLine, [&](const QString &why) { reporter.Error(why); });
    case Command::Send:
    case Command::Help:
    case Command::Version:
        break;
    }
    return kExitUsage;
}

int relay(const SendmailArguments &arguments) {
    if (const QString problem = applyNameServerOverride(); !problem.isEmpty()) {
        usageError(problem);
        return SendmailExitStatus(SendmailOutcome::Configuration);
    }
    QFile &in = standardInput();
    if (!in.isOpen()) {
        usageError("cannot read standard input: " + in.errorString());
        return SendmailExitStatus(SendmailOutcome::InputError);
    }
    QElapsedTimer clock;
    clock.start();
    const Console console{writeStderr, ::isatty(STDERR_FILENO) != 0,
                          [&clock] { return clock.elapsed(); },
                          [](const QByteArray &bytes) { writeStdout(bytes); }};
    return RunSendmail(arguments, environment, in, console);
}

int runSendmail(const QStringList &arguments) {
    const SendmailParse parsed = ParseSendmailArguments(arguments);
    if (!parsed.arguments) {
        usageError(parsed.error);
        return SendmailExitStatus(SendmailOutcome::Usage);
    }
    if (parsed.arguments->options.command == Command::Help) {
        writeStdout(HelpText().toUtf8());
        return kExitSent;
    }
    if (parsed.arguments->options.command == Command::Version) {
        printLine(QStringLiteral("kelmsend " KELMSEND_VERSION));
        return kExitSent;
    }
    return relay(*parsed.arguments);
}

// "kelmsend queue ...", or mailq.
int runQueue(const QStringList &arguments) {
    const QueueParse parsed = ParseQueueArguments(arguments);
    if (!parsed.command) {
        return usageError(parsed.error);
    }
    const int status = RunQueueCommand(
        *parsed.command, environment, [](const QByteArray &bytes) { writeStdout(bytes); },
        writeStderr);
    return std::fflush(stdout) == 0 ? status : kExitFailed;
}

// A send whose options compose nothing, with standard input (not a
// terminal) that begins with a header block: the finished message of a mail
// reader, relayed as sendmail mode does.
std::optional<SendmailArguments> finishedMessageCall(const Options &o) {
    std::optional<SendmailArguments> relayed = RelayArguments(o);
    if (!relayed || ::isatty(STDIN_FILENO)) {
        return std::nullopt;
    }
    QFile &in = standardInput();
    if (!in.isOpen() || !BeginsWithHeaderBlock(in.peek(kFinishedMessagePeek))) {
        return std::nullopt;
    }
    return relayed;
}

} // namespace

int main(int argc, char **argv) {
    // The component keeps per-user settings and, when the user has switched
    // persistence on, reads them at creation and rewrites them on every
    // assignment. A shell command should do what its command line says and
    // leave the user's settings alone, so the store is moved to a folder
    // that cannot exist: nothing is read from it and nothing can be written.
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope,
                       QStringLiteral("/dev/null/kelmsend-keeps-no-settings"));
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);
    // argv[0] as the caller wrote it: the application's path would name the
    // executable a "sendmail" link resolves to.
    const QString program = QString::fromLocal8Bit(argv[0]);
    const bool mailq = QFileInfo(program).fileName() == QLatin1String("mailq");
    if (!mailq && IsSendmailInvocation(program, arguments)) {
        return runSendmail(arguments);
    }
    if (mailq || arguments.value(0) == QLatin1String("queue")) {
        return runQueue(mailq ? QStringList{QStringLiteral("list")} + arguments : arguments.mid(1));
    }

    if (arguments.value(0) == QLatin1String("auth")) {
        const int status = RunAuth(arguments.mid(1), environment,
                                   {[](const QByteArray &b) {
                                        writeStdout(b);
                                        std::fflush(stdout);
                                    },
                                    writeStderr});
        std::fflush(stdout);
        return status;
    }
    const ParseResult parsed = ParseArguments(arguments);
    if (!parsed.options) {
        return usageError(parsed.error);
    }
    Options o = *parsed.options;
    const Options commandLine = o;
    if (const std::optional<SendmailArguments> relayed = finishedMessageCall(o)) {
        return relay(*relayed);
    }
    if (o.command == Command::Send) {
        for (const QString &problem :
             {LoadAccount(o, environment), ApplyProviderDefaults(o), CheckOptions(o)}) {
            if (!problem.isEmpty()) {
                return usageError(problem);
            }
        }
    }
    if (o.command == Command::Help) {
        writeStdout(HelpText().toUtf8());
        return kExitSent;
    }
    if (o.command == Command::Version) {
        printLine(QStringLiteral("kelmsend " KELMSEND_VERSION));
        return kExitSent;
    }
    if (const QString problem = applyNameServerOverride(); !problem.isEmpty()) {
        return usageError(problem);
    }

    QElapsedTimer clock;
    clock.start();
    Reporter reporter(o.verbosity, ::isatty(STDERR_FILENO) != 0, writeStderr,
                      [&clock] { return clock.elapsed(); });
    if (o.tlsInsecure) {
        writeStderr("kelmsend: " + kInsecureWarning.toUtf8() + "\n");
    }
    const int status =
        o.command == Command::Send ? runSend(commandLine, o, reporter) : runUtility(o, reporter);
    std::fflush(stdout);
    return status;
}
