#include "oauth/token_source.h"

#include "oauth/exchange.h"

#include <QFile>
#include <QTimer>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace oauth {

namespace {

constexpr int kLockRetryMs = 50;

} // namespace

TokenSource::TokenSource(TokenStore *store, QNetworkAccessManager *manager, QObject *parent)
    : QObject(parent), m_store(store), m_manager(manager),
      m_clock([] { return QDateTime::currentDateTimeUtc(); }) {}

TokenSource::~TokenSource() {
    for (const Job &job : std::as_const(m_jobs)) {
        if (job.lockFd >= 0) {
            ::close(job.lockFd);
        }
    }
}

TokenSource::Provider TokenSource::providerFor(const Config &config) {
    QPointer<TokenSource> self(this);
    return [self, config](Need need, Callback done) {
        if (!self) {
            done(Result{Outcome::Failed, QStringLiteral("the token source is gone"), {}});
            return;
        }
        self->accessToken(config, need, self, std::move(done));
    };
}

void TokenSource::accessToken(const Config &config, Need need, QObject *context, Callback done) {
    const QString account = config.account;
    auto it = m_jobs.find(account);
    if (it != m_jobs.end()) {
        // The token being fetched serves this caller too. A refusal turns
        // a fetch that has not yet looked at the stored token into a
        // renewal (once it has, it is renewing already or has finished).
        if (need == Need::Refused) {
            it->need = Need::Refused;
        }
        it->waiters.append(Waiter{context, std::move(done)});
        return;
    }
    Job job;
    job.config = config;
    job.need = need;
    job.waiters.append(Waiter{context, std::move(done)});
    m_jobs.insert(account, std::move(job));
    QTimer::singleShot(0, this, [this, account] { lock(account); });
}

void TokenSource::lock(const QString &account) {
    Job &job = m_jobs[account];
    if (job.lockFd < 0) {
        const QByteArray path = QFile::encodeName(m_store->lockPath(account));
        job.lockFd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (job.lockFd < 0 && errno == ENOENT) {
            // No folder: never signed in here. Nothing to lock against.
            load(account);
            return;
        }
        if (job.lockFd < 0) {
            finish(account, Result{Outcome::Failed,
                                   QStringLiteral("cannot open the lock of account %1: %2")
                                       .arg(account, QString::fromLocal8Bit(strerror(errno))),
                                   {}});
            return;
        }
    }
    if (::flock(job.lockFd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK && ++job.lockTries * kLockRetryMs < job.config.exchangeTimeoutMs) {
            QTimer::singleShot(kLockRetryMs, this, [this, account] { lock(account); });
            return;
        }
        finish(account, Result{Outcome::Temporary,
                               QStringLiteral("another program is renewing the token of account "
                                              "%1 and did not finish within %2 s")
                                   .arg(account)
                                   .arg(job.config.exchangeTimeoutMs / 1000.0),
                               {}});
        return;
    }
    // Under the lock, the store is read afresh: another process may have
    // renewed the tokens while this one waited.
    load(account);
}

void TokenSource::load(const QString &account) {
    QPointer<TokenSource> self(this);
    m_store->load(account, [self, account](const Result &r, StoreChoice where) {
        if (self) {
            self->loaded(account, r, where);
        }
    });
}

void TokenSource::loaded(const QString &account, const Result &result, StoreChoice where) {
    Job &job = m_jobs[account];
    if (result.outcome != Outcome::Ok) {
        finish(account, result);
        return;
    }
    const Tokens &tokens = result.tokens;
    if (job.need == Need::Login && Usable(tokens, m_clock())) {
        finish(account, result);
        return;
    }
    if (tokens.refreshToken.isEmpty()) {
        finish(account, Result{Outcome::NotSignedIn,
                               QStringLiteral("the access token of account %1 has run out and "
                                              "there is no refresh token: sign in again")
                                   .arg(account),
                               {}});
        return;
    }
    refresh(account, tokens, where);
}

void TokenSource::refresh(const QString &account, const Tokens &old, StoreChoice where) {
    const Config &config = m_jobs[account].config;
    QList<std::pair<QString, QString>> form{
        {QStringLiteral("grant_type"), QStringLiteral("refresh_token")},
        {QStringLiteral("refresh_token"), old.refreshToken},
        {QStringLiteral("client_id"), config.clientId}};
    if (!config.clientSecret.isEmpty()) {
        form.append({QStringLiteral("client_secret"), config.clientSecret});
    }
    const QString provider = config.provider;
    PostForm(
        *m_manager, config.tokenUrl, FormBody(form), config.exchangeTimeoutMs,
        QStringLiteral("the token endpoint"), this,
        [this, account, old, where, provider](const HttpResult &r) {
            const TokenReply reply = ParseTokenExchange(r, m_clock());
            switch (reply.kind) {
            case ReplyKind::Tokens: {
                Tokens fresh = reply.tokens;
                if (fresh.refreshToken.isEmpty()) {
                    fresh.refreshToken = old.refreshToken; // not rotated
                }
                if (fresh.scope.isEmpty()) {
                    fresh.scope = old.scope;
                }
                QPointer<TokenSource> self(this);
                m_store->save(account, where, provider, fresh,
                              [self, account](const Result &saved, StoreChoice) {
                                  if (!self) {
                                      return;
                                  }
                                  Result out = saved;
                                  if (saved.outcome != Outcome::Ok) {
                                      out.message =
                                          QStringLiteral("the renewed tokens of account %1 could "
                                                         "not be kept, so they are not used: %2")
                                              .arg(account, saved.message);
                                  }
                                  self->finish(account, out);
                              });
                return;
            }
            case ReplyKind::InvalidGrant:
                finish(account,
                       Result{Outcome::SignInExpired,
                              QStringLiteral("sign-in for account %1 has expired (the provider "
                                             "refused the refresh token: %2)")
                                  .arg(account, reply.message),
                              {}});
                return;
            case ReplyKind::Temporary:
                finish(account,
                       Result{Outcome::Temporary,
                              QStringLiteral("cannot renew the access token of account %1 now: "
                                             "%2; the sign-in is kept, try again later")
                                  .arg(account, reply.message),
                              {}});
                return;
            case ReplyKind::Pending:
            case ReplyKind::SlowDown:
            case ReplyKind::CodeExpired:
            case ReplyKind::Denied:
            case ReplyKind::Failed:
                finish(account, Result{Outcome::Failed,
                                       QStringLiteral("cannot renew the access token of account "
                                                      "%1: %2")
                                           .arg(account, reply.message),
                                       {}});
                return;
            }
        });
}

void TokenSource::finish(const QString &account, const Result &result) {
    const Job job = m_jobs.take(account);
    if (job.lockFd >= 0) {
        ::close(job.lockFd); // releases the flock
    }
    for (const Waiter &w : job.waiters) {
        if (w.context) {
            w.done(result);
        }
    }
}

} // namespace oauth
