// Access tokens for sending: what a mail session asks for before AUTH, and
// once more when the server refused the token it sent.
//
// A stored access token that stays valid for more than 60 s is handed out;
// otherwise the refresh token buys a new one (RFC 6749 section 6). A
// refresh token that the provider rotates is kept before the new access
// token is handed out, so no run can send with a token whose successor is
// lost. invalid_grant means the sign-in has expired; an endpoint that is
// unreachable, slow, failing (5xx) or garbled is a temporary failure: the
// sign-in is kept and nothing is tried again here.
//
// Refreshes of one account are taken one at a time: callers in this
// process share the one in flight, and other processes wait for a lock on
// the account (the refresh of one of them may rotate the refresh token
// that another is about to use).
#pragma once

#include "oauth/provider.h"
#include "oauth/token_reply.h"
#include "oauth/token_store.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>

#include <functional>

class QNetworkAccessManager;

namespace oauth {

class TokenSource : public QObject {
    Q_OBJECT
public:
    // `store` and `manager` must outlive the source.
    TokenSource(TokenStore *store, QNetworkAccessManager *manager, QObject *parent = nullptr);
    ~TokenSource() override;

    enum class Need {
        Login,   // before AUTH: a stored token is fine while it lasts
        Refused, // the server refused the last token: a new one, whatever the expiry
    };

    // Calls `done` once, later, unless `context` is gone: Ok with
    // result.tokens.accessToken, or NotSignedIn, SignInExpired, Temporary,
    // StoreUnavailable or Failed with a text that names the account.
    using Callback = std::function<void(const Result &)>;
    void accessToken(const Config &config, Need need, QObject *context, Callback done);

    // The source bound to one account, as the plain callback a mail
    // session calls before AUTH (Need::Login) and once more after the
    // server refused the token (Need::Refused). `done` is called once,
    // later; never while the source is gone.
    using Provider = std::function<void(Need need, Callback done)>;
    [[nodiscard]] Provider providerFor(const Config &config);

    // The clock that expiries are judged by (tests move it).
    void setClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }

private:
    struct Waiter {
        QPointer<QObject> context;
        Callback done;
    };
    struct Job {
        Config config;
        Need need = Need::Login;
        QList<Waiter> waiters;
        int lockFd = -1;
        int lockTries = 0;
    };

    void lock(const QString &account);
    void load(const QString &account);
    void loaded(const QString &account, const Result &result, StoreChoice where);
    void refresh(const QString &account, const Tokens &old, StoreChoice where);
    void finish(const QString &account, const Result &result);

    TokenStore *m_store;
    QNetworkAccessManager *m_manager;
    std::function<QDateTime()> m_clock;
    QHash<QString, Job> m_jobs; // by account
};

} // namespace oauth
