// Sendmail mode from start to end: the account, the header block from
// standard input, the envelope, the password, then the component's Relay.
#pragma once

#include "cli/inputs.h"
#include "cli/reporter.h"
#include "cli/sendmail/arguments.h"

#include <QFile>

namespace kelmsend {

// Where reports go.
struct Console {
    Reporter::Writer err;  // standard error
    bool terminal = false; // standard error is a terminal
    Reporter::Clock clock;
    Reporter::Writer out = {}; // standard output, for -bp
};

// Relays the message on `in` (standard input) as `arguments` say and
// returns the exit status of cli/sendmail/exit_status.h. In sendmail mode
// (and with --queue) the prepared message is stored in the queue first and
// then tried (StoreAndDeliver, cli/sendmail/queue_only.h): 0 once stored,
// 67 or 69 when every recipient was refused on that first try, 73 when it
// cannot be stored. With --no-queue (and for a relayed finished message
// without --queue) it is sent directly: 0 when the server accepted it; 67,
// 69 or 73 when it was refused or the send failed (the reason on standard
// error). 64, 65, 74 or 78 when the command line, the message's header
// block, the envelope (no recipient, no sender, an invalid address), the
// configuration file or the password is unusable, and then nothing
// connects. A sender without a domain with a dot is replaced by the
// account's from when it has one (cli/sendmail/sender.h). -odq stores the
// prepared message without a try, -bp lists the queue, -q delivers its due
// messages.
//
// The body is not held in memory: it is streamed into the queue, or, sent
// directly, a pipe or terminal on standard input is first copied to a
// temporary file, so that the session with the server opens only once the
// whole message is there (a slow writer, such as a long cron job, never
// holds a session open); a regular file is read in place.
int RunSendmail(SendmailArguments arguments, const EnvironmentLookup &env, QFile &in,
                const Console &console);

} // namespace kelmsend
