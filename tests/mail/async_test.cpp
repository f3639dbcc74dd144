// Sending without blocking: SendAsync/RelayAsync from the owner's own event
// loop, CancelSend, per-recipient results and partial delivery, and an
// instance deleted from its handlers (the ASan build runs these too).
#include "aim.h"
#include "mail/send_mail.h"

#include "fake_server.h"
#include "smtp_server.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include "qt_printers.h"
#include "temp_files.h"

#include <functional>

namespace {

// Runs the thread's event loop until `done` or 10 seconds.
bool runUntil(const std::function<bool()> &done) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < 10000) {
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return done();
}

// Lets late events arrive; a second outcome would show up here.
void settle() {
    QEventLoop loop;
    QTimer::singleShot(300, &loop, &QEventLoop::quit);
    loop.exec();
}

QStringList dialogue(const QStringList &rcpts, const QStringList &rcptReplies) {
    QStringList s{"S: 220 ready", "C: HELO example.com", "S: 250 ok",
                  "C: MAIL FROM: <sender@example.com>", "S: 250 ok"};
    for (qsizetype i = 0; i < rcpts.size(); ++i) {
        s << "C: RCPT TO: <" + rcpts[i] + ">"
          << "S: " + rcptReplies[i];
    }
    return s;
}

const QStringList Delivery{"C: DATA", "S: 354 go", "D:", "S: 250 queued", "C: QUIT", "S: 221 bye"};

struct Outcomes {
    int successes = 0;
    QStringList failures;
    QStringList recipients; // "address code"
    explicit Outcomes(clsSendMail &m) {
        QObject::connect(&m, &clsSendMail::SendSuccesful, [this] { ++successes; });
        QObject::connect(&m, &clsSendMail::SendFailed,
                         [this](const QString &why) { failures << why; });
        QObject::connect(&m, &clsSendMail::RecipientResult,
                         [this](const QString &a, int code, const QString &) {
                             recipients << a + " " + QString::number(code);
                         });
    }
    int count() const { return successes + int(failures.size()); }
};

} // namespace

TEST(SendAsync, TwoInstancesSendAtOnceFromTheOwnersLoop) {
    FakeServer one(dialogue({"a@example.com"}, {"250 ok"}) + Delivery);
    FakeServer two(dialogue({"b@example.com"}, {"250 ok"}) + Delivery);
    clsSendMail first, second;
    testsupport::AimAtLoopback(first, one.port(), "a@example.com");
    testsupport::AimAtLoopback(second, two.port(), "b@example.com");
    first.setSubject("first");
    second.setSubject("second");
    Outcomes a(first), b(second);

    // No handler of the owner may run inside another one: each handler and
    // the owner's timer mark the time they run.
    int depth = 0, nested = 0, events = 0, ticks = 0;
    auto guard = [&] {
        if (depth++ > 0) {
            ++nested;
        }
        ++events;
        --depth;
    };
    for (clsSendMail *m : {&first, &second}) {
        QObject::connect(m, &clsSendMail::status, [&](const QString &) { guard(); });
        QObject::connect(m, &clsSendMail::DebugPrint, [&](const QVariant &) { guard(); });
        QObject::connect(m, &clsSendMail::Progress, [&](int) { guard(); });
    }
    QTimer timer;
    timer.setInterval(1);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        guard();
        ++ticks;
    });
    timer.start();

    first.SendAsync();
    second.SendAsync();
    EXPECT_EQ(events, 0) << "nothing is told from inside SendAsync";
    ASSERT_TRUE(runUntil([&] { return a.count() + b.count() == 2; }));
    runUntil([&] { return one.done() && two.done(); });
    EXPECT_EQ(a.successes, 1);
    EXPECT_EQ(b.successes, 1);
    EXPECT_TRUE(one.done() && one.errors().isEmpty()) << one.errors().join('\n').toStdString();
    EXPECT_TRUE(two.done() && two.errors().isEmpty()) << two.errors().join('\n').toStdString();
    EXPECT_TRUE(one.data().contains("Subject: first"));
    EXPECT_TRUE(two.data().contains("Subject: second"));
    EXPECT_EQ(nested, 0);
    EXPECT_GT(ticks, 0);
    settle();
    EXPECT_EQ(a.count(), 1);
    EXPECT_EQ(b.count(), 1);
}

TEST(SendAsync, ChecksFailFromTheLoopAndARunningSendRefusesAnother) {
    clsSendMail m;
    testsupport::AimAtLoopback(m, 1);
    m.setFrom("");
    Outcomes o(m);
    m.SendAsync();
    EXPECT_TRUE(o.failures.isEmpty()) << "told from the event loop, not from inside the call";
    ASSERT_TRUE(runUntil([&] { return o.count() == 1; }));
    EXPECT_EQ(o.failures, QStringList{"Missing or Invalid Sender E-mail Address"});

    // From the outcome's handler a new send is accepted; while it runs, a
    // third is refused.
    FakeServer server(dialogue({"rcpt@example.com"}, {"250 ok"}) + Delivery);
    testsupport::AimAtLoopback(m, server.port());
    QStringList statuses;
    QObject::connect(&m, &clsSendMail::status, [&](const QString &s) { statuses << s; });
    bool again = true;
    QObject::connect(&m, &clsSendMail::SendFailed, [&] {
        if (std::exchange(again, false)) {
            m.SendAsync();
            m.SendAsync();
        }
    });
    m.setFrom("");
    m.SendAsync();
    m.setFrom("sender@example.com"); // a change after the start: for the next send
    ASSERT_TRUE(runUntil([&] { return o.successes == 1; }));
    EXPECT_TRUE(statuses.contains("Send refused: a send is in progress"));
    EXPECT_EQ(o.failures.size(), 2);
}

TEST(SendAsync, ChangesDuringASendApplyToTheNextOne) {
    QTemporaryDir dir;
    const QString kept = writeFile(dir, "kept.txt", "kept attachment\n");
    const QString other = writeFile(dir, "other.txt", "other attachment\n");
    FakeServer server(dialogue({"rcpt@example.com"}, {"250 ok"}) + Delivery);
    clsSendMail m;
    testsupport::AimAtLoopback(m, server.port());
    m.setAttachment(kept);
    Outcomes o(m);
    QObject::connect(&m, &clsSendMail::status, [&](const QString &s) {
        if (s == "Sending Sender Information...") {
            m.Clear();
            m.setSubject("changed");
            m.setAttachment(other);
        }
    });
    m.SendAsync();
    ASSERT_TRUE(runUntil([&] { return o.count() == 1; }));
    EXPECT_EQ(o.successes, 1);
    const QString data = server.data().join('\n');
    EXPECT_TRUE(data.contains("Subject: Hi"));
    EXPECT_TRUE(data.contains("kept.txt"));
    EXPECT_FALSE(data.contains("other.txt"));
    // The bytes are the kept file's too, not only its name.
    EXPECT_TRUE(data.contains(QByteArray("kept attachment\n").toBase64()));
    EXPECT_FALSE(data.contains(QByteArray("other attachment\n").toBase64()));
    EXPECT_EQ(m.Subject(), "changed");
}

TEST(SendAsync, CancelDuringALargeAttachmentDeliversNothing) {
    testsupport::SmtpServer sink;
    ASSERT_NE(sink.port(), 0);
    QTemporaryDir dir;
    const QString big = writeFile(dir, "big.bin", QByteArray(24 * 1024 * 1024, 'x'));
    clsSendMail m;
    testsupport::AimAtLoopback(m, sink.port());
    m.setConnectTimeout(10);
    m.setMessageTimeout(20);
    m.setAttachment(big);
    Outcomes o(m);
    QStringList failures;
    int progressAfterCancel = 0;
    bool cancelled = false;
    QObject::connect(&m, &clsSendMail::Progress, [&](int p) {
        if (cancelled) {
            ++progressAfterCancel;
        } else if (p >= 5) {
            cancelled = true;
            m.CancelSend();
        }
    });
    m.SendAsync();
    ASSERT_TRUE(runUntil([&] { return o.count() == 1; }));
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(o.failures, QStringList{"Send cancelled"});
    EXPECT_EQ(m.LastOutcome().kind, sendmail::SmtpOutcome::Kind::Cancelled);
    EXPECT_FALSE(m.LastOutcome().uncertain);
    settle();
    EXPECT_EQ(o.count(), 1);
    EXPECT_TRUE(sink.messageBytes(1).isEmpty()) << "the server stored nothing";

    // The instance sends again afterwards.
    m.setAttachment("");
    m.SendAsync();
    ASSERT_TRUE(runUntil([&] { return o.count() == 2; }));
    EXPECT_EQ(o.successes, 1) << o.failures.join('|').toStdString();
}

TEST(PartialDelivery, OneRefusedRecipientOfThree) {
    const QStringList rcpts{"a@example.com", "b@example.com", "c@example.com"};
    const QStringList replies{"250 ok", "550 5.1.1 no such user", "250 ok"};
    const QStringList pipelinedGroup{"S: 220 ready",
                                     "C: EHLO example.com",
                                     "S: 250-fake",
                                     "S: 250 PIPELINING",
                                     "C: MAIL FROM: <sender@example.com>",
                                     "C: RCPT TO: <a@example.com>",
                                     "C: RCPT TO: <b@example.com>",
                                     "C: RCPT TO: <c@example.com>",
                                     "C: DATA",
                                     "S: 250 ok",
                                     "S: 250 ok",
                                     "S: 550 5.1.1 no such user",
                                     "S: 250 ok"};
    struct Case {
        const char *what;
        bool partial, pipelining;
        QStringList script;
        QStringList results;
        bool delivered;
    } cases[] = {
        {"all or nothing",
         false,
         false,
         dialogue(rcpts.mid(0, 2), replies.mid(0, 2)) + QStringList{"C: QUIT", "S: 221 bye"},
         {"a@example.com 250", "b@example.com 550"},
         false},
        {"partial",
         true,
         false,
         dialogue(rcpts, replies) + Delivery,
         {"a@example.com 250", "b@example.com 550", "c@example.com 250"},
         true},
        {"partial, pipelined",
         true,
         true,
         pipelinedGroup + QStringList{"S: 354 go", "D:", "C: QUIT", "S: 250 queued", "S: 221 bye"},
         {"a@example.com 250", "b@example.com 550", "c@example.com 250"},
         true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        FakeServer server(c.script);
        clsSendMail m;
        testsupport::AimAtLoopback(m, server.port(), rcpts.join(';'));
        m.setPartialDelivery(c.partial);
        m.setPipelining(c.pipelining);
        Outcomes o(m);
        QStringList replyTexts;
        QObject::connect(&m, &clsSendMail::RecipientResult,
                         [&](const QString &, int, const QString &r) { replyTexts << r; });
        m.Send();
        runUntil([&] { return server.done(); });
        EXPECT_TRUE(server.done()) << "script stopped at step " << server.position();
        EXPECT_TRUE(server.errors().isEmpty()) << server.errors().join('\n').toStdString();
        EXPECT_EQ(o.recipients, c.results);
        EXPECT_TRUE(replyTexts.contains("550 5.1.1 no such user\r\n"));
        EXPECT_EQ(o.successes, c.delivered ? 1 : 0);
        EXPECT_EQ(o.failures,
                  c.delivered ? QStringList() : QStringList{"550 5.1.1 no such user\r\n"});
        EXPECT_EQ(server.data().contains("Subject: Hi"), c.delivered);
        EXPECT_EQ(m.LastOutcome().recipients.size(), c.results.size());
    }
}

TEST(PartialDelivery, EveryRecipientRefusedFailsWithTheirReplies) {
    FakeServer server(dialogue({"a@example.com", "b@example.com"}, {"550 no", "450 later"}) +
                      QStringList{"C: QUIT", "S: 221 bye"});
    clsSendMail m;
    testsupport::AimAtLoopback(m, server.port(), "a@example.com;b@example.com");
    m.setPartialDelivery(true);
    Outcomes o(m);
    m.Send();
    EXPECT_TRUE(server.done());
    EXPECT_EQ(o.failures, QStringList{"550 no\r\n450 later\r\n"});
    EXPECT_EQ(m.LastOutcome().kind, sendmail::SmtpOutcome::Kind::Reply);
}

TEST(SendAsync, ConnectionClosedAfterTheFinalDotIsNoticedAtOnce) {
    FakeServer server(dialogue({"rcpt@example.com"}, {"250 ok"}) +
                      QStringList{"C: DATA", "S: 354 go", "D:", "X:"});
    clsSendMail m;
    testsupport::AimAtLoopback(m, server.port());
    m.setMessageTimeout(30);
    Outcomes o(m);
    QElapsedTimer t;
    t.start();
    m.SendAsync();
    ASSERT_TRUE(runUntil([&] { return o.count() == 1; }));
    EXPECT_LT(t.elapsed(), 5000);
    ASSERT_EQ(o.failures.size(), 1);
    EXPECT_TRUE(m.LastOutcome().uncertain);
    EXPECT_EQ(m.LastOutcome().kind, sendmail::SmtpOutcome::Kind::Connect);
}

// Each signal's handler (and a timer's) deletes the instance, or its parent
// (at once or later), while Send waits or SendAsync runs.
TEST(SafeReentry, DeletingTheInstanceFromAnyHandler) {
    enum class Kill { Delete, DeleteLaterParent };
    const char *signalsToTry[] = {"status",        "DebugPrint", "Progress", "RecipientResult",
                                  "SendSuccesful", "SendFailed", "timer"};
    for (const char *signal : signalsToTry) {
        for (const Kill kill : {Kill::Delete, Kill::DeleteLaterParent}) {
            for (const bool async : {false, true}) {
                SCOPED_TRACE(std::string(signal) + (kill == Kill::Delete ? " delete" : " later") +
                             (async ? " async" : " wait"));
                const bool failing = QLatin1String(signal) == QLatin1String("SendFailed");
                FakeServer server(dialogue({"rcpt@example.com"}, {failing ? "550 no" : "250 ok"}) +
                                  (failing ? QStringList{"C: QUIT", "S: 221 bye"} : Delivery));
                auto *parent = new QObject;
                auto *m = new clsSendMail(parent);
                QPointer<clsSendMail> watch(m);
                testsupport::AimAtLoopback(*m, server.port());
                bool fired = false;
                auto kill_ = [&] {
                    if (std::exchange(fired, true)) {
                        return;
                    }
                    if (kill == Kill::Delete) {
                        delete m;
                    } else {
                        parent->deleteLater();
                        parent = nullptr;
                    }
                };
                const QString name = signal;
                if (name == "status") {
                    QObject::connect(m, &clsSendMail::status, [&](const QString &) { kill_(); });
                } else if (name == "DebugPrint") {
                    QObject::connect(m, &clsSendMail::DebugPrint,
                                     [&](const QVariant &) { kill_(); });
                } else if (name == "Progress") {
                    QObject::connect(m, &clsSendMail::Progress, [&](int) { kill_(); });
                } else if (name == "RecipientResult") {
                    QObject::connect(m, &clsSendMail::RecipientResult,
                                     [&](const QString &, int, const QString &) { kill_(); });
                } else if (name == "SendSuccesful") {
                    QObject::connect(m, &clsSendMail::SendSuccesful, [&] { kill_(); });
                } else if (name == "SendFailed") {
                    QObject::connect(m, &clsSendMail::SendFailed, [&] { kill_(); });
                } else {
                    QTimer::singleShot(30, m, [&] { kill_(); });
                }
                if (async) {
                    m->SendAsync();
                } else {
                    m->Send();
                }
                EXPECT_TRUE(runUntil([&] { return fired && !watch; }));
                delete parent;
            }
        }
    }
}

TEST(SafeReentry, TheApplicationQuittingDuringASendWait) {
    FakeServer server(dialogue({"rcpt@example.com"}, {"250 ok"}) + Delivery);
    clsSendMail m;
    testsupport::AimAtLoopback(m, server.port());
    Outcomes o(m);
    QObject::connect(&m, &clsSendMail::status, [](const QString &s) {
        if (s == "Sending Message...") {
            QCoreApplication::quit();
        }
    });
    bool returned = false;
    QTimer::singleShot(0, &m, [&] {
        m.Send();
        returned = true;
    });
    QTimer bound;
    bound.setSingleShot(true);
    QObject::connect(&bound, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    bound.start(10000);
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_TRUE(returned);
    EXPECT_LE(o.count(), 1);
}

// The session knows nothing of the facade above it.
TEST(Layering, NoFileOfMailBelowTheFacadeIncludesIt) {
    const QDir mail(qEnvironmentVariable("KELM_SOURCE_DIR") + "/mail");
    const QStringList files = mail.entryList({"*.h", "*.cpp"}, QDir::Files);
    ASSERT_TRUE(files.contains("smtp_session.cpp"));
    for (const QString &name : files) {
        if (name.startsWith("send_mail.") || name == "properties.cpp") {
            continue;
        }
        QFile f(mail.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const QByteArray text = f.readAll();
        EXPECT_FALSE(text.contains("send_mail.h")) << name.toStdString();
        EXPECT_FALSE(text.contains("clsSendMail")) << name.toStdString();
    }
}
