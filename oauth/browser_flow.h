// Sign-in of a native program through the user's browser (RFC 8252): a
// listener on 127.0.0.1 at a free port receives the redirect of an
// authorization-code request protected by PKCE with S256 (RFC 7636) and a
// random state; the code is then exchanged with the verifier. Event-driven:
// start() returns at once.
#pragma once

#include "oauth/provider.h"
#include "oauth/token_reply.h"

#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTimer>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;
class QTcpSocket;

namespace oauth {

class BrowserFlow : public QObject {
    Q_OBJECT
public:
    // `manager` must outlive the flow.
    BrowserFlow(Config config, QNetworkAccessManager *manager, QObject *parent = nullptr);

    // Listens and emits ready() with the address the user opens (the
    // caller prints it and may OpenInBrowser() it); finished() follows
    // once. When no port can be had, finished() alone.
    void start();

    // Ends the flow without finished().
    void cancel();

    [[nodiscard]] QUrl authorizationUrl() const { return m_authorizationUrl; }

signals:
    void ready(const QUrl &authorizationUrl);
    void finished(const oauth::Result &result);

private:
    void onConnection();
    void onRequest(QTcpSocket *socket, const QByteArray &target);
    void exchange(const QString &code);
    void finish(Outcome outcome, const QString &message, const Tokens &tokens = {});

    Config m_config;
    QNetworkAccessManager *m_manager;
    QTcpServer m_server;
    QTimer m_timeLimit;
    QPointer<QNetworkReply> m_reply;
    QString m_verifier;
    QString m_state;
    QString m_redirectUri;
    QUrl m_authorizationUrl;
    bool m_codeTaken = false;
    bool m_done = false;
};

// Opens `url` with xdg-open when there is a display (X11 or Wayland);
// false when there is none or xdg-open cannot be started, in which case the
// user opens the printed address by hand.
bool OpenInBrowser(const QUrl &url);

} // namespace oauth
