// A real submission server for tests: Dovecot's submission service
// (tests/support/dovecot_submission.py) on 127.0.0.1 with STARTTLS and
// implicit-TLS listeners and a test authority, relaying to another server.
// In the OAuth mode it also checks bearer tokens (XOAUTH2, OAUTHBEARER)
// offline, as JWTs signed with its HS256 key; bearerToken() makes them.
#pragma once

#include "smtp_server.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageAuthenticationCode>

namespace testsupport {

class DovecotSubmission {
public:
    enum class Mode { Passwords, OAuth };
    explicit DovecotSubmission(quint16 relayPort, Mode mode = Mode::Passwords) {
        m_Process.setProgram(Python);
        QStringList args{SupportScript("dovecot_submission.py"), m_Dir.path(), "--relay-port",
                         QString::number(relayPort)};
        if (mode == Mode::OAuth) {
            args << "--oauth2";
        }
        m_Process.setArguments(args);
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
    // In the OAuth mode: a token for `user` that ran out `expired` seconds
    // ago (0: valid for an hour), signed with the server's key unless
    // `foreignKey`.
    QString bearerToken(const QString &who, qint64 expired = 0, bool foreignKey = false) const {
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        const qint64 exp = expired > 0 ? now - expired : now + 3600;
        const auto part = [](const QJsonObject &o) {
            return QJsonDocument(o)
                .toJson(QJsonDocument::Compact)
                .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
        };
        const QByteArray signedPart = part({{"alg", "HS256"}, {"typ", "JWT"}}) + "." +
                                      part({{"sub", who}, {"iat", exp - 3600}, {"exp", exp}});
        const QByteArray key = foreignKey ? QByteArray(32, 'k')
                                          : QByteArray::fromBase64(read("oauth2.key").toLatin1());
        const QByteArray signature =
            QMessageAuthenticationCode::hash(signedPart, key, QCryptographicHash::Sha256);
        return QString::fromLatin1(
            signedPart + "." +
            signature.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
    }
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
