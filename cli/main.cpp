// kelmsend: sends one e-mail message from the shell through one clsSendMail,
// or runs one of the component's utilities. See cli/options.h for the
// command line and cli/reporter.h for what is reported where.
//
// Environment:
//   KELMSEND_PASSWORD    the password for --auth and --pop3 (the variable's
//                        name can be changed with --password-env)
//   KELMSEND_NAMESERVER  ADDRESS[:PORT]: the name server that MX lookups ask
//                        instead of the machine's configured one
//   KELMSEND_DOMAIN      with KELMSEND_NAMESERVER: the domain that "kelmsend
//                        mx" and a send without --server look up (default:
//                        the machine's DNS domain)
#include "cli/configure.h"
#include "cli/dry_run.h"
#include "cli/inputs.h"
#include "cli/options.h"
#include "cli/reporter.h"
#include "dns/mx_query.h"
#include "dns/system_configuration.h"
#include "mime/compose.h"
#include "mail/send_mail.h"
#include "net/net_utils.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSettings>

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

QByteArray readAllStdin() {
    QFile in;
    if (!in.open(stdin, QIODevice::ReadOnly)) {
        return {};
    }
    return in.readAll();
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

int runSend(const Options &o, Reporter &reporter) {
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
    QObject::connect(&mail, &clsSendMail::status, [&](const QString &s) { reporter.Status(s); });
    QObject::connect(&mail, &clsSendMail::DebugPrint,
                     [&](const QVariant &t) { reporter.Trace(t); });
    QObject::connect(&mail, &clsSendMail::Progress, [&](int p) { reporter.Progress(p); });
    QStringList failures;
    bool sent = false;
    QObject::connect(&mail, &clsSendMail::SendFailed, [&](const QString &why) { failures << why; });
    QObject::connect(&mail, &clsSendMail::SendSuccesful, [&] { sent = true; });

    Configure(mail, o, inputs);

    if (o.dryRun) {
        // The checks of the assignments, as Send would report them.
        if (!mail.ErrorList().isEmpty()) {
            reporter.Error(mail.ErrorList().join(QString()));
            return kExitFailed;
        }
        // No server, so no SMTPUTF8: addresses go as a server without it
        // would take them, and one that cannot fails as such a send would.
        const sendmail::MessageDraft draft = mail.ComposeDraft();
        if (const QString unsendable = sendmail::AddressProblem(draft); !unsendable.isEmpty()) {
            reporter.Error(unsendable);
            return kExitFailed;
        }
        const QString error = WriteWireMessage(draft, o.attachments, writeStdout);
        if (!error.isEmpty() || std::fflush(stdout) != 0) {
            reporter.Error(error.isEmpty() ? QStringLiteral("cannot write standard output")
                                           : error);
            return kExitFailed;
        }
        return kExitSent;
    }

    mail.Send();
    reporter.Finish();
    if (!failures.isEmpty()) {
        for (const QString &why : failures) {
            reporter.Error(why.trimmed().isEmpty() ? QStringLiteral("the send failed") : why);
        }
        return kExitFailed;
    }
    if (!sent) {
        reporter.Error(QStringLiteral("the send ended without an outcome"));
        return kExitFailed;
    }
    return kExitSent;
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
    case Command::Send:
    case Command::Help:
    case Command::Version:
        break;
    }
    return kExitUsage;
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

    const ParseResult parsed = ParseCommandLine(app.arguments().mid(1));
    if (!parsed.options) {
        return usageError(parsed.error);
    }
    const Options &o = *parsed.options;
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
    const int status = o.command == Command::Send ? runSend(o, reporter) : runUtility(o, reporter);
    std::fflush(stdout);
    return status;
}
