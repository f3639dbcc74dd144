// A send that logs in with an OAuth bearer token: where the token comes
// from, and the one second try when the server refuses it.
//
// The token comes from --oauth-token-env or --oauth-token-file (read once),
// --oauth-token-command (run before each login) or the account's sign-in
// (oauth::TokenSource: the stored access token while it stays valid for
// more than a minute, else a renewal by the refresh token). When the server
// refuses the token, a new one is fetched once and the login is made once
// more, never more (on the same connection unless the server closed it).
#pragma once

#include "cli/inputs.h"
#include "cli/options.h"
#include "cli/reporter.h"
#include "oauth/token_reply.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class clsSendMail;

namespace kelmsend {

// How fetching a token ended.
struct TokenFetch {
    QString token;            // set on success
    int exitCode = kExitSent; // else kExitFailed, kExitUsage (a token command that fails) or
                              // kExitSignIn (the sign-in has expired or is missing)
    QString error;
};

class BearerTokens {
public:
    BearerTokens(const Options &options, EnvironmentLookup env);
    ~BearerTokens();
    BearerTokens(const BearerTokens &) = delete;
    BearerTokens &operator=(const BearerTokens &) = delete;

    // The token for the next login; `refused`: the server refused the last
    // one, so a stored token is not good enough.
    [[nodiscard]] TokenFetch fetch(bool refused);
    // Whether a refused token can be replaced by another (not so for a
    // variable or a file, which would hand out the same token).
    [[nodiscard]] bool renewable() const;

private:
    struct SignIn;
    Options m_options;
    EnvironmentLookup m_env;
    std::unique_ptr<SignIn> m_signIn;
};

// The exit status and the text of an oauth::Result that is not Ok, for
// `account`: an expired sign-in asks for `kelmsend auth login`.
struct SignInFailure {
    int exitCode = kExitFailed;
    QString text;
};
[[nodiscard]] SignInFailure DescribeSignInFailure(oauth::Outcome outcome, const QString &message,
                                                  const QString &account);

// Fetches the token, hands it to `mail` (OAuthToken) and runs `send`; when
// the server refuses the token and another can be had, the component asks
// for one (SetOAuthTokenProvider): fetched once, it gets one more login.
// Returns kelmsend's exit status, every failure reported on `reporter`;
// `failures`, when given, receives their texts.
[[nodiscard]] int DeliverWithToken(clsSendMail &mail, Reporter &reporter, BearerTokens &tokens,
                                   const std::function<void()> &send,
                                   QStringList *failures = nullptr);

} // namespace kelmsend
