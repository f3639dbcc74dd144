// One HTTP POST of a form to an OAuth endpoint (RFC 6749 section 3.2,
// RFC 8628 section 3.1), event-driven over QNetworkAccessManager, with a
// time limit over the whole exchange and a bound on the reply's size.
#pragma once

#include "oauth/token_reply.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>

class QNetworkAccessManager;
class QNetworkReply;

namespace oauth {

struct HttpResult {
    bool answered = false; // a complete HTTP reply came; else `error` says why not
    int status = 0;
    QByteArray body;
    QString error; // never holds the request's fields
};

// The largest reply read: token replies are a few kilobytes.
inline constexpr qint64 kMaxReplyBytes = 64 * 1024;

// Posts `form` to `url` and calls `done` once with the result, in the
// thread of `context`, unless `context` is gone by then. Returns at once;
// the returned reply may be aborted (done then reports the abort) and is
// deleted by the manager's event loop after done ran. Redirects are not
// followed: a token endpoint that redirects is misconfigured.
QNetworkReply *PostForm(QNetworkAccessManager &manager, const QUrl &url, const QByteArray &form,
                        int timeoutMs, const QString &what, QObject *context,
                        std::function<void(const HttpResult &)> done);

// The token endpoint's answer in `result`: ParseTokenReply of a complete
// reply, else a temporary failure with the exchange's error.
[[nodiscard]] TokenReply ParseTokenExchange(const HttpResult &result, const QDateTime &now);

} // namespace oauth
