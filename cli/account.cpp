#include "cli/account.h"

#include "cli/file_checks.h"
#include "cli/home.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace kelmsend {

namespace {

const QStringList kSecretKeys{"password-file", "password-command", "oauth-token-file",
                              "oauth-token-command", "oauth-client-secret"};

// Keys of one group stand for one setting: the command line giving any of
// them overrides all of them.
const QList<QStringList> kGroups{
    {"server", "port"},
    {"password-env", "password-file", "password-command"},
    {"oauth-token-env", "oauth-token-file", "oauth-token-command", "oauth-provider"},
    {"quiet", "verbose", "trace"}};

QStringList groupOf(const QString &key) {
    for (const QStringList &group : kGroups) {
        if (group.contains(key)) {
            return group;
        }
    }
    return {key};
}

std::optional<bool> switchValue(const QString &value) {
    return SwitchWord(value);
}

QString at(const QString &path, int line) {
    return path + ":" + QString::number(line) + ": ";
}

} // namespace

const ConfigSection *ConfigFile::section(const QString &name) const {
    for (const ConfigSection &s : sections) {
        if (s.name == name) {
            return &s;
        }
    }
    return nullptr;
}

ConfigParse ParseConfig(const QString &path, const QByteArray &text) {
    ConfigFile file;
    file.path = path;
    const QList<QByteArray> lines = text.split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const int number = static_cast<int>(i + 1);
        const QString line = QString::fromUtf8(lines[i]).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')) ||
            line.startsWith(QLatin1Char(';'))) {
            continue;
        }
        if (line.startsWith(QLatin1Char('['))) {
            const QString name = line.mid(1, line.size() - 2).trimmed();
            if (!line.endsWith(QLatin1Char(']')) || name.isEmpty() ||
                name.contains(QLatin1Char('[')) || name.contains(QLatin1Char(']'))) {
                return {std::nullopt, at(path, number) + "not a [NAME] section line: " + line};
            }
            if (const ConfigSection *earlier = file.section(name)) {
                return {std::nullopt, at(path, number) + "account [" + name +
                                          "] is already defined on line " +
                                          QString::number(earlier->line)};
            }
            file.sections.append(ConfigSection{name, number, {}});
            continue;
        }
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        const QString key = eq >= 0 ? line.left(eq).trimmed() : QString();
        if (key.isEmpty()) {
            return {std::nullopt,
                    at(path, number) + "not a [NAME] section or KEY = VALUE line: " + line};
        }
        if (!IsAccountKey(key)) {
            QString why = at(path, number) + "unknown key \"" + key + "\"";
            if (key == QLatin1String("password")) {
                why += ": the file holds no passwords; use password-file or password-command";
            } else {
                why += " (the keys: " + AccountKeys().join(QStringLiteral(", ")) + ")";
            }
            return {std::nullopt, why};
        }
        if (file.sections.isEmpty()) {
            return {std::nullopt, at(path, number) + "key \"" + key +
                                      "\" stands before the first [NAME] section"};
        }
        ConfigSection &current = file.sections.last();
        for (const ConfigEntry &e : current.entries) {
            if (e.key == key) {
                return {std::nullopt, at(path, number) + "key \"" + key +
                                          "\" is already set on line " + QString::number(e.line)};
            }
        }
        current.entries.append(ConfigEntry{key, line.mid(eq + 1).trimmed(), number});
    }
    return {file, QString()};
}

QString SecretKey(const ConfigFile &file) {
    for (const ConfigSection &s : file.sections) {
        for (const ConfigEntry &e : s.entries) {
            if (kSecretKeys.contains(e.key)) {
                return e.key;
            }
        }
    }
    return QString();
}

QString ApplyAccount(Options &o, const ConfigFile &file, const ConfigSection &section) {
    const ConfigEntry *passwordSource = nullptr;
    for (const ConfigEntry &e : section.entries) {
        bool overridden = false;
        for (const QString &member : groupOf(e.key)) {
            overridden = overridden || o.isGiven("--" + member);
        }
        if (overridden) {
            continue;
        }
        const QString where = at(file.path, e.line) + e.key + ": ";
        QString value = e.value;
        if (LongOptionKind(e.key) == OptionKind::Switch) {
            const std::optional<bool> on = switchValue(value);
            if (!on) {
                return where + "must be true or false, not \"" + value + "\"";
            }
            if (!*on) {
                continue;
            }
            value.clear();
        }
        if (groupOf(e.key).contains(QStringLiteral("password-file"))) {
            if (passwordSource) {
                return where + "the account already takes its password from " +
                       passwordSource->key + " (line " + QString::number(passwordSource->line) +
                       "); keep one";
            }
            passwordSource = &e;
        }
        static const QStringList kFileKeys{"password-file", "oauth-token-file", "tls-ca",
                                           "queue-dir", "log-file"};
        if (kFileKeys.contains(e.key) && value.startsWith(QLatin1String("~/"))) {
            value = HomeFolder(ProcessEnvironment) + value.mid(1);
        }
        if (const QString problem = ApplyLongOption(o, e.key, value); !problem.isEmpty()) {
            return where + problem;
        }
    }
    return QString();
}

QString LoadAccount(Options &o, const EnvironmentLookup &env) {
    QString path;
    QString named; // how the user named the file, when they did
    if (!o.config.isEmpty()) {
        path = o.config;
        named = QStringLiteral("--config");
    } else if (const std::optional<QString> v = env(QStringLiteral("KELMSEND_CONFIG"));
               v && !v->isEmpty()) {
        path = *v;
        named = QStringLiteral("KELMSEND_CONFIG");
    } else {
        path = XdgFolder(env, QStringLiteral("XDG_CONFIG_HOME"), QStringLiteral("/.config")) +
               "/kelmsend/config";
    }

    const QFileInfo info(path);
    if (!info.exists()) {
        if (!named.isEmpty()) {
            return named + ": no such file: " + path;
        }
        if (!o.account.isEmpty()) {
            return "--account " + o.account + ": there is no configuration file (" + path + ")";
        }
        return QString();
    }
    const FileContent content =
        ReadBoundedFile(named.isEmpty() ? QStringLiteral("the configuration file") : named, path,
                        {kMaxConfigBytes, false, false});
    if (!content.error.isEmpty()) {
        return content.error;
    }
    // Whoever can change the file chooses the server that gets the password
    // and the commands that run.
    if (const QString problem = CheckOnlyOwnerCanChange(path, content); !problem.isEmpty()) {
        return problem;
    }
    const ConfigParse parsed = ParseConfig(path, content.bytes);
    if (!parsed.file) {
        return parsed.error;
    }
    if (const QString secret = SecretKey(*parsed.file);
        !secret.isEmpty() && (content.mode & (S_IRGRP | S_IROTH))) {
        return path + " holds " + secret +
               " and can be read by other users; make it private: chmod 600 " + path;
    }
    const QString name = o.account.isEmpty() ? QStringLiteral("default") : o.account;
    const ConfigSection *section = parsed.file->section(name);
    if (!section) {
        return o.account.isEmpty()
                   ? QString()
                   : "--account " + o.account + ": " + path + " has no [" + o.account + "] section";
    }
    return ApplyAccount(o, *parsed.file, *section);
}

QString LoadAccountToRelay(Options &o, const EnvironmentLookup &env) {
    QString problem = LoadAccount(o, env);
    if (problem.isEmpty()) {
        problem = ApplyProviderDefaults(o);
    }
    return problem.isEmpty() ? CheckLogin(o) : problem;
}

} // namespace kelmsend
