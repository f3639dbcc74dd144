#include "oauth/provider.h"

#include <QHostAddress>

namespace oauth {

QString FlowName(Flow flow) {
    switch (flow) {
    case Flow::Device:
        return QStringLiteral("device");
    case Flow::Browser:
        return QStringLiteral("browser");
    }
    return {};
}

std::optional<Flow> FlowFromName(const QString &name) {
    for (Flow f : {Flow::Device, Flow::Browser}) {
        if (name.compare(FlowName(f), Qt::CaseInsensitive) == 0) {
            return f;
        }
    }
    return std::nullopt;
}

QString StoreName(StoreChoice store) {
    switch (store) {
    case StoreChoice::Automatic:
        return QStringLiteral("auto");
    case StoreChoice::SecretService:
        return QStringLiteral("secret-service");
    case StoreChoice::File:
        return QStringLiteral("file");
    }
    return {};
}

std::optional<StoreChoice> StoreFromName(const QString &name) {
    for (StoreChoice s : {StoreChoice::Automatic, StoreChoice::SecretService, StoreChoice::File}) {
        if (name.compare(StoreName(s), Qt::CaseInsensitive) == 0) {
            return s;
        }
    }
    return std::nullopt;
}

std::optional<Preset> FindPreset(const QString &name) {
    const QString n = name.toLower();
    if (n == QLatin1String("microsoft")) {
        // The "common" tenant takes work, school and personal accounts;
        // offline_access is what makes the token endpoint hand out a
        // refresh token.
        const QString base =
            QStringLiteral("https://login.microsoftonline.com/common/oauth2/v2.0/");
        return Preset{QStringLiteral("microsoft"),
                      base + QStringLiteral("authorize"),
                      base + QStringLiteral("token"),
                      base + QStringLiteral("devicecode"),
                      QStringLiteral("https://outlook.office.com/SMTP.Send offline_access"),
                      QStringLiteral("smtp.office365.com"),
                      587,
                      Flow::Device,
                      {}};
    }
    if (n == QLatin1String("google")) {
        return Preset{QStringLiteral("google"),
                      QStringLiteral("https://accounts.google.com/o/oauth2/v2/auth"),
                      QStringLiteral("https://oauth2.googleapis.com/token"),
                      QString(),
                      QStringLiteral("https://mail.google.com/"),
                      QStringLiteral("smtp.gmail.com"),
                      587,
                      Flow::Browser,
                      {{QStringLiteral("access_type"), QStringLiteral("offline")},
                       {QStringLiteral("prompt"), QStringLiteral("consent")}}};
    }
    if (n == QLatin1String("custom")) {
        return Preset{QStringLiteral("custom"), {}, {}, {}, {}, {}, 0, Flow::Device, {}};
    }
    return std::nullopt;
}

QString CheckEndpoint(const QUrl &url, const QString &what) {
    if (!url.isValid() || url.host().isEmpty()) {
        return QStringLiteral("%1 is not a valid address").arg(what);
    }
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("https")) {
        return {};
    }
    if (scheme == QLatin1String("http")) {
        const QHostAddress address(url.host());
        if (!address.isNull() && address.isLoopback()) {
            return {};
        }
        return QStringLiteral("%1 must be an https:// address (http:// only to a loopback "
                              "address such as 127.0.0.1): tokens would cross the network "
                              "unencrypted")
            .arg(what);
    }
    return QStringLiteral("%1 must be an https:// address").arg(what);
}

namespace {

// The setting when given, else the preset's value.
QString Pick(const QString &setting, const QString &preset) {
    return setting.trimmed().isEmpty() ? preset : setting.trimmed();
}

} // namespace

Resolved Resolve(const QString &account, const Settings &settings) {
    auto fail = [](const QString &why) { return Resolved{std::nullopt, why}; };
    if (settings.provider.trimmed().isEmpty()) {
        return fail(QStringLiteral("oauth-provider is not set (microsoft, google or custom)"));
    }
    const std::optional<Preset> preset = FindPreset(settings.provider.trimmed());
    if (!preset) {
        return fail(QStringLiteral("unknown oauth-provider \"%1\" (microsoft, google or custom)")
                        .arg(settings.provider.trimmed()));
    }
    Config c;
    c.account = account;
    c.provider = preset->name;
    c.clientId = settings.clientId.trimmed();
    c.clientSecret = settings.clientSecret;
    c.scope = Pick(settings.scope, preset->scope);
    c.extraAuthParams = preset->extraAuthParams;
    if (c.clientId.isEmpty()) {
        return fail(QStringLiteral("oauth-client-id is not set: register a program of your own "
                                   "with the provider and give its client id"));
    }
    c.flow = preset->defaultFlow;
    if (!settings.flow.trimmed().isEmpty()) {
        const std::optional<Flow> flow = FlowFromName(settings.flow.trimmed());
        if (!flow) {
            return fail(QStringLiteral("unknown oauth-flow \"%1\" (device or browser)")
                            .arg(settings.flow.trimmed()));
        }
        c.flow = *flow;
    }
    if (!settings.tokenStore.trimmed().isEmpty()) {
        const std::optional<StoreChoice> store = StoreFromName(settings.tokenStore.trimmed());
        if (!store) {
            return fail(QStringLiteral("unknown token-store \"%1\" (secret-service or file)")
                            .arg(settings.tokenStore.trimmed()));
        }
        c.store = *store;
    }

    const QString tokenUrl = Pick(settings.tokenUrl, preset->tokenUrl);
    const QString authUrl = Pick(settings.authUrl, preset->authUrl);
    const QString deviceUrl = Pick(settings.deviceUrl, preset->deviceUrl);
    // Without a flow named, the endpoints given tell which one is meant.
    if (settings.flow.trimmed().isEmpty() && deviceUrl.isEmpty() && !authUrl.isEmpty()) {
        c.flow = Flow::Browser;
    }
    if (tokenUrl.isEmpty()) {
        return fail(QStringLiteral("oauth-token-url is not set (a custom provider needs it)"));
    }
    c.tokenUrl = QUrl(tokenUrl);
    if (QString why = CheckEndpoint(c.tokenUrl, QStringLiteral("oauth-token-url"));
        !why.isEmpty()) {
        return fail(why);
    }
    if (c.flow == Flow::Device) {
        if (deviceUrl.isEmpty()) {
            if (preset->name == QLatin1String("custom")) {
                return fail(QStringLiteral("oauth-device-url is not set (the device flow of a "
                                           "custom provider needs it)"));
            }
            return fail(QStringLiteral("%1 does not allow the mail scope in the device flow: "
                                       "use oauth-flow = browser")
                            .arg(preset->name));
        }
        c.deviceUrl = QUrl(deviceUrl);
        if (QString why = CheckEndpoint(c.deviceUrl, QStringLiteral("oauth-device-url"));
            !why.isEmpty()) {
            return fail(why);
        }
    } else {
        if (authUrl.isEmpty()) {
            return fail(QStringLiteral("oauth-auth-url is not set (the browser flow of a custom "
                                       "provider needs it)"));
        }
        c.authUrl = QUrl(authUrl);
        if (QString why = CheckEndpoint(c.authUrl, QStringLiteral("oauth-auth-url"));
            !why.isEmpty()) {
            return fail(why);
        }
    }
    return Resolved{c, {}};
}

} // namespace oauth
