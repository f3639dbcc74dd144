#include "cli/home.h"

#include <QDir>
#include <QFile>

#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace kelmsend {

namespace {

QString userDatabaseHome() {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(static_cast<std::size_t>(size > 0 ? size : 16384));
    passwd entry{};
    passwd *found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
        !found->pw_dir) {
        return QString();
    }
    return QFile::decodeName(found->pw_dir);
}

} // namespace

QString HomeFolder(const EnvironmentLookup &env) {
    const QString home = env(QStringLiteral("HOME")).value_or(QString());
    if (!home.isEmpty() && QDir::isAbsolutePath(home)) {
        return home;
    }
    const QString entry = userDatabaseHome();
    return QDir::isAbsolutePath(entry) ? entry : QString();
}

QString XdgFolder(const EnvironmentLookup &env, const QString &variable, const QString &underHome) {
    const QString value = env(variable).value_or(QString());
    if (!value.isEmpty() && QDir::isAbsolutePath(value)) {
        return value;
    }
    return HomeFolder(env) + underHome;
}

std::optional<QString> ProcessEnvironment(const QString &name) {
    const QByteArray key = name.toLocal8Bit();
    if (!qEnvironmentVariableIsSet(key.constData())) {
        return std::nullopt;
    }
    return qEnvironmentVariable(key.constData());
}

} // namespace kelmsend
