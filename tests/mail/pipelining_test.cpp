// Pipelined dialogues: what the component writes before it awaits each reply
// (a script's C: lines before its S: lines can only be played by a client
// that does not wait in between), how the queued replies are judged, and
// messages through aiosmtpd with pipelining on.
#include "aim.h"
#include "mail/send_mail.h"

#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>

#include "fake_server.h"
#include "qt_printers.h"
#include "smtp_server.h"

namespace {

struct Events {
    int successes = 0;
    QStringList failures;
    QStringList statuses;
    QStringList trace;
    std::vector<QMetaObject::Connection> links;
    explicit Events(clsSendMail &m) {
        links.push_back(QObject::connect(&m, &clsSendMail::SendSuccesful, [this] { ++successes; }));
        links.push_back(QObject::connect(&m, &clsSendMail::SendFailed,
                                         [this](const QString &e) { failures << e; }));
        links.push_back(QObject::connect(&m, &clsSendMail::status,
                                         [this](const QString &s) { statuses << s; }));
        links.push_back(QObject::connect(&m, &clsSendMail::DebugPrint,
                                         [this](const QVariant &t) { trace << t.toString(); }));
    }
    ~Events() {
        for (const auto &link : links) {
            QObject::disconnect(link);
        }
    }
    // The envelope statuses, in the order they came.
    QStringList envelopeStatuses() const {
        QStringList s;
        for (const QString &status : statuses) {
            if (status.startsWith("Sending S") || status.startsWith("Sending R") ||
                status == "Sending Message...") {
                s << status;
            }
        }
        return s;
    }
};

void aim(clsSendMail &m, quint16 port, bool pipelining = true) {
    testsupport::AimAtLoopback(m, port, "a@example.com;b@example.com");
    m.setPipelining(pipelining);
}

// Lets whatever the client still sends reach the server.
void settle() {
    QEventLoop loop;
    QTimer::singleShot(150, &loop, &QEventLoop::quit);
    loop.exec();
}

const QStringList PipeliningGreeting{"S: 220 fake ready", "C: EHLO example.com", "S: 250-fake",
                                     "S: 250-8BITMIME", "S: 250 PIPELINING"};
const QStringList Group{"C: MAIL FROM: <sender@example.com>", "C: RCPT TO: <a@example.com>",
                        "C: RCPT TO: <b@example.com>", "C: DATA"};
const QStringList EnvelopeStatuses{"Sending Sender Information...",
                                   "Sending Recipient Information...", "Sending Message..."};

void expectPlayed(const FakeServer &server) {
    EXPECT_TRUE(server.done()) << "script stopped at step " << server.position();
    EXPECT_TRUE(server.errors().isEmpty()) << server.errors().join("\n").toStdString();
}

struct Grouping {
    const char *what;
    QStringList envelopeReplies; // after MAIL, RCPT, RCPT, DATA have all arrived
    QStringList endReplies;      // after the text, "." and QUIT have all arrived
    friend void PrintTo(const Grouping &g, std::ostream *os) { *os << g.what; }
};

class PipelinedGrouping : public ::testing::TestWithParam<Grouping> {};

TEST_P(PipelinedGrouping, ThreeClientTurnsAfterTheGreeting) {
    const Grouping &g = GetParam();
    FakeServer server(PipeliningGreeting + Group + g.envelopeReplies +
                      QStringList{"D:", "C: QUIT"} + g.endReplies);
    ASSERT_TRUE(server.listening());
    clsSendMail m;
    aim(m, server.port());
    Events ev(m);
    m.Send();
    expectPlayed(server);
    EXPECT_EQ(ev.successes, 1);
    EXPECT_EQ(ev.failures, QStringList());
    EXPECT_TRUE(m.MailResult);
    EXPECT_EQ(ev.envelopeStatuses(), EnvelopeStatuses);
    EXPECT_EQ(ev.statuses.mid(ev.statuses.size() - 2),
              QStringList({"Transmission Complete...", "Closing Connection..."}));
    EXPECT_TRUE(server.data().contains("Hello"));
    // The commands are traced as written, before the first of their replies.
    const qsizetype mail = ev.trace.indexOf("MAIL FROM: <sender@example.com>");
    ASSERT_GE(mail, 0);
    EXPECT_EQ(ev.trace.mid(mail, 4),
              QStringList({"MAIL FROM: <sender@example.com>", "RCPT TO: <a@example.com>",
                           "RCPT TO: <b@example.com>", "DATA"}));
    const qsizetype dot = ev.trace.indexOf(".");
    ASSERT_GE(dot, 0);
    EXPECT_EQ(ev.trace.value(dot + 1), "QUIT");
}

INSTANTIATE_TEST_SUITE_P(
    Replies, PipelinedGrouping,
    ::testing::Values(Grouping{"all replies in one arrival each",
                               {"S: 250 ok", "S: 250 ok", "S: 251 will forward", "S: 354 go ahead"},
                               {"S: 250 queued", "S: 221 bye"}},
                      Grouping{
                          "replies split across arrivals",
                          {"R: 250 ok\\r\\n25", "W: 40", "R: 0 ok\\r\\n", "W: 40",
                           "R: 250-first\\r\\n250 last\\r\\n354 go", "W: 40", "R:  ahead\\r\\n"},
                          {"R: 250 que", "W: 40", "R: ued\\r\\n221", "W: 40", "R:  bye\\r\\n"}},
                      Grouping{"an error to QUIT after the message was taken",
                               {"S: 250 ok", "S: 250 ok", "S: 250 ok", "S: 354 go ahead"},
                               {"S: 250 queued", "S: 554 odd"}}),
    [](const ::testing::TestParamInfo<Grouping> &p) { return std::to_string(p.index); });

TEST(Pipelining, ServerWithoutTheOfferOrSwitchedOffGetsTheDialogueOfToday) {
    struct Case {
        bool pipelining;
        QStringList hello;
    };
    const Case cases[] = {
        {true, {"C: EHLO example.com", "S: 250-fake", "S: 250 8BITMIME"}},
        {false, {"C: HELO example.com", "S: 250-fake", "S: 250 PIPELINING"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pipelining);
        FakeServer server(QStringList{"S: 220 fake ready"} + c.hello +
                          QStringList{"C: MAIL FROM: <sender@example.com>", "S: 250 ok",
                                      "C: RCPT TO: <a@example.com>", "S: 250 ok",
                                      "C: RCPT TO: <b@example.com>", "S: 250 ok", "C: DATA",
                                      "S: 354 go ahead", "D:", "S: 250 queued", "C: QUIT",
                                      "S: 221 bye"});
        clsSendMail m;
        aim(m, server.port(), c.pipelining);
        Events ev(m);
        m.Send();
        expectPlayed(server);
        EXPECT_EQ(ev.successes, 1);
        EXPECT_EQ(ev.envelopeStatuses(), EnvelopeStatuses);
    }
}

TEST(Pipelining, AFailureInTheGroupEndsTheSendWithoutAnyMessageText) {
    struct Case {
        const char *what;
        QStringList replies;
        QString failure;
        QStringList statuses;
    };
    const Case cases[] = {
        {"second recipient refused, DATA still accepted",
         {"S: 250 ok", "S: 250 ok", "S: 550 no such user", "S: 354 go ahead"},
         "550 no such user\r\n",
         EnvelopeStatuses.mid(0, 2)},
        {"421 in the middle",
         {"S: 250 ok", "S: 421 shutting down", "X:"},
         "421 shutting down\r\n",
         EnvelopeStatuses.mid(0, 2)},
        {"sender refused",
         {"S: 553 bad sender", "S: 503 no", "S: 503 no", "S: 503 no"},
         "553 bad sender\r\n",
         EnvelopeStatuses.mid(0, 1)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        FakeServer server(PipeliningGreeting + Group + c.replies);
        clsSendMail m;
        aim(m, server.port());
        Events ev(m);
        m.Send();
        settle();
        expectPlayed(server);
        EXPECT_EQ(ev.failures, QStringList{c.failure});
        EXPECT_EQ(ev.successes, 0);
        EXPECT_EQ(m.MailMessage, c.failure);
        EXPECT_EQ(ev.envelopeStatuses(), c.statuses);
        // Neither message text, nor ".", nor a QUIT that the server would
        // read as message text.
        EXPECT_EQ(server.received(),
                  QStringList({"EHLO example.com", "MAIL FROM: <sender@example.com>",
                               "RCPT TO: <a@example.com>", "RCPT TO: <b@example.com>", "DATA"}));
    }
}

TEST(Pipelining, TheEndOfDataRefusedIsOneFailureAndTheQuitReplyIsRead) {
    FakeServer server(PipeliningGreeting + Group +
                      QStringList{"S: 250 ok", "S: 250 ok", "S: 250 ok", "S: 354 go ahead",
                                  "D:", "C: QUIT", "S: 554 spam", "S: 221 bye"});
    clsSendMail m;
    aim(m, server.port());
    Events ev(m);
    m.Send();
    settle();
    expectPlayed(server);
    EXPECT_EQ(ev.failures, QStringList{"554 spam\r\n"});
    EXPECT_EQ(ev.successes, 0);
    EXPECT_EQ(ev.trace.filter("QUIT").size(), 1) << "no second QUIT after the pipelined one";
}

TEST(Pipelining, AKeptSessionPipelinesEachMessageWithoutQuitBetween) {
    const QStringList replies{"S: 250 ok",       "S: 250 ok", "S: 250 ok",
                              "S: 354 go ahead", "D:",        "S: 250 queued"};
    FakeServer server(PipeliningGreeting + Group + replies + Group + replies +
                      QStringList{"C: QUIT", "S: 221 bye"});
    clsSendMail m;
    aim(m, server.port());
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

TEST(Pipelining, RelayPipelinesToo) {
    FakeServer server(PipeliningGreeting + Group +
                      QStringList{"S: 250 ok", "S: 250 ok", "S: 250 ok", "S: 354 go ahead",
                                  "D:", "C: QUIT", "S: 250 queued", "S: 221 bye"});
    clsSendMail m;
    aim(m, server.port());
    Events ev(m);
    m.Relay("sender@example.com", {"a@example.com", "b@example.com"},
            QByteArray("Subject: relayed\r\n\r\nbody\r\n"));
    expectPlayed(server);
    EXPECT_EQ(ev.successes, 1);
    EXPECT_EQ(server.data(), QStringList({"Subject: relayed", "", "body"}));
}

TEST(Pipelining, AiosmtpdTakesPipelinedMessagesIntact) {
    testsupport::SmtpServer sink({"--pipelining", "--reject", "nobody@example.com"});
    ASSERT_NE(sink.port(), 0);
    clsSendMail m;
    aim(m, sink.port());
    m.setConnectTimeout(10);
    m.setMessageTimeout(20);
    m.setMessage("Line one\r\n.dot line\r\nLine three");
    Events ev(m);
    m.Send();
    ASSERT_EQ(ev.successes, 1) << ev.failures.join('|').toStdString();
    EXPECT_TRUE(ev.trace.contains("QUIT"));
    const QByteArray first = sink.messageBytes(1);
    EXPECT_TRUE(first.contains("\r\nLine one\r\n.dot line\r\nLine three\r\n")) << first.data();
    EXPECT_EQ(sink.envelope(1)["to"].toVariant().toStringList(),
              QStringList({"a@example.com", "b@example.com"}));

    // A refused recipient: nothing is delivered to the others.
    m.setRecipient("a@example.com;nobody@example.com;b@example.com");
    m.Send();
    EXPECT_EQ(ev.failures.size(), 1);
    EXPECT_TRUE(ev.failures.value(0).startsWith("550 ")) << ev.failures.value(0).toStdString();
    m.Relay("sender@example.com", {"b@example.com"}, QByteArray("Subject: two\r\n\r\n2\r\n"));
    EXPECT_EQ(ev.successes, 2);
    EXPECT_TRUE(sink.messageBytes(2).contains("Subject: two"));
    EXPECT_TRUE(sink.messageBytes(3).isEmpty()) << "the refused send delivered nothing";
}

} // namespace
