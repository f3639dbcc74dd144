// kelmsend auth: the OAuth sign-in of an account.
//
//   kelmsend auth login  [--account NAME]   sign in (device or browser flow), keep the tokens
//   kelmsend auth status [--account NAME]   signed in or not, the expiry, the scope, the store
//   kelmsend auth logout [--account NAME]   remove the account's tokens
//
// The account's keys come from the configuration file (cli/account.h); the
// oauth-* options, --token-store, --config, --timeout and -q/-v/--trace may
// also be given. No token is ever printed.
#pragma once

#include "cli/inputs.h"

#include <QByteArray>
#include <QStringList>

#include <functional>

namespace kelmsend {

struct AuthConsole {
    std::function<void(const QByteArray &)> out; // what the user acts on
    std::function<void(const QByteArray &)> err; // errors and notes
};

// What `kelmsend auth --help` (also after a verb) prints: the usage, each
// option, where the tokens are kept, the exit statuses.
[[nodiscard]] QString AuthHelpText();

// `args` follow the word "auth" (--help or -h among them: the help, exit 0).
// Returns kelmsend's exit status: 0, 1 (not
// signed in, or the sign-in failed), 2 (usage or configuration), 77 (the
// user refused the sign-in or did not finish it in time).
[[nodiscard]] int RunAuth(const QStringList &args, const EnvironmentLookup &env,
                          const AuthConsole &console);

} // namespace kelmsend
