// Where the user's files are when the environment does not say: a program
// started by a system service (cron, a web server's PHP) may run without
// HOME, or with it empty.
#pragma once

#include "cli/inputs.h"

#include <QString>

namespace kelmsend {

// $HOME when it is set to an absolute path, else the home folder of the
// process's user in the user database (getpwuid), else "".
[[nodiscard]] QString HomeFolder(const EnvironmentLookup &env);

// $variable when it is set to an absolute path (XDG_CONFIG_HOME, ...), else
// `underHome` ("/.config") after HomeFolder.
[[nodiscard]] QString XdgFolder(const EnvironmentLookup &env, const QString &variable,
                                const QString &underHome);

// The variables of this process, as an EnvironmentLookup.
[[nodiscard]] std::optional<QString> ProcessEnvironment(const QString &name);

} // namespace kelmsend
