// The runner with the real driver: a scripted server that accepts, defers
// or refuses per recipient, drops the connection before or after the final
// ".", refuses the login or the connection; the driver cancelled from
// inside finalDotAhead; and aiosmtpd with a login once.
#include "outbox_support.h"

#include "fake_server.h"
#include "smtp_server.h"

#include "outbox/runner.h"
#include "outbox/smtp_driver.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QSysInfo>

using namespace outbox;
using namespace outboxtest;

namespace {

sendmail::SmtpSettings Aim(quint16 port) {
    sendmail::SmtpSettings s;
    s.host = "127.0.0.1";
    s.port = port;
    s.connectRetry = 1;
    s.connectTimeout = 5;
    s.messageTimeout = 5;
    return s;
}

struct Queue {
    QTemporaryDir work;
    QDateTime now = QDateTime::fromString("2026-12-09T03:00:00Z", Qt::ISODate);
    QueueFolder folder{work.filePath("out box"), [this] { return now; }};
    Policy policy;

    Queue() {
        policy.notify = false;
        QString error;
        EXPECT_TRUE(folder.open(&error)) << error.toStdString();
    }
    QString store(const QStringList &rcpts, qsizetype size = 10000,
                  const QString &sender = "ann@example.org") {
        QBuffer buffer;
        buffer.setData(Body(7, size));
        buffer.open(QIODevice::ReadOnly);
        const StoreResult stored = folder.store(buffer, {"work", sender, rcpts});
        EXPECT_TRUE(stored.ok()) << stored.errorText.toStdString();
        return stored.id;
    }
    // One flush of everything to its end (bounded).
    RunSummary flush(SmtpDriver &driver) {
        Runner runner(folder, driver, policy);
        std::optional<RunSummary> summary;
        QObject::connect(&runner, &Runner::finished,
                         [&summary](const RunSummary &s) { summary = s; });
        RunOptions options;
        options.selection = Selection::All;
        options.attemptTimeout = std::chrono::seconds(20);
        EXPECT_TRUE(runner.start(options));
        QElapsedTimer clock;
        clock.start();
        while (!summary && clock.elapsed() < 30000) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        }
        EXPECT_TRUE(summary.has_value()) << "the flush did not end";
        return summary.value_or(RunSummary{});
    }
    // "delivered deferred failed", one word per recipient, or "gone".
    QString states(const QString &id) {
        const QueueEntry e = folder.load(id);
        if (e.record.recipients.isEmpty()) {
            return "gone";
        }
        QStringList words;
        for (const RecipientRecord &r : e.record.recipients) {
            words << RecipientStateName(r.state);
        }
        return words.join(' ');
    }
};

const QStringList Greeting{"S: 220 fake", "C: HELO example.org", "S: 250 fake"};
const QStringList Mail{"C: MAIL FROM: <ann@example.org>", "S: 250 ok"};
const QStringList Data{"C: DATA", "S: 354 go"};
const QStringList Quit{"C: QUIT", "S: 221 bye"};

QStringList Rcpt(const QString &address, const QString &reply) {
    return {"C: RCPT TO: <" + address + ">", "S: " + reply};
}

struct Attempt {
    QStringList script; // empty: nothing listens on the port
    QString states;     // the recipients after it
    QString message;    // the message's state after it, "" when it left the queue
    bool login = false; // AUTH LOGIN as "user", password "wrong"
};

struct Case {
    const char *name;
    QStringList rcpts;
    QList<Attempt> attempts;
    qsizetype size = 10000;
    QString sender = "ann@example.org";
};

} // namespace

TEST(SmtpDriver, RunnerOverAScriptedServer) {
    const QStringList authRefused{
        "S: 220 fake",   "C: EHLO example.org",          "S: 250-fake", "S: 250 AUTH LOGIN",
        "C: AUTH Login", "S: 334 VXNlcm5hbWU6",          "C: dXNlcg==", "S: 334 UGFzc3dvcmQ6",
        "C: d3Jvbmc=",   "S: 535 5.7.8 bad credentials", "C: QUIT",     "S: 221 bye"};
    const QList<Case> cases{
        {"each recipient on its own; the delivered one never sent again",
         {"a@x.org", "b@x.org", "c@x.org"},
         {{Greeting + Mail + Rcpt("a@x.org", "250 ok") + Rcpt("b@x.org", "451 4.7.1 later") +
               Rcpt("c@x.org", "550 5.1.1 unknown") + Data +
               QStringList{"D:", "S: 250 2.0.0 queued as 1"} + Quit,
           "delivered deferred failed", "deferred"},
          {Greeting + Mail + Rcpt("b@x.org", "250 ok") + Data +
               QStringList{"D:", "S: 250 2.0.0 queued as 2"} + Quit,
           "delivered delivered failed", "failed"}}},
        {"every recipient refused: nothing sent, each by its own code",
         {"a@x.org", "b@x.org"},
         {{Greeting + Mail + Rcpt("a@x.org", "451 4.7.1 later") +
               Rcpt("b@x.org", "550 5.1.1 unknown") + Quit,
           "deferred failed", "deferred"}}},
        {"dropped after the final dot: uncertain, then sent again",
         {"a@x.org"},
         {{Greeting + Mail + Rcpt("a@x.org", "250 ok") + Data + QStringList{"D:", "X:"}, "deferred",
           "uncertain"},
          {Greeting + Mail + Rcpt("a@x.org", "250 ok") + Data + QStringList{"D:", "S: 250 queued"} +
               Quit,
           "gone", ""}}},
        {"silent after the final dot: uncertain",
         {"a@x.org"},
         {{Greeting + Mail + Rcpt("a@x.org", "250 ok") + Data + QStringList{"D:", "C: QUIT", "X:"},
           "deferred", "uncertain"}}},
        {"dropped while the data is sent: deferred, not uncertain",
         {"a@x.org"},
         {{Greeting + Mail + Rcpt("a@x.org", "250 ok") + Data + QStringList{"X:"}, "deferred",
           "deferred"}},
         16 << 20},
        {"a refused login defers every recipient",
         {"a@x.org", "b@x.org"},
         {{authRefused, "deferred deferred", "deferred", true}}},
        {"nothing listening defers", {"a@x.org"}, {{{}, "deferred", "deferred"}}},
        {"the empty sender; the greeting names this machine",
         {"a@x.org"},
         {{QStringList{"S: 220 fake", "C: HELO " + QSysInfo::machineHostName(), "S: 250 fake",
                       "C: MAIL FROM: <>", "S: 250 ok"} +
               Rcpt("a@x.org", "250 ok") + Data + QStringList{"D:", "S: 250 queued"} + Quit,
           "gone", ""}},
         10000,
         ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Queue q;
        const QString id = q.store(c.rcpts, c.size, c.sender);
        for (const Attempt &a : c.attempts) {
            std::unique_ptr<FakeServer> server;
            quint16 port = 0;
            {
                FakeServer probe({});
                port = probe.port();
            }
            if (!a.script.isEmpty()) {
                server = std::make_unique<FakeServer>(a.script);
                ASSERT_TRUE(server->listening());
                port = server->port();
            }
            sendmail::SmtpSettings settings = Aim(port);
            if (c.size > 1 << 20 || a.states.contains("uncertain") || a.message == "uncertain") {
                settings.messageTimeout = 1;
            }
            settings.useAuthentication = a.login;
            settings.username = "user";
            settings.password = "wrong";
            SmtpDriver driver(settings);
            const RunSummary s = q.flush(driver);
            EXPECT_TRUE(s.errors.isEmpty()) << s.errors.join('\n').toStdString();
            if (server) {
                EXPECT_TRUE(server->done()) << "script stopped at step " << server->position();
                EXPECT_TRUE(server->errors().isEmpty())
                    << server->errors().join('\n').toStdString();
            }
            EXPECT_EQ(q.states(id), a.states);
            ASSERT_EQ(s.messages.size(), 1);
            if (!a.message.isEmpty()) {
                EXPECT_EQ(MessageStateName(s.messages[0].state), a.message);
            }
        }
        const MessageRecord r = q.folder.load(id).record;
        if (c.rcpts.size() == 3) {
            EXPECT_EQ(r.recipients[0].reply, "250 2.0.0 queued as 1") << "the reply to the \".\"";
            EXPECT_EQ(r.recipients[2].reply, "550 5.1.1 unknown");
        }
        if (QString(c.name).startsWith("a refused login")) {
            EXPECT_TRUE(r.lastError.contains("535")) << r.lastError.toStdString();
        }
    }
}

TEST(SmtpDriver, CancelledInsideFinalDotAheadTheDotIsNotWritten) {
    FakeServer server(Greeting + Mail + Rcpt("a@x.org", "250 ok") + Data + QStringList{"D:"});
    ASSERT_TRUE(server.listening());
    SmtpDriver driver(Aim(server.port()));
    QBuffer message;
    message.setData(Body(3, 5000));
    message.open(QIODevice::ReadOnly);
    int repliesBeforeDot = -1, replies = 0;
    std::optional<AttemptOutcome> outcome;
    QObject::connect(&driver, &DeliveryDriver::recipientResult, [&] { ++replies; });
    QObject::connect(&driver, &DeliveryDriver::finalDotAhead, [&] {
        repliesBeforeDot = replies;
        driver.cancel();
    });
    QObject::connect(&driver, &DeliveryDriver::finished, [&](const AttemptOutcome &o) {
        EXPECT_FALSE(outcome.has_value()) << "finished once";
        outcome = o;
    });
    driver.start({"id", "work", "ann@example.org", {"a@x.org"}, &message, message.size()});
    EXPECT_FALSE(outcome.has_value()) << "never from inside start()";
    QElapsedTimer clock;
    clock.start();
    while ((!outcome || server.connections() == 0) && clock.elapsed() < 15000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    // What was on its way to the server has arrived.
    for (int i = 0; i < 10; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(outcome->kind, OutcomeKind::Cancelled);
    EXPECT_FALSE(outcome->finalDotWritten);
    EXPECT_EQ(repliesBeforeDot, 1) << "every RCPT verdict is told before finalDotAhead";
    EXPECT_FALSE(server.received().contains(".")) << server.received().join('|').toStdString();
}

TEST(SmtpDriver, AgainstAiosmtpdWithALogin) {
    testsupport::SmtpServer smtp(
        {"--user", "user", "--password", "secret", "--defer", "b@x.org", "--reject", "c@x.org"});
    ASSERT_NE(smtp.port(), 0);
    Queue q;
    const QString id = q.store({"a@x.org", "b@x.org", "c@x.org"});
    sendmail::SmtpSettings settings = Aim(smtp.port());
    settings.useAuthentication = true;
    settings.username = "user";
    settings.password = "not it";
    {
        SmtpDriver driver(settings);
        q.flush(driver);
    }
    EXPECT_EQ(q.states(id), "deferred deferred deferred") << "a 535 fails nobody";
    EXPECT_EQ(smtp.logins(), 0);
    settings.password = "secret";
    SmtpDriver driver(settings);
    q.flush(driver);
    EXPECT_EQ(q.states(id), "delivered deferred failed");
    EXPECT_EQ(smtp.envelope(1)["to"].toArray(), QJsonArray{"a@x.org"});
    EXPECT_EQ(smtp.messageBytes(1), Body(7, 10000));
    q.flush(driver);
    EXPECT_EQ(q.states(id), "delivered deferred failed");
    EXPECT_EQ(smtp.logins(), 2);
    EXPECT_TRUE(smtp.envelope(2).isEmpty()) << "a@x.org was not sent a second copy";
}
