#include "cli/bearer_send.h"

#include "cli/configure.h"
#include "mail/send_mail.h"
#include "oauth/token_source.h"
#include "oauth/token_store.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QTimer>

#include <optional>

namespace kelmsend {

namespace {

// Beyond the core's own limits (each exchange, each Secret Service call, the
// lock of the account), the wait for a token never lasts longer than this.
constexpr int kTokenWaitMs = 180000;

} // namespace

struct BearerTokens::SignIn {
    oauth::Config config;
    oauth::TokenStore store;
    QNetworkAccessManager manager;
    oauth::TokenSource source{&store, &manager};
};

BearerTokens::BearerTokens(const Options &o, EnvironmentLookup env)
    : m_options(o), m_env(std::move(env)) {
    if (!o.signsIn()) {
        return;
    }
    const oauth::Resolved resolved = oauth::Resolve(o.accountName(), o.oauth);
    if (!resolved.config) {
        return; // CheckOptions refused it already; fetch() says so again
    }
    m_signIn = std::make_unique<SignIn>();
    m_signIn->config = *resolved.config;
    if (o.connectTimeout > 0) {
        m_signIn->config.exchangeTimeoutMs = o.connectTimeout * 1000;
    }
    m_signIn->store.setSecretServiceTimeoutMs(m_signIn->config.secretServiceTimeoutMs);
}

BearerTokens::~BearerTokens() = default;

bool BearerTokens::renewable() const {
    return m_options.signsIn() || !m_options.oauthTokenCommand.isEmpty();
}

TokenFetch BearerTokens::fetch(bool refused) {
    TokenFetch out;
    if (!m_options.signsIn()) {
        if (const QString problem = LoadOAuthToken(m_options, out.token, m_env);
            !problem.isEmpty()) {
            // As a password command that fails: the setting needs fixing.
            return TokenFetch{{}, kExitUsage, problem};
        }
        return out;
    }
    if (!m_signIn) {
        return TokenFetch{
            {}, kExitUsage, oauth::Resolve(m_options.accountName(), m_options.oauth).error};
    }
    QEventLoop loop;
    std::optional<oauth::Result> result;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    m_signIn->source.accessToken(m_signIn->config,
                                 refused ? oauth::TokenSource::Need::Refused
                                         : oauth::TokenSource::Need::Login,
                                 &loop, [&](const oauth::Result &r) {
                                     result = r;
                                     loop.quit();
                                 });
    if (!result) {
        guard.start(kTokenWaitMs);
        loop.exec();
    }
    if (!result) {
        return TokenFetch{{},
                          kExitFailed,
                          "no access token for account " + m_options.accountName() + " within " +
                              QString::number(kTokenWaitMs / 1000) + " seconds; try again later"};
    }
    if (result->outcome != oauth::Outcome::Ok) {
        const SignInFailure f =
            DescribeSignInFailure(result->outcome, result->message, m_options.accountName());
        return TokenFetch{{}, f.exitCode, f.text};
    }
    out.token = result->tokens.accessToken;
    return out;
}

SignInFailure DescribeSignInFailure(oauth::Outcome outcome, const QString &message,
                                    const QString &account) {
    const QString login = "kelmsend auth login --account " + account;
    switch (outcome) {
    case oauth::Outcome::SignInExpired:
        return {kExitSignIn, "sign-in for account " + account + " has expired: run " + login};
    case oauth::Outcome::NotSignedIn:
        return {kExitSignIn, message + " (run " + login + ")"};
    case oauth::Outcome::Ok:
    case oauth::Outcome::Temporary:
    case oauth::Outcome::StoreUnavailable:
    case oauth::Outcome::Denied:
    case oauth::Outcome::Failed:
        break;
    }
    return {kExitFailed, message};
}

int DeliverWithToken(clsSendMail &mail, Reporter &reporter, BearerTokens &tokens,
                     const std::function<void()> &send, QStringList *failuresOut) {
    const auto failWith = [&](const TokenFetch &f) {
        reporter.Finish();
        reporter.Error(f.error);
        if (failuresOut) {
            *failuresOut = QStringList{f.error};
        }
        return f.exitCode;
    };
    const TokenFetch first = tokens.fetch(false);
    if (!first.error.isEmpty()) {
        return failWith(first);
    }
    mail.setOAuthToken(first.token);
    if (!tokens.renewable()) {
        return Deliver(mail, reporter, send, failuresOut);
    }

    // A refused token is renewed through the component's own hook: once,
    // while the send waits, and on the same connection when the server
    // keeps it open. A renewal that fails ends the send with its own
    // status and text instead of the server's refusal.
    std::optional<TokenFetch> renewal;
    mail.SetOAuthTokenProvider([&mail, &tokens, &renewal](const QString &) {
        renewal = tokens.fetch(true);
        mail.ProvideOAuthToken(renewal->error.isEmpty() ? renewal->token : QString());
    });
    const SendRun run = RunSend(mail, reporter, send);
    mail.SetOAuthTokenProvider({});
    if (renewal && !renewal->error.isEmpty()) {
        return failWith(*renewal);
    }
    return ReportSend(reporter, run, failuresOut);
}

} // namespace kelmsend
