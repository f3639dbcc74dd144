// Accounts: kelmsend's configuration file, an INI file whose sections are
// accounts and whose keys are kelmsend's long option names without "--".
//
//   # comments start with "#" or ";"
//   [default]
//   server = smtp.example.com:587
//   from = me@example.com
//   auth = true
//   user = me
//   password-command = pass show mail/me
//
// The file is --config FILE, else $KELMSEND_CONFIG, else
// $XDG_CONFIG_HOME/kelmsend/config ($HOME/.config when the variable is not
// set; without HOME, the home folder of the user database). --account NAME
// picks a section; without it [default] is used when the file has one. An
// option given on the command line wins over the account's key; the server
// and its port count as one setting, the three password sources as one,
// and --quiet, --verbose and --trace as one. Switch keys (auth,
// no-validate, ...) take true/false, yes/no, on/off or 1/0. A leading "~/"
// in password-file, oauth-token-file, tls-ca, queue-dir and log-file stands for the home
// folder.
//
// The whole file is checked, every section: a line that is neither a
// [section] nor key = value, an unknown key, a key or section given twice,
// or a bad value ends the run naming the file, the line and the key. A file
// that holds a key leading to a secret (password-file, password-command,
// oauth-token-file) must not be readable by group or others.
//
// The file says where the password goes and which command runs, so only
// its user may be able to change it: it must be a regular file of at most
// 1 MiB owned by the caller or root, with no write access for group or
// others (an ACL entry granting write counts), in a folder that holds to the
// same rule (a sticky folder such as /tmp may be writable by all).
#pragma once

#include "cli/inputs.h"
#include "cli/options.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace kelmsend {

struct ConfigEntry {
    QString key;
    QString value;
    int line = 0;
};

struct ConfigSection {
    QString name;
    int line = 0;
    QList<ConfigEntry> entries;
};

struct ConfigFile {
    QString path;
    QList<ConfigSection> sections;
    const ConfigSection *section(const QString &name) const;
};

struct ConfigParse {
    std::optional<ConfigFile> file;
    QString error; // "PATH:LINE: ..." when the text is refused
};

// Checks and splits the text of the configuration file at `path` (the
// path is only used in messages).
[[nodiscard]] ConfigParse ParseConfig(const QString &path, const QByteArray &text);

// The first key of the file that leads to a secret, "" when there is none.
[[nodiscard]] QString SecretKey(const ConfigFile &file);

// Applies section `name` to `o`, key by key, skipping what the command
// line gave (o.given). Returns "" or "PATH:LINE: KEY: problem".
[[nodiscard]] QString ApplyAccount(Options &o, const ConfigFile &file,
                                   const ConfigSection &section);

// Finds, reads and checks the configuration file for `o` and applies the
// account it asks for. Returns "" (also when there is no file and none was
// asked for) or the message that ends the run.
[[nodiscard]] QString LoadAccount(Options &o, const EnvironmentLookup &env);

// LoadAccount, then the provider's defaults, then CheckLogin: the account of
// a relayed or queued message, ready to send. Returns "" or the first
// problem.
[[nodiscard]] QString LoadAccountToRelay(Options &o, const EnvironmentLookup &env);

} // namespace kelmsend
