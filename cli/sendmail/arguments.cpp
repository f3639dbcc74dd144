#include "cli/sendmail/arguments.h"

#include "cli/sendmail/exit_status.h"
#include "cli/sendmail/headers.h"

#include <QFileInfo>

namespace kelmsend {

namespace {

// Flags of the traditional command line that ask for what kelmsend does
// anyway.
const QStringList kAcceptedFlags{"-i", "-oi", "-om", "-bm"};

// Long options that sendmail mode takes besides the account keys.
const QStringList kSendmailLongOptions{"account", "config", "help", "version", "queue"};

// The first letters of sendmail's flags that kelmsend's own short options
// (-s, -a, -q, -v, -h) do not use.
const QString kSendmailLetters = QStringLiteral("tiofrFBbNR");

// The words of -N, and of -R.
const QStringList kNotifyWords{"success", "failure", "delay"};
const QStringList kReturnWords{"full", "hdrs"};

} // namespace

bool IsSendmailInvocation(const QString &program, const QStringList &args) {
    if (QFileInfo(program).fileName() == QLatin1String("sendmail")) {
        return true;
    }
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &arg = args[i];
        if (arg == QLatin1String("--")) {
            return false;
        }
        if (arg.startsWith(QLatin1String("--"))) {
            // A value given as the next argument is not a flag.
            if (!arg.contains(QLatin1Char('=')) &&
                LongOptionKind(arg.mid(2)) == OptionKind::Value) {
                ++i;
            }
        } else if (arg.size() >= 2 && arg.startsWith(QLatin1Char('-'))) {
            if (kSendmailLetters.contains(arg[1])) {
                return true;
            }
            if (arg.size() == 2 && (arg[1] == QLatin1Char('s') || arg[1] == QLatin1Char('a'))) {
                ++i; // -s SUBJECT, -a FILE
            }
        }
    }
    return false;
}

SendmailParse ParseSendmailArguments(const QStringList &args) {
    SendmailArguments a;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &arg = args[i];
        if (optionsEnded || arg == QLatin1String("-") || !arg.startsWith(QLatin1Char('-'))) {
            const QStringList addresses = ParseAddressList(arg);
            if (addresses.isEmpty()) {
                return {std::nullopt, "recipient \"" + arg + "\": no address in it"};
            }
            a.recipients += addresses;
            continue;
        }
        if (arg == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        // A flag's value, attached (-fADDRESS) or as the next argument.
        auto valueOf = [&](const QString &flag, QString &value) -> QString {
            if (arg.size() > flag.size()) {
                value = arg.mid(flag.size());
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                return flag + " needs a value";
            }
            return QString();
        };
        if (arg.startsWith(QLatin1String("--"))) {
            QString name = arg.mid(2);
            std::optional<QString> inlineValue;
            if (const qsizetype eq = name.indexOf(QLatin1Char('=')); eq >= 0) {
                inlineValue = name.mid(eq + 1);
                name = name.left(eq);
            }
            const QString longName = "--" + name;
            const OptionKind kind = LongOptionKind(name);
            if (kind == OptionKind::Unknown) {
                return {std::nullopt,
                        "unknown option " + longName + " (kelmsend --help lists the options)"};
            }
            if (!IsAccountKey(name) && !kSendmailLongOptions.contains(name)) {
                return {std::nullopt, longName +
                                          " does not apply in sendmail mode: the message comes "
                                          "whole on standard input"};
            }
            QString value;
            if (kind == OptionKind::Value) {
                if (inlineValue) {
                    value = *inlineValue;
                } else if (i + 1 < args.size()) {
                    value = args[++i];
                } else {
                    return {std::nullopt, longName + " needs a value"};
                }
            } else if (inlineValue) {
                return {std::nullopt, longName + " takes no value"};
            }
            if (const QString problem = ApplyLongOption(a.options, name, value);
                !problem.isEmpty()) {
                return {std::nullopt, longName + ": " + problem};
            }
            a.options.given << longName;
            continue;
        }
        QString value;
        QString problem;
        if (arg == QLatin1String("-t")) {
            a.extractRecipients = true;
        } else if (kAcceptedFlags.contains(arg)) {
        } else if (arg == QLatin1String("-odi")) {
            a.delivery = DeliveryMode::Interactive;
        } else if (arg == QLatin1String("-odb")) {
            a.delivery = DeliveryMode::Background;
        } else if (arg == QLatin1String("-odq")) {
            a.delivery = DeliveryMode::QueueOnly;
        } else if (arg.size() == 4 && arg.startsWith(QLatin1String("-oe")) &&
                   QStringLiteral("meqpw").contains(arg[3])) {
            a.errorMode = arg[3];
        } else if (arg == QLatin1String("-bp")) {
            a.action = SendmailAction::ListQueue;
        } else if (arg == QLatin1String("-q")) {
            a.action = SendmailAction::FlushQueue;
        } else if (arg.startsWith(QLatin1String("-N"))) {
            problem = valueOf(QStringLiteral("-N"), value);
            const QStringList words = value.toLower().split(QLatin1Char(','), Qt::SkipEmptyParts);
            const bool never = words == QStringList{QStringLiteral("never")};
            for (const QString &word : words) {
                if (!never && !kNotifyWords.contains(word.trimmed())) {
                    problem = "-N takes never, or success, failure and delay joined with \",\", "
                              "not \"" +
                              value + "\"";
                }
                a.dsnNotify << word.trimmed();
            }
            if (problem.isEmpty() && words.isEmpty()) {
                problem = QStringLiteral("-N needs a value");
            }
        } else if (arg.startsWith(QLatin1String("-R"))) {
            problem = valueOf(QStringLiteral("-R"), value);
            a.dsnReturn = value.trimmed().toLower();
            if (problem.isEmpty() && !kReturnWords.contains(a.dsnReturn)) {
                problem = "-R takes full or hdrs, not \"" + value + "\"";
            }
        } else if (arg == QLatin1String("-v")) {
            (void)ApplyLongOption(a.options, QStringLiteral("verbose"), QString());
            a.options.given << QStringLiteral("--verbose");
        } else if (arg.startsWith(QLatin1String("-f")) || arg.startsWith(QLatin1String("-r"))) {
            problem = valueOf(arg.left(2), value);
            const QStringList address = ParseAddressList(value);
            if (problem.isEmpty() && address.size() != 1) {
                problem = arg.left(2) + " needs one address, not \"" + value + "\"";
            }
            a.envelopeSender = address.value(0);
        } else if (arg.startsWith(QLatin1String("-F"))) {
            problem = valueOf(QStringLiteral("-F"), a.fromName);
        } else if (arg.startsWith(QLatin1String("-B"))) {
            problem = valueOf(QStringLiteral("-B"), value);
        } else {
            return {std::nullopt, "unknown sendmail option " + arg +
                                      " (kelmsend --help lists what sendmail mode takes)"};
        }
        if (!problem.isEmpty()) {
            return {std::nullopt, problem};
        }
    }
    if (a.action == SendmailAction::FlushQueue &&
        (a.extractRecipients || !a.recipients.isEmpty())) {
        // -q beside a message to send is the quiet switch, as kelmsend's own.
        a.action = SendmailAction::Send;
        (void)ApplyLongOption(a.options, QStringLiteral("quiet"), QString());
        a.options.given << QStringLiteral("--quiet");
    }
    return {a, QString()};
}

std::optional<SendmailArguments> RelayArguments(const Options &o) {
    if (o.command != Command::Send) {
        return std::nullopt;
    }
    for (const QString &given : o.given) {
        const QString name = given.mid(2);
        if (!IsAccountKey(name) && !kSendmailLongOptions.contains(name) &&
            name != QLatin1String("to")) {
            return std::nullopt;
        }
    }
    SendmailArguments a;
    a.options = o;
    a.sendmailRole = false;
    a.recipients = o.to;
    a.options.to.clear();
    return a;
}

QString SendmailHelpText() {
    return QStringLiteral(
               "\n"
               "Sendmail mode (started as \"sendmail\", or with a flag of sendmail's such as -t,\n"
               "-i or -f ADDRESS anywhere before \"--\"): the message comes whole on standard\n"
               "input and is sent as it is, without its Bcc fields, with Date and Message-ID\n"
               "added when missing. Recipients: the arguments, and with -t the To, Cc and Bcc\n"
               "fields. Sender: -f ADDRESS, else the From field, else --from. A sender without\n"
               "a domain with a dot (root, root@myhost) is replaced by the account's from when\n"
               "it has one (the From field is left as it is), else refused.\n"
               "Accepted: -i, -oi, -odi, -odb, -oem, -oep (and the other -oeX), -om, -bm,\n"
               "-B TYPE, -N DSN, -R RET. The message is stored in the queue first, then tried\n"
               "at once through the account: exit 0 once it is stored, with a line on standard\n"
               "error naming its id and what is pending when it was not delivered to everyone\n"
               "(none with --quiet, or -q beside -t or a recipient); a notice mails the sender\n"
               "about each recipient that fails later (notify = false: none). --no-queue (key\n"
               "no-queue) sends without the queue, exiting as the server answered. -odq stores\n"
               "it without a try (a line naming its id); -bp lists the queue; -q alone delivers\n"
               "its due messages (kelmsend queue flush). -F NAME names the sender of a message\n"
               "without From; -v is --verbose; \"--\" ends the options. The account options\n"
               "above apply, before or after the flags; the message options do not.\n"
               "Without a message option (--subject, --body, --attach, ...), a standard input\n"
               "that begins with a header block is a finished message too: \"kelmsend --account\n"
               "work -- RECIPIENT < message\" relays it as sendmail mode does, with the exit\n"
               "statuses below, through the queue with --queue only.\n"
               "\n") +
           SendmailExitStatusHelp();
}

} // namespace kelmsend
