#include "oauth/device_flow.h"

#include "oauth/exchange.h"

#include <QDateTime>
#include <QNetworkReply>

namespace oauth {

DeviceFlow::DeviceFlow(Config config, QNetworkAccessManager *manager, QObject *parent)
    : QObject(parent), m_config(std::move(config)), m_manager(manager) {
    m_pollTimer.setSingleShot(true);
    // A coarse timer may fire 5 % early, and a poll before the interval has
    // passed earns a slow_down.
    m_pollTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_pollTimer, &QTimer::timeout, this, &DeviceFlow::poll);
}

void DeviceFlow::start() {
    QList<std::pair<QString, QString>> form{{QStringLiteral("client_id"), m_config.clientId}};
    if (!m_config.scope.isEmpty()) {
        form.append({QStringLiteral("scope"), m_config.scope});
    }
    m_reply = PostForm(*m_manager, m_config.deviceUrl, FormBody(form), m_config.exchangeTimeoutMs,
                       QStringLiteral("the device authorization endpoint"), this,
                       [this](const HttpResult &r) {
                           if (!r.answered) {
                               finish(Outcome::Temporary, r.error);
                               return;
                           }
                           const DeviceReply reply = ParseDeviceReply(r.status, r.body);
                           if (!reply.code) {
                               finish(reply.outcome, reply.message);
                               return;
                           }
                           onCode(*reply.code);
                       });
}

void DeviceFlow::cancel() {
    m_done = true;
    m_pollTimer.stop();
    if (m_reply) {
        m_reply->abort();
    }
}

void DeviceFlow::onCode(const DeviceCode &code) {
    m_code = code;
    m_deadlineMs = QDateTime::currentMSecsSinceEpoch() + qint64(code.expiresIn) * m_secondMs;
    emit codeReady(code);
    if (!m_done) {
        m_pollTimer.start(m_code.interval * m_secondMs);
    }
}

void DeviceFlow::poll() {
    if (QDateTime::currentMSecsSinceEpoch() >= m_deadlineMs) {
        finish(Outcome::Denied, QStringLiteral("the code expired before sign-in was finished: "
                                               "sign in again and enter the new code"));
        return;
    }
    QList<std::pair<QString, QString>> form{
        {QStringLiteral("grant_type"),
         QStringLiteral("urn:ietf:params:oauth:grant-type:device_code")},
        {QStringLiteral("device_code"), m_code.deviceCode},
        {QStringLiteral("client_id"), m_config.clientId}};
    if (!m_config.clientSecret.isEmpty()) {
        form.append({QStringLiteral("client_secret"), m_config.clientSecret});
    }
    m_reply = PostForm(*m_manager, m_config.tokenUrl, FormBody(form), m_config.exchangeTimeoutMs,
                       QStringLiteral("the token endpoint"), this, [this](const HttpResult &r) {
                           onPollReply(ParseTokenExchange(r, QDateTime::currentDateTimeUtc()));
                       });
}

void DeviceFlow::onPollReply(const TokenReply &reply) {
    switch (reply.kind) {
    case ReplyKind::Tokens:
        finish(Outcome::Ok, {}, reply.tokens);
        return;
    case ReplyKind::Pending:
        m_pollTimer.start(m_code.interval * m_secondMs);
        return;
    case ReplyKind::SlowDown:
        // RFC 8628 section 3.5: every later poll waits 5 s longer.
        m_code.interval += 5;
        m_pollTimer.start(m_code.interval * m_secondMs);
        return;
    case ReplyKind::CodeExpired:
        finish(Outcome::Denied, QStringLiteral("the code expired before sign-in was finished: "
                                               "sign in again and enter the new code"));
        return;
    case ReplyKind::Denied:
        finish(Outcome::Denied, QStringLiteral("sign-in was refused (access_denied)"));
        return;
    case ReplyKind::InvalidGrant:
        finish(Outcome::Failed,
               QStringLiteral("the token endpoint no longer accepts the device code (%1)")
                   .arg(reply.message));
        return;
    case ReplyKind::Temporary:
        finish(Outcome::Temporary, reply.message);
        return;
    case ReplyKind::Failed:
        finish(Outcome::Failed, reply.message);
        return;
    }
}

void DeviceFlow::finish(Outcome outcome, const QString &message, const Tokens &tokens) {
    if (m_done) {
        return;
    }
    m_done = true;
    m_pollTimer.stop();
    emit finished(Result{outcome, message, tokens});
}

} // namespace oauth
