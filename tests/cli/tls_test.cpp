// kelmsend against Dovecot's submission service (STARTTLS and implicit-TLS
// ports, a test authority, relaying to aiosmtpd): sends that log in over
// TLS, the probe's report, and the refusals a user meets.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include "dovecot_submission.h"
#include "kelmsend_support.h"

namespace {

using clitest::Finished;
using clitest::RunKelmsend;
using testsupport::DovecotSubmission;

class KelmsendTls : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        sink = new clitest::SmtpServer;
        dovecot = new DovecotSubmission(sink->port());
    }
    static void TearDownTestSuite() {
        delete dovecot;
        delete sink;
    }
    void SetUp() override {
        if (!dovecot->problem().isEmpty())
            GTEST_SKIP() << dovecot->problem().toStdString();
    }
    static QString at(const QString &host, quint16 port) {
        return host + ":" + QString::number(port);
    }
    static Finished run(const QStringList &args) {
        return RunKelmsend(args + QStringList{"--timeout", "10"}, {},
                           {{"KP", DovecotSubmission::password()}});
    }
    static inline clitest::SmtpServer *sink = nullptr;
    static inline DovecotSubmission *dovecot = nullptr;
};

QString bareHex(QString fingerprint) {
    return fingerprint.remove(':').trimmed().toLower();
}

TEST_F(KelmsendTls, SendsAfterLoggingInOverStartTlsAndImplicitTls) {
    const struct {
        const char *what;
        quint16 port;
        const char *tls;
    } rows[] = {{"starttls", dovecot->startTlsPort(), "starttls"},
                {"implicit", dovecot->implicitPort(), "implicit"}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        const QString before = dovecot->log();
        const Finished f = run({"--server", at("localhost", r.port), "--tls", r.tls, "--tls-ca",
                                dovecot->caFile(), "--auth", "--user", DovecotSubmission::user(),
                                "--password-env", "KP", "--from", "alice@example.com", "--to",
                                "bob@example.com", "--subject", "Over TLS", "--body", "Hi"});
        EXPECT_EQ(f.exitCode, 0) << f.describe();
        // --auth-mech defaults to auto: the strongest mechanism offered.
        EXPECT_TRUE(dovecot->log().mid(before.size()).contains("method=SCRAM-SHA-256,"))
            << dovecot->log().toStdString();
    }
}

TEST_F(KelmsendTls, ProbeReportsWhatTheServerOffersAndRefusesWhatDoesNotHold) {
    const QString fingerprint = dovecot->fingerprint();
    const struct {
        const char *what;
        QStringList args;
        int exit;
        QStringList out; // each must appear on standard output
        QString err;     // must appear on standard error
    } rows[] = {
        {"starttls",
         {"--server", at("localhost", dovecot->startTlsPort()), "--tls", "starttls", "--tls-ca",
          dovecot->caFile()},
         0,
         {"Greeting:", "STARTTLS", "Capabilities (over TLS):", "TLS: TLSv1.",
          "Certificate subject: localhost", "SASL mechanisms: ", "SCRAM-SHA-256", fingerprint},
         ""},
        {"implicit, pinned",
         {"--server", at("localhost", dovecot->implicitPort()), "--tls", "implicit",
          "--tls-fingerprint", fingerprint},
         0,
         {"Certificate SHA-256: " + fingerprint, "Capabilities (over TLS):"},
         ""},
        {"insecure",
         {"--server", at("127.0.0.1", dovecot->startTlsPort()), "--tls", "starttls",
          "--tls-insecure"},
         0,
         {"Capabilities (over TLS):"},
         "kelmsend: warning: --tls-insecure: the server's certificate is not verified"},
        {"name mismatch",
         {"--server", at("127.0.0.1", dovecot->startTlsPort()), "--tls", "starttls", "--tls-ca",
          dovecot->caFile()},
         1,
         {"Greeting:"},
         "name mismatch"},
        {"implicit to the STARTTLS port",
         {"--server", at("localhost", dovecot->startTlsPort()), "--tls", "implicit"},
         1,
         {},
         "answers in clear text: use STARTTLS"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        const Finished f = run(QStringList{"probe"} + r.args);
        EXPECT_EQ(f.exitCode, r.exit) << f.describe() << "\nstdout: " << f.out.toStdString();
        for (const QString &text : r.out) {
            EXPECT_TRUE(f.out.contains(text.toUtf8())) << text.toStdString() << " not in\n"
                                                       << f.out.toStdString();
        }
        EXPECT_TRUE(f.err.contains(r.err.toUtf8())) << f.describe();
    }
    // The fingerprint printed is the harness's own, byte for byte.
    const Finished f = run({"probe", "--server", at("localhost", dovecot->implicitPort()), "--tls",
                            "implicit", "--tls-ca", dovecot->caFile()});
    const qsizetype i = f.out.indexOf("Certificate SHA-256: ");
    ASSERT_GE(i, 0) << f.describe();
    EXPECT_EQ(bareHex(QString::fromUtf8(f.out.mid(i + 21, 95))), bareHex(fingerprint));
}

TEST_F(KelmsendTls, InsecureSendWarnsAndAWrongPinSendsNothing) {
    const QStringList message{"--auth",
                              "--user",
                              DovecotSubmission::user(),
                              "--password-env",
                              "KP",
                              "--from",
                              "alice@example.com",
                              "--to",
                              "bob@example.com",
                              "--body",
                              "Hi"};
    const Finished insecure = run(QStringList{"--server", at("127.0.0.1", dovecot->startTlsPort()),
                                              "--tls", "starttls", "--tls-insecure", "--quiet"} +
                                  message);
    EXPECT_EQ(insecure.exitCode, 0) << insecure.describe();
    EXPECT_TRUE(insecure.err.contains("warning: --tls-insecure")) << insecure.describe();

    const QString before = dovecot->log();
    const Finished pinned =
        run(QStringList{"--server", at("localhost", dovecot->implicitPort()), "--tls", "implicit",
                        "--tls-fingerprint", QString(64, '0')} +
            message);
    EXPECT_EQ(pinned.exitCode, 1) << pinned.describe();
    EXPECT_TRUE(pinned.err.contains("fingerprint mismatch")) << pinned.describe();
    EXPECT_FALSE(dovecot->log().mid(before.size()).contains("method="));
}

// --tls-ca adds to the system's trust, which is read only when the file
// does not vouch for the server: the system folder is replaced, in a private
// mount namespace, by one holding the test authority or nothing.
TEST_F(KelmsendTls, ACaFileAddsToTheSystemsTrustInsteadOfReplacingIt) {
    QTemporaryDir dir;
    const QString trusted = dir.filePath("trusted"), empty = dir.filePath("empty");
    ASSERT_TRUE(QDir().mkpath(trusted) && QDir().mkpath(empty));
    ASSERT_TRUE(QFile::copy(dovecot->caFile(), trusted + "/test-authority.pem"));
    const QString unrelated = dir.filePath("unrelated.pem");
    const Finished made =
        clitest::RunProgram("/usr/bin/python3", {testsupport::SupportScript("make_certificate.py"),
                                                 unrelated, "unrelated.example", "-1", "2"});
    ASSERT_EQ(made.exitCode, 0) << made.describe();
    const Finished rehash = clitest::RunProgram("openssl", {"rehash", trusted});
    ASSERT_EQ(rehash.exitCode, 0) << rehash.describe();
    const Finished probe = clitest::RunProgram("unshare", {"-m", "true"});
    if (probe.exitCode != 0)
        GTEST_SKIP() << "unshare -m is not permitted here: " << probe.err.toStdString();

    const struct {
        const char *what;
        QString systemFolder;
        QStringList caFile;
        int exit;
        const char *err;
    } rows[] = {
        {"system only", trusted, {}, 0, ""},
        {"unrelated file, system trusts", trusted, {"--tls-ca", unrelated}, 0, ""},
        {"server's file, empty system", empty, {"--tls-ca", dovecot->caFile()}, 0, ""},
        {"unrelated file, empty system", empty, {"--tls-ca", unrelated}, 1, "not trusted"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        const QStringList send = QStringList{clitest::Kelmsend(),
                                             "--server",
                                             at("localhost", dovecot->startTlsPort()),
                                             "--tls",
                                             "starttls",
                                             "--from",
                                             "a@example.com",
                                             "--to",
                                             "b@example.com",
                                             "--body",
                                             "Hi",
                                             "--quiet",
                                             "--timeout",
                                             "10",
                                             "--auth",
                                             "--user",
                                             DovecotSubmission::user(),
                                             "--password-env",
                                             "KP"} +
                                 r.caFile;
        const Finished f = clitest::RunProgram(
            "unshare",
            QStringList{"-m", "--propagation", "private", "/bin/sh", "-c",
                        "mount --bind \"$0\" /etc/ssl/certs && exec \"$@\"", r.systemFolder} +
                send,
            {}, {{"KP", DovecotSubmission::password()}});
        EXPECT_EQ(f.exitCode, r.exit) << f.describe();
        EXPECT_TRUE(f.err.contains(r.err)) << f.describe();
    }
}

// The dynamic loader's own record (LD_DEBUG=files) of every object a run
// maps: TLS comes in only for a run that starts it; the Secret Service,
// GNU SASL and the Public Suffix List libraries only for a run that asks
// them, which neither the plain send nor the dry run does.
TEST_F(KelmsendTls, OnlyARunThatStartsTlsLoadsTheTlsLibrary) {
    const struct {
        const char *what;
        QStringList args;
        bool tls;
    } rows[] = {
        {"plain", {"--server", at("127.0.0.1", sink->port()), "--tls", "opportunistic"}, false},
        {"dry run", {"--dry-run"}, false},
        {"starttls",
         {"--server", at("localhost", dovecot->startTlsPort()), "--tls", "starttls", "--tls-ca",
          dovecot->caFile(), "--auth", "--user", DovecotSubmission::user(), "--password-env", "KP"},
         true},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        const Finished f = RunKelmsend(
            r.args + QStringList{"--from", "alice@example.com", "--to", "bob@example.com", "--body",
                                 "Hi", "--quiet", "--timeout", "10"},
            {}, {{"KP", DovecotSubmission::password()}, {"LD_DEBUG", "files"}});
        EXPECT_EQ(f.exitCode, 0) << f.describe();
        EXPECT_TRUE(f.err.contains("file=libQt6Network")) << f.describe();
        for (const char *library : {"file=libssl.so", "libqopensslbackend"})
            EXPECT_EQ(f.err.contains(library), r.tls) << library;
        if (!r.tls) {
            for (const char *library : {"file=libsecret", "file=libgsasl", "file=libpsl"})
                EXPECT_FALSE(f.err.contains(library)) << library;
        }
    }
}

} // namespace
