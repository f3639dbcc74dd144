// What the options of a send name outside the command line: the attachment
// files, the message text and the password. Everything is fetched and
// checked before the component is given anything, so a missing file or an
// unset password ends the run with a message before any connection.
#pragma once

#include "cli/options.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

namespace kelmsend {

struct Inputs {
    QString body;
    QString password;
    QString oauthToken;
};

// Reads standard input to its end.
using StdinReader = std::function<QByteArray()>;
// The value of an environment variable, nullopt when it is not set.
using EnvironmentLookup = std::function<std::optional<QString>(const QString &name)>;

// Checks every --attach file (it exists, is a regular file and can be
// opened), then fetches the password (when --auth or --pop3 asks for one),
// the OAuth token of a variable or a file (a command's and a sign-in's are
// fetched right before the login, cli/bearer_send.h)
// and the message text (--body, --body-file, else standard input). Returns
// "" on success, otherwise a message that names the option and the file or
// variable.
[[nodiscard]] QString LoadInputs(const Options &options, Inputs &inputs,
                                 const StdinReader &readStdin, const EnvironmentLookup &env);

// Fetches the password that --auth or --pop3 needs: the first line printed
// by --password-command (run by /bin/sh with standard input closed; it must
// print a non-empty line and, when it ends within 2 seconds of that line,
// exit with status 0; the rest of its output is dropped, and it is ended
// after those 2 seconds),
// else the first line of --password-file (a regular file or a pipe), else
// the variable --password-env names. A first line longer than
// kMaxSecretLineBytes, or none within kSecretWaitMs, is refused
// (cli/file_checks.h). Returns "" on success, otherwise a message naming the
// option and the command, file or variable.
[[nodiscard]] QString LoadPassword(const Options &options, QString &password,
                                   const EnvironmentLookup &env);

// The first line that `command` prints, run as --password-command is (the
// same bounds); messages name `option` and the command.
[[nodiscard]] QString RunSecretCommand(const QString &option, const QString &command,
                                       QString &line);

// Fetches the OAuth bearer token that --oauth-token-env, --oauth-token-file
// or --oauth-token-command names (nothing when none is given): the
// variable's value, the file's first line (read as --password-file is) or
// the command's (run as --password-command is), blanks trimmed; an unset
// variable, a missing file or an empty token is refused with a message
// naming the option.
[[nodiscard]] QString LoadOAuthToken(const Options &options, QString &token,
                                     const EnvironmentLookup &env);

// The text of message bytes from a file or a pipe: UTF-8 when the bytes are
// valid UTF-8, otherwise one character per byte (Latin-1). Line ends become
// CRLF (see NormalizeLineEnds).
[[nodiscard]] QString BodyText(const QByteArray &bytes);

// Every LF that does not follow a CR becomes CRLF; CRLF and a lone CR stay.
// The component recognises a text's lines by CRLF (or CR); a file written
// with LF line ends would otherwise count as one long line when the
// component breaks lines longer than 998 characters.
[[nodiscard]] QString NormalizeLineEnds(const QString &text);

} // namespace kelmsend
