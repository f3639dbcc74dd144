#include "oauth/browser_flow.h"

#include "oauth/exchange.h"

#include <QDateTime>
#include <QNetworkReply>
#include <QProcess>
#include <QTcpSocket>

namespace oauth {

namespace {

// A browser's request for the redirect is one line and a few headers.
constexpr qsizetype kMaxRequestBytes = 16 * 1024;
constexpr int kRequestTimeoutMs = 10000;

void Answer(QTcpSocket *socket, const char *status, const QString &text) {
    const QByteArray page = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Sign-in"
                            "</title></head><body><p>" +
                            text.toHtmlEscaped().toUtf8() + "</p></body></html>\n";
    socket->write(QByteArray("HTTP/1.1 ") + status +
                  "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                  QByteArray::number(page.size()) +
                  "\r\nConnection: close\r\nCache-Control: no-store\r\n\r\n" + page);
    socket->disconnectFromHost();
}

} // namespace

BrowserFlow::BrowserFlow(Config config, QNetworkAccessManager *manager, QObject *parent)
    : QObject(parent), m_config(std::move(config)), m_manager(manager) {
    m_timeLimit.setSingleShot(true);
    connect(&m_timeLimit, &QTimer::timeout, this, [this] {
        finish(Outcome::Denied,
               QStringLiteral("sign-in in the browser was not finished within %1 s")
                   .arg(m_config.browserTimeoutMs / 1000));
    });
    connect(&m_server, &QTcpServer::newConnection, this, &BrowserFlow::onConnection);
}

void BrowserFlow::start() {
    // 127.0.0.1 and not "localhost": the name may resolve elsewhere, and no
    // other machine may deliver the code (RFC 8252 section 7.3 and 8.3).
    if (!m_server.listen(QHostAddress::LocalHost, 0)) {
        finish(Outcome::Failed, QStringLiteral("cannot listen on 127.0.0.1 for the sign-in's "
                                               "redirect: %1")
                                    .arg(m_server.errorString()));
        return;
    }
    m_verifier = RandomToken(32);
    m_state = RandomToken(16);
    m_redirectUri = QStringLiteral("http://127.0.0.1:%1/").arg(m_server.serverPort());
    m_authorizationUrl =
        AuthorizationUrl(m_config, m_redirectUri, m_state, PkceChallenge(m_verifier));
    m_timeLimit.start(m_config.browserTimeoutMs);
    emit ready(m_authorizationUrl);
}

void BrowserFlow::cancel() {
    m_done = true;
    m_server.close();
    m_timeLimit.stop();
    if (m_reply) {
        m_reply->abort();
    }
}

void BrowserFlow::onConnection() {
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        auto *timer = new QTimer(socket);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, socket, [socket] { socket->abort(); });
        timer->start(kRequestTimeoutMs);
        auto buffer = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
            *buffer += socket->readAll();
            const qsizetype end = buffer->indexOf("\r\n\r\n");
            if (end < 0) {
                if (buffer->size() > kMaxRequestBytes) {
                    socket->abort();
                }
                return;
            }
            const QList<QByteArray> requestLine = buffer->left(buffer->indexOf("\r\n")).split(' ');
            buffer->clear();
            if (requestLine.size() != 3 || requestLine[0] != "GET") {
                Answer(socket, "400 Bad Request", QStringLiteral("Not a sign-in redirect."));
                return;
            }
            onRequest(socket, requestLine[1]);
        });
    }
}

void BrowserFlow::onRequest(QTcpSocket *socket, const QByteArray &target) {
    const std::optional<Redirect> redirect = ParseRedirectTarget(target);
    if (!redirect || m_done || m_codeTaken) {
        Answer(socket, "404 Not Found", QStringLiteral("Nothing here."));
        return;
    }
    // A redirect that does not carry our state was not caused by our
    // request (RFC 6749 section 10.12): refused, and the real one awaited.
    if (redirect->state != m_state) {
        Answer(socket, "400 Bad Request",
               QStringLiteral("This sign-in answer does not belong to the running sign-in "
                              "(its state differs); it was ignored."));
        return;
    }
    if (!redirect->error.isEmpty()) {
        Answer(socket, "200 OK",
               QStringLiteral("Sign-in was not completed. You may close this "
                              "window."));
        QString words = redirect->error;
        if (!redirect->errorDescription.isEmpty()) {
            words += QStringLiteral(": ") + redirect->errorDescription;
        }
        words = words.simplified().left(300);
        finish(redirect->error == QLatin1String("access_denied") ? Outcome::Denied
                                                                 : Outcome::Failed,
               QStringLiteral("sign-in was refused (%1)").arg(words));
        return;
    }
    m_codeTaken = true;
    m_server.close();
    Answer(socket, "200 OK",
           QStringLiteral("Sign-in complete. You may close this window and return to the "
                          "program."));
    exchange(redirect->code);
}

void BrowserFlow::exchange(const QString &code) {
    QList<std::pair<QString, QString>> form{
        {QStringLiteral("grant_type"), QStringLiteral("authorization_code")},
        {QStringLiteral("code"), code},
        {QStringLiteral("redirect_uri"), m_redirectUri},
        {QStringLiteral("client_id"), m_config.clientId},
        {QStringLiteral("code_verifier"), m_verifier}};
    if (!m_config.clientSecret.isEmpty()) {
        form.append({QStringLiteral("client_secret"), m_config.clientSecret});
    }
    m_reply = PostForm(
        *m_manager, m_config.tokenUrl, FormBody(form), m_config.exchangeTimeoutMs,
        QStringLiteral("the token endpoint"), this, [this](const HttpResult &r) {
            const TokenReply reply = ParseTokenExchange(r, QDateTime::currentDateTimeUtc());
            switch (reply.kind) {
            case ReplyKind::Tokens:
                finish(Outcome::Ok, {}, reply.tokens);
                return;
            case ReplyKind::Temporary:
                finish(Outcome::Temporary, reply.message);
                return;
            case ReplyKind::InvalidGrant:
                finish(Outcome::Failed,
                       QStringLiteral("the token endpoint refused the sign-in's code (%1)")
                           .arg(reply.message));
                return;
            case ReplyKind::Denied:
                finish(Outcome::Denied, QStringLiteral("sign-in was refused (access_denied)"));
                return;
            case ReplyKind::Pending:
            case ReplyKind::SlowDown:
            case ReplyKind::CodeExpired:
            case ReplyKind::Failed:
                finish(Outcome::Failed, reply.message);
                return;
            }
        });
}

void BrowserFlow::finish(Outcome outcome, const QString &message, const Tokens &tokens) {
    if (m_done) {
        return;
    }
    m_done = true;
    m_server.close();
    m_timeLimit.stop();
    emit finished(Result{outcome, message, tokens});
}

bool OpenInBrowser(const QUrl &url) {
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        return false;
    }
    // The address goes as one argument, never through a shell.
    return QProcess::startDetached(QStringLiteral("xdg-open"), {url.toString(QUrl::FullyEncoded)});
}

} // namespace oauth
