// Helpers for the tests that run the kelmsend executable: the process with a
// bounded wait, the aiosmtpd server of tests/support/smtp_server.py, the
// message parser of tests/support/parse_message.py, and a listener that
// tells whether anything connected to it.
#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "smtp_server.h"
#include "temp_files.h"

#include <map>

namespace clitest {

using testsupport::Python;
using testsupport::SmtpServer;
using testsupport::SupportScript;

inline QString Kelmsend() {
    const QString given = qEnvironmentVariable("KELMSEND");
    return given.isEmpty() ? qEnvironmentVariable("KELM_BINARY_DIR") + "/cli/kelmsend" : given;
}

// `text` as one word of a shell command line (git runs --sendmail-cmd
// through sh; the build folder may hold spaces).
inline QString ShellQuoted(QString text) {
    return "'" + text.replace("'", "'\\''") + "'";
}

struct Finished {
    bool finished = false;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    std::string describe() const {
        return "exit " + std::to_string(exitCode) + (finished ? "" : " (did not finish)") +
               "\nstderr: " + err.toStdString();
    }
};

// The test's environment plus `env` (an empty value removes the variable).
// kelmsend's own variables are removed and XDG_CONFIG_HOME points at a
// folder that does not exist, unless `env` sets them.
inline QProcessEnvironment TestEnvironment(const std::map<QString, QString> &env) {
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.remove("KELMSEND_PASSWORD");
    e.remove("KELMSEND_NAMESERVER");
    e.remove("KELMSEND_DOMAIN");
    // No account of the machine's user reaches a test: its configuration
    // file, if any, stays out of sight unless the test names one.
    e.remove("KELMSEND_CONFIG");
    e.insert("XDG_CONFIG_HOME", "/nonexistent/kelm-tests-config");
    // Sendmail mode keeps its queue under the state home: one of the test
    // process's own, never the user's.
    static QTemporaryDir state;
    e.insert("XDG_STATE_HOME", state.path());
    for (const auto &[key, value] : env) {
        if (value.isEmpty()) {
            e.remove(key);
        } else {
            e.insert(key, value);
        }
    }
    return e;
}

// Runs `program` with `args`, `input` on its standard input, in
// TestEnvironment(env).
inline Finished RunProgram(const QString &program, const QStringList &args,
                           const QByteArray &input = {}, const std::map<QString, QString> &env = {},
                           int limitMs = 120000) {
    QProcess p;
    p.setProcessEnvironment(TestEnvironment(env));
    p.start(program, args);
    Finished r;
    if (!p.waitForStarted(10000)) {
        r.err = "could not start " + program.toUtf8();
        return r;
    }
    p.write(input);
    p.closeWriteChannel();
    r.finished = p.waitForFinished(limitMs) && p.exitStatus() == QProcess::NormalExit;
    if (!r.finished) {
        p.kill();
        p.waitForFinished(5000);
    }
    r.exitCode = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

inline Finished RunKelmsend(const QStringList &args, const QByteArray &input = {},
                            const std::map<QString, QString> &env = {}) {
    return RunProgram(Kelmsend(), args, input, env);
}

// A port on 127.0.0.1 that accepts connections and only counts them.
class Listener {
public:
    Listener() { m_Server.listen(QHostAddress::LocalHost, 0); }
    QString address() const { return "127.0.0.1:" + QString::number(m_Server.serverPort()); }
    // Whether a connection was made (and is waiting to be accepted).
    bool contacted() {
        return m_Server.hasPendingConnections() || m_Server.waitForNewConnection(300);
    }

private:
    QTcpServer m_Server;
};

// Python's email package's view of a message file (see parse_message.py).
inline QJsonObject ParseMessage(const QString &eml) {
    const Finished r = RunProgram(Python, {SupportScript("parse_message.py"), eml}, {}, {}, 60000);
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    return QJsonDocument::fromJson(r.out).object();
}

inline QByteArray RandomBytes(qsizetype n, quint32 seed) {
    QByteArray b(n, Qt::Uninitialized);
    QRandomGenerator g(seed);
    for (qsizetype i = 0; i < n; ++i) {
        b[i] = static_cast<char>(g.bounded(256));
    }
    return b;
}

inline QString Sha256(const QByteArray &b) {
    return QString::fromLatin1(QCryptographicHash::hash(b, QCryptographicHash::Sha256).toHex());
}

} // namespace clitest
