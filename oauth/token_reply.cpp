#include "oauth/token_reply.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QUrlQuery>

#include <array>

namespace oauth {

QString OutcomeName(Outcome outcome) {
    switch (outcome) {
    case Outcome::Ok:
        return QStringLiteral("ok");
    case Outcome::NotSignedIn:
        return QStringLiteral("not signed in");
    case Outcome::SignInExpired:
        return QStringLiteral("sign-in expired");
    case Outcome::Temporary:
        return QStringLiteral("temporary failure");
    case Outcome::StoreUnavailable:
        return QStringLiteral("token store unavailable");
    case Outcome::Denied:
        return QStringLiteral("denied");
    case Outcome::Failed:
        return QStringLiteral("failed");
    }
    return {};
}

bool Usable(const Tokens &tokens, const QDateTime &now, int marginSecs) {
    return !tokens.accessToken.isEmpty() && tokens.expires.isValid() &&
           now.secsTo(tokens.expires) > marginSecs;
}

namespace {

// A number that some servers send as a string ("3599").
std::optional<qint64> Seconds(const QJsonValue &v) {
    if (v.isDouble()) {
        return static_cast<qint64>(v.toDouble());
    }
    bool ok = false;
    const qint64 n = v.toString().toLongLong(&ok);
    return ok ? std::optional<qint64>(n) : std::nullopt;
}

// The error fields of a JSON error reply, for a failure text: bounded, and
// on one line, since a server chooses them.
QString ServerWords(const QJsonObject &o) {
    QString words = o.value(QLatin1String("error")).toString();
    const QString description = o.value(QLatin1String("error_description")).toString();
    if (!description.isEmpty()) {
        words += QStringLiteral(": ") + description;
    }
    words = words.simplified();
    if (words.size() > 300) {
        words = words.left(300) + QStringLiteral("...");
    }
    return words;
}

QString StatusWords(int status) {
    return QStringLiteral("HTTP %1").arg(status);
}

} // namespace

TokenReply ParseTokenReply(int httpStatus, const QByteArray &body, const QDateTime &now) {
    auto reply = [](ReplyKind kind, const QString &message) {
        return TokenReply{kind, {}, message};
    };
    if (httpStatus >= 500 || httpStatus == 429) {
        return reply(ReplyKind::Temporary,
                     QStringLiteral("the token endpoint is not available now (%1)")
                         .arg(StatusWords(httpStatus)));
    }
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject()) {
        return reply(httpStatus >= 400 ? ReplyKind::Failed : ReplyKind::Temporary,
                     QStringLiteral("the token endpoint's reply (%1, %2 bytes) is not a JSON "
                                    "object")
                         .arg(StatusWords(httpStatus))
                         .arg(body.size()));
    }
    const QJsonObject o = doc.object();
    const QString error = o.value(QLatin1String("error")).toString();
    // Some servers answer errors with 200, so the field decides, not the status.
    if (!error.isEmpty() || httpStatus >= 300) {
        const QString words = ServerWords(o);
        if (error == QLatin1String("authorization_pending")) {
            return reply(ReplyKind::Pending, words);
        }
        if (error == QLatin1String("slow_down")) {
            return reply(ReplyKind::SlowDown, words);
        }
        if (error == QLatin1String("expired_token")) {
            return reply(ReplyKind::CodeExpired, words);
        }
        if (error == QLatin1String("access_denied")) {
            return reply(ReplyKind::Denied, words);
        }
        if (error == QLatin1String("invalid_grant")) {
            return reply(ReplyKind::InvalidGrant, words);
        }
        return reply(ReplyKind::Failed,
                     QStringLiteral("the token endpoint refused the request (%1: %2)")
                         .arg(StatusWords(httpStatus),
                              words.isEmpty() ? QStringLiteral("no reason given") : words));
    }
    TokenReply r{ReplyKind::Tokens, {}, {}};
    r.tokens.accessToken = o.value(QLatin1String("access_token")).toString();
    if (r.tokens.accessToken.isEmpty()) {
        return reply(ReplyKind::Temporary,
                     QStringLiteral("the token endpoint's reply has no access_token"));
    }
    const QString type = o.value(QLatin1String("token_type")).toString();
    if (!type.isEmpty() && type.compare(QLatin1String("bearer"), Qt::CaseInsensitive) != 0) {
        return reply(ReplyKind::Failed,
                     QStringLiteral("the token endpoint issued a \"%1\" token, not a bearer token")
                         .arg(type.left(40)));
    }
    r.tokens.refreshToken = o.value(QLatin1String("refresh_token")).toString();
    r.tokens.scope = o.value(QLatin1String("scope")).toString();
    // Without expires_in the lifetime is unknown (RFC 6749 makes it
    // optional); ten minutes keeps such a token from being trusted long.
    const std::optional<qint64> lifetime = Seconds(o.value(QLatin1String("expires_in")));
    r.tokens.expires = now.toUTC().addSecs(lifetime && *lifetime > 0 ? *lifetime : 600);
    return r;
}

DeviceReply ParseDeviceReply(int httpStatus, const QByteArray &body) {
    auto fail = [](Outcome outcome, const QString &message) {
        return DeviceReply{std::nullopt, outcome, message};
    };
    if (httpStatus >= 500 || httpStatus == 429) {
        return fail(Outcome::Temporary,
                    QStringLiteral("the device authorization endpoint is not available now (%1)")
                        .arg(StatusWords(httpStatus)));
    }
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject()) {
        return fail(httpStatus >= 400 ? Outcome::Failed : Outcome::Temporary,
                    QStringLiteral("the device authorization reply (%1, %2 bytes) is not a JSON "
                                   "object")
                        .arg(StatusWords(httpStatus))
                        .arg(body.size()));
    }
    const QJsonObject o = doc.object();
    if (httpStatus >= 300 || o.contains(QLatin1String("error"))) {
        const QString words = ServerWords(o);
        return fail(Outcome::Failed,
                    QStringLiteral("the device authorization endpoint refused the request (%1: %2)")
                        .arg(StatusWords(httpStatus),
                             words.isEmpty() ? QStringLiteral("no reason given") : words));
    }
    DeviceCode c;
    c.deviceCode = o.value(QLatin1String("device_code")).toString();
    c.userCode = o.value(QLatin1String("user_code")).toString();
    c.verificationUri = o.value(QLatin1String("verification_uri")).toString();
    if (c.verificationUri.isEmpty()) {
        // The name of an early draft, still sent by some servers.
        c.verificationUri = o.value(QLatin1String("verification_url")).toString();
    }
    c.verificationUriComplete = o.value(QLatin1String("verification_uri_complete")).toString();
    const std::optional<qint64> expires = Seconds(o.value(QLatin1String("expires_in")));
    const std::optional<qint64> interval = Seconds(o.value(QLatin1String("interval")));
    QStringList missing;
    if (c.deviceCode.isEmpty()) {
        missing << QStringLiteral("device_code");
    }
    if (c.userCode.isEmpty()) {
        missing << QStringLiteral("user_code");
    }
    if (c.verificationUri.isEmpty()) {
        missing << QStringLiteral("verification_uri");
    }
    if (!expires || *expires <= 0) {
        missing << QStringLiteral("expires_in");
    }
    if (!missing.isEmpty()) {
        return fail(Outcome::Temporary, QStringLiteral("the device authorization reply lacks %1")
                                            .arg(missing.join(QStringLiteral(", "))));
    }
    // A day bounds the wait whatever the server says; one second is the
    // least gap between polls that we keep to.
    c.expiresIn = static_cast<int>(std::min<qint64>(*expires, 86400));
    c.interval = interval ? static_cast<int>(std::clamp<qint64>(*interval, 1, 300)) : 5;
    return DeviceReply{c, Outcome::Ok, {}};
}

QByteArray FormBody(const QList<std::pair<QString, QString>> &fields) {
    QByteArray body;
    for (const auto &[name, value] : fields) {
        if (!body.isEmpty()) {
            body += '&';
        }
        body += QUrl::toPercentEncoding(name) + '=' + QUrl::toPercentEncoding(value);
    }
    return body;
}

QString RandomToken(int bytes) {
    QByteArray raw(bytes, Qt::Uninitialized);
    QRandomGenerator *rng = QRandomGenerator::system();
    for (char &c : raw) {
        c = static_cast<char>(rng->generate() & 0xff);
    }
    return QString::fromLatin1(
        raw.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QString PkceChallenge(const QString &verifier) {
    const QByteArray digest =
        QCryptographicHash::hash(verifier.toLatin1(), QCryptographicHash::Sha256);
    return QString::fromLatin1(
        digest.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QUrl AuthorizationUrl(const Config &config, const QString &redirectUri, const QString &state,
                      const QString &challenge) {
    QUrl url = config.authUrl;
    QUrlQuery query(url);
    QList<std::pair<QString, QString>> items{
        {QStringLiteral("response_type"), QStringLiteral("code")},
        {QStringLiteral("client_id"), config.clientId},
        {QStringLiteral("redirect_uri"), redirectUri},
        {QStringLiteral("state"), state},
        {QStringLiteral("code_challenge"), challenge},
        {QStringLiteral("code_challenge_method"), QStringLiteral("S256")}};
    if (!config.scope.isEmpty()) {
        items.append({QStringLiteral("scope"), config.scope});
    }
    items.append(config.extraAuthParams);
    for (const auto &[name, value] : items) {
        // Fully encoded, so that ':' '/' '+' in the values survive any
        // server's query parser.
        query.addQueryItem(QString::fromLatin1(QUrl::toPercentEncoding(name)),
                           QString::fromLatin1(QUrl::toPercentEncoding(value)));
    }
    url.setQuery(query.query(QUrl::FullyEncoded), QUrl::StrictMode);
    return url;
}

std::optional<Redirect> ParseRedirectTarget(const QByteArray &target) {
    const qsizetype mark = target.indexOf('?');
    if (mark < 0) {
        return std::nullopt;
    }
    const QUrlQuery query(QString::fromLatin1(target.mid(mark + 1)));
    auto item = [&](const char *name) {
        return query.queryItemValue(QLatin1String(name), QUrl::FullyDecoded);
    };
    Redirect r{item("code"), item("state"), item("error"), item("error_description")};
    if (r.code.isEmpty() && r.error.isEmpty()) {
        return std::nullopt;
    }
    return r;
}

} // namespace oauth
