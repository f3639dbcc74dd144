// The runner over a scripted driver: per-recipient results kept across
// attempts, notices stored once, the time limit of an attempt, uncertain
// messages held, two runner processes at once, runners killed at random
// moments while delivering.
#include "outbox_support.h"
#include "scripted_driver.h"

#include "outbox/listing.h"
#include "outbox/runner.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QThread>

using namespace outbox;
using namespace outboxtest;

namespace {

struct Fixture {
    QTemporaryDir work;
    QDateTime now = QDateTime::fromString("2026-12-09T03:00:00Z", Qt::ISODate);
    QueueFolder folder{work.filePath("out box"), [this] { return now; }};
    ScriptedDriver driver;
    Policy policy;
    QList<AttemptLog> log;

    Fixture() {
        QString error;
        EXPECT_TRUE(folder.open(&error)) << error.toStdString();
    }
    QString store(const QStringList &rcpts, const QString &sender = "ann@example.org") {
        QBuffer buffer;
        buffer.setData(Body(1, 10000));
        buffer.open(QIODevice::ReadOnly);
        const StoreResult stored = folder.store(buffer, {"work", sender, rcpts});
        EXPECT_TRUE(stored.ok()) << stored.errorText.toStdString();
        return stored.id;
    }
    // One run to its end (bounded).
    RunSummary run(RunOptions options = {}) {
        Runner runner(folder, driver, policy);
        QObject::connect(&runner, &Runner::attemptLogged,
                         [this](const AttemptLog &e) { log << e; });
        std::optional<RunSummary> summary;
        QObject::connect(&runner, &Runner::finished,
                         [&summary](const RunSummary &s) { summary = s; });
        EXPECT_TRUE(runner.start(options));
        QElapsedTimer clock;
        clock.start();
        while (!summary && clock.elapsed() < 30000) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        }
        EXPECT_TRUE(summary.has_value()) << "the run did not end";
        return summary.value_or(RunSummary{});
    }
    MessageRecord record(const QString &id) { return folder.load(id).record; }
};

TEST(Runner, RecipientsKeepTheirResultsAcrossAttemptsAndTheSenderHearsOfFailuresOnce) {
    Fixture f;
    const QString id = f.store({"a@x.org", "b@x.org", "c@x.org"});
    Script first;
    first.rcpt["b@x.org"] = {550, "550 5.1.1 no such user"};
    first.rcpt["c@x.org"] = {451, "451 4.7.1 greylisted"};
    f.driver.scripts = {first, Script{}};

    RunSummary s = f.run();
    ASSERT_EQ(s.messages.size(), 1);
    EXPECT_EQ(s.messages[0].state, MessageState::Deferred);
    const QString noticeId = s.messages[0].noticeId;
    EXPECT_EQ(noticeId, id + "-n1");
    const MessageRecord notice = f.record(noticeId);
    EXPECT_TRUE(notice.isNotice);
    EXPECT_EQ(notice.sender, "");
    EXPECT_EQ(notice.account, "work");
    EXPECT_EQ(DueRecipients(notice), QStringList{"ann@example.org"});
    const QByteArray text = [&] {
        QFile file(f.folder.messagePath(noticeId));
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        return file.readAll();
    }();
    EXPECT_TRUE(text.contains("Final-Recipient: rfc822; b@x.org\r\n"));
    EXPECT_FALSE(text.contains("Final-Recipient: rfc822; c@x.org"));
    EXPECT_TRUE(text.contains("Subject: m1\r\n")) << "the original headers";

    // The notice is due at once, the message not before its back-off.
    f.now = f.now.addSecs(299);
    f.run();
    ASSERT_EQ(f.driver.jobs.size(), 2);
    EXPECT_EQ(f.driver.jobs[1].id, noticeId);
    f.now = f.now.addSecs(1);
    s = f.run();
    // Only the deferred recipient.
    ASSERT_EQ(f.driver.jobs.size(), 3);
    EXPECT_EQ(f.driver.jobs[2].id, id);
    EXPECT_EQ(f.driver.jobs[2].recipients, QStringList{"c@x.org"});
    ASSERT_EQ(s.messages.size(), 1);
    EXPECT_EQ(s.messages[0].state, MessageState::Failed);
    EXPECT_EQ(s.messages[0].noticeId, "") << "b@x.org was reported already";
    const MessageRecord r = f.record(id);
    EXPECT_EQ(r.recipients[2].state, RecipientState::Delivered);
    EXPECT_EQ(r.notices, 1);
    EXPECT_EQ(f.folder.list().size(), 1) << "the notice delivered, the failed message kept";

    QStringList lines;
    for (const AttemptLog &e : f.log) {
        lines << LogLine(e).replace(id, "ID");
    }
    EXPECT_EQ(lines, (QStringList{
                         "2026-12-09T03:00:00Z ID delivered to=<a@x.org> 250 2.0.0 queued as X",
                         "2026-12-09T03:00:00Z ID failed to=<b@x.org> 550 5.1.1 no such user",
                         "2026-12-09T03:00:00Z ID deferred to=<c@x.org> 451 4.7.1 greylisted",
                         "2026-12-09T03:04:59Z ID-n1 delivered to=<ann@example.org> 250 2.0.0 "
                         "queued as X",
                         "2026-12-09T03:05:00Z ID delivered to=<c@x.org> 250 2.0.0 queued as X"}));
}

TEST(Runner, NoNoticeWhenTheCallerWasToldEveryRecipientWasRefused) {
    for (const bool callerSees : {true, false}) {
        Fixture f;
        const QString id = f.store({"a@x.org"});
        Script refuse;
        refuse.rcpt["a@x.org"] = {550, "550 5.1.1 no"};
        f.driver.scripts = {refuse};
        RunOptions options;
        options.selection = Selection::Ids;
        options.ids = {id};
        options.callerSeesOutcome = callerSees;
        const RunSummary s = f.run(options);
        ASSERT_EQ(s.messages.size(), 1);
        EXPECT_EQ(s.messages[0].state, MessageState::Failed);
        EXPECT_EQ(s.messages[0].noticeId.isEmpty(), callerSees);
        EXPECT_EQ(f.folder.list().size(), callerSees ? 1 : 2) << "kept as failed";
    }
}

TEST(Runner, AHungAttemptEndsAtItsTimeLimitAndAnUncertainOneWaitsWhenHeld) {
    const struct {
        const char *name;
        Ending ending;
        MessageState state;
    } rows[] = {
        {"hung during the data", Ending::Hang, MessageState::Deferred},
        {"deaf to the cancel", Ending::Deaf, MessageState::Deferred},
        {"lost after the dot", Ending::LostAfterDot, MessageState::Uncertain},
        {"refused at the dot", Ending::RefuseData, MessageState::Failed},
        {"login failed", Ending::FailEarly, MessageState::Deferred},
    };
    for (const auto &row : rows) {
        Fixture f;
        f.policy.holdUncertain = true;
        f.policy.notify = false;
        const QString id = f.store({"a@x.org"});
        Script script;
        script.ending = row.ending;
        script.early = {OutcomeKind::Login, false, 535, "535 5.7.8 no"};
        f.driver.scripts = {script, Script{}};
        RunOptions options;
        options.attemptTimeout = std::chrono::milliseconds(300);
        options.cancelGrace = std::chrono::milliseconds(200);
        const RunSummary s = f.run(options);
        ASSERT_EQ(s.messages.size(), 1) << row.name;
        EXPECT_EQ(s.messages[0].state, row.state) << row.name;
        const MessageRecord r = f.record(id);
        EXPECT_EQ(r.inFlight, InFlight::None) << row.name;
        if (row.ending == Ending::Hang) {
            EXPECT_EQ(r.lastError, "no end of the attempt within 300 ms");
        }
        // Held: not even a flush of everything sends it; a retry does.
        f.now = f.now.addDays(1);
        f.run({Selection::All});
        const bool held = row.state == MessageState::Uncertain;
        EXPECT_EQ(f.driver.jobs.size(), held || row.state == MessageState::Failed ? 1 : 2)
            << row.name;
        if (held) {
            QString error;
            ASSERT_TRUE(f.folder.retry(id, &error)) << error.toStdString();
            f.run();
            EXPECT_EQ(f.driver.jobs.size(), 2);
            EXPECT_TRUE(f.folder.list().isEmpty());
        }
    }
}

TEST(Runner, ADamagedOrBusyMessageIsSkippedAndKept) {
    Fixture f;
    const QString busy = f.store({"a@x.org"});
    const QString damaged = f.store({"a@x.org"});
    ASSERT_TRUE(QFile::resize(f.folder.messagePath(damaged), 3));
    MessageLock lock;
    ASSERT_EQ(f.folder.tryLock(busy, lock), LockResult::Locked);
    const RunSummary s = f.run({Selection::All});
    EXPECT_EQ(s.busy, QStringList{busy});
    EXPECT_EQ(s.damaged, QStringList{damaged});
    EXPECT_TRUE(f.driver.jobs.isEmpty());
    EXPECT_EQ(f.folder.list().size(), 2);
}

TEST(Runner, AnAttemptKilledAfterTheDotAtTheEndOfTheLifetimeFailsWithANotice) {
    Fixture f;
    const QString id = f.store({"a@x.org"});
    MessageRecord r = f.record(id);
    r.since = f.now.addDays(-6);
    BeginAttempt(r, f.now.addSecs(-60));
    MarkFinalDotAhead(r, {{"a@x.org", 250, "250 ok"}});
    QString error;
    ASSERT_TRUE(f.folder.save(r, &error));

    const RunSummary s = f.run();
    EXPECT_TRUE(f.driver.jobs.isEmpty());
    ASSERT_EQ(s.messages.size(), 1);
    EXPECT_EQ(s.messages[0].state, MessageState::Failed);
    EXPECT_EQ(s.messages[0].noticeId, id + "-n1");
    r = f.record(id);
    EXPECT_EQ(r.inFlight, InFlight::None);
    EXPECT_TRUE(r.recipients[0].reply.startsWith("gave up after 5 days: delivery was interrupted "
                                                 "after the final \".\""))
        << r.recipients[0].reply.toStdString();
    EXPECT_TRUE(r.recipients[0].notified);
}

// Counts what the scripted server accepted per queue id.
QMap<QString, int> Deliveries(const QString &log) {
    QMap<QString, int> count;
    QFile file(log);
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (!line.isEmpty()) {
                ++count[QString::fromUtf8(line.split(' ')[0])];
            }
        }
    }
    return count;
}

QStringList StoreMany(const QString &dir, int n) {
    QueueFolder q(dir);
    QString error;
    EXPECT_TRUE(q.open(&error));
    QStringList ids;
    for (int i = 0; i < n; ++i) {
        QBuffer buffer;
        buffer.setData(Body(i, 40000));
        buffer.open(QIODevice::ReadOnly);
        ids << q.store(buffer, {"", "ann@example.org", {"b@x.org", "c@x.org"}}).id;
    }
    return ids;
}

TEST(Runner, TwoRunnersAtOnceNeverSendTheSameMessage) {
    QTemporaryDir work;
    const QString dir = work.filePath("q");
    const QString log = work.filePath("server log");
    const QStringList ids = StoreMany(dir, 10);
    std::unique_ptr<QProcess> a = StartHelper({"deliver", dir, log, "5"});
    std::unique_ptr<QProcess> b = StartHelper({"deliver", dir, log, "5"});
    ASSERT_TRUE(a->waitForFinished(60000));
    ASSERT_TRUE(b->waitForFinished(60000));
    EXPECT_EQ(a->exitCode(), 0) << a->readAllStandardError().toStdString();
    EXPECT_EQ(b->exitCode(), 0) << b->readAllStandardError().toStdString();
    const QMap<QString, int> delivered = Deliveries(log);
    EXPECT_EQ(delivered.keys(), [&] {
        QStringList sorted = ids;
        sorted.sort();
        return sorted;
    }());
    for (auto it = delivered.begin(); it != delivered.end(); ++it) {
        EXPECT_EQ(it.value(), 1) << it.key().toStdString();
    }
    EXPECT_TRUE(QueueFolder(dir).list().isEmpty());
}

TEST(Runner, ARunnerKilledAtAnyMomentLosesNothingAndDeliversNothingTwice) {
    QTemporaryDir work;
    const QString dir = work.filePath("q");
    const QString log = work.filePath("server log");
    const QStringList ids = StoreMany(dir, 8);
    QRandomGenerator random(19);
    bool sawUncertain = false, sawInterrupted = false;
    for (int round = 0; round < 16; ++round) {
        std::unique_ptr<QProcess> runner = StartHelper({"deliver", dir, log, "3", "hold"});
        ASSERT_TRUE(runner->waitForReadyRead(20000));
        QThread::msleep(random.bounded(0, 100));
        runner->kill();
        ASSERT_TRUE(runner->waitForFinished(10000));

        // As the next runner will find it: what the server has is
        // delivered, or uncertain if the runner died before its reply;
        // what it does not have is never delivered or gone.
        QueueFolder q(dir);
        Policy policy;
        policy.holdUncertain = true;
        const QMap<QString, int> delivered = Deliveries(log);
        for (const QueueEntry &e : ListedQueue(q, policy)) {
            ASSERT_FALSE(e.damaged) << e.error.toStdString();
            const MessageState state = StateOf(e.record);
            if (delivered.value(e.id) > 0) {
                EXPECT_EQ(state, MessageState::Uncertain) << e.id.toStdString();
            }
            EXPECT_TRUE(state == MessageState::Queued || state == MessageState::Uncertain)
                << e.id.toStdString() << " " << MessageStateName(state).toStdString();
            sawUncertain = sawUncertain || state == MessageState::Uncertain;
            sawInterrupted = sawInterrupted || e.record.attempts > 0;
        }
    }
    // A last run with nothing killed: every message delivered exactly once,
    // or uncertain and held, never sent twice.
    const HelperRun last = RunHelper({"deliver", dir, log, "0", "hold"});
    EXPECT_EQ(last.exitCode, 0) << last.err.toStdString();
    const QMap<QString, int> delivered = Deliveries(log);
    QueueFolder q(dir);
    QStringList held;
    for (const QueueEntry &e : q.list()) {
        EXPECT_EQ(StateOf(e.record), MessageState::Uncertain);
        held << e.id;
    }
    for (const QString &id : ids) {
        EXPECT_LE(delivered.value(id), 1) << id.toStdString();
        EXPECT_TRUE(delivered.value(id) == 1 || held.contains(id)) << "lost: " << id.toStdString();
    }
    EXPECT_TRUE(sawInterrupted) << "no runner was killed during an attempt";
    RecordProperty("uncertain_seen", sawUncertain ? 1 : 0);
}

} // namespace
