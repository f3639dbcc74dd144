// The queue folder: private and exact storage, the Message-ID fixed when a
// message is stored, temporary files of dead writers removed and those of
// live ones kept, damaged messages listed and kept, twenty storers at once,
// storers killed at random moments, a full disk.
#include "outbox_support.h"

#include "outbox/queue_folder.h"

#include <QBuffer>
#include <QFile>
#include <QRandomGenerator>
#include <QSet>
#include <QThread>

#include <csignal>
#include <sys/stat.h>
#include <utime.h>

using namespace outbox;
using namespace outboxtest;

namespace {

int Mode(const QString &path) {
    struct stat st {};
    EXPECT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0) << path.toStdString();
    return st.st_mode & 0777;
}

QByteArray Read(const QString &path) {
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << path.toStdString();
    return f.readAll();
}

StoreResult Store(QueueFolder &q, const QByteArray &bytes, const QStringList &rcpts = {"b@x.org"}) {
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    return q.store(buffer, {"work", "ann@example.org", rcpts});
}

void MakeOld(const QString &path) {
    const struct utimbuf old { 1000000000, 1000000000 };
    ASSERT_EQ(::utime(QFile::encodeName(path).constData(), &old), 0) << path.toStdString();
}

// A queue folder in a temporary folder, open.
struct OpenQueue {
    QTemporaryDir work;
    QString dir = work.filePath("q");
    QueueFolder q{dir};
    OpenQueue() {
        QString error;
        EXPECT_TRUE(q.open(&error)) << error.toStdString();
    }
};

TEST(Queue, StoresExactlyAndPrivatelyUnderAPathWithSpaces) {
    QTemporaryDir work;
    const QString dir = work.filePath("my mail/queue dir");
    ASSERT_TRUE(QDir().mkpath(dir));
    ::chmod(QFile::encodeName(dir).constData(), 0755);
    const QDateTime t = QDateTime::fromString("2026-12-09T03:00:00Z", Qt::ISODate);
    QueueFolder q(dir, [t] { return t; });
    QString error;
    ASSERT_TRUE(q.open(&error)) << error.toStdString();

    const QByteArray body = Body(1, 300000);
    const StoreResult stored = Store(q, body, {"b@x.org", "c@x.org", "B@x.org"});
    ASSERT_TRUE(stored.ok()) << stored.errorText.toStdString();
    EXPECT_EQ(Read(q.messagePath(stored.id)), body);
    EXPECT_EQ(Mode(dir), 0700);
    EXPECT_EQ(Mode(dir + "/tmp"), 0700);
    EXPECT_EQ(Mode(q.messagePath(stored.id)), 0600);
    EXPECT_EQ(Mode(dir + "/" + stored.id + ".env"), 0600);
    EXPECT_TRUE(FilesIn(dir + "/tmp").isEmpty());

    const QList<QueueEntry> entries = q.list();
    ASSERT_EQ(entries.size(), 1);
    const MessageRecord &r = entries[0].record;
    EXPECT_FALSE(entries[0].damaged) << entries[0].error.toStdString();
    EXPECT_EQ(r.id, stored.id);
    EXPECT_TRUE(r.id.startsWith("20261209-030000-"));
    EXPECT_EQ(r.account, "work");
    EXPECT_EQ(r.sender, "ann@example.org");
    EXPECT_EQ(r.messageId, "<m1@example.org>");
    EXPECT_EQ(r.created, t);
    EXPECT_EQ(r.size, body.size());
    ASSERT_EQ(r.recipients.size(), 2);
    EXPECT_EQ(r.recipients[1].address, "c@x.org");
    EXPECT_EQ(r.recipients[1].state, RecipientState::Pending);
}

TEST(Queue, AMessageIdIsFixedWhenTheMessageIsStored) {
    OpenQueue open;
    QueueFolder &q = open.q;
    const struct {
        const char *name;
        QByteArray in;
        QByteArray headBefore; // what the stored message starts with, "" if unchanged
        const char *kept;      // the Message-ID when the message had one
    } rows[] = {
        {"CRLF, none", "Subject: a\r\nTo: b@x.org\r\n\r\nbody\r\n",
         "Subject: a\r\nTo: b@x.org\r\nMessage-ID: <", nullptr},
        {"LF, none", "Subject: a\n\nbody\n", "Subject: a\nMessage-ID: <", nullptr},
        {"header only", "Subject: a\n", "Subject: a\nMessage-ID: <", nullptr},
        {"folded, kept", "Message-id:\r\n <x.y@z.org>\r\nSubject: a\r\n\r\nb\r\n", "",
         "<x.y@z.org>"},
        {"no header block", "hello world\n\nbody\n", "", ""},
        {"a 2 MB line, NUL bytes",
         "X-Long: " + QByteArray(2 << 20, 'x') + QByteArray("\n\n\0b\0\n", 6), "", ""},
    };
    for (const auto &row : rows) {
        const StoreResult stored = Store(q, row.in);
        ASSERT_TRUE(stored.ok()) << row.name;
        const QByteArray out = Read(q.messagePath(stored.id));
        if (row.kept) {
            EXPECT_EQ(out, row.in) << row.name;
            EXPECT_EQ(stored.messageId, row.kept) << row.name;
            continue;
        }
        EXPECT_TRUE(out.startsWith(row.headBefore)) << row.name << ": " << out.toStdString();
        EXPECT_TRUE(stored.messageId.startsWith('<') && stored.messageId.endsWith("@example.org>"))
            << row.name << ": " << stored.messageId.toStdString();
        EXPECT_TRUE(
            out.contains(stored.messageId.toUtf8() + (row.in.contains('\r') ? "\r\n" : "\n")));
        EXPECT_TRUE(out.endsWith(row.in.mid(row.in.indexOf('\n') + 1).right(6))) << row.name;
        EXPECT_EQ(q.load(stored.id).record.messageId, stored.messageId) << row.name;
    }
}

TEST(Queue, CleanupRemovesWhatDeadWritersLeftAndNeverWhatALiveOneWrites) {
    OpenQueue open;
    const QString &dir = open.dir;
    QueueFolder &q = open.q;
    QString error;

    std::unique_ptr<QProcess> writer = StartHelper({"store", dir, "ann@example.org", "b@x.org"});
    writer->write(Body(2, 50000));
    QStringList temps;
    for (int i = 0; i < 200 && temps.isEmpty(); ++i) {
        QThread::msleep(20);
        temps = FilesIn(dir + "/tmp");
    }
    ASSERT_EQ(temps.size(), 1);
    const QString live = dir + "/tmp/" + temps[0];
    MakeOld(live);
    // What a killed storer leaves: a temporary file, a message without its
    // record; both old and unlocked.
    QFile stale(dir + "/tmp/20260101-000000-000001.1.msg");
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.close();
    MakeOld(stale.fileName());
    QFile orphan(q.messagePath("20260101-000000-000002"));
    ASSERT_TRUE(orphan.open(QIODevice::WriteOnly));
    orphan.close();
    MakeOld(orphan.fileName());

    const CleanupReport report = q.cleanup();
    EXPECT_EQ(report.removed,
              (QStringList{"20260101-000000-000001.1.msg", "20260101-000000-000002.msg"}));
    EXPECT_TRUE(QFile::exists(live)) << "still being written";
    EXPECT_TRUE(q.list().isEmpty()) << "nothing is listed before it is stored";

    writer->kill();
    ASSERT_TRUE(writer->waitForFinished(10000));
    EXPECT_EQ(q.cleanup().removed, QStringList{temps[0]});
    EXPECT_TRUE(FilesIn(dir + "/tmp").isEmpty());
}

TEST(Queue, DamagedMessagesAreListedAndNeverRemovedByThemselves) {
    OpenQueue open;
    const QString &dir = open.dir;
    QueueFolder &q = open.q;
    QString error;
    const QString later = Store(q, Body(3, 100)).id;
    const QString cut = Store(q, Body(4, 100)).id;
    const QString fine = Store(q, Body(5, 100)).id;
    QByteArray record = Read(dir + "/" + later + ".env");
    QFile f(dir + "/" + later + ".env");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(record.replace("kelm-outbox 1", "kelm-outbox 9"));
    f.close();
    ASSERT_TRUE(QFile::resize(q.messagePath(cut), 10));
    MakeOld(dir + "/" + later + ".env");
    MakeOld(q.messagePath(cut));

    q.cleanup(0);
    QMap<QString, QString> damaged;
    for (const QueueEntry &e : q.list()) {
        if (e.damaged) {
            damaged[e.id] = e.error;
        }
    }
    QStringList expected{later, cut};
    expected.sort();
    EXPECT_EQ(damaged.keys(), expected);
    EXPECT_TRUE(damaged[later].contains("unknown format version")) << damaged[later].toStdString();
    EXPECT_TRUE(damaged[cut].contains("10 bytes")) << damaged[cut].toStdString();
    EXPECT_EQ(FilesIn(dir).size(), 6);

    // Only asked for by name: drop; retry refuses.
    EXPECT_FALSE(q.retry(later, &error));
    EXPECT_TRUE(q.drop(later, &error)) << error.toStdString();
    EXPECT_EQ(FilesIn(dir).size(), 4);
    EXPECT_FALSE(q.retry(fine, &error)) << "a queued message has nothing to retry";
    MessageLock lock;
    ASSERT_EQ(q.tryLock(fine, lock), LockResult::Locked);
    EXPECT_FALSE(q.drop(fine, &error));
    EXPECT_TRUE(error.contains("being delivered")) << error.toStdString();
    lock = MessageLock();
    EXPECT_TRUE(q.drop(fine, &error));
    EXPECT_FALSE(q.drop(fine, &error));
    EXPECT_FALSE(q.drop("../x", &error));
    EXPECT_FALSE(q.retry("../x", &error));
    EXPECT_EQ(error, "../x: not a queue id");
}

TEST(Queue, TwentyStorersAtOnceLoseNothingAndGetDistinctIds) {
    QTemporaryDir work;
    const QString dir = work.filePath("q q");
    std::vector<std::unique_ptr<QProcess>> storers;
    for (int i = 0; i < 20; ++i) {
        storers.push_back(StartHelper({"store", dir, "ann@example.org", "b@x.org"}));
    }
    for (int i = 0; i < 20; ++i) {
        storers[i]->write(Body(100 + i, 20000));
        storers[i]->closeWriteChannel();
    }
    QSet<QString> ids;
    for (auto &p : storers) {
        ASSERT_TRUE(p->waitForFinished(60000));
        EXPECT_EQ(p->exitCode(), 0) << p->readAllStandardError().toStdString();
        ids << QString::fromUtf8(p->readAllStandardOutput().trimmed());
    }
    EXPECT_EQ(ids.size(), 20);
    QueueFolder q(dir);
    const QList<QueueEntry> entries = q.list();
    ASSERT_EQ(entries.size(), 20);
    QSet<QByteArray> bodies;
    for (const QueueEntry &e : entries) {
        EXPECT_TRUE(ids.contains(e.id));
        bodies << Read(q.messagePath(e.id));
    }
    for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(bodies.contains(Body(100 + i, 20000))) << i;
    }
}

TEST(Queue, AStorerKilledAtAnyMomentLeavesAWholeMessageOrNone) {
    QTemporaryDir work;
    const QString dir = work.filePath("q");
    QRandomGenerator random(20);
    QStringList told;
    for (int round = 0; round < 12; ++round) {
        const QByteArray body = Body(round, 200000);
        std::unique_ptr<QProcess> p = StartHelper({"store", dir, "ann@example.org", "b@x.org"});
        const int killAfter =
            random.bounded(0, 14); // pieces of 16 KB; past the end: after the close
        for (int piece = 0; piece * 16384 < body.size() && piece < killAfter; ++piece) {
            p->write(body.mid(piece * 16384, 16384));
            p->waitForBytesWritten(1000);
        }
        if (killAfter * 16384 >= body.size()) {
            p->closeWriteChannel();
            QThread::usleep(random.bounded(0, 3000));
        }
        p->kill();
        ASSERT_TRUE(p->waitForFinished(10000));
        const QString id = QString::fromUtf8(p->readAllStandardOutput().trimmed());
        if (!id.isEmpty()) {
            told << id;
        }
    }
    QueueFolder q(dir);
    q.cleanup(0);
    QStringList listed;
    for (const QueueEntry &e : q.list()) {
        ASSERT_FALSE(e.damaged) << e.error.toStdString();
        const QByteArray stored = Read(q.messagePath(e.id));
        const int seed = stored.mid(10, stored.indexOf('\r') - 10).toInt();
        EXPECT_EQ(stored, Body(seed, 200000)) << "a partial message is listed";
        listed << e.id;
    }
    for (const QString &id : told) {
        EXPECT_TRUE(listed.contains(id)) << "told it was safe, then lost: " << id.toStdString();
    }
    EXPECT_TRUE(FilesIn(dir + "/tmp").isEmpty());
    EXPECT_EQ(FilesIn(dir).size(), 2 * listed.size()) << FilesIn(dir).join(' ').toStdString();
}

TEST(Queue, AFullDiskIsReportedAndLeavesNothingBehind) {
    if (QProcess::execute("unshare", {"-m", "true"}) != 0) {
        GTEST_SKIP() << "needs a private mount namespace (unshare -m, root)";
    }
    QTemporaryDir work;
    const QString mount = work.filePath("small disk");
    ASSERT_TRUE(QDir().mkpath(mount));
    // In its own mount namespace: a 64 KB tmpfs, a 1 MB message stored into
    // it, then what the queue folder holds.
    const QString script = "mount -t tmpfs -o size=64k tmpfs \"$1\" || exit 90; "
                           "\"$2\" store \"$1/q\" ann@example.org b@x.org; echo \"exit $?\"; "
                           "ls -A \"$1/q\" \"$1/q/tmp\"";
    std::unique_ptr<QProcess> p = std::make_unique<QProcess>();
    p->start("unshare", {"-m", "sh", "-c", script, "sh", mount, Helper()});
    ASSERT_TRUE(p->waitForStarted(10000));
    p->write(Body(7, 1 << 20));
    p->closeWriteChannel();
    ASSERT_TRUE(p->waitForFinished(60000));
    ASSERT_NE(p->exitCode(), 90) << "no tmpfs";
    const QString out = QString::fromUtf8(p->readAllStandardOutput());
    const QString err = QString::fromUtf8(p->readAllStandardError());
    EXPECT_TRUE(out.startsWith("exit 73\n")) << out.toStdString();
    EXPECT_TRUE(err.startsWith("no space left: cannot write to the queue folder"))
        << err.toStdString();
    EXPECT_TRUE(err.contains("No space left on device")) << err.toStdString();
    // ls: the folder holds only tmp/, and tmp/ nothing.
    EXPECT_TRUE(out.endsWith(":\ntmp\n\n" + mount + "/q/tmp:\n")) << out.toStdString();
}

} // namespace
