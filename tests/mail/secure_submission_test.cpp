// Secure submission against Dovecot's submission service (STARTTLS on one
// port, TLS from the first byte on another, relaying to aiosmtpd), and the
// refusals that must leave the credentials unsent.
#include "mail/send_mail.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include "dovecot_submission.h"
#include "fake_server.h"
#include "private_network.h"
#include "qt_printers.h"
#include "smtp_server.h"

namespace {

using testsupport::DovecotSubmission;
using testsupport::SmtpServer;

struct Outcome {
    int successes = 0;
    QStringList failures;
    QStringList trace;
    QStringList statuses;
    qint64 ms = 0;
    bool sent(const QString &command) const {
        return std::any_of(trace.begin(), trace.end(),
                           [&](const QString &t) { return t.startsWith(command); });
    }
};

Outcome send(clsSendMail &m) {
    Outcome o;
    QObject::connect(&m, &clsSendMail::SendSuccesful, [&o] { ++o.successes; });
    QObject::connect(&m, &clsSendMail::SendFailed, [&o](const QString &e) { o.failures << e; });
    QObject::connect(&m, &clsSendMail::DebugPrint,
                     [&o](const QVariant &t) { o.trace << t.toString(); });
    QObject::connect(&m, &clsSendMail::status, [&o](const QString &s) { o.statuses << s; });
    QElapsedTimer t;
    t.start();
    m.Send();
    o.ms = t.elapsed();
    return o;
}

void aim(clsSendMail &m, const QString &host, quint16 port, int tlsMode) {
    m.setSMTPHostValidation(0);
    m.setSMTPHost(host);
    m.setSMTPPort(port);
    m.setConnectTimeout(10);
    m.setMessageTimeout(20);
    m.setTLSMode(tlsMode);
    m.setFrom("alice@example.com");
    m.setRecipient("bob@example.com");
    m.setSubject("Over TLS");
    m.setMessage("Sent through the submission port.\r\n");
}

void login(clsSendMail &m, const QString &mechanism) {
    m.setUseAuthentication(true);
    m.setUsername(DovecotSubmission::user());
    m.setPassword(DovecotSubmission::password());
    m.setAuthMechanism(mechanism);
}

class SecureSubmission : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        sink = new SmtpServer;
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
    static inline SmtpServer *sink = nullptr;
    static inline DovecotSubmission *dovecot = nullptr;
};

TEST_F(SecureSubmission, EachMechanismLogsInAfterStartTls) {
    for (const QString mechanism : {"SCRAM-SHA-256", "SCRAM-SHA-1", "CRAM-MD5", "PLAIN", "LOGIN"}) {
        SCOPED_TRACE(mechanism.toStdString());
        clsSendMail m;
        aim(m, "localhost", dovecot->startTlsPort(), 2);
        m.setTLSCAFile(dovecot->caFile());
        login(m, mechanism);
        const Outcome o = send(m);
        EXPECT_EQ(o.successes, 1) << o.trace.join('\n').toStdString();
        EXPECT_EQ(o.failures, QStringList());
        EXPECT_TRUE(o.sent("STARTTLS"));
        EXPECT_TRUE(dovecot->log().contains("method=" + mechanism + ","));
        EXPECT_FALSE(o.trace.join('\n').contains(DovecotSubmission::password()));
    }
}

TEST_F(SecureSubmission, ImplicitTlsWithTheStrongestMechanism) {
    clsSendMail m;
    aim(m, "localhost", dovecot->implicitPort(), 3);
    m.setTLSCAFile(dovecot->caFile());
    login(m, "AUTO");
    const QString before = dovecot->log();
    const Outcome o = send(m);
    EXPECT_EQ(o.successes, 1) << o.failures.join('|').toStdString();
    EXPECT_FALSE(o.sent("STARTTLS"));
    EXPECT_TRUE(o.statuses.filter("TLS established (TLSv1.").size() == 1)
        << o.statuses.join('|').toStdString();
    EXPECT_TRUE(dovecot->log().mid(before.size()).contains("method=SCRAM-SHA-256,"));
}

struct Refusal {
    const char *what;
    const char *host;
    bool ownCa;      // trust the test authority (else: only the system's)
    bool otherCa;    // trust an authority that signed nothing here
    bool pinServer;  // pin the server's own fingerprint
    const char *pin; // a pinned fingerprint, "" for none
    bool verify;
    const char *expected; // "" = the send succeeds
};

TEST_F(SecureSubmission, CertificatesAreJudgedBeforeAnyCredentialIsSent) {
    const Refusal table[] = {
        {"untrusted", "localhost", false, false, false, "", true, "the certificate is not trusted"},
        {"another authority", "localhost", false, true, false, "", true, "not trusted"},
        {"name mismatch", "127.0.0.1", true, false, false, "", true,
         "name mismatch: the certificate is for localhost, not 127.0.0.1"},
        {"wrong pin", "localhost", true, false, false,
         "00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:00:11:22:33:44:55:66:77:88:99:AA:BB:"
         "CC:DD:EE:FF",
         true, "fingerprint mismatch"},
        {"right pin, no chain, other name", "127.0.0.1", false, false, true, "", true, ""},
        {"no verification", "127.0.0.1", false, false, false, "", false, ""},
    };
    for (const Refusal &r : table) {
        SCOPED_TRACE(r.what);
        clsSendMail m;
        aim(m, r.host, dovecot->startTlsPort(), 2);
        if (r.ownCa)
            m.setTLSCAFile(dovecot->caFile());
        if (r.otherCa)
            m.setTLSCAFile(dovecot->otherCaFile());
        m.setTLSFingerprint(r.pinServer ? dovecot->fingerprint() : QString(r.pin));
        m.setTLSVerify(r.verify);
        login(m, "PLAIN");
        const Outcome o = send(m);
        if (QString(r.expected).isEmpty()) {
            EXPECT_EQ(o.successes, 1) << o.failures.join('|').toStdString();
            continue;
        }
        EXPECT_EQ(o.successes, 0);
        ASSERT_EQ(o.failures.size(), 1);
        EXPECT_TRUE(o.failures[0].startsWith("TLS: ")) << o.failures[0].toStdString();
        EXPECT_TRUE(o.failures[0].contains(r.expected)) << o.failures[0].toStdString();
        EXPECT_FALSE(o.sent("AUTH"));
    }
}

TEST_F(SecureSubmission, TheTwoPortMixUpsAreExplainedWithinTheConnectTime) {
    clsSendMail toImplicit;
    aim(toImplicit, "localhost", dovecot->implicitPort(), 2);
    const Outcome a = send(toImplicit);
    ASSERT_EQ(a.failures.size(), 1);
    EXPECT_TRUE(a.failures[0].contains(QString("the server on port %1 expects TLS from the first "
                                               "byte: use implicit TLS")
                                           .arg(dovecot->implicitPort())))
        << a.failures[0].toStdString();
    EXPECT_LT(a.ms, 15000);

    clsSendMail toStartTls;
    aim(toStartTls, "localhost", dovecot->startTlsPort(), 3);
    const Outcome b = send(toStartTls);
    ASSERT_EQ(b.failures.size(), 1);
    EXPECT_TRUE(
        b.failures[0].contains(QString("the server on port %1 answers in clear text: use STARTTLS")
                                   .arg(dovecot->startTlsPort())))
        << b.failures[0].toStdString();
    EXPECT_LT(b.ms, 15000);
}

TEST(SecureSubmissionScripted, RequiredStartTlsThatIsNotOfferedSendsNothingElse) {
    FakeServer server({"S: 220 fake", "C: EHLO example.com", "S: 250-fake", "S: 250 AUTH PLAIN",
                       "C: QUIT", "S: 221 bye"});
    clsSendMail m;
    aim(m, "127.0.0.1", server.port(), 2);
    m.setFrom("alice@example.com");
    login(m, "AUTO");
    const Outcome o = send(m);
    EXPECT_EQ(o.failures, QStringList{"TLS: the server does not offer STARTTLS"});
    EXPECT_TRUE(server.done());
    EXPECT_EQ(server.errors(), QStringList());
}

// A server on an address that is not loopback that does not offer
// STARTTLS (as when someone strips it from the reply): a mechanism that
// shows the secret is refused before the AUTH line, whoever named it,
// unless plaintext authentication is allowed. The classic AUTH LOGIN
// without TLS settings is left as it always was.
TEST(SecureSubmissionScripted, StrippingServerNeverSeesTheSecret) {
    if (!testsupport::InPrivateNetwork()) {
        testsupport::PrivateNetwork net;
        net.addresses = {"10.25.0.1/32"};
        testsupport::RunInPrivateNetwork(net);
        return;
    }
    struct Case {
        const char *mechanism;
        int tlsMode;
        bool allowed;
        QString authLine; // "" when refused
    } cases[] = {
        {"PLAIN", 1, false, ""},
        {"LOGIN", 0, false, ""},
        {"XOAUTH2", 1, false, ""},
        {"", 1, false, ""},
        {"", 0, false, "AUTH Login"},
        {"PLAIN", 1, true, "AUTH PLAIN " + QByteArray("\0user\0s3cret", 12).toBase64()},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.mechanism) + " TLSMode " + std::to_string(c.tlsMode) +
                     (c.allowed ? " allowed" : ""));
        QStringList script{"S: 220 fake", "C: EHLO example.com", "S: 250-fake",
                           "S: 250 AUTH LOGIN PLAIN XOAUTH2"};
        if (!c.authLine.isEmpty()) {
            script << "C: " + c.authLine << "S: 535 5.7.8 no";
        }
        script << "C: QUIT"
               << "S: 221 bye";
        FakeServer server(script, 0, QHostAddress("10.25.0.1"));
        ASSERT_TRUE(server.listening());
        clsSendMail m;
        aim(m, "10.25.0.1", server.port(), c.tlsMode);
        m.setUseAuthentication(true);
        m.setAuthMechanism(c.mechanism);
        m.setUsername("user");
        m.setPassword("s3cret");
        m.setOAuthToken("t0ken");
        m.setAllowPlaintextAuth(c.allowed);
        const Outcome o = send(m);
        EXPECT_TRUE(server.done()) << "script stopped at step " << server.position();
        EXPECT_EQ(server.errors(), QStringList());
        ASSERT_EQ(o.failures.size(), 1);
        if (c.authLine.isEmpty()) {
            const QString shown = *c.mechanism ? c.mechanism : "LOGIN";
            EXPECT_TRUE(o.failures[0].startsWith("Login: " + shown + " would send the"))
                << o.failures[0].toStdString();
            EXPECT_TRUE(o.failures[0].contains("10.25.0.1"));
            for (const QString &line : server.received()) {
                EXPECT_FALSE(line.startsWith("AUTH", Qt::CaseInsensitive)) << line.toStdString();
            }
        }
    }
}

TEST(SecureSubmissionScripted, BytesAfterTheConsentToStartTlsAreIgnored) {
    // "250-AUTH PLAIN" and "235" smuggled in after the 220 must not count.
    FakeServer server({"S: 220 fake", "C: EHLO example.com", "S: 250-fake", "S: 250 STARTTLS",
                       "C: STARTTLS", "S: 220 go ahead", "S: 250 AUTH PLAIN", "S: 235 welcome",
                       "W: 300", "X:"});
    clsSendMail m;
    aim(m, "127.0.0.1", server.port(), 2);
    login(m, "AUTO");
    const Outcome o = send(m);
    ASSERT_EQ(o.failures.size(), 1);
    EXPECT_TRUE(o.failures[0].startsWith("TLS: ")) << o.failures[0].toStdString();
    EXPECT_FALSE(o.trace.join('\n').contains("235 welcome"));
    EXPECT_FALSE(o.sent("AUTH"));
    EXPECT_TRUE(server.done());
}

} // namespace

namespace {

struct TokenCase {
    const char *mechanism;
    const char *token;
    const char *chosen; // the AUTH line's mechanism; "" = refused
};

TEST(SecureSubmissionOAuth, BearerTokensLogInAndAWrongOneIsRefusedOnce) {
    const TokenCase table[] = {{"XOAUTH2", "ya29.good", "XOAUTH2"},
                               {"OAUTHBEARER", "ya29.good", "OAUTHBEARER"},
                               {"AUTO", "ya29.good", "XOAUTH2"},
                               {"OAUTHBEARER", "ya29.stale", ""},
                               {"XOAUTH2", "ya29.stale", ""}};
    for (const TokenCase &c : table) {
        SCOPED_TRACE(std::string(c.mechanism) + " " + c.token);
        SmtpServer server({"--user", "me@example.com", "--oauth-token", "ya29.good"});
        ASSERT_NE(server.port(), 0);
        clsSendMail m;
        aim(m, "127.0.0.1", server.port(), 0);
        m.setUseAuthentication(true);
        m.setUsername("me@example.com");
        m.setAuthMechanism(c.mechanism);
        m.setOAuthToken(c.token);
        const Outcome o = send(m);
        EXPECT_TRUE(o.sent(QString("AUTH ") + (*c.chosen ? c.chosen : c.mechanism)));
        EXPECT_FALSE(o.trace.join('\n').contains(c.token));
        if (*c.chosen) {
            EXPECT_EQ(o.successes, 1) << o.failures.join('|').toStdString();
            EXPECT_EQ(server.logins(), 1);
        } else {
            EXPECT_EQ(o.successes, 0);
            ASSERT_EQ(o.failures.size(), 1);
            EXPECT_TRUE(o.failures[0].startsWith("535")) << o.trace.join("\n").toStdString();
        }
    }
}

} // namespace

TEST_F(SecureSubmission, PipelinedSubmissionAfterStartTlsAndPlain) {
    clsSendMail m;
    aim(m, "localhost", dovecot->startTlsPort(), 2);
    m.setTLSCAFile(dovecot->caFile());
    login(m, "PLAIN");
    m.setPipelining(true);
    m.setRecipient("bob@example.com;carol@example.com;dave@example.com");
    m.setMessage("Pipelined.\r\n.a dotted line\r\nEnd.\r\n");
    const Outcome o = send(m);
    ASSERT_EQ(o.successes, 1) << o.trace.join('\n').toStdString();
    // The initial response rides on the AUTH line; the envelope and DATA
    // go out before any of their replies, QUIT right behind ".".
    EXPECT_TRUE(o.trace.contains("AUTH PLAIN ****"));
    // Dovecot offers SIZE: the size goes with MAIL FROM.
    const qsizetype mail =
        o.trace.indexOf(QRegularExpression("MAIL FROM:<alice@example\\.com> SIZE=[1-9][0-9]*"));
    ASSERT_GE(mail, 0) << o.trace.join('\n').toStdString();
    EXPECT_EQ(o.trace.mid(mail + 1, 4),
              QStringList({"RCPT TO:<bob@example.com>", "RCPT TO:<carol@example.com>",
                           "RCPT TO:<dave@example.com>", "DATA"}));
    EXPECT_EQ(o.trace.value(o.trace.indexOf(".") + 1), "QUIT");
    // The relayed copy is the latest message at the sink.
    int n = 1;
    while (!sink->messageBytes(n + 1).isEmpty())
        ++n;
    EXPECT_TRUE(sink->messageBytes(n).contains("\r\nPipelined.\r\n.a dotted line\r\nEnd.\r\n"));
    EXPECT_EQ(sink->envelope(n)["to"].toVariant().toStringList(),
              QStringList({"bob@example.com", "carol@example.com", "dave@example.com"}));
}
