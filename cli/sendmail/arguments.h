// The command line of sendmail mode, the form in which programs hand a
// finished message to the machine's mail sender:
//
//   sendmail [-t] [-i] [-f ADDRESS] [-F NAME] [--account NAME] [--] [RECIPIENT...] < message
//
//   -t              also send to the addresses of the To, Cc and Bcc fields
//   -f ADDRESS      the envelope sender (also -fADDRESS; -r is the same)
//   -F NAME         the sender's name, used only for a message without From
//   -i, -oi         accepted: a line holding only "." never ends the input
//   -odi -odb       deliver now (-odb: the caller need not wait, kelmsend
//                   still delivers before it exits)
//   -odq            store the message for a later delivery
//   -oem -oee -oep -oeq -oew   how errors are reported (recorded)
//   -om -bm -B TYPE accepted; they change nothing here
//   -N DSN          never, or success, failure, delay joined with ","
//   -R RET          full or hdrs
//   -bp             list the queue
//   -q              deliver what the queue holds
//   -v              as --verbose
//   --              the rest are recipients
//
// kelmsend's long options that describe an account (--server, --auth,
// --user, --password-command, ..., see IsAccountKey) and --account and
// --config are taken as well, before or after the flags; the options that
// compose a message are not, since the message arrives whole. A RECIPIENT
// argument may hold several addresses separated by ",", with or without
// display names.
#pragma once

#include "cli/options.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace kelmsend {

// What the run is asked to do.
enum class SendmailAction {
    Send,       // relay the message on standard input
    ListQueue,  // -bp
    FlushQueue, // -q
};

// -od: when the message is delivered.
enum class DeliveryMode {
    Interactive, // -odi (the default): now, the caller waits
    Background,  // -odb: now as well
    QueueOnly,   // -odq: stored, delivered by a later flush
};

struct SendmailArguments {
    Options options;                // the long options, as kelmsend's
    bool extractRecipients = false; // -t
    QString envelopeSender;         // -f
    QString fromName;               // -F
    QStringList recipients;         // the addresses of the arguments, in order
    SendmailAction action = SendmailAction::Send;
    DeliveryMode delivery = DeliveryMode::Interactive;
    QChar errorMode = QLatin1Char('p'); // -oe?: p print, m mail, e, q, w
    QStringList dsnNotify;              // -N, lower case; empty when not given
    QString dsnReturn;                  // -R: "full" or "hdrs"; "" when not given
    // Started as sendmail (or with its flags): the queue is used unless
    // --no-queue. A finished message relayed from kelmsend's own command
    // line uses it with --queue only.
    bool sendmailRole = true;
};

struct SendmailParse {
    std::optional<SendmailArguments> arguments;
    QString error; // the message when the command line cannot be used
};

[[nodiscard]] SendmailParse ParseSendmailArguments(const QStringList &args);

// Whether kelmsend runs in sendmail mode: when it was started through a
// link or copy named "sendmail" (`program` is argv[0] as given, not the
// resolved path), or when an argument before "--" is a flag of sendmail's
// command line that kelmsend's own does not have (-t, -i, -f ADDRESS, -o..,
// -b.., -F, -r, -B, -N, -R); the values of kelmsend's options are skipped
// ("kelmsend --account work -t -i" and "kelmsend --config F -t" relay).
[[nodiscard]] bool IsSendmailInvocation(const QString &program, const QStringList &args);

// For kelmsend's own command line (a send, parsed by ParseArguments): the
// arguments of sendmail mode when no option composes a message (only the
// account options, --account, --config and --to or RECIPIENT arguments are
// given), so that a finished message on standard input ("kelmsend
// --account work -- RECIPIENT < message", as mail readers call it) is
// relayed instead of wrapped into a new one; nullopt otherwise.
[[nodiscard]] std::optional<SendmailArguments> RelayArguments(const Options &options);

// The part of --help about sendmail mode.
[[nodiscard]] QString SendmailHelpText();

} // namespace kelmsend
