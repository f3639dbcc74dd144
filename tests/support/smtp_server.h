// A real SMTP server for tests: aiosmtpd (tests/support/smtp_server.py) on
// 127.0.0.1 (or another address given with "--bind"), started and stopped by
// the test, storing what it accepts.
#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace testsupport {

inline const QString Python = QStringLiteral("/usr/bin/python3");

// A file of tests/support in the source tree (KELM_SOURCE_DIR is set by CTest).
inline QString SupportScript(const QString &name) {
    return qEnvironmentVariable("KELM_SOURCE_DIR") + "/tests/support/" + name;
}

// The aiosmtpd server for one test, storing messages in its own folder.
class SmtpServer {
public:
    explicit SmtpServer(const QStringList &extra = {}) {
        if (const qsizetype bind = extra.indexOf("--bind"); bind >= 0 && bind + 1 < extra.size()) {
            m_Host = extra[bind + 1];
        }
        m_Process.setProgram(Python);
        m_Process.setArguments(QStringList{SupportScript("smtp_server.py"), m_Dir.path()} + extra);
        m_Process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_Process.start();
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 15000 && !m_Process.canReadLine() &&
               m_Process.state() != QProcess::NotRunning) {
            m_Process.waitForReadyRead(200);
        }
        const QByteArray line = m_Process.readLine().trimmed();
        if (line.startsWith("READY ")) {
            m_Port = line.mid(6).toUShort();
        }
    }
    ~SmtpServer() {
        m_Process.closeWriteChannel();
        if (!m_Process.waitForFinished(5000)) {
            m_Process.kill();
            m_Process.waitForFinished(5000);
        }
    }
    quint16 port() const { return m_Port; }
    // HOST:PORT, an IPv6 host in brackets.
    QString address() const {
        const QString host = m_Host.contains(':') ? "[" + m_Host + "]" : m_Host;
        return host + ":" + QString::number(m_Port);
    }
    QString message(int n) const { return m_Dir.filePath(QString::number(n) + ".eml"); }
    QByteArray messageBytes(int n) const {
        QFile f(message(n));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    // Successful logins so far (the server runs with --user).
    int logins() const {
        QFile f(m_Dir.filePath("logins"));
        return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed().toInt() : 0;
    }
    QJsonObject envelope(int n) const {
        QFile f(m_Dir.filePath(QString::number(n) + ".json"));
        if (!f.open(QIODevice::ReadOnly)) {
            return {};
        }
        return QJsonDocument::fromJson(f.readAll()).object();
    }

private:
    QTemporaryDir m_Dir;
    QProcess m_Process;
    QString m_Host = "127.0.0.1";
    quint16 m_Port = 0;
};

} // namespace testsupport
