// Dialogue tests of the SMTP/POP3 session and the send operation against a
// scripted server on 127.0.0.1.
#include "mail/clock.h"
#include "mail/progress.h"
#include "mail/send_mail.h"
#include "mime/compose.h"
#include "net/socket.h"

#include "fake_server.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include "qt_printers.h"
#include "temp_files.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString Timeout = "Timeout occurred: The SMTP Host did not respond to the request";

// Everything the component tells its owner, in order.
struct Events {
    QStringList all;
    QStringList failures;
    QStringList statuses;
    QStringList trace;
    QList<int> progress;
    int successes = 0;

    // The component may outlive this recorder (its destructor still talks
    // to the server), so the connections end with the recorder.
    std::vector<QMetaObject::Connection> links;
    ~Events() {
        for (const auto &link : links) {
            QObject::disconnect(link);
        }
    }

    explicit Events(clsSendMail &m) {
        links.push_back(QObject::connect(&m, &clsSendMail::SendSuccesful, [this] {
            ++successes;
            all << "success";
        }));
        links.push_back(QObject::connect(&m, &clsSendMail::SendFailed, [this](const QString &e) {
            failures << e;
            all << "failed:" + e;
        }));
        links.push_back(QObject::connect(&m, &clsSendMail::status, [this](const QString &s) {
            statuses << s;
            all << "status:" + s;
        }));
        links.push_back(QObject::connect(&m, &clsSendMail::Progress, [this](int p) {
            progress << p;
            all << "progress:" + QString::number(p);
        }));
        links.push_back(QObject::connect(&m, &clsSendMail::DebugPrint,
                                         [this](const QVariant &t) { trace << t.toString(); }));
    }
};

// A component aimed at the fake server, with short limits.
void aim(clsSendMail &m, const FakeServer &server) {
    m.setSMTPHostValidation(0);
    m.setSMTPHost("127.0.0.1");
    m.setSMTPPort(server.port());
    m.setConnectTimeout(2);
    m.setMessageTimeout(2);
    m.setConnectRetry(1);
    m.setFrom("sender@example.com");
    m.setRecipient("rcpt@example.com");
    m.setSubject("Hi");
    m.setMessage("Hello");
}

QStringList greeting(const QString &hello = "HELO example.com") {
    return {"S: 220 fake ready", "C: " + hello, "S: 250 fake"};
}

QStringList envelope(const QStringList &rcpts = {"rcpt@example.com"},
                     const QString &mailFrom = "MAIL FROM: <sender@example.com>") {
    QStringList s{"C: " + mailFrom, "S: 250 ok"};
    for (const QString &r : rcpts) {
        s << "C: RCPT TO: <" + r + ">"
          << "S: 250 ok";
    }
    s << "C: DATA"
      << "S: 354 go ahead";
    return s;
}

QStringList closing() {
    return {"D:", "S: 250 queued", "C: QUIT", "S: 221 bye"};
}

void expectPlayed(const FakeServer &server) {
    EXPECT_TRUE(server.done()) << "script stopped at step " << server.position();
    EXPECT_TRUE(server.errors().isEmpty()) << server.errors().join("\n").toStdString();
}

} // namespace

TEST(SendProgressPercent, RoundsHalfToEvenAfterNarrowingToSingle) {
    using sendmail::ProgressPercent;
    EXPECT_EQ(ProgressPercent(5, 0), 0);
    EXPECT_EQ(ProgressPercent(5, -3), 0);
    EXPECT_EQ(ProgressPercent(1, 8), 12) << "12.5 rounds to the even 12";
    EXPECT_EQ(ProgressPercent(5, 8), 62) << "62.5 rounds to the even 62";
    EXPECT_EQ(ProgressPercent(3, 8), 38) << "37.5 rounds to the even 38";
    EXPECT_EQ(ProgressPercent(1, 3), 33);
    EXPECT_EQ(ProgressPercent(2, 3), 67);
    EXPECT_EQ(ProgressPercent(300, 100), 100);
    EXPECT_EQ(ProgressPercent(2147483647, 1), 100) << "no overflow far above 100 %";
}

TEST(Session, PlainMessageIsDeliveredWithEventsInOrder) {
    FakeServer server(greeting() + envelope() + closing());
    ASSERT_TRUE(server.listening());
    clsSendMail m;
    aim(m, server);
    Events ev(m);
    m.Send();
    expectPlayed(server);
    EXPECT_TRUE(m.MailResult);
    EXPECT_EQ(m.MailMessage, "OK");
    EXPECT_EQ(ev.successes, 1);
    EXPECT_TRUE(ev.failures.isEmpty());
    // The last four things the owner hears, in this order.
    ASSERT_GE(ev.all.size(), 4);
    EXPECT_EQ(ev.all.mid(ev.all.size() - 4),
              QStringList({"progress:100", "status:Transmission Complete...",
                           "status:Closing Connection...", "success"}));
    EXPECT_EQ(ev.statuses.first(), "Connecting to SMTP Server (127.0.0.1)...");
    EXPECT_TRUE(ev.statuses.contains("Sending Sender Information..."));
    EXPECT_TRUE(ev.trace.contains("MAIL FROM: <sender@example.com>"));
    EXPECT_TRUE(ev.trace.contains("220 fake ready\r\n"));
    EXPECT_TRUE(server.data().contains("Hello"));
    EXPECT_TRUE(server.data().contains("Subject: Hi"));
}

TEST(Session, AuthLoginAnswersThePromptsWithoutTracingThePassword) {
    clsSendMail m;
    {
        FakeServer unused({});
        aim(m, unused);
    }
    m.setUseAuthentication(true);
    m.setUsername("user");
    m.setPassword("secret");
    // The server offers SIZE: the estimate goes with MAIL FROM.
    const qint32 size =
        sendmail::EstimateMessageSize(m.ComposeDraft(), true, "user", "secret").value();
    FakeServer server(QStringList{"S: 220 fake", "C: EHLO example.com", "S: 250-fake greets you",
                                  "S: 250-AUTH LOGIN PLAIN", "S: 250 SIZE 100000", "C: AUTH Login",
                                  "S: 334 VXNlcm5hbWU6", "C: dXNlcg==", "S: 334 UGFzc3dvcmQ6",
                                  "C: c2VjcmV0", "S: 235 welcome"} +
                      envelope({"rcpt@example.com"},
                               "MAIL FROM: <sender@example.com> SIZE=" + QString::number(size)) +
                      closing());
    m.setSMTPPort(server.port());
    Events ev(m);
    m.Send();
    expectPlayed(server);
    EXPECT_EQ(ev.successes, 1);
    EXPECT_TRUE(ev.statuses.contains("Host Login OK!"));
    EXPECT_EQ(ev.trace.count("user"), 2) << "both answers are traced as the user name";
    EXPECT_FALSE(ev.trace.join("|").contains("secret"));
}

TEST(Session, AuthNotOfferedFallsBackAfterFiveSeconds) {
    FakeServer server(QStringList{"S: 220 fake", "C: EHLO example.com", "S: 250-fake",
                                  "S: 250 AUTH PLAIN LOGIN"} +
                      envelope() + closing());
    clsSendMail m;
    aim(m, server);
    m.setUseAuthentication(true);
    Events ev(m);
    QElapsedTimer t;
    t.start();
    m.Send();
    expectPlayed(server);
    EXPECT_GE(t.elapsed(), 4900);
    EXPECT_TRUE(ev.statuses.contains("Login Not Supported by Host, Continuing..."));
    EXPECT_EQ(ev.successes, 1);
}

TEST(Session, AuthEqualsLoginPutsAuthOnMailFromEvenWithoutLogin) {
    FakeServer server(
        QStringList{"S: 220 fake", "C: HELO example.com", "S: 250 fake Auth=Login"} +
        envelope({"rcpt@example.com"}, "MAIL FROM: <sender@example.com> AUTH=sender@example.com") +
        closing());
    clsSendMail m;
    aim(m, server);
    Events ev(m);
    m.Send();
    expectPlayed(server);
    EXPECT_EQ(ev.successes, 1);
}

TEST(Session, HalloNameRules) {
    struct Case {
        QString hallo, from, expected;
    } cases[] = {
        {"   ", "me@mail.example.org", "HELO mail.example.org"},
        {"", "justaname", "HELO justaname"},
        {" myhost ", "me@example.com", "HELO  myhost "},
        // An IPv6 address goes in the form RFC 5321 gives it; IPv4 stays bare.
        {" [::1] ", "me@example.com", "HELO [IPv6:::1]"},
        {"2001:db8::25", "me@example.com", "HELO [IPv6:2001:db8::25]"},
        {"[IPv6:2001:db8::25]", "me@example.com", "HELO [IPv6:2001:db8::25]"},
        {"", "me@2001:db8::25", "HELO [IPv6:2001:db8::25]"},
        {"192.0.2.1", "me@example.com", "HELO 192.0.2.1"},
    };
    for (const Case &c : cases) {
        FakeServer server(QStringList{"S: 220 fake", "C: " + c.expected, "S: 250 ok",
                                      "C: MAIL FROM: <" + c.from + ">", "S: 250 ok",
                                      "C: RCPT TO: <rcpt@example.com>", "S: 250 ok", "C: DATA",
                                      "S: 354 go"} +
                          closing());
        clsSendMail m;
        aim(m, server);
        m.setEmailAddressValidation(0);
        m.setFrom(c.from);
        m.setHallo(c.hallo);
        m.Send();
        expectPlayed(server);
        EXPECT_TRUE(m.MailResult) << c.expected.toStdString();
    }
}

TEST(Session, UnknownAuthPromptGetsAStarLine) {
    FakeServer server(QStringList{"S: 220 fake", "C: EHLO example.com", "S: 250 AUTH LOGIN",
                                  "C: AUTH Login", "S: 334 d2hvPw==", "C: ", "C: *", "S: 235 ok"} +
                      envelope() + closing());
    clsSendMail m;
    aim(m, server);
    m.setUseAuthentication(true);
    Events ev(m);
    m.Send();
    expectPlayed(server);
    EXPECT_TRUE(ev.trace.contains("\r\n*"));
}

TEST(Session, RepliesSplitAcrossArrivalsAreJudgedWhole) {
    FakeServer server(QStringList{"R: 220 fa", "W: 60", "R: ke ready\\r\\n", "C: HELO example.com",
                                  "R: 250-mail.exa", "W: 60", "R: mple\\r\\n250 OK\\r\\n"} +
                      envelope() + closing());
    clsSendMail m;
    aim(m, server);
    Events ev(m);
    m.Send();
    expectPlayed(server);
    EXPECT_EQ(ev.successes, 1);
    EXPECT_TRUE(ev.trace.contains("250-mail.example\r\n250 OK\r\n"));
    EXPECT_TRUE(ev.trace.contains("220 fake ready\r\n"));
}

TEST(Session, TwoRepliesInOneArrivalAreTracedAndJudgedSeparately) {
    FakeServer server(
        QStringList{"S: 220 ready", "S: 214 help text", "C: HELO example.com", "S: 250 ok"} +
        envelope() + closing());
    clsSendMail m;
    aim(m, server);
    Events ev(m);
    m.Send();
    expectPlayed(server);
    EXPECT_EQ(ev.successes, 1);
    EXPECT_TRUE(ev.trace.contains("220 ready\r\n"));
    EXPECT_TRUE(ev.trace.contains("214 help text\r\n"));
}

TEST(Session, RejectedSecondRecipientFailsWithoutData) {
    FakeServer server(greeting() + QStringList{"C: MAIL FROM: <sender@example.com>", "S: 250 ok",
                                               "C: RCPT TO: <a@example.com>", "S: 250 ok",
                                               "C: RCPT TO: <b@example.com>", "S: 550 no such user",
                                               "C: QUIT", "S: 221 bye"});
    clsSendMail m;
    aim(m, server);
    m.setRecipient("a@example.com;b@example.com");
    Events ev(m);
    m.Send();
    expectPlayed(server);
    EXPECT_EQ(ev.failures, QStringList{"550 no such user\r\n"});
    EXPECT_EQ(ev.successes, 0);
    EXPECT_FALSE(m.MailResult);
    EXPECT_EQ(m.MailMessage, "550 no such user\r\n");
    EXPECT_FALSE(server.received().contains("DATA"));
}

TEST(Session, PreconditionsAreJoinedAndNothingConnects) {
    FakeServer server({});
    clsSendMail m;
    aim(m, server);
    m.setFrom("");
    m.setRecipient("");
    Events ev(m);
    m.Send();
    EXPECT_EQ(ev.failures, QStringList{"Missing or Invalid Sender E-mail Address"
                                       "No Recipient E-mail Address Specified"});
    EXPECT_TRUE(m.ErrorList().isEmpty());
    EXPECT_EQ(server.connections(), 0);

    m.setFrom("sender@example.com");
    m.setRecipient("a@example.com");
    m.setAsHTML(true);
    m.setEncodeType(1);
    m.Send();
    EXPECT_EQ(ev.failures.last(), "Sending HTML requires MIME encoding");
}

TEST(Session, AHundredRecipientsAreSentAndOneMoreIsRefused) {
    QStringList rcpts;
    for (int i = 0; i < 100; ++i) {
        rcpts << QString("r%1@example.com").arg(i);
    }
    {
        clsSendMail m;
        FakeServer none({});
        aim(m, none);
        m.setRecipient(rcpts.mid(0, 50).join(";"));
        m.setCcRecipient(rcpts.mid(50, 30).join(";"));
        m.setBccRecipient((rcpts.mid(80) + QStringList{"extra@example.com"}).join(";"));
        Events ev(m);
        m.Send();
        EXPECT_EQ(ev.failures, QStringList{"Too many recipients"});
        EXPECT_EQ(none.connections(), 0);
    }
    FakeServer server(greeting() + envelope(rcpts) + closing());
    clsSendMail m;
    aim(m, server);
    m.setRecipient(rcpts.mid(0, 50).join(";"));
    m.setCcRecipient(rcpts.mid(50, 30).join(";"));
    m.setBccRecipient(rcpts.mid(80).join(";"));
    m.Send();
    expectPlayed(server);
    EXPECT_TRUE(m.MailResult);
    // Bcc addresses are in the envelope only.
    EXPECT_FALSE(server.data().join("\n").contains("r99@example.com"));
}

TEST(Session, ConnectThenTwoSendsShareOneSession) {
    FakeServer server(greeting() + envelope() + QStringList{"D:", "S: 250 queued"} + envelope() +
                      QStringList{"D:", "S: 250 queued", "C: QUIT", "S: 221 bye"});
    clsSendMail m;
    aim(m, server);
    Events ev(m);
    ASSERT_TRUE(m.Connect());
    m.Send();
    m.Send();
    EXPECT_EQ(ev.successes, 2);
    EXPECT_FALSE(ev.statuses.contains("Closing Connection..."));
    m.Disconnect();
    expectPlayed(server);
    EXPECT_EQ(server.connections(), 1);
}

TEST(Session, Pop3BeforeSmtp) {
    FakeServer pop({"S: +OK pop ready", "C: USER user", "S: +ok", "C: PASS pw", "S: +OK", "C: QUIT",
                    "S: +OK bye"},
                   110);
    if (!pop.listening()) {
        GTEST_SKIP() << "port 110 cannot be bound here (needs root)";
    }
    FakeServer smtp(greeting() + envelope() + closing());
    clsSendMail m;
    aim(m, smtp);
    m.setPOP3Host("127.0.0.1");
    m.setUsePopAuthentication(true);
    m.setUsername("user");
    m.setPassword("pw");
    Events ev(m);
    m.Send();
    expectPlayed(pop);
    expectPlayed(smtp);
    EXPECT_TRUE(m.MailResult);
    EXPECT_EQ(ev.statuses.first(), "Connecting to POP3 Server (127.0.0.1)...");
    EXPECT_TRUE(ev.statuses.contains("POP3 Authentication Successful..."));
    EXPECT_TRUE(ev.trace.contains("PASS ****"));
    EXPECT_FALSE(ev.trace.join("|").contains("PASS pw"));
}

TEST(Session, SilentPop3ServerDoesNotStopTheSend) {
    FakeServer pop({"W: 10000"}, 110);
    if (!pop.listening()) {
        GTEST_SKIP() << "port 110 cannot be bound here (needs root)";
    }
    FakeServer smtp(greeting() + envelope() + closing());
    clsSendMail m;
    aim(m, smtp);
    m.setConnectTimeout(1);
    m.setPOP3Host("127.0.0.1");
    m.setUsePopAuthentication(true);
    Events ev(m);
    m.Send();
    expectPlayed(smtp);
    EXPECT_TRUE(m.MailResult);
    EXPECT_TRUE(ev.statuses.contains("POP3 Authentication Successful..."));
}

TEST(Session, Pop3NegativeReplyFails) {
    FakeServer pop({"S: +OK ready", "C: USER user", "S: -ERR no"}, 110);
    if (!pop.listening()) {
        GTEST_SKIP() << "port 110 cannot be bound here (needs root)";
    }
    clsSendMail m;
    FakeServer smtp({});
    aim(m, smtp);
    m.setPOP3Host("127.0.0.1");
    m.setUsePopAuthentication(true);
    m.setUsername("user");
    Events ev(m);
    m.Send();
    EXPECT_EQ(ev.failures, QStringList{"-ERR no\r\n"});
    EXPECT_EQ(smtp.connections(), 0);
}

TEST(Session, MissingPop3HostIsReported) {
    FakeServer smtp({});
    clsSendMail m;
    aim(m, smtp);
    m.setUsePopAuthentication(true);
    Events ev(m);
    m.Send();
    EXPECT_EQ(ev.statuses.first(), "Connecting to POP3 Server ()...");
    EXPECT_EQ(ev.failures, QStringList{"Invalid or Missing POP3 Host Name"});
}

TEST(Session, SilentServerTimesOutWithTheTimeoutText) {
    FakeServer server({"W: 10000"});
    clsSendMail m;
    aim(m, server);
    m.setConnectTimeout(1);
    Events ev(m);
    m.Send();
    EXPECT_EQ(ev.failures, QStringList{Timeout});
    EXPECT_FALSE(m.MailResult);
}

TEST(Session, RefusedConnectionReportsTheSocketError) {
    // A port that was just free: nothing listens there.
    quint16 port;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
        port = probe.serverPort();
    }
    clsSendMail m;
    m.setSMTPHostValidation(0);
    m.setSMTPHost("127.0.0.1");
    m.setSMTPPort(port);
    m.setFrom("a@example.com");
    m.setRecipient("b@example.com");
    Events ev(m);
    m.Send();
    ASSERT_EQ(ev.failures.size(), 1);
    EXPECT_TRUE(ev.failures[0].startsWith("10061 - ")) << ev.failures[0].toStdString();
    EXPECT_FALSE(ev.failures[0].contains("(127.0.0.1)"));
}

TEST(Session, PendingConnectWaitsRetriesTimesTimeout) {
    // A listener whose accept queue is full drops further SYNs, so a new
    // connect stays pending: neither connected nor failed.
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    socklen_t len = sizeof addr;
    ::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        fillers.push_back(s);
    }
    QThread::msleep(200);

    clsSendMail m;
    m.setSMTPHostValidation(0);
    m.setSMTPHost("127.0.0.1");
    m.setSMTPPort(ntohs(addr.sin_port));
    m.setFrom("a@example.com");
    m.setRecipient("b@example.com");
    m.setConnectRetry(2);
    m.setConnectTimeout(1);
    Events ev(m);
    QElapsedTimer t;
    t.start();
    m.Send();
    const qint64 elapsed = t.elapsed();
    for (int s : fillers) {
        ::close(s);
    }
    ::close(listener);
    // Two pending attempts of 1 s, then 1 s for a greeting.
    EXPECT_EQ(ev.failures, QStringList{Timeout});
    EXPECT_GE(elapsed, 2900);
    EXPECT_LT(elapsed, 10000);
}

TEST(Session, MessageTimeoutZeroEndsWithoutAnOutcome) {
    FakeServer server(greeting() +
                      QStringList{"C: MAIL FROM: <sender@example.com>", "C: QUIT", "S: 221 bye"});
    {
        clsSendMail m;
        aim(m, server);
        m.setMessageTimeout(0);
        Events ev(m);
        m.Send();
        EXPECT_EQ(ev.successes, 0);
        EXPECT_TRUE(ev.failures.isEmpty());
        EXPECT_FALSE(m.MailResult);
    } // destruction closes the session that was left open
    expectPlayed(server);
}

TEST(Session, ServerDroppingTheConnectionDuringAnAttachment) {
    QTemporaryDir dir;
    QByteArray big(4 * 1024 * 1024, 'z');
    QString path = writeFile(dir, "big.bin", big);
    FakeServer server(greeting() + envelope() + QStringList{"X:"});
    clsSendMail m;
    aim(m, server);
    m.setAttachment(path);
    Events ev(m);
    m.Send();
    expectPlayed(server);
    ASSERT_EQ(ev.failures.size(), 1) << ev.failures.join(" | ").toStdString();
    EXPECT_EQ(ev.successes, 0);
    EXPECT_EQ(ev.failures[0], "Socket not Open");
}

TEST(Session, EmptyAndOneChunkPlusOneByteAttachments) {
    QTemporaryDir dir;
    QString empty = writeFile(dir, "empty.dat", {});
    QByteArray bytes(11401, '\0');
    for (int i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(i * 7);
    }
    QString odd = writeFile(dir, "odd.dat", bytes);
    FakeServer server(greeting() + envelope() + closing());
    clsSendMail m;
    aim(m, server);
    m.setAttachment(empty + ";" + odd);
    Events ev(m);
    m.Send();
    expectPlayed(server);
    ASSERT_TRUE(m.MailResult);
    const QStringList d = server.data();
    // The empty file: its part headers, the blank line, then one more.
    qsizetype at = d.indexOf("\tfilename=\"empty.dat\"");
    ASSERT_GE(at, 0);
    EXPECT_EQ(d[at + 1], "");
    EXPECT_EQ(d[at + 2], "");
    EXPECT_TRUE(d[at + 3].startsWith("--"));
    // 11401 bytes: 200 full lines, then 4 characters ending "==".
    at = d.indexOf("\tfilename=\"odd.dat\"");
    ASSERT_GE(at, 0);
    ASSERT_EQ(d[at + 1], "");
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(d[at + 2 + i].size(), 76) << i;
    }
    EXPECT_EQ(d[at + 202].size(), 4);
    EXPECT_TRUE(d[at + 202].endsWith("=="));
    EXPECT_EQ(d[at + 203], "");
    EXPECT_EQ(ev.trace.count("<<infile>>"), 2);
    EXPECT_EQ(QByteArray::fromBase64(d.mid(at + 2, 201).join("").toLatin1()), bytes);
}

TEST(Session, BareLineBreaksLeaveAsCrlfWithDotsStuffed) {
    FakeServer server(greeting() + envelope() + closing());
    clsSendMail m;
    aim(m, server);
    m.setMessage("first\r\nsecond\n.\nthird\r.x");
    m.Send();
    expectPlayed(server);
    const QStringList d = server.data();
    qsizetype at = d.indexOf("first");
    ASSERT_GE(at, 0);
    // The fake server reads CRLF lines: no bare CR or LF may remain.
    EXPECT_EQ(d.mid(at, 5), QStringList({"first", "second", "..", "third", "..x"}));
    for (const QString &line : d) {
        EXPECT_FALSE(line.contains('\r') || line.contains('\n')) << line.toStdString();
    }
}

TEST(Session, CommandInjectionIsRefusedBeforeConnecting) {
    FakeServer server({});
    clsSendMail m;
    aim(m, server);
    m.setEmailAddressValidation(0);
    m.setRecipient("a@example.com\rRCPT TO: <evil@example.com>");
    Events ev(m);
    m.Send();
    EXPECT_EQ(ev.failures, QStringList{"Line break or NUL character in Recipient"});
    EXPECT_EQ(server.connections(), 0);

    m.setRecipient("a@example.com");
    m.setHallo("host\r\nMAIL FROM: <x@y.z>");
    m.Send();
    EXPECT_EQ(ev.failures.last(), "Line break or NUL character in Hallo");
    EXPECT_EQ(server.connections(), 0);
}

TEST(Session, SendFromAnEventHandlerIsRefusedWithoutHarm) {
    FakeServer server(greeting() + envelope() + closing());
    clsSendMail m;
    aim(m, server);
    Events ev(m);
    bool nested = false;
    QObject::connect(&m, &clsSendMail::status, [&](const QString &s) {
        if (s == "Sending Message..." && !nested) {
            nested = true;
            m.Send();
            m.Disconnect();
        }
    });
    m.Send();
    expectPlayed(server);
    EXPECT_EQ(ev.successes, 1);
    EXPECT_TRUE(ev.failures.isEmpty());
    EXPECT_TRUE(ev.statuses.contains("Send refused: a send is in progress"));
    EXPECT_TRUE(ev.statuses.contains("Disconnect refused: a send is in progress"));
}

TEST(Session, WaitAcrossMidnightLastsItsFullLimit) {
    // The clock starts 5 s before midnight and runs ten times fast: a
    // 30-second greeting wait must last 3 real seconds, not end or hang at
    // midnight.
    QElapsedTimer real;
    real.start();
    sendmail::SetSecondsSinceMidnightSourceForTesting([&real] {
        double t = 86395.0 + real.elapsed() * 10 / 1000.0;
        return t >= 86400.0 ? t - 86400.0 : t;
    });
    FakeServer server({"W: 60000"});
    clsSendMail m;
    aim(m, server);
    m.setConnectTimeout(30);
    Events ev(m);
    real.restart();
    m.Send();
    const qint64 elapsed = real.elapsed();
    sendmail::SetSecondsSinceMidnightSourceForTesting({});
    EXPECT_EQ(ev.failures, QStringList{Timeout});
    EXPECT_GE(elapsed, 2900);
    EXPECT_LT(elapsed, 6000);
}

namespace {

// RFC 4954: an AUTH command line holds 12,288 octets with its CRLF; a longer
// initial response waits for the server's empty challenge.
TEST(Session, InitialResponseTooLongForTheAuthLineFollowsThe334) {
    struct Case {
        const char *mechanism;
        int secretLength;
        bool onTheLine;
    } cases[] = {
        // "AUTH PLAIN " + Base64 of "\0user\0" + 9198 octets + CRLF: 12,285.
        {"PLAIN", 9198, true},
        {"PLAIN", 9199, false},
        {"XOAUTH2", 64 * 1024, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.mechanism) + " " + std::to_string(c.secretLength));
        const QString secret(c.secretLength, QLatin1Char('k'));
        const QByteArray response = QString(c.mechanism) == "PLAIN"
                                        ? QByteArray("\0user\0", 6) + secret.toLatin1()
                                        : "user=user\x01"
                                          "auth=Bearer " +
                                              secret.toLatin1() + "\x01\x01";
        const QString auth = QString("AUTH ") + c.mechanism;
        const QString encoded = QString::fromLatin1(response.toBase64());
        QStringList script{"S: 220 fake", "C: EHLO example.com", "S: 250-fake",
                           "S: 250 AUTH PLAIN XOAUTH2"};
        if (c.onTheLine) {
            script << "C: " + auth + " " + encoded;
        } else {
            script << "C: " + auth << "S: 334 "
                   << "C: " + encoded;
        }
        script << "S: 235 welcome"
               << "C: MAIL FROM:<sender@example.com>"
               << "S: 250 ok"
               << "C: RCPT TO:<rcpt@example.com>"
               << "S: 250 ok"
               << "C: DATA"
               << "S: 354 go";
        FakeServer server(script + closing());
        clsSendMail m;
        aim(m, server);
        m.setUseAuthentication(true);
        m.setAuthMechanism(c.mechanism);
        m.setUsername("user");
        m.setPassword(QString(c.mechanism) == "PLAIN" ? secret : QString());
        m.setOAuthToken(QString(c.mechanism) == "XOAUTH2" ? secret : QString());
        Events ev(m);
        m.Send();
        expectPlayed(server);
        EXPECT_EQ(ev.successes, 1) << ev.failures.join(" | ").toStdString();
        for (const QString &line : server.received()) {
            if (line.startsWith("AUTH ")) {
                EXPECT_LE(line.size() + 2, 12288);
            }
        }
    }
}

// A server that stops reading in the middle of an attachment: the send
// fails once nothing has been taken for MessageTimeout seconds.
TEST(Session, ServerThatStopsReadingDuringAnAttachmentTimesOut) {
    QTemporaryDir dir;
    // Far more than the kernel's buffers on both sides hold.
    const QString path = writeFile(dir, "big.bin", QByteArray(32 * 1024 * 1024, 'q'));
    FakeServer server(greeting() + envelope() + QStringList{"H:"});
    clsSendMail m;
    aim(m, server);
    m.setAttachment(path);
    Events ev(m);
    // The bound of this test: a send that never notices is cancelled.
    QTimer::singleShot(60000, &m, [&m] { m.CancelSend(); });
    m.Send();
    expectPlayed(server);
    EXPECT_EQ(ev.failures, QStringList{Timeout});
    EXPECT_EQ(ev.successes, 0);
}

} // namespace

namespace {

// An owner that sends again and again without ever returning to an event
// loop of its own: what each send created is gone after it, so the live
// objects under the socket host stay as many as after the first send.
TEST(Session, ManySendsWithoutTheOwnersLoopKeepNoFinishedSockets) {
    constexpr int Sends = 300;
    const QStringList one = greeting() + envelope() + closing();
    QStringList script = one;
    for (int i = 1; i < Sends; ++i) {
        script << "A:";
        script += one;
    }
    FakeServer server(script);
    clsSendMail m;
    aim(m, server);
    QObject &host = frmSck::instance();
    qsizetype afterFirst = 0;
    int delivered = 0;
    for (int i = 0; i < Sends; ++i) {
        m.Send();
        delivered += m.MailResult ? 1 : 0;
        if (i == 0) {
            afterFirst = host.findChildren<QObject *>().size();
        }
    }
    expectPlayed(server);
    EXPECT_EQ(delivered, Sends);
    EXPECT_EQ(host.findChildren<QObject *>().size(), afterFirst);
    EXPECT_LE(host.findChildren<QTcpSocket *>().size(), 1);
}

} // namespace
