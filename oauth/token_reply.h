// The words of OAuth 2.0 on the wire, as pure functions: form bodies, the
// token endpoint's replies (RFC 6749 section 5), the device authorization
// reply (RFC 8628 section 3.2), PKCE (RFC 7636) and the authorization
// request and redirect of a native program (RFC 8252).
//
// No failure text made here quotes a reply's body or a token: a garbled
// reply may hold a token, so only the named fields "error" and
// "error_description" of a JSON error reply are repeated.
#pragma once

#include "oauth/provider.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QUrl>

#include <optional>

namespace oauth {

// How an operation ended, in the terms a caller acts on.
enum class Outcome {
    Ok,
    NotSignedIn,      // no tokens, or tokens that cannot be read: sign in (again)
    SignInExpired,    // the provider refused the refresh token (invalid_grant)
    Temporary,        // endpoint unreachable, slow, 5xx, garbled: try later, sign-in kept
    StoreUnavailable, // the store chosen at sign-in does not answer here
    Denied,           // the user refused, or did not finish sign-in in time
    Failed,           // configuration or local trouble that trying again will not fix
};

[[nodiscard]] QString OutcomeName(Outcome outcome);

struct Tokens {
    QString accessToken;
    QString refreshToken;
    QDateTime expires; // UTC; invalid when unknown
    QString scope;
};

// What a sign-in, a refresh or a store operation ends with. `message`
// explains anything but a plain success and never holds a token.
struct Result {
    Outcome outcome = Outcome::Failed;
    QString message;
    Tokens tokens;
};

// Whether the access token may still be sent: it stays valid for more than
// `marginSecs` after `now`.
[[nodiscard]] bool Usable(const Tokens &tokens, const QDateTime &now, int marginSecs = 60);

enum class ReplyKind {
    Tokens,       // access_token (and maybe a new refresh_token)
    Pending,      // authorization_pending
    SlowDown,     // slow_down
    CodeExpired,  // expired_token: the device code ran out
    Denied,       // access_denied
    InvalidGrant, // invalid_grant: refresh token or code no longer accepted
    Temporary,    // 5xx, 429, not JSON, no access_token
    Failed,       // any other OAuth error (invalid_client, invalid_scope, ...)
};

struct TokenReply {
    ReplyKind kind = ReplyKind::Failed;
    Tokens tokens;   // for ReplyKind::Tokens; refreshToken empty when none came
    QString message; // for the others; never holds a token
};

// One reply of the token endpoint: its HTTP status and body, read at `now`.
[[nodiscard]] TokenReply ParseTokenReply(int httpStatus, const QByteArray &body,
                                         const QDateTime &now);

struct DeviceCode {
    QString deviceCode;
    QString userCode;
    QString verificationUri;
    QString verificationUriComplete; // may be empty
    int expiresIn = 0;               // seconds
    int interval = 5;                // seconds between polls
};

struct DeviceReply {
    std::optional<DeviceCode> code;
    Outcome outcome = Outcome::Failed; // when code is empty
    QString message;
};

[[nodiscard]] DeviceReply ParseDeviceReply(int httpStatus, const QByteArray &body);

// application/x-www-form-urlencoded (every byte outside the unreserved set
// percent-encoded, so '+' in a secret stays a '+').
[[nodiscard]] QByteArray FormBody(const QList<std::pair<QString, QString>> &fields);

// `bytes` bytes from the system's random source, base64url without padding:
// a PKCE verifier (32 bytes give 43 characters) or a state value.
[[nodiscard]] QString RandomToken(int bytes = 32);

// The S256 challenge of a PKCE verifier: base64url(SHA-256(verifier)).
[[nodiscard]] QString PkceChallenge(const QString &verifier);

// The address the user opens to sign in (RFC 6749 section 4.1.1 with the
// PKCE parameters of RFC 7636 section 4.3).
[[nodiscard]] QUrl AuthorizationUrl(const Config &config, const QString &redirectUri,
                                    const QString &state, const QString &challenge);

// The query of the redirect that reaches the local listener.
struct Redirect {
    QString code;
    QString state;
    QString error; // the provider's "error" (access_denied, ...), empty on success
    QString errorDescription;
};

// The redirect in an HTTP request target ("/?code=...&state=..."): nullopt
// when the target carries neither a code nor an error (a browser asking
// for /favicon.ico).
[[nodiscard]] std::optional<Redirect> ParseRedirectTarget(const QByteArray &target);

} // namespace oauth
