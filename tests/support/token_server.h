// A scripted OAuth 2.0 authorization server for tests: HTTP/1.1 on
// 127.0.0.1, port 0, one request per connection.
//
//   /authorize  GET, plays the user who agrees: keeps the PKCE challenge
//               and answers 302 to redirect_uri with a code and the state
//   /device     POST, a device code (RFC 8628)
//   /token      POST, by grant_type: authorization_code (checks the code,
//               the redirect address and the verifier against the
//               challenge), device_code (plays `devicePolls`, then tokens),
//               refresh_token (a live refresh token buys new tokens; with
//               `rotate` the old one dies and a new one comes)
//
// `canned[path]` replies come first, one per request, for failures: a
// status and body, a delay, a reply cut short, or silence.
#pragma once

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>

#include <deque>
#include <functional>
#include <memory>

class TokenServer : public QObject {
public:
    struct Request {
        QByteArray method;
        QString path;
        QHash<QString, QString> fields; // the form, or the query of a GET
        qint64 atMs = 0;                // since the server started
    };
    struct Canned {
        int status = 200;
        QByteArray body;
        int delayMs = 0;
        bool cutShort = false; // Content-Length promises more than comes
        bool silent = false;   // never answers
    };

    TokenServer() {
        m_listening = m_server.listen(QHostAddress::LocalHost, 0);
        m_clock.start();
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = m_server.nextPendingConnection()) {
                s->setParent(this);
                auto buffer = std::make_shared<QByteArray>();
                connect(s, &QTcpSocket::readyRead, this, [this, s, buffer] {
                    *buffer += s->readAll();
                    take(s, *buffer);
                });
            }
        });
    }

    bool listening() const { return m_listening; }
    QUrl url(const QString &path) const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(path));
    }
    const QList<Request> &requests() const { return m_requests; }
    int count(const QString &path) const {
        int n = 0;
        for (const Request &r : m_requests) {
            n += r.path == path;
        }
        return n;
    }

    // The provider's behaviour.
    QHash<QString, std::deque<Canned>> canned;
    QStringList devicePolls; // errors answered to device polls before the tokens
    bool rotate = true;
    int expiresIn = 3600;
    // The n-th access token handed out (from 1); unset: "AT-n-secret".
    std::function<QString(int)> accessToken;
    QSet<QString> liveRefreshTokens;
    QString lastAccessToken;
    QString lastRefreshToken;
    QString lastChallengeMethod;

private:
    void take(QTcpSocket *s, QByteArray &buffer) {
        const qsizetype end = buffer.indexOf("\r\n\r\n");
        if (end < 0) {
            return;
        }
        const QList<QByteArray> lines = buffer.left(end).split('\n');
        qsizetype length = 0;
        for (const QByteArray &line : lines) {
            if (line.toLower().startsWith("content-length:")) {
                length = line.mid(15).trimmed().toLongLong();
            }
        }
        if (buffer.size() < end + 4 + length) {
            return;
        }
        const QList<QByteArray> first = lines[0].trimmed().split(' ');
        Request r;
        r.method = first.value(0);
        const QUrl target(QString::fromLatin1(first.value(1)));
        r.path = target.path();
        const QString form = r.method == "GET" ? target.query(QUrl::FullyEncoded)
                                               : QString::fromLatin1(buffer.mid(end + 4, length));
        for (const auto &[k, v] : QUrlQuery(form).queryItems(QUrl::FullyDecoded)) {
            r.fields.insert(k, v);
        }
        r.atMs = m_clock.elapsed();
        buffer.clear();
        m_requests.append(r);
        Canned reply = answer(r);
        if (reply.silent) {
            return;
        }
        QTimer::singleShot(reply.delayMs, s, [s, reply] {
            QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.status) + " X\r\n";
            if (reply.status == 302) {
                head += "Location: " + reply.body + "\r\n";
            }
            const QByteArray body = reply.status == 302 ? QByteArray() : reply.body;
            const qsizetype promised = body.size() + (reply.cutShort ? 100 : 0);
            s->write(head + "Content-Type: application/json\r\nConnection: close\r\n" +
                     "Content-Length: " + QByteArray::number(promised) + "\r\n\r\n" + body);
            s->disconnectFromHost();
        });
    }

    static QByteArray Json(const QJsonObject &o) { return QJsonDocument(o).toJson(); }
    static Canned Error(const QString &error, int status = 400) {
        return Canned{status, Json({{"error", error}, {"error_description", "as scripted"}})};
    }

    Canned tokens(bool withRefresh) {
        const int n = ++m_issued;
        lastAccessToken = accessToken ? accessToken(n) : QStringLiteral("AT-%1-secret").arg(n);
        QJsonObject o{
            {"access_token", lastAccessToken}, {"token_type", "Bearer"}, {"expires_in", expiresIn}};
        if (withRefresh) {
            lastRefreshToken = QStringLiteral("RT-%1-secret").arg(n);
            liveRefreshTokens.insert(lastRefreshToken);
            o.insert("refresh_token", lastRefreshToken);
        }
        return Canned{200, Json(o)};
    }

    Canned answer(const Request &r) {
        auto &queue = canned[r.path];
        if (!queue.empty()) {
            Canned c = queue.front();
            queue.pop_front();
            return c;
        }
        if (r.path == "/authorize") {
            lastChallengeMethod = r.fields.value("code_challenge_method");
            const QString code = QStringLiteral("code-%1").arg(m_codes.size() + 1);
            m_codes.insert(code,
                           {r.fields.value("code_challenge"), r.fields.value("redirect_uri")});
            QUrl back(r.fields.value("redirect_uri"));
            back.setQuery(QUrlQuery{{"code", code}, {"state", r.fields.value("state")}});
            return Canned{302, back.toEncoded()};
        }
        if (r.path == "/device") {
            return Canned{200, Json({{"device_code", "DEV-1"},
                                     {"user_code", "WDJB-MJHT"},
                                     {"verification_uri", "https://example.com/device"},
                                     {"expires_in", 1800},
                                     {"interval", 1}})};
        }
        const QString grant = r.fields.value("grant_type");
        if (grant == "authorization_code") {
            const auto it = m_codes.constFind(r.fields.value("code"));
            const QByteArray challenge =
                QCryptographicHash::hash(r.fields.value("code_verifier").toLatin1(),
                                         QCryptographicHash::Sha256)
                    .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
            if (it == m_codes.constEnd() || it->first != QString::fromLatin1(challenge) ||
                it->second != r.fields.value("redirect_uri")) {
                return Error("invalid_grant");
            }
            m_codes.erase(it);
            return tokens(true);
        }
        if (grant == "urn:ietf:params:oauth:grant-type:device_code") {
            if (!devicePolls.isEmpty()) {
                return Error(devicePolls.takeFirst());
            }
            return tokens(true);
        }
        if (grant == "refresh_token") {
            const QString old = r.fields.value("refresh_token");
            if (!liveRefreshTokens.contains(old)) {
                return Error("invalid_grant");
            }
            if (rotate) {
                liveRefreshTokens.remove(old);
            }
            return tokens(rotate);
        }
        return Error("unsupported_grant_type");
    }

    QTcpServer m_server;
    bool m_listening = false;
    QElapsedTimer m_clock;
    QList<Request> m_requests;
    QHash<QString, std::pair<QString, QString>> m_codes; // code -> challenge, redirect_uri
    int m_issued = 0;
};
