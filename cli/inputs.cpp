#include "cli/inputs.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStringDecoder>

namespace kelmsend {

namespace {

QString checkAttachment(const QString &path) {
    const QFileInfo info(path);
    if (!info.exists()) {
        return "--attach: no such file: " + path;
    }
    if (!info.isFile()) {
        return "--attach: not a regular file: " + path;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return "--attach: cannot read " + path + ": " + file.errorString();
    }
    return QString();
}

QString readFile(const QString &option, const QString &path, QByteArray &bytes) {
    // Pipes count: --body-file <(command) is a shell habit.
    const QFileInfo info(path);
    if (!info.exists()) {
        return option + ": no such file: " + path;
    }
    if (info.isDir()) {
        return option + ": is a directory: " + path;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return option + ": cannot read " + path + ": " + file.errorString();
    }
    bytes = file.readAll();
    return QString();
}

// Long enough to unlock a keyring or answer a pinentry prompt.
constexpr int kPasswordCommandLimitMs = 300 * 1000;

QString runPasswordCommand(const QString &command, QString &password) {
    const QString named = "--password-command: \"" + command + "\"";
    QProcess shell;
    shell.setProgram(QStringLiteral("/bin/sh"));
    shell.setArguments({QStringLiteral("-c"), command});
    // Standard input may be the message itself (sendmail mode): the command
    // must not eat it. Its prompts and errors go where kelmsend's go.
    shell.setStandardInputFile(QProcess::nullDevice());
    shell.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    shell.start();
    if (!shell.waitForStarted(30000)) {
        return named + " could not be started: " + shell.errorString();
    }
    if (!shell.waitForFinished(kPasswordCommandLimitMs)) {
        shell.kill();
        shell.waitForFinished(5000);
        return named + " did not finish within " + QString::number(kPasswordCommandLimitMs / 1000) +
               " seconds";
    }
    if (shell.exitStatus() != QProcess::NormalExit) {
        return named + " failed (ended by a signal)";
    }
    if (shell.exitCode() != 0) {
        return named + " failed (exit status " + QString::number(shell.exitCode()) + ")";
    }
    const QByteArray output = shell.readAllStandardOutput();
    const qsizetype end = output.indexOf('\n');
    QByteArray line = end >= 0 ? output.left(end) : output;
    if (line.endsWith('\r')) {
        line.chop(1);
    }
    if (line.isEmpty()) {
        return named + " printed no password";
    }
    password = QString::fromUtf8(line);
    return QString();
}

} // namespace

QString LoadPassword(const Options &o, QString &password, const EnvironmentLookup &env) {
    if (!o.passwordCommand.isEmpty()) {
        return runPasswordCommand(o.passwordCommand, password);
    }
    if (!o.passwordFile.isEmpty()) {
        QByteArray bytes;
        if (QString problem = readFile("--password-file", o.passwordFile, bytes);
            !problem.isEmpty()) {
            return problem;
        }
        // The first line, without its line end.
        const qsizetype end = bytes.indexOf('\n');
        QByteArray line = end >= 0 ? bytes.left(end) : bytes;
        if (line.endsWith('\r')) {
            line.chop(1);
        }
        password = QString::fromUtf8(line);
        return QString();
    }
    const std::optional<QString> value = env(o.passwordEnv);
    if (!value) {
        const QString who = o.auth ? QStringLiteral("--auth") : QStringLiteral("--pop3");
        return o.passwordEnvSet ? "--password-env: the variable " + o.passwordEnv + " is not set"
                                : who + " needs a password: set " + o.passwordEnv +
                                      " in the environment, or give --password-env NAME or "
                                      "--password-file FILE";
    }
    password = *value;
    return QString();
}

QString LoadOAuthToken(const Options &o, QString &token, const EnvironmentLookup &env) {
    if (!o.oauthTokenFile.isEmpty()) {
        QByteArray bytes;
        if (QString problem = readFile("--oauth-token-file", o.oauthTokenFile, bytes);
            !problem.isEmpty()) {
            return problem;
        }
        const qsizetype end = bytes.indexOf('\n');
        token = QString::fromUtf8(end >= 0 ? bytes.left(end) : bytes).trimmed();
        if (token.isEmpty()) {
            return "--oauth-token-file: no token on the first line of " + o.oauthTokenFile;
        }
    } else if (!o.oauthTokenEnv.isEmpty()) {
        const std::optional<QString> value = env(o.oauthTokenEnv);
        if (!value || value->trimmed().isEmpty()) {
            return "--oauth-token-env: the variable " + o.oauthTokenEnv +
                   (value ? QStringLiteral(" is empty") : QStringLiteral(" is not set"));
        }
        token = value->trimmed();
    }
    return QString();
}

QString NormalizeLineEnds(const QString &text) {
    QString out;
    out.reserve(text.size() + text.size() / 32);
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('\n') && (i == 0 || text[i - 1] != QLatin1Char('\r'))) {
            out += QLatin1Char('\r');
        }
        out += text[i];
    }
    return out;
}

QString BodyText(const QByteArray &bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (utf8.hasError()) {
        text = QString::fromLatin1(bytes);
    }
    return NormalizeLineEnds(text);
}

QString LoadInputs(const Options &o, Inputs &inputs, const StdinReader &readStdin,
                   const EnvironmentLookup &env) {
    for (const QString &path : o.attachments) {
        if (QString problem = checkAttachment(path); !problem.isEmpty()) {
            return problem;
        }
    }
    if (o.needsPassword()) {
        if (QString problem = LoadPassword(o, inputs.password, env); !problem.isEmpty()) {
            return problem;
        }
    }
    if (o.auth) {
        if (QString problem = LoadOAuthToken(o, inputs.oauthToken, env); !problem.isEmpty()) {
            return problem;
        }
    }
    if (o.body) {
        inputs.body = NormalizeLineEnds(*o.body);
    } else if (!o.bodyFile.isEmpty() && o.bodyFile != QLatin1String("-")) {
        QByteArray bytes;
        if (QString problem = readFile("--body-file", o.bodyFile, bytes); !problem.isEmpty()) {
            return problem;
        }
        inputs.body = BodyText(bytes);
    } else {
        inputs.body = BodyText(readStdin());
    }
    return QString();
}

} // namespace kelmsend
