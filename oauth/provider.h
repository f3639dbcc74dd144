// Which OAuth 2.0 authorization server an account signs in with: the presets
// of the large mail services and the settings that override them. Pure: no
// network, so the checks of a configuration run without a socket.
//
// Endpoints must be https:// (RFC 6749 section 3.1 and 3.2 require TLS);
// http:// is accepted only for a loopback address, where a local token
// server (a test, a private gateway) never leaves the machine.
#pragma once

#include <QList>
#include <QString>
#include <QUrl>

#include <optional>

namespace oauth {

enum class Flow {
    Device,  // RFC 8628: a code the user types on another device
    Browser, // RFC 8252: authorization code with PKCE through a local redirect
};

// Where the tokens of an account are kept.
enum class StoreChoice {
    Automatic,     // the Secret Service when one answers, else the file
    SecretService, // libsecret (GNOME Keyring, KWallet)
    File,          // $XDG_STATE_HOME/kelmsend/oauth/<account>
};

[[nodiscard]] QString FlowName(Flow flow);
[[nodiscard]] std::optional<Flow> FlowFromName(const QString &name);
[[nodiscard]] QString StoreName(StoreChoice store);
[[nodiscard]] std::optional<StoreChoice> StoreFromName(const QString &name);

// A provider's fixed facts. The client id is never part of a preset: every
// user registers a program of their own with the provider.
struct Preset {
    QString name;
    QString authUrl;
    QString tokenUrl;
    QString deviceUrl; // empty: the provider refuses the mail scope in the device flow
    QString scope;     // SMTP submission, with offline_access where a refresh token needs it
    QString server;
    quint16 port = 0;
    Flow defaultFlow = Flow::Device;
    // Query items the authorization request needs for a refresh token
    // (Google issues one only with access_type=offline, and on a repeated
    // sign-in only with prompt=consent).
    QList<std::pair<QString, QString>> extraAuthParams;
};

// "microsoft", "google" or "custom" (letter case ignored); std::nullopt for
// any other name. The custom preset has no endpoints.
[[nodiscard]] std::optional<Preset> FindPreset(const QString &name);

// The account keys as the user wrote them; empty means "not given".
struct Settings {
    QString provider;
    QString clientId;
    QString clientSecret;
    QString scope;
    QString authUrl;
    QString tokenUrl;
    QString deviceUrl;
    QString flow;
    QString tokenStore;
};

// Everything the flows and the refresh need, checked.
struct Config {
    QString account;
    QString provider;
    QUrl authUrl; // empty when the flow is Device
    QUrl tokenUrl;
    QUrl deviceUrl; // empty when the flow is Browser
    QString scope;
    QString clientId;
    QString clientSecret;
    Flow flow = Flow::Device;
    StoreChoice store = StoreChoice::Automatic;
    QList<std::pair<QString, QString>> extraAuthParams;
    int exchangeTimeoutMs = 30000;      // each request to an endpoint
    int browserTimeoutMs = 5 * 60000;   // the user's sign-in in the browser
    int secretServiceTimeoutMs = 10000; // each call into the Secret Service
};

struct Resolved {
    std::optional<Config> config;
    QString error; // set when config is empty
};

// The configuration of `account` from its settings: the preset's values
// where a setting is empty, and the checks a user needs to hear about
// before any network exchange (a missing client id, a custom provider
// without endpoints, a flow the provider refuses, a non-https endpoint).
[[nodiscard]] Resolved Resolve(const QString &account, const Settings &settings);

// An empty string when `url` may carry tokens (https://, or http:// to a
// loopback address), else the reason, naming `what` ("oauth-token-url").
[[nodiscard]] QString CheckEndpoint(const QUrl &url, const QString &what);

} // namespace oauth
