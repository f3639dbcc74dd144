#include "oauth/exchange.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>

#include <memory>

namespace oauth {

namespace {

QString Where(const QUrl &url) {
    return url.port() > 0 ? QStringLiteral("%1:%2").arg(url.host()).arg(url.port()) : url.host();
}

} // namespace

QNetworkReply *PostForm(QNetworkAccessManager &manager, const QUrl &url, const QByteArray &form,
                        int timeoutMs, const QString &what, QObject *context,
                        std::function<void(const HttpResult &)> done) {
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QByteArrayLiteral("application/x-www-form-urlencoded"));
    request.setRawHeader("Accept", "application/json");
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    QNetworkReply *reply = manager.post(request, form);

    enum class Stop { None, TimeLimit, TooLarge };
    auto stop = std::make_shared<Stop>(Stop::None);
    auto *timer = new QTimer(reply);
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, reply, [reply, stop] {
        *stop = Stop::TimeLimit;
        reply->abort();
    });
    timer->start(timeoutMs);
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                     [reply, stop](qint64 received, qint64 total) {
                         if ((received > kMaxReplyBytes || total > kMaxReplyBytes) &&
                             *stop == Stop::None) {
                             *stop = Stop::TooLarge;
                             reply->abort();
                         }
                     });
    QPointer<QObject> guard(context);
    QObject::connect(reply, &QNetworkReply::finished, reply,
                     [reply, stop, guard, url, what, timeoutMs, done = std::move(done)] {
                         reply->deleteLater();
                         if (!guard) {
                             return;
                         }
                         HttpResult r;
                         const QVariant status =
                             reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
                         const QNetworkReply::NetworkError error = reply->error();
                         // Errors below 200 are the connection's (including a
                         // reply cut short); those from 200 on are HTTP
                         // statuses whose body is still worth reading.
                         const bool transportFailed =
                             error != QNetworkReply::NoError && error < 200;
                         if (*stop == Stop::TimeLimit) {
                             r.error = QStringLiteral("%1 (%2) did not answer within %3 s")
                                           .arg(what, Where(url))
                                           .arg(timeoutMs / 1000.0);
                         } else if (*stop == Stop::TooLarge) {
                             r.error = QStringLiteral("%1 (%2) sent a reply larger than %3 bytes")
                                           .arg(what, Where(url))
                                           .arg(kMaxReplyBytes);
                         } else if (transportFailed && status.isValid()) {
                             r.error = QStringLiteral("%1 (%2): the reply was cut short (%3)")
                                           .arg(what, Where(url), reply->errorString());
                         } else if (transportFailed || !status.isValid()) {
                             r.error = QStringLiteral("cannot reach %1 (%2): %3")
                                           .arg(what, Where(url), reply->errorString());
                         } else if (status.toInt() >= 300 && status.toInt() < 400) {
                             r.error = QStringLiteral("%1 (%2) redirects (HTTP %3): give the "
                                                      "endpoint's final address")
                                           .arg(what, Where(url))
                                           .arg(status.toInt());
                         } else {
                             r.answered = true;
                             r.status = status.toInt();
                             r.body = reply->readAll();
                         }
                         done(r);
                     });
    return reply;
}

TokenReply ParseTokenExchange(const HttpResult &result, const QDateTime &now) {
    if (!result.answered) {
        return TokenReply{ReplyKind::Temporary, {}, result.error};
    }
    return ParseTokenReply(result.status, result.body, now);
}

} // namespace oauth
