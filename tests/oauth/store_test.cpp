// The token store: the private record file (modes, atomic writes under
// SIGKILL, refused and damaged files), a Secret Service that cannot be
// reached or does not answer, and a real one: GNOME Keyring on a private
// D-Bus session that the test starts.
#include "oauth_harness.h"

#include "cli/row_name.h"
#include "oauth/token_source.h"
#include "oauth/token_store.h"
#include "qt_printers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <sys/stat.h>

using namespace oauth;
using namespace oauthtest;

namespace {

// Whole seconds: the record keeps no more.
const Tokens kTokens{
    "AT-0-secret", "RT-0-secret",
    QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch() + 3600, Qt::UTC), "smtp"};

struct Done {
    std::optional<Result> result;
    StoreChoice where = StoreChoice::Automatic;
    TokenStore::Done callback() {
        return [this](const Result &r, StoreChoice w) {
            result = r;
            where = w;
        };
    }
    Result wait() {
        EXPECT_TRUE(Until([this] { return result.has_value(); }, 10000));
        Result r = result.value_or(Result{});
        result.reset();
        return r;
    }
};

int Mode(const QString &path) {
    struct stat st {};
    EXPECT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0) << path.toStdString();
    return st.st_mode & 0777;
}

class StoreTest : public ::testing::Test {
protected:
    void TearDown() override { ExpectNoSecret(MessageLog::texts() << m_texts); }
    Result save(StoreChoice choice, const Tokens &tokens = kTokens) {
        store.save("work", choice, "custom", tokens, done.callback());
        return keep(done.wait());
    }
    Result load() {
        store.load("work", done.callback());
        return keep(done.wait());
    }
    Result remove() {
        store.remove("work", done.callback());
        return keep(done.wait());
    }
    Result keep(const Result &r) {
        m_texts << r.message;
        return r;
    }

    MessageLog log;
    QTemporaryDir dir;
    TokenStore store{dir.filePath("state dir/kelmsend/oauth")};
    Done done;
    QStringList m_texts;
};

TEST_F(StoreTest, FileRoundTripIsPrivate) {
    ASSERT_EQ(save(StoreChoice::File).outcome, Outcome::Ok);
    EXPECT_EQ(done.where, StoreChoice::File);
    EXPECT_EQ(Mode(store.folder()), 0700);
    EXPECT_EQ(Mode(store.recordPath("work")), 0600);
    const Result r = load();
    ASSERT_EQ(r.outcome, Outcome::Ok) << r.message.toStdString();
    EXPECT_EQ(r.tokens.accessToken, kTokens.accessToken);
    EXPECT_EQ(r.tokens.refreshToken, kTokens.refreshToken);
    EXPECT_EQ(r.tokens.expires, kTokens.expires);
    Record record;
    ASSERT_EQ(store.readRecord("work", &record).outcome, Outcome::Ok);
    EXPECT_EQ(record.store, StoreChoice::File);
    EXPECT_EQ(record.scope, "smtp");
    EXPECT_TRUE(record.hasRefreshToken);
    // Names that look like the writer's own files are records like others.
    for (const char *other : {"work.tmp", "work.lock"}) {
        store.save(other, StoreChoice::File, "custom", kTokens, done.callback());
        ASSERT_EQ(done.wait().outcome, Outcome::Ok);
    }
    ASSERT_EQ(save(StoreChoice::File).outcome, Outcome::Ok);
    store.load("work.tmp", done.callback());
    EXPECT_EQ(done.wait().outcome, Outcome::Ok);
    EXPECT_EQ(remove().outcome, Outcome::Ok);
    EXPECT_EQ(load().outcome, Outcome::NotSignedIn);
    EXPECT_EQ(remove().outcome, Outcome::Ok);
    // No account name steps out of the folder.
    for (const char *name : {"../x", ".", "..", "a/b", ""}) {
        EXPECT_EQ(QFileInfo(store.recordPath(name)).absolutePath(), store.folder()) << name;
    }
}

TEST_F(StoreTest, RecordThatOthersMayReadIsRefused) {
    ASSERT_EQ(save(StoreChoice::File).outcome, Outcome::Ok);
    for (int mode : {0644, 0640, 0604, 0660}) {
        ASSERT_EQ(::chmod(QFile::encodeName(store.recordPath("work")).constData(), mode), 0);
        const Result r = load();
        EXPECT_EQ(r.outcome, Outcome::Failed) << mode;
        EXPECT_TRUE(r.message.contains("chmod 600 " + store.recordPath("work")))
            << r.message.toStdString();
    }
}

TEST_F(StoreTest, DamagedRecordMeansSigningInAgain) {
    ASSERT_EQ(save(StoreChoice::File).outcome, Outcome::Ok);
    const QByteArray huge(70000, ' ');
    for (const QByteArray &bytes :
         {QByteArray(), QByteArray("{"), QByteArray("[]"), QByteArray("\x00\x01\x02", 3),
          QByteArray(R"({"store":"file"})"), QByteArray(R"({"store":"tape","access_token":"x"})"),
          QByteArray(R"({"store":"file","access_token":"x"})") + huge}) {
        ASSERT_EQ(WriteFileAtomically(store.recordPath("work"), bytes), QString());
        const Result r = load();
        EXPECT_EQ(r.outcome, Outcome::NotSignedIn) << bytes.left(40).toStdString();
        EXPECT_TRUE(r.message.contains("is damaged: sign in again")) << r.message.toStdString();
    }
}

// A writer that the test kills: rewrites the record until killed.
TEST(StoreWriter, Loop) {
    const QString path = qEnvironmentVariable("KELM_OAUTH_WRITER");
    if (path.isEmpty()) {
        GTEST_SKIP() << "run by AtomicWritesSurviveSigkill";
    }
    for (int i = 0;; ++i) {
        const QByteArray body =
            QJsonDocument(QJsonObject{{"store", "file"},
                                      {"access_token", QString(i % 500 + 1, 'a')},
                                      {"refresh_token", QString::number(i)}})
                .toJson();
        if (!WriteFileAtomically(path, body).isEmpty()) {
            return;
        }
    }
}

TEST_F(StoreTest, AtomicWritesSurviveSigkill) {
    for (int round = 0; round < 8; ++round) {
        ASSERT_EQ(save(StoreChoice::File).outcome, Outcome::Ok);
        QProcess writer;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("KELM_OAUTH_WRITER", store.recordPath("work"));
        writer.setProcessEnvironment(env);
        writer.start(QCoreApplication::applicationFilePath(), {"--gtest_filter=StoreWriter.Loop"});
        ASSERT_TRUE(writer.waitForStarted(5000));
        // Killed while it writes, not while it starts up.
        EXPECT_TRUE(Until(
            [&] {
                QFile f(store.recordPath("work"));
                return f.open(QIODevice::ReadOnly) &&
                       !f.readAll().contains(kTokens.refreshToken.toLatin1());
            },
            20000))
            << "the writer never wrote";
        QThread::msleep(QRandomGenerator::global()->bounded(200));
        ::kill(static_cast<pid_t>(writer.processId()), SIGKILL);
        ASSERT_TRUE(writer.waitForFinished(5000));
        const Result r = load();
        EXPECT_EQ(r.outcome, Outcome::Ok) << "round " << round << ": " << r.message.toStdString();
        EXPECT_EQ(Mode(store.recordPath("work")), 0600);
    }
}

// A session bus address where nobody listens, for the process's libsecret.
class NoSecretService : public StoreTest {
protected:
    void SetUp() override {
        m_bus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        qputenv("DBUS_SESSION_BUS_ADDRESS",
                "unix:path=" + QFile::encodeName(dir.filePath("no-bus")));
    }
    void TearDown() override {
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus);
        StoreTest::TearDown();
    }
    QByteArray m_bus;
};

TEST_F(NoSecretService, SignInFallsBackToTheFileAndALaterRunSaysWhereTheTokensAre) {
    const Result automatic = save(StoreChoice::Automatic);
    EXPECT_EQ(automatic.outcome, Outcome::Ok);
    EXPECT_EQ(done.where, StoreChoice::File);
    EXPECT_TRUE(automatic.message.contains("no Secret Service")) << automatic.message.toStdString();
    EXPECT_EQ(load().tokens.refreshToken, kTokens.refreshToken);

    EXPECT_EQ(save(StoreChoice::SecretService).outcome, Outcome::StoreUnavailable);
    // A record from a sign-in in the desktop session, read in cron.
    ASSERT_EQ(WriteFileAtomically(store.recordPath("work"), R"({"store":"secret-service"})"),
              QString());
    const Result unreachable = load();
    EXPECT_EQ(unreachable.outcome, Outcome::StoreUnavailable);
    EXPECT_TRUE(unreachable.message.contains("kept in the Secret Service, chosen at sign-in, "
                                             "which cannot be reached here"))
        << unreachable.message.toStdString();
    EXPECT_EQ(remove().outcome, Outcome::StoreUnavailable);
    EXPECT_TRUE(QFile::exists(store.recordPath("work")));
}

TEST_F(NoSecretService, SecretServiceThatDoesNotAnswerHasATimeLimit) {
    QTcpServer silent; // accepts and never says a word
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost, 0));
    qputenv("DBUS_SESSION_BUS_ADDRESS",
            QByteArray("tcp:host=127.0.0.1,port=") + QByteArray::number(silent.serverPort()));
    store.setSecretServiceTimeoutMs(300);
    ASSERT_EQ(save(StoreChoice::File).outcome, Outcome::Ok);
    ASSERT_EQ(WriteFileAtomically(store.recordPath("work"), R"({"store":"secret-service"})"),
              QString());
    QElapsedTimer clock;
    clock.start();
    const Result r = load();
    EXPECT_EQ(r.outcome, Outcome::StoreUnavailable);
    EXPECT_TRUE(r.message.contains("did not answer within 0.3 s")) << r.message.toStdString();
    EXPECT_LT(clock.elapsed(), 5000);
}

// In a private D-Bus session with GNOME Keyring: run by
// SecretServiceInAPrivateSession below.
TEST(Keyring, TokensLiveInTheSecretServiceAndTheRecordHoldsNone) {
    if (qEnvironmentVariableIsEmpty("KELM_PRIVATE_KEYRING")) {
        GTEST_SKIP() << "run by SecretServiceInAPrivateSession";
    }
    MessageLog log;
    QTemporaryDir dir;
    TokenStore store(dir.filePath("oauth"));
    Done done;
    store.save("work", StoreChoice::Automatic, "custom", kTokens, done.callback());
    ASSERT_EQ(done.wait().outcome, Outcome::Ok);
    EXPECT_EQ(done.where, StoreChoice::SecretService);
    QFile record(store.recordPath("work"));
    ASSERT_TRUE(record.open(QIODevice::ReadOnly));
    const QByteArray onDisk = record.readAll();
    EXPECT_TRUE(onDisk.contains("secret-service"));
    EXPECT_FALSE(onDisk.contains("-secret\"")) << onDisk.toStdString();

    // A renewal with rotation goes back into the Secret Service.
    TokenServer server;
    server.liveRefreshTokens.insert(kTokens.refreshToken);
    QNetworkAccessManager nam;
    TokenSource source(&store, &nam);
    std::optional<Result> renewed;
    source.accessToken(LocalConfig(server, Flow::Device), TokenSource::Need::Refused, &source,
                       [&](const Result &r) { renewed = r; });
    ASSERT_TRUE(Until([&] { return renewed.has_value(); }, 10000));
    EXPECT_EQ(renewed->outcome, Outcome::Ok) << renewed->message.toStdString();
    store.load("work", done.callback());
    const Result loaded = done.wait();
    ASSERT_EQ(loaded.outcome, Outcome::Ok) << loaded.message.toStdString();
    EXPECT_EQ(done.where, StoreChoice::SecretService);
    EXPECT_EQ(loaded.tokens.refreshToken, server.lastRefreshToken);
    EXPECT_EQ(loaded.tokens.accessToken, server.lastAccessToken);

    store.remove("work", done.callback());
    EXPECT_EQ(done.wait().outcome, Outcome::Ok);
    EXPECT_FALSE(QFile::exists(store.recordPath("work")));
    // The item is gone too: a record pointing there finds nothing.
    ASSERT_EQ(WriteFileAtomically(store.recordPath("work"), R"({"store":"secret-service"})"),
              QString());
    store.load("work", done.callback());
    EXPECT_EQ(done.wait().outcome, Outcome::NotSignedIn);
    ExpectNoSecret(MessageLog::texts());
}

TEST(Keyring, SecretServiceInAPrivateSession) {
    if (!qEnvironmentVariableIsEmpty("KELM_PRIVATE_KEYRING")) {
        GTEST_SKIP() << "already inside";
    }
    for (const char *tool : {"dbus-run-session", "gnome-keyring-daemon"}) {
        if (QStandardPaths::findExecutable(tool).isEmpty()) {
            GTEST_SKIP() << tool << " is not installed (scripts/deps.sh installs it)";
        }
    }
    QTemporaryDir home;
    QDir().mkpath(home.filePath("run"));
    QFile::setPermissions(home.filePath("run"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KELM_PRIVATE_KEYRING", "1");
    env.insert("HOME", home.path());
    env.insert("XDG_DATA_HOME", home.filePath("data"));
    env.insert("XDG_RUNTIME_DIR", home.filePath("run"));
    env.remove("DBUS_SESSION_BUS_ADDRESS");
    QProcess run;
    run.setProcessEnvironment(env);
    run.setProcessChannelMode(QProcess::MergedChannels);
    // The keyring is created and unlocked with a throw-away password read
    // from standard input; the test binary then runs inside the session.
    run.start("dbus-run-session",
              {"--", "sh", "-c",
               "printf test | gnome-keyring-daemon --unlock --components=secrets --daemonize "
               ">/dev/null && exec \"$0\" --gtest_filter=Keyring.Tokens*",
               QCoreApplication::applicationFilePath()});
    ASSERT_TRUE(run.waitForFinished(60000)) << "the private session did not end within 60 s";
    const QString out = QString::fromLocal8Bit(run.readAll());
    EXPECT_EQ(run.exitCode(), 0) << out.toStdString();
    EXPECT_TRUE(out.contains("[  PASSED  ] 1 test")) << out.toStdString();
}

} // namespace
