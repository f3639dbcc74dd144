// The command line of sendmail mode, the form in which programs hand a
// finished message to the machine's mail sender:
//
//   sendmail [-t] [-i] [-f ADDRESS] [-F NAME] [--account NAME] [--] [RECIPIENT...] < message
//
//   -t              also send to the addresses of the To, Cc and Bcc fields
//   -f ADDRESS      the envelope sender (also -fADDRESS; -r is the same)
//   -F NAME         the sender's name, used only for a message without From
//   -i, -oi         accepted: a line holding only "." never ends the input
//   -odi -odb -odq -oem -oee -oep -oeq -oew -om -bm -B TYPE
//                   accepted; they change nothing here
//   -v              as --verbose
//   --              the rest are recipients
//
// kelmsend's long options that describe an account (--server, --auth,
// --user, --password-command, ..., see IsAccountKey) and --account and
// --config are taken as well; the options that compose a message are not,
// since the message arrives whole. A RECIPIENT argument may hold several
// addresses separated by ",", with or without display names.
#pragma once

#include "cli/options.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace kelmsend {

struct SendmailArguments {
    Options options;                // the long options, as kelmsend's
    bool extractRecipients = false; // -t
    QString envelopeSender;         // -f
    QString fromName;               // -F
    QStringList recipients;         // the addresses of the arguments, in order
};

struct SendmailParse {
    std::optional<SendmailArguments> arguments;
    QString error; // the message when the command line cannot be used
};

[[nodiscard]] SendmailParse ParseSendmailArguments(const QStringList &args);

// Whether kelmsend runs in sendmail mode: when it was started through a
// link or copy named "sendmail" (`program` is argv[0] as given, not the
// resolved path), or when the first argument is -t, -i, -oi or -f (-fADDRESS).
[[nodiscard]] bool IsSendmailInvocation(const QString &program, const QStringList &args);

} // namespace kelmsend
