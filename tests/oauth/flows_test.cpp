// Sign-in by the device and the browser flow, and the renewal of access
// tokens, against the scripted authorization server on loopback. Every
// case also checks that no token or client secret reached a message.
#include "oauth_harness.h"

#include "cli/row_name.h"
#include "oauth/sign_in.h"
#include "oauth/token_source.h"
#include "qt_printers.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTemporaryDir>
#include <QTimeZone>

using namespace oauth;
using namespace oauthtest;

namespace {

class OAuthTest : public ::testing::Test {
protected:
    // Qt's own network logging on, as a user chasing a fault would turn it.
    void SetUp() override { QLoggingCategory::setFilterRules("qt.network*=true"); }
    void TearDown() override {
        QLoggingCategory::setFilterRules({});
        QStringList texts = MessageLog::texts();
        texts << m_texts;
        ExpectNoSecret(texts);
    }

    // Signs in by `flow`; `browser` plays the user's browser with the
    // authorization address.
    std::optional<Result> signIn(Flow flow, std::function<void(const QUrl &)> browser = {},
                                 int secondMs = 20) {
        SignIn signIn(LocalConfig(server, flow), &store, &nam);
        signIn.setSecondMs(secondMs);
        std::optional<Result> result;
        QObject::connect(&signIn, &SignIn::deviceCode, [this](const DeviceCode &c) {
            m_texts << c.userCode << c.verificationUri;
            EXPECT_EQ(c.userCode, "WDJB-MJHT");
        });
        QObject::connect(&signIn, &SignIn::authorizationUrl, [&](const QUrl &url) {
            m_texts << url.toString();
            if (browser) {
                browser(url);
            }
        });
        QObject::connect(&signIn, &SignIn::finished,
                         [&](const Result &r, StoreChoice) { result = r; });
        signIn.start();
        EXPECT_TRUE(Until([&] { return result.has_value(); }, 8000));
        if (result) {
            m_texts << result->message;
        }
        return result;
    }

    // What the record file holds now.
    QJsonObject record() {
        QFile f(store.recordPath("work"));
        EXPECT_TRUE(f.open(QIODevice::ReadOnly));
        return QJsonDocument::fromJson(f.readAll()).object();
    }

    // GET `url` as a browser would (redirects followed); the status.
    int browse(const QUrl &url) {
        QNetworkReply *reply = nam.get(QNetworkRequest(url));
        EXPECT_TRUE(Until([reply] { return reply->isFinished(); }));
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        reply->deleteLater();
        return status;
    }

    MessageLog log;
    TokenServer server;
    QNetworkAccessManager nam;
    QTemporaryDir dir;
    TokenStore store{dir.filePath("state/oauth")};
    QStringList m_texts;
};

struct DeviceRow {
    const char *name;
    QStringList polls; // errors before the tokens
    int status;        // canned first reply of /token, 0: none
    Outcome outcome;
    const char *text; // part of the message
};

class DeviceFlowTest : public OAuthTest, public ::testing::WithParamInterface<DeviceRow> {};

TEST_P(DeviceFlowTest, PollsUntilTheUserHasDecided) {
    const DeviceRow &row = GetParam();
    server.devicePolls = row.polls;
    if (row.status) {
        server.canned["/token"].push_back({row.status, "{}"});
    }
    const std::optional<Result> r = signIn(Flow::Device);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->outcome, row.outcome) << r->message.toStdString();
    EXPECT_TRUE(r->message.contains(QLatin1String(row.text))) << r->message.toStdString();
    const qsizetype polls = row.status ? 1 : row.polls.size() + (row.outcome == Outcome::Ok);
    EXPECT_EQ(server.count("/token"), polls);
    const TokenServer::Request &device = server.requests().first();
    EXPECT_EQ(device.fields.value("client_id"), "client-1");
    EXPECT_EQ(device.fields.value("scope"), "smtp offline_access");
    if (row.outcome == Outcome::Ok) {
        EXPECT_EQ(record().value("refresh_token").toString(), server.lastRefreshToken);
        EXPECT_EQ(server.requests().last().fields.value("device_code"), "DEV-1");
    } else {
        EXPECT_FALSE(QFile::exists(store.recordPath("work")));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DeviceFlowTest,
    ::testing::Values(DeviceRow{"PendingThenTokens",
                                {"authorization_pending", "authorization_pending"},
                                0,
                                Outcome::Ok,
                                ""},
                      DeviceRow{"SlowDown", {"slow_down"}, 0, Outcome::Ok, ""},
                      DeviceRow{"CodeExpired",
                                {"authorization_pending", "expired_token"},
                                0,
                                Outcome::Denied,
                                "the code expired before sign-in was finished"},
                      DeviceRow{"AccessDenied",
                                {"access_denied"},
                                0,
                                Outcome::Denied,
                                "sign-in was refused (access_denied)"},
                      DeviceRow{
                          "OtherError", {"invalid_client"}, 0, Outcome::Failed, "invalid_client"},
                      DeviceRow{"ServerFailing", {}, 502, Outcome::Temporary, "HTTP 502"}),
    RowName());

TEST_F(OAuthTest, SlowDownAddsFiveSecondsToEveryLaterPoll) {
    server.devicePolls = {"authorization_pending", "slow_down", "authorization_pending"};
    ASSERT_EQ(signIn(Flow::Device, {}, 40)->outcome, Outcome::Ok);
    QList<qint64> at;
    for (const auto &r : server.requests()) {
        if (r.path == "/token") {
            at << r.atMs;
        }
    }
    ASSERT_EQ(at.size(), 4);
    // One second of 40 ms before slow_down, six after it.
    EXPECT_LT(at[1] - at[0], 6 * 40);
    EXPECT_GE(at[2] - at[1], 6 * 40);
    EXPECT_GE(at[3] - at[2], 6 * 40);
}

TEST_F(OAuthTest, DeviceEndpointFailuresAreClear) {
    server.canned["/device"].push_back({200, "<html>captive portal</html>"});
    EXPECT_TRUE(signIn(Flow::Device)->message.contains("is not a JSON object"));
    server.canned["/device"].push_back({200, {}, 0, false, true});
    const Result silent = *signIn(Flow::Device);
    EXPECT_EQ(silent.outcome, Outcome::Temporary);
    EXPECT_TRUE(silent.message.contains("did not answer within 0.8 s"))
        << silent.message.toStdString();
    EXPECT_EQ(server.count("/token"), 0);
    // A code that runs out here, whatever the token endpoint says.
    server.canned["/device"].push_back(
        {200, R"({"device_code":"d","user_code":"WDJB-MJHT","verification_uri":"https://x",)"
              R"("expires_in":2,"interval":1})"});
    server.devicePolls = QStringList(10, "authorization_pending");
    const Result expired = *signIn(Flow::Device);
    EXPECT_EQ(expired.outcome, Outcome::Denied);
    EXPECT_TRUE(expired.message.contains("the code expired")) << expired.message.toStdString();
    EXPECT_EQ(server.count("/token"), 1);
}

TEST_F(OAuthTest, BrowserSignInWithPkce) {
    const std::optional<Result> r = signIn(Flow::Browser, [this](const QUrl &url) {
        EXPECT_EQ(url.host(), "127.0.0.1");
        // The server redirects to our listener; QNetworkAccessManager
        // follows like a browser.
        QNetworkReply *reply = nam.get(QNetworkRequest(url));
        QObject::connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
    });
    ASSERT_TRUE(r);
    EXPECT_EQ(r->outcome, Outcome::Ok) << r->message.toStdString();
    EXPECT_EQ(server.lastChallengeMethod, "S256");
    const TokenServer::Request &exchange = server.requests().last();
    EXPECT_EQ(exchange.fields.value("grant_type"), "authorization_code");
    EXPECT_TRUE(exchange.fields.value("redirect_uri").startsWith("http://127.0.0.1:"));
    EXPECT_EQ(exchange.fields.value("client_secret"), kClientSecret);
    EXPECT_EQ(record().value("access_token").toString(), server.lastAccessToken);
}

TEST_F(OAuthTest, BrowserRedirectWithAnotherStateIsRefused) {
    std::optional<int> forged;
    const std::optional<Result> r = signIn(Flow::Browser, [&](const QUrl &url) {
        const QString redirect = QUrlQuery(url).queryItemValue("redirect_uri", QUrl::FullyDecoded);
        forged = browse(QUrl(redirect + "?code=code-1&state=forged"));
        EXPECT_EQ(server.count("/token"), 0); // no exchange for it
        const QString state = QUrlQuery(url).queryItemValue("state", QUrl::FullyDecoded);
        EXPECT_EQ(browse(QUrl(redirect + "?error=access_denied&state=" + state)), 200);
    });
    ASSERT_TRUE(r);
    EXPECT_EQ(forged, 400);
    EXPECT_EQ(r->outcome, Outcome::Denied);
    EXPECT_TRUE(r->message.contains("sign-in was refused (access_denied)"))
        << r->message.toStdString();
    EXPECT_EQ(server.count("/token"), 0);
}

// Renewal: the stored tokens, the need, what the server does.
struct RefreshRow {
    const char *name;
    int expiresInSecs; // of the stored access token
    TokenSource::Need need;
    bool liveRefreshToken;
    std::optional<TokenServer::Canned> reply; // else the server's own behaviour
    Outcome outcome;
    const char *text; // part of the message
    int refreshes;    // requests to /token
};

class RefreshTest : public OAuthTest, public ::testing::WithParamInterface<RefreshRow> {};

TEST_P(RefreshTest, RenewsWhenNeededAndKeepsTheSignInOnTemporaryFailures) {
    const RefreshRow &row = GetParam();
    const Config config = LocalConfig(server, Flow::Device);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const Tokens stored{"AT-0-secret", "RT-0-secret", now.addSecs(row.expiresInSecs), "smtp"};
    if (row.liveRefreshToken) {
        server.liveRefreshTokens.insert(stored.refreshToken);
    }
    if (row.reply) {
        server.canned["/token"].push_back(*row.reply);
    }
    bool saved = false;
    store.save("work", StoreChoice::File, "custom", stored,
               [&](const Result &r, StoreChoice) { saved = r.outcome == Outcome::Ok; });
    ASSERT_TRUE(Until([&] { return saved; }));

    TokenSource source(&store, &nam);
    std::optional<Result> result;
    QJsonObject onDisk; // the record when the token is handed out
    source.accessToken(config, row.need, &source, [&](const Result &r) {
        onDisk = record();
        result = r;
    });
    ASSERT_TRUE(Until([&] { return result.has_value(); }));
    m_texts << result->message;
    EXPECT_EQ(result->outcome, row.outcome) << result->message.toStdString();
    EXPECT_TRUE(result->message.contains(QLatin1String(row.text))) << result->message.toStdString();
    EXPECT_EQ(server.count("/token"), row.refreshes);
    if (row.outcome == Outcome::Ok && row.refreshes) {
        EXPECT_EQ(result->tokens.accessToken, server.lastAccessToken);
        // The rotated refresh token was on disk before the new access
        // token was handed out; the old one no longer works.
        EXPECT_EQ(onDisk.value("refresh_token").toString(), server.lastRefreshToken);
        EXPECT_EQ(onDisk.value("access_token").toString(), server.lastAccessToken);
        EXPECT_FALSE(server.liveRefreshTokens.contains(stored.refreshToken));
        const TokenServer::Request &req = server.requests().last();
        EXPECT_EQ(req.fields.value("grant_type"), "refresh_token");
        EXPECT_EQ(req.fields.value("refresh_token"), stored.refreshToken);
    } else if (row.outcome == Outcome::Ok) {
        EXPECT_EQ(result->tokens.accessToken, stored.accessToken);
    } else {
        EXPECT_TRUE(result->tokens.accessToken.isEmpty());
        EXPECT_EQ(onDisk.value("refresh_token").toString(), stored.refreshToken);
    }
}

using Need = TokenSource::Need;
using Canned = TokenServer::Canned;

INSTANTIATE_TEST_SUITE_P(
    Rows, RefreshTest,
    ::testing::Values(
        RefreshRow{"ValidTokenIsReused", 3600, Need::Login, true, {}, Outcome::Ok, "", 0},
        RefreshRow{"TokenAboutToExpire", 59, Need::Login, true, {}, Outcome::Ok, "", 1},
        RefreshRow{"ExpiredToken", -10, Need::Login, true, {}, Outcome::Ok, "", 1},
        RefreshRow{"RefusedTokenIsRenewed", 3600, Need::Refused, true, {}, Outcome::Ok, "", 1},
        RefreshRow{"InvalidGrant",
                   0,
                   Need::Login,
                   false,
                   {},
                   Outcome::SignInExpired,
                   "sign-in for account work has expired",
                   1},
        RefreshRow{"ServerError", 0, Need::Login, true, Canned{503, "{}"}, Outcome::Temporary,
                   "not available now (HTTP 503); the sign-in is kept", 1},
        RefreshRow{"SlowServer", 0, Need::Login, true, Canned{200, "{}", 3000}, Outcome::Temporary,
                   "did not answer within 0.8 s", 1},
        RefreshRow{"Silent", 0, Need::Refused, true, Canned{200, {}, 0, false, true},
                   Outcome::Temporary, "did not answer within 0.8 s", 1},
        RefreshRow{"Garbage", 0, Need::Login, true, Canned{200, "\x01\xffRT-9-secret"},
                   Outcome::Temporary, "is not a JSON object", 1},
        RefreshRow{"CutShort", 0, Need::Login, true,
                   Canned{200, R"({"access_token":"AT-9-secret")", 0, true}, Outcome::Temporary,
                   "the reply was cut short", 1},
        RefreshRow{"NoAccessToken", 0, Need::Login, true,
                   Canned{200, R"({"refresh_token":"RT-9-secret"})"}, Outcome::Temporary,
                   "has no access_token", 1},
        RefreshRow{"InvalidClient", 0, Need::Login, true,
                   Canned{401, R"({"error":"invalid_client"})"}, Outcome::Failed, "invalid_client",
                   1}),
    RowName());

TEST_F(OAuthTest, RenewalWithoutRotationKeepsTheRefreshTokenAndCallersShareIt) {
    server.rotate = false;
    server.liveRefreshTokens.insert("RT-0-secret");
    bool saved = false;
    // A token that would do for a login, but one caller had it refused.
    const Tokens stored{
        "AT-0-secret", "RT-0-secret", QDateTime::currentDateTimeUtc().addSecs(600), {}};
    store.save("work", StoreChoice::File, "custom", stored,
               [&](const Result &, StoreChoice) { saved = true; });
    ASSERT_TRUE(Until([&] { return saved; }));
    TokenSource source(&store, &nam);
    QList<Result> results;
    const Config config = LocalConfig(server, Flow::Device);
    // As a session calls it: through the provider bound to the account.
    const TokenSource::Provider provider = source.providerFor(config);
    for (Need need : {Need::Login, Need::Refused, Need::Login}) {
        provider(need, [&](const Result &r) { results << r; });
    }
    ASSERT_TRUE(Until([&] { return results.size() == 3; }));
    EXPECT_EQ(server.count("/token"), 1);
    for (const Result &r : results) {
        EXPECT_EQ(r.tokens.accessToken, server.lastAccessToken) << r.message.toStdString();
    }
    EXPECT_EQ(record().value("refresh_token").toString(), "RT-0-secret");
}

TEST_F(OAuthTest, TwoRunnersRenewOnceUnderTheAccountsLock) {
    // Two sources stand for two processes: each holds its own descriptor
    // of the lock file, so they exclude each other as processes do.
    server.liveRefreshTokens.insert("RT-0-secret");
    bool saved = false;
    store.save("work", StoreChoice::File, "custom", {"AT-0-secret", "RT-0-secret", {}, {}},
               [&](const Result &, StoreChoice) { saved = true; });
    ASSERT_TRUE(Until([&] { return saved; }));
    TokenSource first(&store, &nam);
    TokenStore otherStore(store.folder());
    TokenSource second(&otherStore, &nam);
    QList<Result> results;
    const Config config = LocalConfig(server, Flow::Device);
    first.accessToken(config, Need::Login, &first, [&](const Result &r) { results << r; });
    second.accessToken(config, Need::Login, &second, [&](const Result &r) { results << r; });
    ASSERT_TRUE(Until([&] { return results.size() == 2; }));
    // The second read the tokens the first had renewed instead of spending
    // the rotated-away refresh token.
    EXPECT_EQ(server.count("/token"), 1);
    for (const Result &r : results) {
        EXPECT_EQ(r.outcome, Outcome::Ok) << r.message.toStdString();
        EXPECT_EQ(r.tokens.accessToken, server.lastAccessToken);
    }
}

TEST_F(OAuthTest, NothingIsSentForAMissingOrDamagedRecord) {
    TokenSource source(&store, &nam);
    const Config config = LocalConfig(server, Flow::Device);
    auto ask = [&] {
        std::optional<Result> result;
        source.accessToken(config, Need::Login, &source, [&](const Result &r) { result = r; });
        EXPECT_TRUE(Until([&] { return result.has_value(); }));
        return result.value_or(Result{});
    };
    const Result none = ask();
    EXPECT_EQ(none.outcome, Outcome::NotSignedIn);
    EXPECT_TRUE(none.message.contains("account work is not signed in"));
    QDir().mkpath(store.folder());
    QFile f(store.recordPath("work"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(R"({"store":"file","refresh_token":"RT-0-se)");
    f.close();
    f.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    const Result damaged = ask();
    EXPECT_EQ(damaged.outcome, Outcome::NotSignedIn);
    EXPECT_TRUE(damaged.message.contains("is damaged: sign in again"))
        << damaged.message.toStdString();
    EXPECT_EQ(server.requests().size(), 0);
}

} // namespace
