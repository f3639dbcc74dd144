// Servers that misbehave on purpose, against one Send each: replies that never
// end, and failures after the server has taken the message. Whatever they do,
// one Send has one outcome.
#include "aim.h"
#include "mail/reply_reader.h"
#include "mail/send_mail.h"

#include "fake_server.h"

#include <gtest/gtest.h>

#include "cli/row_name.h"
#include "qt_printers.h"

namespace {

struct Outcome {
    int successes = 0;
    QStringList failures;
    QStringList trace;
};

// A component aimed at the fake server, with short limits.

Outcome send(clsSendMail &m) {
    Outcome o;
    auto a = QObject::connect(&m, &clsSendMail::SendSuccesful, [&o] { ++o.successes; });
    auto b =
        QObject::connect(&m, &clsSendMail::SendFailed, [&o](const QString &e) { o.failures << e; });
    auto c = QObject::connect(&m, &clsSendMail::DebugPrint,
                              [&o](const QVariant &t) { o.trace << t.toString(); });
    m.Send();
    QObject::disconnect(a);
    QObject::disconnect(b);
    QObject::disconnect(c);
    return o;
}

const QStringList Greeting{"S: 220 fake ready", "C: HELO example.com", "S: 250 fake"};
const QStringList Envelope{"C: MAIL FROM: <sender@example.com>",
                           "S: 250 ok",
                           "C: RCPT TO: <rcpt@example.com>",
                           "S: 250 ok",
                           "C: DATA",
                           "S: 354 go ahead",
                           "D:"};

const qsizetype Bound = sendmail::MaxReplyLength + sendmail::ReplyCutMarker.size();

// ---- Replies without end -----------------------------------------------------

struct Endless {
    const char *name;
    QStringList script;
    QString start; // how the one failure's text begins
};

class EndlessReply : public ::testing::TestWithParam<Endless> {};

TEST_P(EndlessReply, FailsOnceWithTheCutText) {
    const Endless &c = GetParam();
    FakeServer server(c.script);
    ASSERT_TRUE(server.listening());
    clsSendMail m;
    testsupport::AimAtLoopback(m, server.port());
    const Outcome o = send(m);
    EXPECT_TRUE(server.done()) << "script stopped at step " << server.position();
    EXPECT_EQ(o.successes, 0);
    ASSERT_EQ(o.failures.size(), 1) << o.failures.join("|").left(300).toStdString() << " ... "
                                    << o.failures.join("|").right(300).toStdString();
    const QString &failure = o.failures[0];
    EXPECT_EQ(failure.size(), Bound);
    EXPECT_TRUE(failure.startsWith(c.start)) << failure.left(40).toStdString();
    EXPECT_TRUE(failure.endsWith(sendmail::ReplyCutMarker));
    EXPECT_EQ(m.MailMessage, failure);
    EXPECT_FALSE(m.MailResult);
    for (const QString &line : o.trace) {
        EXPECT_LE(line.size(), Bound);
    }
    // The goodbye is still said; the flood goes on while it waits.
    EXPECT_TRUE(server.received().contains("QUIT"));
}

INSTANTIATE_TEST_SUITE_P(
    Servers, EndlessReply,
    ::testing::Values(Endless{"GreetingWithoutLineEnd", {"R: 220 ", "F: x"}, "220 xxxx"},
                      Endless{"ContinuationLinesForEver",
                              {"S: 220 fake ready", "C: HELO example.com", "F: 250-more\\r\\n"},
                              "250-more\r\n250-more\r\n"},
                      // The line ends after 1 MiB: what follows is read again,
                      // so the reply to QUIT ends the goodbye.
                      Endless{
                          "MebibyteOfNulBytes",
                          {"R: " + QString(1 << 20, QChar(0)) + "\\r\\n", "C: QUIT", "S: 221 bye"},
                          QString(8, QChar(0))}),
    RowName());

TEST(EndlessReply, Pop3GreetingWithoutEndFailsOnceBeforeSmtp) {
    FakeServer pop({"F: +OK "}, 110);
    if (!pop.listening()) {
        GTEST_SKIP() << "port 110 cannot be bound here (needs root)";
    }
    FakeServer smtp({});
    clsSendMail m;
    testsupport::AimAtLoopback(m, smtp.port());
    m.setPOP3Host("127.0.0.1");
    m.setUsePopAuthentication(true);
    m.setUsername("user");
    m.setPassword("pw");
    const Outcome o = send(m);
    ASSERT_EQ(o.failures.size(), 1);
    EXPECT_EQ(o.failures[0].size(), Bound);
    EXPECT_TRUE(o.failures[0].startsWith("+OK +OK +OK "));
    EXPECT_EQ(o.successes, 0);
    EXPECT_EQ(smtp.connections(), 0);
}

TEST(RejectedGreeting, IsOneFailureWithTheServersText) {
    FakeServer server({"S: 554 no service here", "C: QUIT", "S: 221 bye"});
    clsSendMail m;
    testsupport::AimAtLoopback(m, server.port());
    const Outcome o = send(m);
    EXPECT_TRUE(server.done()) << "script stopped at step " << server.position();
    EXPECT_EQ(o.failures, QStringList{"554 no service here\r\n"});
}

// ---- After the server has taken the message ---------------------------------

struct AfterAcceptance {
    const char *name;
    QStringList rest; // the server's part after the message data
    bool noted;       // the trace says the server's word was not a failure
};

class Accepted : public ::testing::TestWithParam<AfterAcceptance> {};

TEST_P(Accepted, SucceedsOnceWhateverFollows) {
    const AfterAcceptance &c = GetParam();
    FakeServer server(Greeting + Envelope + c.rest);
    clsSendMail m;
    testsupport::AimAtLoopback(m, server.port());
    const Outcome o = send(m);
    EXPECT_TRUE(server.done()) << "script stopped at step " << server.position();
    EXPECT_TRUE(server.errors().isEmpty()) << server.errors().join("\n").toStdString();
    EXPECT_EQ(o.successes, 1);
    EXPECT_EQ(o.failures, QStringList{});
    EXPECT_TRUE(m.MailResult);
    EXPECT_EQ(m.MailMessage, "OK");
    EXPECT_EQ(o.trace.join("\n").contains("Not a failure"), c.noted)
        << o.trace.join("|").toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    QuitAnswers, Accepted,
    ::testing::Values(
        AfterAcceptance{"Error550", {"S: 250 queued", "C: QUIT", "S: 550 what now"}, true},
        AfterAcceptance{"Closing421", {"S: 250 queued", "C: QUIT", "S: 421 closing"}, true},
        AfterAcceptance{"Close", {"S: 250 queued", "C: QUIT", "X:"}, false},
        // The script ends: the server stays connected and says nothing.
        AfterAcceptance{"Silence", {"S: 250 queued", "C: QUIT"}, false},
        AfterAcceptance{"ErrorInTheSameArrivalAsTheAcceptance",
                        {"S: 250 queued", "S: 421 going down", "C: QUIT", "S: 221 bye"},
                        true},
        AfterAcceptance{"EndlessReplyToQuit", {"S: 250 queued", "C: QUIT", "F: 421-"}, true}),
    RowName());

TEST(Accepted, RefusalOfTheDataIsStillAFailure) {
    FakeServer server(Greeting + Envelope +
                      QStringList{"S: 554 rejected", "C: QUIT", "S: 221 bye"});
    clsSendMail m;
    testsupport::AimAtLoopback(m, server.port());
    const Outcome o = send(m);
    EXPECT_TRUE(server.done()) << "script stopped at step " << server.position();
    EXPECT_EQ(o.failures, QStringList{"554 rejected\r\n"});
    EXPECT_EQ(o.successes, 0);
    EXPECT_FALSE(m.MailResult);
}

} // namespace
