// The exit status of sendmail mode, as the programs that hand kelmsend their
// mail read it: the values of <sysexits.h>. Outside sendmail mode kelmsend
// keeps its own 0, 1 and 2 (cli/options.h).
//
//   0   EX_OK           the message is stored in the queue (delivered, deferred,
//                       or delivered to some with a notice for the others);
//                       -odq: stored; --no-queue: the server accepted it for
//                       every recipient
//   64  EX_USAGE        the command line cannot be used
//   65  EX_DATAERR      the message cannot be used (its header block, the
//                       addresses its fields name)
//   67  EX_NOUSER       the server refused for good, naming the address
//                       (a 5.1.x status): nothing went out
//   69  EX_UNAVAILABLE  the server refused for good otherwise: nothing went out
//   73  EX_CANTCREAT    the message was neither sent nor kept anywhere: the
//                       server deferred it (4xx), could not be reached, the
//                       connection, TLS or the login failed, or no temporary
//                       copy could be made, or (-odq) the queue could
//                       not store it. Never 75 (EX_TEMPFAIL): callers
//                       such as PHP take that for "it will be sent later".
//   74  EX_IOERR        standard input (-bp: the queue folder) could not be read
//   78  EX_CONFIG       the configuration file, the login settings, the
//                       password source or the sender's address is unusable
#pragma once

#include <QString>
#include <QStringList>

namespace kelmsend {

// What became of a run of sendmail mode.
enum class SendmailOutcome {
    Sent,
    Usage,         // the command line
    BadMessage,    // the message read from standard input
    InputError,    // standard input could not be read
    Configuration, // the account, the login settings, the password, the sender
    CannotCopy,    // no temporary copy of the message could be written
    SendFailed,    // the component reported failures (their texts are given)
};

// How the server's refusal in a failure text of the component reads:
// temporary or not a reply at all (a connection, TLS or login failure),
// refused for good naming a recipient's address (5.1.x but 5.1.7 and
// 5.1.8, which concern the sender), or refused for good otherwise.
enum class Refusal { NotFinal, Address, Other };
[[nodiscard]] Refusal ClassifyFailure(const QString &failure);

// The exit status of `outcome`; for SendFailed, from the failure texts: 67
// when every one is an Address refusal, 69 when every one is final, else 73.
[[nodiscard]] int SendmailExitStatus(SendmailOutcome outcome, const QStringList &failures = {});

// The table above, for --help and the error texts.
[[nodiscard]] QString SendmailExitStatusHelp();

} // namespace kelmsend
