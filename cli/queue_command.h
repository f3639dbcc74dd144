// The queue commands of kelmsend, over the outbox's queue folder:
//
//   kelmsend queue list [--json]   a line a message, or a JSON array (outbox/listing.h)
//   kelmsend queue retry ID...     failed or uncertain messages due again at once
//   kelmsend queue drop ID...      messages removed from the queue
//   kelmsend queue flush [--all]   the due messages delivered (cli/queue_delivery.h)
//   mailq [--json]                 the link name for "queue list"
//
// Each also takes --queue-dir FOLDER, --config FILE and --account NAME (for
// the account's queue-dir key), --quiet and --verbose; flush also the
// account options (--server, --log-file, ...), which win over each
// message's account as on a send. The folder is
// --queue-dir, else the account's queue-dir, else
// $XDG_STATE_HOME/kelmsend/queue (~/.local/state/kelmsend/queue).
// Exit status: 0 done (a flush: the run ended, even with messages still
// deferred), 1 failed (an unknown id, a message being delivered, an
// unreadable folder, a damaged message or a record that could not be
// written during a flush; the reason on standard error), 2 usage error.
#pragma once

#include "cli/inputs.h"
#include "cli/options.h"
#include "cli/reporter.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

namespace kelmsend {

enum class QueueVerb { List, Retry, Drop, Flush };

struct QueueCommand {
    QueueVerb verb = QueueVerb::List;
    bool json = false; // list --json
    bool all = false;  // flush --all
    QStringList ids;   // retry, drop
    Options options;   // queue-dir, config, account, verbosity
};

struct QueueParse {
    std::optional<QueueCommand> command;
    QString error;
};

// The arguments after "queue" ("list --json", "drop ID...").
[[nodiscard]] QueueParse ParseQueueArguments(const QStringList &args);

// The queue folder of `options` (see above), absolute; "" with `error` set
// when there is no home folder to put it in.
[[nodiscard]] QString QueueFolderPath(const Options &options, const EnvironmentLookup &env,
                                      QString *error);

// The listing of the folder at `path`: ListText ("queue is empty" for
// none) or ListJson. A folder that does not exist is an empty queue; false,
// with the reason, when it cannot be read.
[[nodiscard]] bool QueueListing(const QString &path, bool json, QByteArray *out, QString *error);

// Runs the command: the account first (for queue-dir), then the verb.
[[nodiscard]] int RunQueueCommand(QueueCommand command, const EnvironmentLookup &env,
                                  const Reporter::Writer &out, const Reporter::Writer &err);

// The part of --help about the queue.
[[nodiscard]] QString QueueHelpText();

} // namespace kelmsend
