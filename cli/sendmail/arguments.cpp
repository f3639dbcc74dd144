#include "cli/sendmail/arguments.h"

#include "cli/sendmail/headers.h"

#include <QFileInfo>

namespace kelmsend {

namespace {

// Flags of the traditional command line that ask for what kelmsend does
// anyway, or for queueing and error-report styles it has no use for.
const QStringList kAcceptedFlags{"-i",   "-oi",  "-odi", "-odb", "-odq", "-oem",
                                 "-oee", "-oep", "-oeq", "-oew", "-om",  "-bm"};

// Long options that sendmail mode takes besides the account keys.
const QStringList kSendmailLongOptions{"account", "config", "help", "version"};

} // namespace

bool IsSendmailInvocation(const QString &program, const QStringList &args) {
    if (QFileInfo(program).fileName() == QLatin1String("sendmail")) {
        return true;
    }
    if (args.isEmpty()) {
        return false;
    }
    const QString &first = args.first();
    return first == QLatin1String("-t") || first == QLatin1String("-i") ||
           first == QLatin1String("-oi") ||
           (first.startsWith(QLatin1String("-f")) && !first.startsWith(QLatin1String("--")));
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
    return {a, QString()};
}

} // namespace kelmsend
