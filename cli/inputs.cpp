#include "cli/inputs.h"

#include "cli/file_checks.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStringDecoder>

#include <algorithm>

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

// Once the first line is in, the command has this long to end by itself.
constexpr int kPasswordCommandGraceMs = 2000;

} // namespace

// The first line of what the command prints, read as it arrives: a command
// that prints more (a whole `pass` entry, or `yes`) is not read further.
QString RunSecretCommand(const QString &option, const QString &command, QString &password) {
    const QString named = option + ": \"" + command + "\"";
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
    // Whether the command ended by itself within `waitMs`; else it is killed.
    const auto end = [&shell](int waitMs) {
        if (shell.state() != QProcess::NotRunning && !shell.waitForFinished(waitMs)) {
            shell.kill();
            shell.waitForFinished(5000);
            return false;
        }
        return true;
    };
    // Long enough to unlock a keyring or answer a pinentry prompt.
    const QDeadlineTimer deadline(kSecretWaitMs);
    QByteArray output;
    while (!output.contains('\n') && output.size() <= kMaxSecretLineBytes &&
           shell.state() != QProcess::NotRunning && !deadline.hasExpired()) {
        shell.waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
        output += shell.read(kMaxSecretLineBytes + 1 - output.size());
    }
    output += shell.read(kMaxSecretLineBytes + 1 - output.size());
    const qsizetype lineEnd = output.indexOf('\n');
    if (lineEnd < 0 && output.size() > kMaxSecretLineBytes) {
        end(0);
        return named + " printed a first line longer than " +
               QString::number(kMaxSecretLineBytes / 1024) + " KiB";
    }
    if (lineEnd < 0 && shell.state() != QProcess::NotRunning) {
        end(0);
        return named + " did not finish within " + QString::number(kSecretWaitMs / 1000) +
               " seconds";
    }
    // What follows the first line is dropped as it comes (Qt discards what
    // a closed channel delivers): the command may end by itself within the
    // grace time, and its exit status then counts; else it is ended.
    shell.closeReadChannel(QProcess::StandardOutput);
    const bool endedByItself = end(kPasswordCommandGraceMs);
    if (endedByItself && shell.exitStatus() == QProcess::NormalExit && shell.exitCode() != 0) {
        return named + " failed (exit status " + QString::number(shell.exitCode()) + ")";
    }
    // After the first line a signal is kelmsend's own doing.
    if (shell.exitStatus() != QProcess::NormalExit && lineEnd < 0) {
        return named + " failed (ended by a signal)";
    }
    QByteArray line = lineEnd >= 0 ? output.left(lineEnd) : output;
    if (line.endsWith('\r')) {
        line.chop(1);
    }
    if (line.isEmpty()) {
        return named + " printed no " +
               (option.contains(QLatin1String("password")) ? QStringLiteral("password")
                                                           : QStringLiteral("token"));
    }
    password = QString::fromUtf8(line);
    return QString();
}

namespace {

// The first line of a password or token file, without its line end.
QString readFirstLine(const QString &option, const QString &path, QByteArray &line) {
    const FileContent c = ReadBoundedFile(option, path, {kMaxSecretLineBytes, true, true});
    if (!c.error.isEmpty()) {
        return c.error;
    }
    line = c.bytes;
    if (line.endsWith('\n')) {
        line.chop(1);
    }
    if (line.endsWith('\r')) {
        line.chop(1);
    }
    return QString();
}

} // namespace

QString LoadPassword(const Options &o, QString &password, const EnvironmentLookup &env) {
    if (!o.passwordCommand.isEmpty()) {
        return RunSecretCommand(QStringLiteral("--password-command"), o.passwordCommand, password);
    }
    if (!o.passwordFile.isEmpty()) {
        QByteArray line;
        if (QString problem = readFirstLine("--password-file", o.passwordFile, line);
            !problem.isEmpty()) {
            return problem;
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
        QByteArray line;
        if (QString problem = readFirstLine("--oauth-token-file", o.oauthTokenFile, line);
            !problem.isEmpty()) {
            return problem;
        }
        token = QString::fromUtf8(line).trimmed();
        if (token.isEmpty()) {
            return "--oauth-token-file: no token on the first line of " + o.oauthTokenFile;
        }
    } else if (!o.oauthTokenCommand.isEmpty()) {
        if (QString problem = RunSecretCommand(QStringLiteral("--oauth-token-command"),
                                               o.oauthTokenCommand, token);
            !problem.isEmpty()) {
            return problem;
        }
        token = token.trimmed();
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
    // A command's token and the sign-in's are fetched right before the login.
    if (o.auth && o.oauthTokenCommand.isEmpty() && !o.signsIn()) {
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
