#include "cli/queue_command.h"

#include "cli/account.h"
#include "cli/home.h"
#include "cli/queue_delivery.h"
#include "outbox/listing.h"
#include "outbox/policy.h"
#include "outbox/queue_folder.h"

#include <QDir>
#include <QFileInfo>

namespace kelmsend {

namespace {

// The long options of kelmsend's own that the queue commands take.
const QStringList kQueueLongOptions{"queue-dir", "config", "account", "quiet", "verbose", "trace"};

QString verbName(QueueVerb verb) {
    switch (verb) {
    case QueueVerb::List:
        return QStringLiteral("list");
    case QueueVerb::Retry:
        return QStringLiteral("retry");
    case QueueVerb::Drop:
        return QStringLiteral("drop");
    case QueueVerb::Flush:
        return QStringLiteral("flush");
    }
    return QString();
}

} // namespace

QueueParse ParseQueueArguments(const QStringList &args) {
    static const QList<QPair<QString, QueueVerb>> verbs{{"list", QueueVerb::List},
                                                        {"retry", QueueVerb::Retry},
                                                        {"drop", QueueVerb::Drop},
                                                        {"flush", QueueVerb::Flush}};
    QueueCommand c;
    bool known = false;
    for (const auto &[word, verb] : verbs) {
        if (args.value(0) == word) {
            c.verb = verb;
            known = true;
        }
    }
    if (!known) {
        return {std::nullopt, args.isEmpty() ? QStringLiteral("queue needs list, retry, drop or "
                                                              "flush: kelmsend queue list")
                                             : "queue " + args[0] +
                                                   ": not a queue command (list, retry, drop, "
                                                   "flush)"};
    }
    const QString verb = "queue " + verbName(c.verb);
    bool optionsEnded = false;
    QStringList positional;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString &arg = args[i];
        if (optionsEnded || !arg.startsWith(QLatin1Char('-')) || arg == QLatin1String("-")) {
            positional << arg;
            continue;
        }
        if (arg == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        if (arg == QLatin1String("--json") && c.verb == QueueVerb::List) {
            c.json = true;
            continue;
        }
        if (arg == QLatin1String("--all") && c.verb == QueueVerb::Flush) {
            c.all = true;
            continue;
        }
        if (!arg.startsWith(QLatin1String("--")) && arg != QLatin1String("-q") &&
            arg != QLatin1String("-v")) {
            return {std::nullopt, verb + ": unknown option " + arg};
        }
        QString name = arg == QLatin1String("-q")   ? QStringLiteral("quiet")
                       : arg == QLatin1String("-v") ? QStringLiteral("verbose")
                                                    : arg.mid(2);
        std::optional<QString> inlineValue;
        if (const qsizetype eq = name.indexOf(QLatin1Char('=')); eq >= 0) {
            inlineValue = name.mid(eq + 1);
            name = name.left(eq);
        }
        // A flush sends: the account options apply to it as to a send.
        const bool accountOption = c.verb == QueueVerb::Flush && IsAccountKey(name);
        if (!kQueueLongOptions.contains(name) && !accountOption) {
            return {std::nullopt, verb + ": unknown option --" + name +
                                      " (it takes --queue-dir, --config, --account, --quiet" +
                                      (c.verb == QueueVerb::List    ? QStringLiteral(", --json")
                                       : c.verb == QueueVerb::Flush ? QStringLiteral(", --all")
                                                                    : QString()) +
                                      ")"};
        }
        QString value;
        if (LongOptionKind(name) == OptionKind::Value) {
            if (inlineValue) {
                value = *inlineValue;
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                return {std::nullopt, "--" + name + " needs a value"};
            }
        } else if (inlineValue) {
            return {std::nullopt, "--" + name + " takes no value"};
        }
        if (const QString problem = ApplyLongOption(c.options, name, value); !problem.isEmpty()) {
            return {std::nullopt, "--" + name + ": " + problem};
        }
        c.options.given << "--" + name;
    }
    const bool takesIds = c.verb == QueueVerb::Retry || c.verb == QueueVerb::Drop;
    if (takesIds && positional.isEmpty()) {
        return {std::nullopt, verb + " needs the id of a message: kelmsend " + verb +
                                  " ID... (kelmsend queue list shows them)"};
    }
    if (!takesIds && !positional.isEmpty()) {
        return {std::nullopt, verb + " takes no argument, not \"" + positional[0] + "\""};
    }
    c.ids = positional;
    return {c, QString()};
}

QString QueueFolderPath(const Options &o, const EnvironmentLookup &env, QString *error) {
    if (!o.queueDir.isEmpty()) {
        return QFileInfo(o.queueDir).absoluteFilePath();
    }
    const QString state = env(QStringLiteral("XDG_STATE_HOME")).value_or(QString());
    if ((state.isEmpty() || !QDir::isAbsolutePath(state)) && HomeFolder(env).isEmpty()) {
        *error = QStringLiteral("no home folder for the queue (neither XDG_STATE_HOME nor HOME "
                                "is set, and the user database names none); set queue-dir");
        return QString();
    }
    return XdgFolder(env, QStringLiteral("XDG_STATE_HOME"), QStringLiteral("/.local/state")) +
           "/kelmsend/queue";
}

bool QueueListing(const QString &path, bool json, QByteArray *out, QString *error) {
    const QFileInfo info(path);
    QList<outbox::QueueEntry> entries;
    if (info.exists()) {
        if (!info.isDir() || !info.isReadable() || !info.isExecutable()) {
            *error = "cannot read the queue folder " + path +
                     (info.isDir() ? QStringLiteral(": permission denied")
                                   : QStringLiteral(": not a folder"));
            return false;
        }
        // Listing leaves the folder as it is: nothing created, nothing
        // cleaned up, an interrupted attempt shown as the next run sees it.
        const outbox::QueueFolder folder(path);
        entries = outbox::ListedQueue(folder, outbox::Policy{});
    }
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (json) {
        *out = entries.isEmpty() ? QByteArray("[]\n") : outbox::ListJson(entries, now);
    } else {
        *out = entries.isEmpty() ? QByteArray("queue is empty\n")
                                 : outbox::ListText(entries, now).toUtf8();
    }
    return true;
}

int RunQueueCommand(QueueCommand c, const EnvironmentLookup &env, const Reporter::Writer &out,
                    const Reporter::Writer &err) {
    auto fail = [&err](const QString &text, int status) {
        err("kelmsend: " + text.toUtf8() + "\n");
        return status;
    };
    const Options commandLine = c.options;
    if (const QString problem = LoadAccount(c.options, env); !problem.isEmpty()) {
        return fail(problem, kExitUsage);
    }
    QString error;
    const QString path = QueueFolderPath(c.options, env, &error);
    if (path.isEmpty()) {
        return fail(error, kExitUsage);
    }
    const bool quiet = c.options.verbosity == Verbosity::Quiet;
    switch (c.verb) {
    case QueueVerb::List: {
        QByteArray text;
        if (!QueueListing(path, c.json, &text, &error)) {
            return fail(error, kExitFailed);
        }
        out(text);
        return kExitSent;
    }
    case QueueVerb::Flush: {
        const FlushResult flushed =
            FlushQueueFolder(path, commandLine, c.options, c.all, env, out, err);
        return flushed.folderError || !flushed.errors.isEmpty() ? kExitFailed : kExitSent;
    }
    case QueueVerb::Retry:
    case QueueVerb::Drop:
        break;
    }
    outbox::QueueFolder folder(path);
    int status = kExitSent;
    for (const QString &id : c.ids) {
        const bool done =
            !outbox::IsValidId(id)
                ? (error = id + ": not a queue id (kelmsend queue list shows them)", false)
            : c.verb == QueueVerb::Drop ? folder.drop(id, &error)
                                        : folder.retry(id, &error);
        if (!done) {
            status = fail(error, kExitFailed);
        } else if (!quiet) {
            out((c.verb == QueueVerb::Drop ? id + " dropped\n"
                                           : id + " is due now (at the next queue flush)\n")
                    .toUtf8());
        }
    }
    return status;
}

QString QueueHelpText() {
    return QStringLiteral(
        "\n"
        "The queue: sendmail mode stores each message here before it tries it (and -odq\n"
        "without a try); what is not delivered at once waits in a private folder\n"
        "(--queue-dir FOLDER or the account's queue-dir, default\n"
        "$XDG_STATE_HOME/kelmsend/queue, i.e. ~/.local/state/kelmsend/queue).\n"
        "  queue list [--json]   a line a message: id, age, size, sender, state, next try,\n"
        "                        each recipient's state and last reply (also as \"mailq\"\n"
        "                        and \"sendmail -bp\"); --json: an array of objects\n"
        "  queue retry ID...     failed or uncertain messages, due again at once\n"
        "  queue drop ID...      removes the messages\n"
        "  queue flush [--all]   delivers the due messages (--all: every one not failed or\n"
        "                        held, now), a line a message (none with --quiet); also\n"
        "                        \"sendmail -q\". Each goes through the account stored with\n"
        "                        it; the account options given here win over its keys.\n"
        "                        Exit 0 when the run ended, also with messages still\n"
        "                        deferred; 1 when a record could not be read or written,\n"
        "                        a message is damaged or the log file cannot be opened.\n"
        "A damaged queue file is listed as damaged and never removed but by queue drop.\n");
}

} // namespace kelmsend
