// kelmsend with an OAuth sign-in: the account keys and their checks, then
// the executable against the scripted token server (tests/support/
// token_server.h) and an SMTP server: sign in, send, renew with rotation,
// a refused token renewed and logged in with exactly once, an expired sign-in,
// an endpoint that does not answer, a damaged or readable store. Every
// output is searched for every secret.
#include "cli/bearer_send.h"
#include "cli/options.h"

#include "dovecot_submission.h"
#include "fake_server.h"
#include "kelmsend_support.h"
#include "token_server.h"

#include <QDir>
#include <QEventLoop>
#include <QJsonArray>
#include <QTimer>

#include "qt_printers.h"
#include "row_name.h"

using namespace clitest;
using namespace kelmsend;

namespace {

const QString kClientSecret = "CS-secret-1";

struct CheckRow {
    const char *name;
    QStringList args;
    const char *error; // "" when accepted
};

class OAuthCheck : public ::testing::TestWithParam<CheckRow> {};

TEST_P(OAuthCheck, RefusesWhatCannotSignIn) {
    const QStringList base{"--from", "me@example.com", "--to", "you@example.com"};
    ParseResult r = ParseArguments(base + GetParam().args);
    QString error = r.error;
    if (r.options) {
        (void)ApplyProviderDefaults(*r.options);
        error = CheckOptions(*r.options);
    }
    EXPECT_TRUE(error.contains(GetParam().error)) << error.toStdString();
    EXPECT_EQ(error.isEmpty(), *GetParam().error == 0) << error.toStdString();
}

const QStringList kMs{
    "--auth", "--user", "me@example.com", "--oauth-provider", "microsoft", "--oauth-client-id",
    "id-1"};

INSTANTIATE_TEST_SUITE_P(
    Table, OAuthCheck,
    ::testing::Values(
        CheckRow{"Microsoft", kMs, ""},
        CheckRow{"UnknownProvider", {"--auth", "--oauth-provider", "yahoo"}, "microsoft, google"},
        CheckRow{"NoClientId",
                 {"--auth", "--user", "u", "--oauth-provider", "microsoft"},
                 "oauth-client-id is not set"},
        CheckRow{"GoogleRefusesDevice",
                 {"--auth", "--user", "u", "--oauth-provider", "google", "--oauth-client-id", "x",
                  "--oauth-flow", "device"},
                 "oauth-flow = browser"},
        CheckRow{"CustomNeedsEndpoints",
                 {"--auth", "--user", "u", "--server", "127.0.0.1", "--oauth-provider", "custom",
                  "--oauth-client-id", "x"},
                 "oauth-"},
        CheckRow{"PlainHttpRemote",
                 kMs + QStringList{"--oauth-token-url", "http://login.example.com/token"},
                 "https://"},
        CheckRow{"WithoutAuth", {"--oauth-provider", "microsoft"}, "applies only with --auth"},
        CheckRow{"KeyWithoutProvider",
                 {"--auth", "--user", "u", "--oauth-token-env", "T", "--oauth-scope", "s"},
                 "--oauth-scope applies only with --oauth-provider"},
        CheckRow{"TwoTokenSources", kMs + QStringList{"--oauth-token-command", "echo x"},
                 "exclude each other"},
        CheckRow{"PasswordMechanism", kMs + QStringList{"--auth-mech", "plain"},
                 "needs --auth-mech xoauth2, oauthbearer or auto"},
        CheckRow{"UnknownStore", kMs + QStringList{"--token-store", "cloud"}, "token-store"}),
    RowName());

TEST(OAuthCheck, PresetGivesServerAndPortUnlessSet) {
    ParseResult r = ParseArguments(kMs);
    ASSERT_TRUE(r.options);
    (void)ApplyProviderDefaults(*r.options);
    EXPECT_EQ(r.options->server, "smtp.office365.com");
    EXPECT_EQ(r.options->port, 587);
    r = ParseArguments(kMs + QStringList{"--server", "mail.example.com"});
    ASSERT_TRUE(r.options);
    (void)ApplyProviderDefaults(*r.options);
    EXPECT_EQ(r.options->server, "mail.example.com");
    EXPECT_EQ(r.options->port, 0);
}

// The help of the auth commands, whichever verb it follows; it names every
// sign-in option of kelmsend --help.
TEST(OAuthHelp, AuthHelpTellsOptionsStoresAndExitStatuses) {
    const QByteArray all = RunKelmsend({"--help"}).out;
    // The token sources of a send are not the sign-in's.
    const QStringList tokenSources{"--oauth-token-env", "--oauth-token-file",
                                   "--oauth-token-command"};
    QStringList signInOptions;
    for (const QByteArray &line : all.split('\n')) {
        const QString option = QString::fromLatin1(line.trimmed().split(' ').value(0));
        if ((option.startsWith("--oauth-") && !tokenSources.contains(option)) ||
            option == "--token-store") {
            signInOptions << option;
        }
    }
    ASSERT_GE(signInOptions.size(), 9) << all.toStdString();
    for (const QStringList &args :
         {QStringList{"auth", "--help"}, QStringList{"auth", "login", "-h"},
          QStringList{"auth", "status", "--account", "x", "--help"}}) {
        SCOPED_TRACE(args.join(' ').toStdString());
        const Finished f = RunKelmsend(args);
        EXPECT_EQ(f.exitCode, 0) << f.describe();
        EXPECT_EQ(f.err, "");
        for (const QString &want :
             signInOptions + QStringList{"auth login", "auth status", "auth logout",
                                         "--account NAME", "kelmsend/oauth/ACCOUNT", "0600",
                                         "Secret Service", "Exit status", "77"}) {
            EXPECT_TRUE(f.out.contains(want.toUtf8())) << want.toStdString();
        }
    }
}

// ---- the executable --------------------------------------------------------

struct Ran {
    int exitCode = -1;
    bool finished = false;
    QByteArray out, err;
    std::string describe() const {
        return "exit " + std::to_string(exitCode) + "\nstdout: " + out.toStdString() +
               "\nstderr: " + err.toStdString();
    }
};

// A kelmsend run while this process's event loop serves the scripted
// servers.
class Fixture : public ::testing::Test {
public:
    void SetUp() override {
        ASSERT_TRUE(tokens.listening());
        config = dir.filePath("config");
        state = dir.filePath("state dir");
        writeConfig({});
    }

    void writeConfig(const QStringList &extra) {
        QFile f(config);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QStringList lines{"[work]",
                          "from = me@example.com",
                          "auth = true",
                          "user = me@example.com",
                          "tls = none",
                          "timeout = 3",
                          "oauth-provider = custom",
                          "oauth-client-id = client-1",
                          "oauth-client-secret = " + kClientSecret,
                          "oauth-scope = smtp offline_access",
                          "oauth-token-url = " + tokens.url("/token").toString(),
                          "oauth-device-url = " + tokens.url("/device").toString(),
                          "oauth-flow = device",
                          "token-store = file"};
        f.write((lines + extra).join('\n').toUtf8() + "\n");
        f.close();
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    }

    Ran run(const QStringList &args, const QByteArray &input = {}) {
        QProcess p;
        p.setProcessEnvironment(TestEnvironment({{"XDG_STATE_HOME", state},
                                                 {"DBUS_SESSION_BUS_ADDRESS", ""},
                                                 {"DISPLAY", ""},
                                                 {"WAYLAND_DISPLAY", ""}}));
        p.start(Kelmsend(), args + QStringList{"--account", "work", "--config", config});
        p.write(input);
        p.closeWriteChannel();
        QEventLoop loop;
        QObject::connect(&p, &QProcess::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(60000, &loop, &QEventLoop::quit);
        if (p.state() != QProcess::NotRunning) {
            loop.exec();
        }
        Ran r;
        r.finished = p.state() == QProcess::NotRunning;
        if (!r.finished) {
            p.kill();
            p.waitForFinished(5000);
        }
        r.exitCode = p.exitCode();
        r.out = p.readAllStandardOutput();
        r.err = p.readAllStandardError();
        outputs += r.out + r.err;
        return r;
    }

    Ran send(const QString &server, const QStringList &extra = {}) {
        return run(QStringList{"--server", server, "--to", "you@example.com", "--body", "hello",
                               "--hello", "client.test", "--trace"} +
                   extra);
    }

    Ran login() { return run({"auth", "login"}); }
    int refreshes() const {
        int n = 0;
        for (const TokenServer::Request &r : tokens.requests()) {
            n += r.fields.value("grant_type") == "refresh_token";
        }
        return n;
    }
    QString record() const { return state + "/kelmsend/oauth/work"; }

    static QString bearer(const QString &token) {
        return QString::fromLatin1(("user=me@example.com\x01"
                                    "auth=Bearer " +
                                    token.toLatin1() + "\x01\x01")
                                       .toBase64());
    }

    // No token, refresh token, client secret or XOAUTH2 string in anything
    // kelmsend wrote.
    void expectNoSecret() {
        EXPECT_FALSE(outputs.contains("-secret")) << outputs.toStdString();
        for (const QString &t : {tokens.lastAccessToken, QString("AT-1-secret")}) {
            EXPECT_FALSE(outputs.contains(bearer(t).toLatin1()));
        }
    }

    QTemporaryDir dir;
    TokenServer tokens;
    QString config, state;
    QByteArray outputs;
};

TEST_F(Fixture, SignInSendRenewWithRotationAndSignOut) {
    tokens.expiresIn = 30; // never usable for a minute: every send renews
    const Ran in = login();
    ASSERT_EQ(in.exitCode, 0) << in.describe();
    EXPECT_TRUE(in.out.contains("\n  https://example.com/device\n")) << in.describe();
    EXPECT_TRUE(in.out.contains("\n  WDJB-MJHT\n")) << in.describe();
    EXPECT_EQ(QFile(record()).permissions() & (QFile::ReadGroup | QFile::ReadOther), 0);

    const Ran st = run({"auth", "status"});
    EXPECT_EQ(st.exitCode, 0) << st.describe();
    EXPECT_TRUE(st.out.contains("scope: smtp offline_access")) << st.describe();
    EXPECT_TRUE(st.out.contains("tokens kept in: " + record().toUtf8())) << st.describe();

    // Each send renews, and the rotated refresh token (RT-1 dies with the
    // first renewal) is what the second renewal uses.
    for (int n = 2; n <= 3; ++n) {
        SmtpServer smtp(
            {"--user", "me@example.com", "--oauth-token", QString("AT-%1-secret").arg(n)});
        ASSERT_NE(smtp.port(), 0);
        const Ran s = send(smtp.address());
        EXPECT_EQ(s.exitCode, 0) << s.describe();
        EXPECT_EQ(smtp.logins(), 1);
        EXPECT_EQ(refreshes(), n - 1);
        EXPECT_EQ(tokens.requests().last().fields.value("refresh_token"),
                  QString("RT-%1-secret").arg(n - 1));
    }
    // A token that lasts is used as it is.
    tokens.expiresIn = 3600;
    {
        SmtpServer smtp({"--user", "me@example.com", "--oauth-token", "AT-4-secret"});
        EXPECT_EQ(send(smtp.address()).exitCode, 0);
        EXPECT_EQ(send(smtp.address()).exitCode, 0);
        EXPECT_EQ(smtp.logins(), 2);
        EXPECT_EQ(refreshes(), 3);
    }

    EXPECT_EQ(run({"auth", "logout"}).exitCode, 0);
    EXPECT_FALSE(QFile::exists(record()));
    const Ran gone = run({"auth", "status"});
    EXPECT_EQ(gone.exitCode, 1);
    EXPECT_TRUE(gone.out.contains("not signed in")) << gone.describe();
    expectNoSecret();
}

// The server refuses the first token the way Google and Dovecot do (a
// JSON challenge, then 535): one renewal, one more login on the same
// connection (or a new one when the server hangs up), never a third.
TEST_F(Fixture, RefusedTokenIsRenewedAndRetriedExactlyOnce) {
    ASSERT_EQ(login().exitCode, 0);
    const QString challenge = QByteArray(R"({"status":"401","schemes":"bearer"})").toBase64();
    const QStringList greeting{"S: 220 fake", "C: EHLO client.test", "S: 250-fake",
                               "S: 250 AUTH XOAUTH2"};
    const auto refusal = [&](const QString &token) {
        return QStringList{"C: AUTH XOAUTH2 " + bearer(token), "S: 334 " + challenge,
                           "C: ", "S: 535 5.7.8 token refused"};
    };
    const QStringList delivery{"S: 235 ok",     "C: MAIL FROM:<me@example.com>",
                               "S: 250 ok",     "C: RCPT TO:<you@example.com>",
                               "S: 250 ok",     "C: DATA",
                               "S: 354 go",     "D:",
                               "S: 250 queued", "C: QUIT",
                               "S: 221 bye"};
    const struct {
        const char *what;
        bool hangUp, secondAccepted;
    } rows[] = {{"second token accepted", false, true},
                {"server hangs up after refusing", true, true},
                {"every token refused", false, false}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        const int before = refreshes();
        const QString first = tokens.lastAccessToken;
        const QString second = QString("AT-%1-secret").arg(first.section('-', 1, 1).toInt() + 1);
        QStringList script = greeting + refusal(first);
        if (row.hangUp) {
            script << "X:"
                   << "A:" << greeting;
        }
        if (row.secondAccepted) {
            script << "C: AUTH XOAUTH2 " + bearer(second) << delivery;
        } else {
            script << refusal(second) << "C: QUIT"
                   << "S: 221 bye";
        }
        FakeServer smtp(script);
        ASSERT_TRUE(smtp.listening());
        const Ran s = send("127.0.0.1:" + QString::number(smtp.port()));
        EXPECT_EQ(s.exitCode, row.secondAccepted ? 0 : 1) << s.describe();
        EXPECT_TRUE(smtp.done()) << "stopped at step " << smtp.position() << "\n" << s.describe();
        EXPECT_TRUE(smtp.errors().isEmpty()) << smtp.errors().join("\n").toStdString();
        EXPECT_EQ(smtp.connections(), row.hangUp ? 2 : 1);
        EXPECT_EQ(refreshes(), before + 1);
        if (!row.secondAccepted) {
            EXPECT_TRUE(s.err.contains("535 5.7.8 token refused")) << s.describe();
        }
    }
    const QStringList queuedRefusal{
        "S: 220 fake",      "C: EHLO client.test", "S: 250-fake", "S: 250 AUTH XOAUTH2",
        "C: AUTH XOAUTH2 ", "S: 334 " + challenge, "C: ",         "S: 535 5.7.8 token refused",
        "C: QUIT",          "S: 221 bye"};
    // Through the queue, where the driver renews the token and connects
    // again, and a token refused twice defers the message.
    for (const bool secondAccepted : {true, false}) {
        SCOPED_TRACE(secondAccepted ? "second token accepted" : "every token refused");
        const int before = refreshes();
        const QString first = tokens.lastAccessToken;
        QStringList script = queuedRefusal;
        script[4] += bearer(first);
        QStringList second = queuedRefusal;
        second[4] = "C: AUTH XOAUTH2 " +
                    bearer(QString("AT-%1-secret").arg(first.section('-', 1, 1).toInt() + 1));
        if (secondAccepted) {
            second =
                second.mid(0, 5) + QStringList{"S: 235 ok",     "C: MAIL FROM:<me@example.com>",
                                               "S: 250 ok",     "C: RCPT TO:<you@example.com>",
                                               "S: 250 ok",     "C: DATA",
                                               "S: 354 go",     "D:",
                                               "S: 250 queued", "C: QUIT",
                                               "S: 221 bye"};
        }
        FakeServer smtp(script + QStringList{"A:"} + second);
        ASSERT_TRUE(smtp.listening());
        const Ran s = send("127.0.0.1:" + QString::number(smtp.port()), QStringList{"--queue"});
        EXPECT_EQ(s.exitCode, 0) << s.describe();
        EXPECT_TRUE(smtp.done()) << "stopped at step " << smtp.position() << "\n" << s.describe();
        EXPECT_TRUE(smtp.errors().isEmpty()) << smtp.errors().join("\n").toStdString();
        EXPECT_EQ(smtp.connections(), 2);
        EXPECT_EQ(refreshes(), before + 1);
        if (!secondAccepted) {
            EXPECT_TRUE(s.err.contains("535 5.7.8 token refused")) << s.describe();
        }
    }
    expectNoSecret();
}

// A token command runs before each login, and once more after a refusal.
TEST_F(Fixture, TokenCommandRunsBeforeEachLoginAndOnceMoreWhenRefused) {
    const QString counter = dir.filePath("runs");
    const QString command = "n=$(($(cat " + ShellQuoted(counter) +
                            " 2>/dev/null || echo 0) + 1)); echo $n > " + ShellQuoted(counter) +
                            "; echo TOK-$n-secret";
    QFile f(config);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(("[work]\nfrom = me@example.com\nauth = true\nuser = me@example.com\ntls = none\n"
             "oauth-token-command = " +
             command + "\n")
                .toUtf8());
    f.close();
    SmtpServer smtp({"--user", "me@example.com", "--oauth-token", "TOK-2-secret"});
    ASSERT_NE(smtp.port(), 0);
    const Ran s = send(smtp.address());
    EXPECT_EQ(s.exitCode, 0) << s.describe();
    EXPECT_EQ(smtp.logins(), 1);
    QFile runs(counter);
    ASSERT_TRUE(runs.open(QIODevice::ReadOnly));
    EXPECT_EQ(runs.readAll().trimmed(), "2");
    expectNoSecret();
}

// In the sendmail role the account's sign-in serves as well.
TEST_F(Fixture, SendmailRoleLogsInWithTheSignIn) {
    ASSERT_EQ(login().exitCode, 0);
    SmtpServer smtp({"--user", "me@example.com", "--oauth-token", "AT-1-secret"});
    ASSERT_NE(smtp.port(), 0);
    const Ran s = run({"-t", "-i", "--server", smtp.address()},
                      "From: me@example.com\nTo: you@example.com\nSubject: s\n\nhello\n");
    EXPECT_EQ(s.exitCode, 0) << s.describe();
    EXPECT_EQ(smtp.logins(), 1);
    EXPECT_EQ(refreshes(), 0);
    expectNoSecret();
}

// An expired sign-in in the sendmail role: the message is stored already,
// so it is deferred with the reason instead of exit 77; nothing connects.
TEST_F(Fixture, SendmailRoleDefersAStoredMessageWhenTheSignInHasExpired) {
    tokens.expiresIn = 30;
    ASSERT_EQ(login().exitCode, 0);
    tokens.liveRefreshTokens.clear();
    Listener smtp;
    const Ran s = run({"-t", "-i", "--server", smtp.address()},
                      "From: me@example.com\nTo: you@example.com\nSubject: s\n\nhello\n");
    EXPECT_EQ(s.exitCode, 0) << s.describe();
    const QString reason =
        "sign-in for account work has expired: run kelmsend auth login --account work";
    EXPECT_TRUE(s.err.startsWith("kelmsend: queued as ")) << s.describe();
    EXPECT_TRUE(s.err.contains("deferred for you@example.com (" + reason.toUtf8() + ")"))
        << s.describe();
    EXPECT_FALSE(smtp.contacted());
    const Ran listed = run({"queue", "list", "--json"});
    const QJsonObject m = QJsonDocument::fromJson(listed.out).array().at(0).toObject();
    EXPECT_EQ(m["state"].toString(), "deferred") << listed.describe();
    EXPECT_EQ(m["last_error"].toString(), reason);
    expectNoSecret();
}

struct Failure {
    const char *name;
    std::function<void(Fixture &)> arrange;
    int exitCode;
    const char *text;
};

class FailureFixture : public Fixture, public ::testing::WithParamInterface<Failure> {};

// Whatever goes wrong with the token, nothing is sent.
TEST_P(FailureFixture, EndsWithItsStatusAndTextBeforeAnyConnection) {
    tokens.expiresIn = 30;
    ASSERT_EQ(login().exitCode, 0);
    GetParam().arrange(*this);
    Listener smtp;
    const Ran s = send(smtp.address());
    EXPECT_TRUE(s.finished);
    EXPECT_EQ(s.exitCode, GetParam().exitCode) << s.describe();
    EXPECT_TRUE(s.err.contains(GetParam().text)) << s.describe();
    EXPECT_FALSE(smtp.contacted());
    expectNoSecret();
}

INSTANTIATE_TEST_SUITE_P(
    Table, FailureFixture,
    ::testing::Values(
        Failure{"InvalidGrant", [](Fixture &f) { f.tokens.liveRefreshTokens.clear(); }, 77,
                "kelmsend: sign-in for account work has expired: run kelmsend auth login "
                "--account work\n"},
        Failure{"SilentEndpoint",
                [](Fixture &f) {
                    f.tokens.canned["/token"].push_back({200, {}, 0, false, true});
                },
                1, "try again later"},
        Failure{"NotJson",
                [](Fixture &f) {
                    f.tokens.canned["/token"].push_back({200, "<html>", 0, false, false});
                },
                1, "try again later"},
        Failure{"ServerError",
                [](Fixture &f) {
                    f.tokens.canned["/token"].push_back({503, "{}", 0, false, false});
                },
                1, "try again later"},
        Failure{"ReadableStore",
                [](Fixture &f) {
                    QFile(f.record())
                        .setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
                },
                1, "chmod 600"},
        Failure{"DamagedStore",
                [](Fixture &f) {
                    QFile r(f.record());
                    ASSERT_TRUE(r.open(QIODevice::WriteOnly | QIODevice::Truncate));
                    r.write("{\"store\": ");
                },
                77, "kelmsend auth login --account work"}),
    RowName());

// A real submission server that checks the tokens: Dovecot's oauth2 passdb
// validating JWTs offline (tests/support/dovecot_submission.h), relaying to
// aiosmtpd. The first token is good, ran out (while the token reply said it
// lasts) or signed by another key; a refused one is renewed exactly once.
struct DovecotRow {
    const char *name;
    const char *mechanism;
    enum { Good, Expired, ForeignKey } first;
    const char *verbosity;
};

class DovecotOAuth : public Fixture, public ::testing::WithParamInterface<DovecotRow> {
public:
    static void SetUpTestSuite() {
        sink = new testsupport::SmtpServer;
        dovecot = new testsupport::DovecotSubmission(sink->port(),
                                                     testsupport::DovecotSubmission::Mode::OAuth);
    }
    static void TearDownTestSuite() {
        delete dovecot;
        delete sink;
    }
    static int delivered() {
        int n = 0;
        while (!sink->messageBytes(n + 1).isEmpty()) {
            ++n;
        }
        return n;
    }
    static inline testsupport::SmtpServer *sink = nullptr;
    static inline testsupport::DovecotSubmission *dovecot = nullptr;
};

TEST_P(DovecotOAuth, LogsInWithTheTokenAndRenewsARefusedOneOnce) {
    if (!dovecot->problem().isEmpty()) {
        GTEST_SKIP() << dovecot->problem().toStdString();
    }
    const DovecotRow &row = GetParam();
    const QString user = testsupport::DovecotSubmission::user();
    QStringList issued;
    tokens.accessToken = [&](int n) {
        const auto kind = n == 1 ? row.first : DovecotRow::Good;
        issued << dovecot->bearerToken(user, kind == DovecotRow::Expired ? 120 : 0,
                                       kind == DovecotRow::ForeignKey);
        return issued.last();
    };
    ASSERT_EQ(login().exitCode, 0);
    const int before = delivered();
    const QString log = dovecot->log();
    const Ran s = run({"--server", "localhost:" + QString::number(dovecot->startTlsPort()), "--tls",
                       "starttls", "--tls-ca", dovecot->caFile(), "--user", user, "--auth-mech",
                       row.mechanism, "--from", "alice@example.com", "--to", "bob@example.com",
                       "--body", "hello", "--hello", "client.test", row.verbosity});
    EXPECT_EQ(s.exitCode, 0) << s.describe() << dovecot->log().toStdString();
    EXPECT_EQ(delivered(), before + 1);
    const int renewals = row.first == DovecotRow::Good ? 0 : 1;
    EXPECT_EQ(refreshes(), renewals);
    EXPECT_EQ(s.err.count("Sending Login Authentication (" + QByteArray(row.mechanism)),
              1 + renewals)
        << s.describe();
    const QString added = dovecot->log().mid(log.size());
    EXPECT_EQ(added.count(QString("method=") + row.mechanism), 1) << added.toStdString();
    // Nothing of a token, raw or inside the login string, in what kelmsend wrote.
    for (const QString &t : issued) {
        EXPECT_FALSE(outputs.contains(t.toLatin1()));
        EXPECT_FALSE(outputs.contains(t.toLatin1().split('.').last()));
        EXPECT_FALSE(outputs.contains(
            QByteArray("user=" + user.toLatin1() + "\x01auth=Bearer " + t.toLatin1() + "\x01\x01")
                .toBase64()
                .left(40)));
    }
    expectNoSecret();
}

INSTANTIATE_TEST_SUITE_P(
    Table, DovecotOAuth,
    ::testing::Values(DovecotRow{"XOAUTH2", "XOAUTH2", DovecotRow::Good, "--trace"},
                      DovecotRow{"OAUTHBEARER", "OAUTHBEARER", DovecotRow::Good, "-v"},
                      DovecotRow{"ExpiredRenewedOnce", "XOAUTH2", DovecotRow::Expired, "--trace"},
                      DovecotRow{"ForeignKeyRenewedOnce", "OAUTHBEARER", DovecotRow::ForeignKey,
                                 "--trace"}),
    RowName());

} // namespace
