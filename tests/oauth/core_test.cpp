// The pure parts: provider settings, endpoint checks, token and device
// replies, PKCE and the authorization request and redirect.
#include "oauth/provider.h"
#include "oauth/token_reply.h"

#include "cli/row_name.h"
#include "qt_printers.h"

#include <QRegularExpression>
#include <QTimeZone>
#include <QUrlQuery>
#include <gtest/gtest.h>

using namespace oauth;

namespace {

struct SettingsRow {
    const char *name;
    Settings settings;
    const char *error; // a part of the error text, or nullptr when it resolves
};

class ResolveTest : public ::testing::TestWithParam<SettingsRow> {};

TEST_P(ResolveTest, ChecksTheSettingsBeforeAnyExchange) {
    const SettingsRow &row = GetParam();
    const Resolved r = Resolve("work", row.settings);
    if (row.error) {
        EXPECT_FALSE(r.config);
        EXPECT_TRUE(r.error.contains(QLatin1String(row.error))) << r.error.toStdString();
    } else {
        ASSERT_TRUE(r.config) << r.error.toStdString();
    }
}

Settings S(const char *provider, const char *flow = "", const char *token = "",
           const char *device = "", const char *auth = "", const char *client = "id") {
    Settings s;
    s.provider = provider;
    s.flow = flow;
    s.tokenUrl = token;
    s.deviceUrl = device;
    s.authUrl = auth;
    s.clientId = client;
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ResolveTest,
    ::testing::Values(
        SettingsRow{"MicrosoftDevice", S("microsoft"), nullptr},
        SettingsRow{"MicrosoftBrowser", S("Microsoft", "browser"), nullptr},
        SettingsRow{"GoogleBrowser", S("google"), nullptr},
        SettingsRow{"GoogleRefusesDevice", S("google", "device"), "use oauth-flow = browser"},
        SettingsRow{"NoClientId", S("microsoft", "", "", "", "", ""), "oauth-client-id"},
        SettingsRow{"NoProvider", S(""), "oauth-provider is not set"},
        SettingsRow{"UnknownProvider", S("yahoo"), "unknown oauth-provider \"yahoo\""},
        SettingsRow{"UnknownFlow", S("microsoft", "qr"), "unknown oauth-flow"},
        SettingsRow{"CustomNeedsToken", S("custom"), "oauth-token-url is not set"},
        SettingsRow{"CustomNeedsDevice", S("custom", "device", "https://a.example/t"),
                    "oauth-device-url is not set"},
        SettingsRow{"CustomNeedsAuth", S("custom", "browser", "https://a.example/t"),
                    "oauth-auth-url is not set"},
        SettingsRow{"CustomAuthOnlyMeansBrowser",
                    S("custom", "", "https://a.example/t", "", "https://a.example/a"), nullptr},
        SettingsRow{"CustomComplete",
                    S("custom", "browser", "https://a.example/t", "", "http://127.0.0.1:9/a"),
                    nullptr},
        SettingsRow{"PlainHttpRefused", S("microsoft", "", "http://login.example/token"),
                    "oauth-token-url must be an https:// address"},
        SettingsRow{"PlainHttpDeviceRefused",
                    S("custom", "", "https://a.example/t", "http://10.0.0.1/d"),
                    "oauth-device-url must be an https://"},
        SettingsRow{"OtherScheme", S("custom", "", "ftp://a.example/t"), "must be an https://"},
        SettingsRow{"NotAnAddress", S("custom", "", "https://"), "not a valid address"}),
    RowName());

TEST(Resolve, PresetsCarryTheScopesAndAnOverrideWins) {
    const Resolved ms = Resolve("a", S("microsoft"));
    ASSERT_TRUE(ms.config);
    EXPECT_EQ(ms.config->scope, "https://outlook.office.com/SMTP.Send offline_access");
    EXPECT_EQ(ms.config->flow, Flow::Device);
    EXPECT_EQ(FindPreset("microsoft")->server, "smtp.office365.com");
    EXPECT_EQ(FindPreset("google")->port, 587);
    Settings own = S("google");
    own.scope = "https://mail.google.com/ openid";
    own.tokenUrl = "http://[::1]:8080/token";
    own.tokenStore = "file";
    const Resolved g = Resolve("a", own);
    ASSERT_TRUE(g.config) << g.error.toStdString();
    EXPECT_EQ(g.config->scope, own.scope);
    EXPECT_EQ(g.config->tokenUrl.port(), 8080);
    EXPECT_EQ(g.config->store, StoreChoice::File);
    EXPECT_EQ(g.config->flow, Flow::Browser);
    own.tokenStore = "keyring";
    EXPECT_TRUE(Resolve("a", own).error.contains("unknown token-store"));
}

struct ReplyRow {
    const char *name;
    int status;
    const char *body;
    ReplyKind kind;
    const char *text; // part of the message (or the access token for Tokens)
};

class TokenReplyTest : public ::testing::TestWithParam<ReplyRow> {};

TEST_P(TokenReplyTest, ClassifiesWithoutQuotingTheBody) {
    const ReplyRow &row = GetParam();
    const QDateTime now = QDateTime::fromSecsSinceEpoch(1000000, Qt::UTC);
    const TokenReply r = ParseTokenReply(row.status, row.body, now);
    EXPECT_EQ(r.kind, row.kind) << r.message.toStdString();
    if (row.kind == ReplyKind::Tokens) {
        EXPECT_EQ(r.tokens.accessToken, row.text);
        EXPECT_GT(now.secsTo(r.tokens.expires), 0);
    } else {
        EXPECT_TRUE(r.message.contains(QLatin1String(row.text))) << r.message.toStdString();
        EXPECT_FALSE(r.message.contains("SECRET")) << r.message.toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, TokenReplyTest,
    ::testing::Values(
        ReplyRow{"Tokens", 200, R"({"access_token":"a1","token_type":"bearer","expires_in":60})",
                 ReplyKind::Tokens, "a1"},
        ReplyRow{"ExpiryAsString", 200, R"({"access_token":"a2","expires_in":"3599"})",
                 ReplyKind::Tokens, "a2"},
        ReplyRow{"Pending", 400, R"({"error":"authorization_pending"})", ReplyKind::Pending,
                 "authorization_pending"},
        ReplyRow{"SlowDown", 400, R"({"error":"slow_down"})", ReplyKind::SlowDown, "slow_down"},
        ReplyRow{"CodeExpired", 400, R"({"error":"expired_token"})", ReplyKind::CodeExpired, ""},
        ReplyRow{"Denied", 400, R"({"error":"access_denied"})", ReplyKind::Denied, ""},
        ReplyRow{"InvalidGrant", 400,
                 R"({"error":"invalid_grant","error_description":"AADSTS70008: expired"})",
                 ReplyKind::InvalidGrant, "AADSTS70008"},
        ReplyRow{"ErrorWith200", 200, R"({"error":"invalid_grant"})", ReplyKind::InvalidGrant,
                 "invalid_grant"},
        ReplyRow{"InvalidClient", 401, R"({"error":"invalid_client"})", ReplyKind::Failed,
                 "refused the request (HTTP 401: invalid_client)"},
        ReplyRow{"ServerError", 503, R"({"access_token":"SECRET"})", ReplyKind::Temporary,
                 "not available now (HTTP 503)"},
        ReplyRow{"TooMany", 429, "", ReplyKind::Temporary, "HTTP 429"},
        ReplyRow{"NotJson", 200, "<html>SECRET</html>", ReplyKind::Temporary,
                 "is not a JSON object"},
        ReplyRow{"Truncated", 200, R"({"access_token":"SECRET","expi)", ReplyKind::Temporary,
                 "is not a JSON object"},
        ReplyRow{"NotJson404", 404, "gone", ReplyKind::Failed, "HTTP 404"},
        ReplyRow{"NoAccessToken", 200, R"({"refresh_token":"SECRET"})", ReplyKind::Temporary,
                 "has no access_token"},
        ReplyRow{"NotBearer", 200, R"({"access_token":"SECRET","token_type":"mac"})",
                 ReplyKind::Failed, "\"mac\" token"}),
    RowName());

TEST(DeviceReply, NeedsItsFieldsAndBoundsTheInterval) {
    const DeviceReply ok = ParseDeviceReply(
        200, R"({"device_code":"d","user_code":"U","verification_url":"https://x/d",)"
             R"("expires_in":900,"interval":0})");
    ASSERT_TRUE(ok.code) << ok.message.toStdString();
    EXPECT_EQ(ok.code->verificationUri, "https://x/d");
    EXPECT_EQ(ok.code->interval, 1);
    const DeviceReply missing = ParseDeviceReply(200, R"({"device_code":"d","expires_in":9})");
    EXPECT_EQ(missing.outcome, Outcome::Temporary);
    EXPECT_TRUE(missing.message.contains("lacks user_code, verification_uri"))
        << missing.message.toStdString();
    const DeviceReply refused = ParseDeviceReply(400, R"({"error":"invalid_client"})");
    EXPECT_EQ(refused.outcome, Outcome::Failed);
    EXPECT_TRUE(refused.message.contains("invalid_client"));
}

TEST(Pkce, ChallengeIsUnpaddedBase64UrlOfSha256) {
    // Computed apart, by Python's hashlib and base64.urlsafe_b64encode.
    EXPECT_EQ(PkceChallenge("dBjftJeZ4CVP-mJ92IqpVGpBxHCP4Ek9Cq-ItaSn9YQ"),
              "jFK3cmqoC_sCbAZP-TD0RpbXh5X6pXRnVTn3rkaQwjE");
    const QString a = RandomToken(32);
    EXPECT_EQ(a.size(), 43);
    EXPECT_NE(a, RandomToken(32));
    EXPECT_TRUE(QRegularExpression("^[A-Za-z0-9_-]+$").match(a).hasMatch());
}

TEST(AuthorizationRequest, CarriesPkceStateAndTheProvidersParameters) {
    const Resolved g = Resolve("a", S("google", "", "", "", "", "my id+1"));
    ASSERT_TRUE(g.config);
    const QUrl url = AuthorizationUrl(*g.config, "http://127.0.0.1:5000/", "st", "ch");
    EXPECT_EQ(url.host(), "accounts.google.com");
    const QUrlQuery q(url);
    auto item = [&](const char *k) { return q.queryItemValue(k, QUrl::FullyDecoded); };
    EXPECT_EQ(item("client_id"), "my id+1");
    EXPECT_EQ(item("redirect_uri"), "http://127.0.0.1:5000/");
    EXPECT_EQ(item("code_challenge_method"), "S256");
    EXPECT_EQ(item("code_challenge"), "ch");
    EXPECT_EQ(item("state"), "st");
    EXPECT_EQ(item("scope"), "https://mail.google.com/");
    EXPECT_EQ(item("access_type"), "offline");
    EXPECT_EQ(item("response_type"), "code");

    const auto r = ParseRedirectTarget("/?state=st&code=4%2F0Ab%2B");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->code, "4/0Ab+");
    EXPECT_EQ(r->state, "st");
    EXPECT_EQ(ParseRedirectTarget("/?error=access_denied&state=st")->error, "access_denied");
    EXPECT_FALSE(ParseRedirectTarget("/favicon.ico"));
    EXPECT_FALSE(ParseRedirectTarget("/?foo=bar"));
}

TEST(FormBody, EncodesEveryReservedByte) {
    EXPECT_EQ(FormBody({{"a", "x y+z&=/"}, {"b", ""}}), "a=x%20y%2Bz%26%3D%2F&b=");
}

} // namespace
