// Sendmail mode and the queue: the prepared message stored and tried at
// once (the default), stored without a try (-odq), the queue delivered (-q)
// and listed (-bp).
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

// Sendmail mode's default: the prepared message stored as StoreForLater
// does, then tried at once through the account (cli/queue_delivery.h).
// 0 once it is stored, whatever the try gave, with a line on `err` naming
// the id and what is pending (none with --quiet or -q); 67 or 69 when every
// recipient was refused for good on that first try (the message is kept
// as failed, no notice follows); 73 when it cannot be stored, 74 when `in`
// cannot be read.
[[nodiscard]] int StoreAndDeliver(const RelayMessage &message, const Options &commandLine,
                                  const Options &options, QIODevice &in,
                                  const EnvironmentLookup &env, const Reporter::Writer &err,
                                  Reporter &reporter);

// -q: the due messages of the queue delivered (kelmsend queue flush): 0
// when the run ended, 73 when the folder cannot be opened, 74 when a record
// cannot be read or written.
[[nodiscard]] int FlushForSendmail(const Options &commandLine, const Options &options,
                                   const EnvironmentLookup &env, const Reporter::Writer &out,
                                   const Reporter::Writer &err);

// -bp: the queue's lines on `out`; 74 when the folder cannot be read.
[[nodiscard]] int ListForSendmail(const Options &options, const EnvironmentLookup &env,
                                  const Reporter::Writer &out, const Reporter::Writer &err);

} // namespace kelmsend
