// Sendmail mode's -odq and -bp: the prepared message stored into the queue
// without a delivery attempt, and the queue listed.
#pragma once

#include "cli/inputs.h"
#include "cli/options.h"
#include "cli/reporter.h"
#include "cli/sendmail/headers.h"

#include <QIODevice>

namespace kelmsend {

// Streams the prepared header block of `message`, then the rest of `in`,
// into the queue of `options` (cli/queue_command.h), with its envelope and
// account; nothing connects. Returns 0 once the message is durable, with a
// line on `err` naming its id unless --quiet; 73 when it cannot be stored
// (the folder cannot be made or written, the disk is full), 74 when `in`
// cannot be read: then nothing of it is left in the queue.
[[nodiscard]] int StoreForLater(const RelayMessage &message, const Options &options, QIODevice &in,
                                const EnvironmentLookup &env, const Reporter::Writer &err);

// -bp: the queue's lines on `out`; 74 when the folder cannot be read.
[[nodiscard]] int ListForSendmail(const Options &options, const EnvironmentLookup &env,
                                  const Reporter::Writer &out, const Reporter::Writer &err);

} // namespace kelmsend
