// A real submission server for tests: Dovecot's submission service
// (tests/support/dovecot_submission.py) on 127.0.0.1 with STARTTLS and
// implicit-TLS listeners and a test authority, relaying to another server.
#pragma once

#include "smtp_server.h"

#include <QFile>

namespace testsupport {

class DovecotSubmission {
public:
    explicit DovecotSubmission(quint16 relayPort) {
        m_Process.setProgram(Python);
        m_Process.setArguments({SupportScript("dovecot_submission.py"), m_Dir.path(),
                                "--relay-port", QString::number(relayPort)});
        m_Process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_Process.start();
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 30000 && !m_Process.canReadLine() &&
               m_Process.state() != QProcess::NotRunning) {
            m_Process.waitForReadyRead(200);
        }
        const QList<QByteArray> words = m_Process.readLine().trimmed().split(' ');
        if (words.size() == 3 && words[0] == "READY") {
            m_StartTlsPort = words[1].toUShort();
            m_ImplicitPort = words[2].toUShort();
        } else {
            m_Problem = words.size() > 1 && words[0] == "SKIP"
                            ? QString::fromUtf8(words.mid(1).join(' '))
                            : QStringLiteral("Dovecot did not start");
        }
    }
    ~DovecotSubmission() {
        m_Process.closeWriteChannel();
        if (!m_Process.waitForFinished(10000)) {
            m_Process.kill();
            m_Process.waitForFinished(5000);
        }
    }
    // Why the server is not there ("" when it is).
    QString problem() const { return m_Problem; }
    quint16 startTlsPort() const { return m_StartTlsPort; }
    quint16 implicitPort() const { return m_ImplicitPort; }
    QString caFile() const { return m_Dir.filePath("ca.pem"); }
    QString otherCaFile() const { return m_Dir.filePath("other-ca.pem"); }
    QString fingerprint() const { return read("server.sha256").trimmed(); }
    QString log() const { return read("dovecot.log"); }
    static QString user() { return QStringLiteral("alice"); }
    static QString password() { return QStringLiteral("secret"); }

private:
    QString read(const QString &name) const {
        QFile f(m_Dir.filePath(name));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

    QTemporaryDir m_Dir;
    QProcess m_Process;
    quint16 m_StartTlsPort = 0;
    quint16 m_ImplicitPort = 0;
    QString m_Problem;
};

} // namespace testsupport
