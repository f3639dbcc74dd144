// kelmsend's queue from the outside: sendmail mode's -odq stores the
// prepared message without connecting, "queue list" (also mailq and
// sendmail -bp) shows it, retry and drop change it, and a folder that
// cannot take the message ends the run with 73 and nothing left behind.
// The command lines are parsed in-process.
#include "kelmsend_support.h"

#include "cli/queue_command.h"
#include "outbox/queue_folder.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QRegularExpression>

#include <sysexits.h>

#include "qt_printers.h"
#include "row_name.h"

using namespace clitest;
using kelmsend::ParseQueueArguments;
using kelmsend::QueueVerb;

namespace {

// A home with an account file, its queue folder holding a space.
struct QueueHome {
    QTemporaryDir dir;
    QString queue() const { return dir.filePath("state dir/my queue"); }
    explicit QueueHome(const QByteArray &account = "from = me@example.com\n") {
        QDir(dir.path()).mkpath("config/kelmsend");
        QDir(dir.path()).mkpath("home");
        writeFile(dir, "config/kelmsend/config",
                  "[default]\n" + account + "queue-dir = " + queue().toUtf8() + "\n");
        QFile::setPermissions(dir.filePath("config/kelmsend/config"),
                              QFile::ReadOwner | QFile::WriteOwner);
    }
    std::map<QString, QString> env() const {
        return {{"HOME", dir.filePath("home")}, {"XDG_CONFIG_HOME", dir.filePath("config")}};
    }
    QString link(const QString &name) const {
        const QString path = dir.filePath(name);
        QFile::link(Kelmsend(), path);
        return path;
    }
    Finished run(const QStringList &args, const QByteArray &input = {}) const {
        return RunKelmsend(args, input, env());
    }
    QStringList files() const { return QDir(queue()).entryList(QDir::Files, QDir::Name); }
};

const QByteArray kMessage = "From: Ann <ann@example.com>\nTo: bob@example.org\n"
                            "Bcc: cy@example.org\nSubject: later\n\nbody\n";

QStringList envelopeOf(const SmtpServer &server, int n) {
    QStringList to;
    for (const QJsonValue &v : server.envelope(n)["to"].toArray()) {
        to << v.toString();
    }
    return to;
}

QString storedId(const Finished &r) {
    const QString err = QString::fromUtf8(r.err);
    const qsizetype at = err.indexOf("queued as ");
    return at < 0 ? QString() : err.mid(at + 10).section(QRegularExpression("[^0-9a-z-]"), 0, 0);
}

TEST(QueueOnly, StoresThePreparedMessageWithoutConnectingAndListsIt) {
    Listener listener;
    QueueHome home("server = " + listener.address().toUtf8() + "\nfrom = me@example.com\n");
    const Finished stored =
        RunProgram(home.link("sendmail"), {"-odq", "-t", "-i"}, kMessage, home.env());
    ASSERT_EQ(stored.exitCode, 0) << stored.describe();
    const QString id = storedId(stored);
    EXPECT_EQ(QString::fromUtf8(stored.err),
              "kelmsend: queued as " + id + " for 2 recipients, not tried yet (-odq)\n");
    EXPECT_FALSE(listener.contacted());
    EXPECT_EQ(QFileInfo(home.queue()).permissions().toInt() & 0x0077, 0);

    QFile msg(home.queue() + "/" + id + ".msg");
    ASSERT_TRUE(msg.open(QIODevice::ReadOnly));
    const QByteArray bytes = msg.readAll();
    EXPECT_TRUE(bytes.startsWith("From: Ann <ann@example.com>\nTo: bob@example.org\nSubject: "
                                 "later\nDate: "));
    EXPECT_FALSE(bytes.contains("cy@example.org")) << bytes.toStdString();
    EXPECT_TRUE(bytes.endsWith("\n\nbody\n"));

    // The same line under each of the three names; JSON as documented.
    const Finished list = home.run({"queue", "list"});
    ASSERT_EQ(list.exitCode, 0) << list.describe();
    EXPECT_TRUE(list.out.startsWith(id.toUtf8() + "  ")) << list.out.toStdString();
    EXPECT_TRUE(list.out.contains("  ann@example.com  queued  next now  bob@example.org pending; "
                                  "cy@example.org pending\n"))
        << list.out.toStdString();
    for (const auto &[program, args] : {std::pair{home.link("mailq"), QStringList{}},
                                        std::pair{home.link("sendmail"), QStringList{"-bp"}}}) {
        const Finished r = RunProgram(program, args, {}, home.env());
        EXPECT_EQ(r.exitCode, 0) << r.describe();
        EXPECT_EQ(r.out.left(r.out.indexOf("  ")), id.toUtf8()) << r.describe();
    }
    const Finished json = home.run({"queue", "list", "--json"});
    const QJsonObject m = QJsonDocument::fromJson(json.out).array().at(0).toObject();
    EXPECT_EQ(m["id"].toString(), id);
    EXPECT_EQ(m["state"].toString(), "queued");
    EXPECT_EQ(m["sender"].toString(), "ann@example.com");
    EXPECT_EQ(m["attempts"].toInt(), 0);
    EXPECT_TRUE(m["last_error"].isNull());
    EXPECT_EQ(m["recipients"].toArray().size(), 2);
    EXPECT_EQ(m["recipients"].toArray().at(1)["address"].toString(), "cy@example.org");
    EXPECT_EQ(m["recipients"].toArray().at(1)["state"].toString(), "pending");
}

TEST(QueueOnly, TheAccountAndQuietAreKeptAndTheSenderRulesApply) {
    QueueHome home;
    // root@myhost gives way to the account's from; --quiet: no note.
    const Finished r =
        home.run({"--account", "default", "--quiet", "-odq", "-f", "root@myhost", "r@example.org"},
                 "Subject: x\n\nx\n");
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_EQ(r.err, "");
    const QList<outbox::QueueEntry> entries = outbox::QueueFolder(home.queue()).list();
    ASSERT_EQ(entries.size(), 1);
    EXPECT_EQ(entries[0].record.sender, "me@example.com");
    EXPECT_EQ(entries[0].record.account, "default");
}

TEST(QueueOnly, AFolderThatCannotTakeTheMessageExits73AndKeepsNothing) {
    QTemporaryDir dir;
    const QString file = writeFile(dir, "a file", "x");
    Finished r = RunKelmsend(
        {"-odq", "--queue-dir", file + "/queue", "-f", "a@example.com", "b@example.org"}, kMessage);
    EXPECT_EQ(r.exitCode, EX_CANTCREAT) << r.describe();
    EXPECT_TRUE(r.err.startsWith("kelmsend: cannot store the message: ")) << r.describe();

    // A full disk: a small tmpfs in a private mount namespace, a message
    // larger than it.
    // -odq, and the store before the first try (nothing listens at the
    // server: the message must not be tried when it cannot be stored).
    const QString queue = dir.filePath("full disk");
    QDir().mkpath(queue);
    const QByteArray big = kMessage + RandomBytes(512 * 1024, 7).toBase64() + "\n";
    Listener listener;
    for (const QString &mode : {QString("-odq"), QString("-odi")}) {
        r = RunProgram("unshare",
                       {"-m", "/bin/sh", "-c",
                        "mount -t tmpfs -o size=256k tmpfs \"$0\" || exit 99; \"$@\"; s=$?; "
                        "ls -A \"$0/queue\" \"$0/queue/tmp\" >&2; exit $s",
                        queue, Kelmsend(), mode, "--server", listener.address(), "--queue-dir",
                        queue + "/queue", "-f", "a@example.com", "b@example.org"},
                       big);
        if (r.exitCode == 99 || r.err.contains("unshare failed")) {
            GTEST_SKIP() << "no private mount namespace here: " << r.describe();
        }
        EXPECT_EQ(r.exitCode, EX_CANTCREAT) << r.describe();
        EXPECT_TRUE(r.err.contains("No space left on device")) << r.describe();
        // ls lists "tmp" in the queue and nothing else.
        EXPECT_TRUE(r.err.endsWith(":\ntmp\n\n" + (queue + "/queue/tmp").toUtf8() + ":\n"))
            << r.describe();
    }
    EXPECT_FALSE(listener.contacted());
}

TEST(QueueCommands, RetryAndDropTakeKnownIdsOnly) {
    QueueHome home;
    const QString id = storedId(home.run({"-odq", "-t"}, kMessage));
    ASSERT_FALSE(id.isEmpty());
    const QString other = storedId(home.run({"-odq", "-t"}, kMessage));
    // A queued message has nothing to retry; a failed one does.
    Finished r = home.run({"queue", "retry", id});
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_EQ(r.err, "kelmsend: " + id.toUtf8() + " has nothing to retry (queued)\n");
    {
        outbox::QueueFolder folder(home.queue());
        outbox::MessageLock lock;
        ASSERT_EQ(folder.tryLock(id, lock), outbox::LockResult::Locked);
        outbox::MessageRecord record = folder.load(id).record;
        record.recipients[0].state = outbox::RecipientState::Failed;
        record.recipients[1].state = outbox::RecipientState::Failed;
        record.nextAttempt = QDateTime::currentDateTimeUtc().addDays(1);
        QString error;
        ASSERT_TRUE(folder.save(record, &error)) << error.toStdString();
    }
    EXPECT_TRUE(home.run({"queue", "list"}).out.contains("  failed  next -  "));
    r = home.run({"queue", "retry", id});
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_TRUE(home.run({"queue", "list"}).out.contains("  queued  next now  "));

    // Unknown ids and ones that would leave the folder fail by name; the
    // others are still done.
    r = home.run({"queue", "drop", "20990101-000000-000000", id, "../config/kelmsend/config"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, id.toUtf8() + " dropped\n");
    EXPECT_EQ(r.err, "kelmsend: 20990101-000000-000000: no such message in the queue\n"
                     "kelmsend: ../config/kelmsend/config: not a queue id (kelmsend queue "
                     "list shows them)\n");
    EXPECT_EQ(home.files(), (QStringList{other + ".env", other + ".msg"}));
    r = home.run({"queue", "retry", "x/../" + other});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(QFile::exists(home.dir.filePath("config/kelmsend/config")));
}

TEST(QueueCommands, EmptyMissingAndDamagedQueues) {
    QueueHome home;
    // A folder that does not exist is an empty queue, and is not made.
    Finished r = home.run({"queue", "list"});
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_EQ(r.out, "queue is empty\n");
    EXPECT_EQ(home.run({"queue", "list", "--json"}).out, "[]\n");
    EXPECT_FALSE(QFileInfo::exists(home.queue()));

    const QString id = storedId(home.run({"-odq", "-t"}, kMessage));
    QFile env(home.queue() + "/" + id + ".env");
    ASSERT_TRUE(env.open(QIODevice::WriteOnly | QIODevice::Truncate));
    env.write("kelm-outbox 1\nid " + id.toUtf8() + "\n");
    env.close();
    r = home.run({"queue", "list"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.out.startsWith(id.toUtf8() + "  damaged: ")) << r.out.toStdString();
    const QJsonObject m =
        QJsonDocument::fromJson(home.run({"queue", "list", "--json"}).out).array()[0].toObject();
    EXPECT_EQ(m["state"].toString(), "damaged");
    EXPECT_EQ(home.files().size(), 2); // listed, never removed

    // A queue folder that is a file cannot be listed.
    r = RunKelmsend({"queue", "list", "--queue-dir", env.fileName()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "kelmsend: cannot read the queue folder " + env.fileName().toUtf8() +
                         ": not a folder\n");
}

TEST(QueueCommands, TheDefaultFolderIsUnderTheStateHome) {
    QTemporaryDir dir;
    const QString home = dir.filePath("a home"), state = dir.filePath("state home");
    for (const auto &[env, folder] :
         {std::pair{std::map<QString, QString>{{"HOME", home}, {"XDG_STATE_HOME", state}},
                    state + "/kelmsend/queue"},
          std::pair{std::map<QString, QString>{{"HOME", home}, {"XDG_STATE_HOME", "relative"}},
                    home + "/.local/state/kelmsend/queue"}}) {
        const Finished r =
            RunKelmsend({"-odq", "-f", "a@example.com", "b@example.org"}, kMessage, env);
        EXPECT_EQ(r.exitCode, 0) << r.describe();
        EXPECT_EQ(QDir(folder).entryList({"*.env"}, QDir::Files).size(), 1) << folder.toStdString();
    }
}

// ---- Store first, then try: sendmail mode's default ------------------------

QJsonObject Listed(const QueueHome &home, int n = 0) {
    return QJsonDocument::fromJson(home.run({"queue", "list", "--json"}).out)
        .array()
        .at(n)
        .toObject();
}

QString ClosedPort() {
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost, 0);
    return "127.0.0.1:" + QString::number(closed.serverPort());
}

TEST(StoreFirst, ServerDownThenAFlushDeliversExactlyOnce) {
    QueueHome home("server = " + ClosedPort().toUtf8() +
                   "\nfrom = me@example.com\nretries = 1\ntimeout = 2\n");
    const Finished r = RunProgram(home.link("sendmail"), {"-t", "-i"}, kMessage, home.env());
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    const QString id = storedId(r);
    EXPECT_TRUE(r.err.startsWith("kelmsend: queued as " + id.toUtf8() +
                                 ": deferred for bob@example.org (10061 - Connection refused), "
                                 "cy@example.org (10061 - Connection refused); next try 20"))
        << r.describe();
    const QJsonObject m = Listed(home);
    EXPECT_EQ(m["state"].toString(), "deferred");
    EXPECT_FALSE(m["next_attempt"].isNull());
    EXPECT_EQ(m["attempts"].toInt(), 1);

    SmtpServer server;
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    // Not due yet: a plain flush leaves it; --all (and the server given on
    // the command line, winning over the account's) delivers it.
    Finished f = home.run({"queue", "flush", "--server", server.address()});
    EXPECT_EQ(f.exitCode, 0) << f.describe();
    EXPECT_EQ(f.out, "");
    f = home.run({"queue", "flush", "--all", "--server", server.address()});
    EXPECT_EQ(f.exitCode, 0) << f.describe();
    EXPECT_EQ(f.out, id.toUtf8() + ": delivered to bob@example.org, cy@example.org\n");
    EXPECT_EQ(home.files(), QStringList{});
    f = home.run({"queue", "flush", "--all", "--server", server.address()});
    EXPECT_EQ(f.exitCode, 0) << f.describe();
    EXPECT_EQ(envelopeOf(server, 1), (QStringList{"bob@example.org", "cy@example.org"}));
    EXPECT_FALSE(QFile::exists(server.message(2))) << "sent twice";
}

// Outside sendmail mode --queue stores the composed message as it would go
// after DATA, without the dot-stuffing that a later relay adds again.
TEST(StoreFirst, AComposedMessageThroughTheQueue) {
    QueueHome home("server = " + ClosedPort().toUtf8() + "\nretries = 1\nfrom = me@example.com\n");
    const Finished r =
        home.run({"--queue", "--to", "b@example.org", "--subject", "s", "--body", ".dot line\nend",
                  "--attach", home.dir.filePath("config/kelmsend/config")});
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_TRUE(r.err.contains(": deferred for b@example.org (")) << r.describe();
    SmtpServer server;
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    const Finished f = home.run({"queue", "flush", "--all", "--server", server.address()});
    EXPECT_EQ(f.exitCode, 0) << f.describe();
    const QByteArray got = server.messageBytes(1);
    EXPECT_TRUE(got.contains("\r\n.dot line\r\nend\r\n")) << got.toStdString();
    EXPECT_TRUE(got.contains("filename=\"config\"")) << got.toStdString();
    EXPECT_EQ(server.envelope(1)["from"].toString(), "me@example.com");
}

TEST(StoreFirst, EachRecipientOnItsOwnAndTheNoticeGoesThroughTheAccount) {
    SmtpServer server({"--reject", "bad@example.org", "--defer", "later@example.org"});
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    QueueHome home("server = " + server.address().toUtf8() + "\nfrom = me@example.com\n");
    const QByteArray message = "From: Ann <ann@example.com>\nSubject: s\n\nbody\n";

    // Every recipient refused on the first try: the status says so, no
    // notice, the message kept as failed.
    Finished r = home.run({"-i", "bad@example.org"}, message);
    EXPECT_EQ(r.exitCode, EX_NOUSER) << r.describe();
    EXPECT_TRUE(
        r.err.startsWith("kelmsend: 550 5.1.1 <bad@example.org>: Recipient address rejected\n"
                         "kelmsend: nothing was sent; the message stays in the queue as failed: "))
        << r.describe();
    EXPECT_EQ(Listed(home)["state"].toString(), "failed");
    EXPECT_FALSE(QFile::exists(server.message(1)));
    ASSERT_EQ(home.run({"queue", "drop", Listed(home)["id"].toString()}).exitCode, 0);

    // One accepted, one refused, one deferred: 0, a notice to the sender
    // (delivered by the same run), the accepted one never sent again.
    r = home.run({"-i", "ok@example.org", "bad@example.org", "later@example.org"}, message);
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    const QString id = storedId(r);
    EXPECT_TRUE(r.err.contains(": delivered to ok@example.org; deferred for later@example.org "
                               "(451 4.7.1 <later@example.org>: Recipient address deferred); "
                               "failed for bad@example.org (550 5.1.1 <bad@example.org>: "
                               "Recipient address rejected), a notice goes to the sender; next "
                               "try "))
        << r.describe();
    EXPECT_EQ(envelopeOf(server, 1), QStringList{"ok@example.org"});
    EXPECT_EQ(envelopeOf(server, 2), QStringList{"ann@example.com"});
    EXPECT_EQ(server.envelope(2)["from"].toString(), "<>");
    const QByteArray notice = server.messageBytes(2);
    EXPECT_TRUE(notice.contains("From: Mail Delivery System <me@example.com>\r\n"))
        << notice.toStdString();
    EXPECT_TRUE(notice.contains("report-type=delivery-status")) << notice.toStdString();
    EXPECT_TRUE(notice.contains("Final-Recipient: rfc822; bad@example.org"))
        << notice.toStdString();

    const Finished f = home.run({"queue", "flush", "--all"});
    EXPECT_EQ(f.exitCode, 0) << f.describe();
    EXPECT_TRUE(f.out.startsWith(id.toUtf8() + ": deferred for later@example.org")) << f.describe();
    EXPECT_FALSE(QFile::exists(server.message(3))) << "the delivered recipient got it again";
    EXPECT_EQ(Listed(home)["recipients"].toArray().at(0)["state"].toString(), "delivered");
}

TEST(StoreFirst, AConnectionLostAfterTheDataIsUncertainAndHeldWhenAsked) {
    SmtpServer server({"--drop-after-data"});
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    for (const QByteArray &mode : {QByteArray("retry"), QByteArray("hold")}) {
        SCOPED_TRACE(mode.toStdString());
        QueueHome home("server = " + server.address().toUtf8() +
                       "\nfrom = me@example.com\nuncertain = " + mode + "\n");
        const Finished r = home.run({"-i", "-f", "me@example.com", "r@example.org"}, kMessage);
        EXPECT_EQ(r.exitCode, 0) << r.describe();
        EXPECT_TRUE(r.err.contains(": uncertain for r@example.org (")) << r.describe();
        const QJsonObject m = Listed(home);
        EXPECT_EQ(m["state"].toString(), "uncertain");
        EXPECT_EQ(m["held"].toBool(), mode == "hold");
        EXPECT_EQ(m["next_attempt"].isNull(), mode == "hold");
        // Held: even --all leaves it to queue retry.
        const Finished f = home.run({"queue", "flush", "--all"});
        EXPECT_EQ(f.out.isEmpty(), mode == "hold") << f.describe();
    }
}

TEST(StoreFirst, BadQueueKeysAreRefusedByName) {
    const QList<std::pair<QByteArray, QString>> rows{
        {"queue-backoff = 10m,1m", "queue-backoff: must be FIRST or FIRST,MAX"},
        {"queue-backoff = soon", "queue-backoff: must be FIRST or FIRST,MAX"},
        {"queue-lifetime = 0", "queue-lifetime: must be a duration such as 30m"},
        {"uncertain = maybe", "uncertain: must be retry or hold, not \"maybe\""},
        {"notify = perhaps", "notify: must be true or false, not \"perhaps\""},
        {"syslog = sometimes", "syslog: must be true or false"}};
    for (const auto &[line, text] : rows) {
        QueueHome home(line + "\n");
        const Finished r = home.run({"-i", "-f", "a@example.com", "r@example.org"}, kMessage);
        EXPECT_EQ(r.exitCode, EX_CONFIG) << line.toStdString() << r.describe();
        EXPECT_TRUE(r.err.contains(text.toUtf8())) << r.describe();
        EXPECT_EQ(home.files(), QStringList{});
    }
    const Finished r =
        RunKelmsend({"--queue-lifetime", "5y", "--from", "a@example.com", "--to", "b@example.org"});
    EXPECT_EQ(r.exitCode, 2) << r.describe();
}

TEST(StoreFirst, TheLogHasALinePerOutcomeAndNoSecret) {
    SmtpServer server({"--user", "u", "--password", "Pw-secret-9", "--reject", "bad@example.org"});
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    QueueHome home("server = " + server.address().toUtf8() +
                   "\nfrom = me@example.com\nauth = true\nuser = u\n"
                   "password-command = echo Pw-secret-9\nnotify = false\n"
                   "log-file = ~/../mail log\n");
    const Finished r = home.run(
        {"-i", "--trace", "-f", "me@example.com", "ok@example.org", "bad@example.org"}, kMessage);
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_EQ(server.logins(), 1);
    QFile log(home.dir.filePath("mail log"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    EXPECT_EQ(log.permissions() & (QFile::ReadGroup | QFile::ReadOther), 0);
    const QList<QByteArray> lines = log.readAll().split('\n');
    ASSERT_EQ(lines.size(), 3) << "two lines, no notice";
    const QString id = Listed(home)["id"].toString(); // the trace holds other "queued as"
    EXPECT_TRUE(QRegularExpression("^20\\d\\d-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ " + id +
                                   " delivered to=<ok@example.org> 250 ")
                    .match(QString::fromUtf8(lines[0]))
                    .hasMatch())
        << lines[0].toStdString();
    EXPECT_TRUE(lines[1].endsWith(id.toUtf8() + " failed to=<bad@example.org> 550 5.1.1 "
                                                "<bad@example.org>: Recipient address rejected"))
        << lines[1].toStdString();
    // The password, as it is and as AUTH PLAIN and LOGIN carry it.
    const QByteArray all = lines.join('\n') + r.err + r.out;
    for (const QByteArray &secret :
         {QByteArray("Pw-secret-9"), QByteArray("\0u\0Pw-secret-9", 13).toBase64(),
          QByteArray("Pw-secret-9").toBase64()}) {
        EXPECT_FALSE(all.contains(secret)) << secret.toStdString();
    }
    // A log that cannot be opened is said so; the message is delivered all the same.
    QueueHome other("server = " + server.address().toUtf8() +
                    "\nfrom = me@example.com\nlog-file = /nonexistent/kelm/log\n");
    const Finished o = other.run({"-i", "-f", "me@example.com", "ok@example.org"}, kMessage);
    EXPECT_EQ(o.exitCode, 0) << o.describe();
    EXPECT_TRUE(o.err.contains("kelmsend: cannot open the log file /nonexistent/kelm/log: No such "
                               "file or directory\n"))
        << o.describe();
    EXPECT_EQ(other.files(), QStringList{});
}

TEST(StoreFirst, TwoFlushesAtOnceDeliverEachMessageOnce) {
    SmtpServer server;
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    QueueHome home("server = " + server.address().toUtf8() + "\nfrom = me@example.com\n");
    constexpr int kMessages = 6;
    for (int n = 0; n < kMessages; ++n) {
        ASSERT_EQ(
            home.run({"-odq", "-i", "-f", "me@example.com", "r@example.org"}, kMessage).exitCode,
            0);
    }
    std::vector<std::unique_ptr<QProcess>> runs;
    for (int n = 0; n < 2; ++n) {
        auto p = std::make_unique<QProcess>();
        p->setProcessEnvironment(TestEnvironment(home.env()));
        p->start(Kelmsend(), {"queue", "flush"});
        runs.push_back(std::move(p));
    }
    for (auto &p : runs) {
        EXPECT_TRUE(p->waitForFinished(60000));
        EXPECT_EQ(p->exitCode(), 0) << p->readAllStandardError().toStdString();
    }
    EXPECT_TRUE(QFile::exists(server.message(kMessages)));
    EXPECT_FALSE(QFile::exists(server.message(kMessages + 1))) << "a message went twice";
    EXPECT_EQ(home.files(), QStringList{});
}

TEST(StoreFirst, NoQueueAndSendmailMinusQ) {
    SmtpServer server;
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    QueueHome home("server = " + ClosedPort().toUtf8() +
                   "\nfrom = me@example.com\nretries = 1\ntimeout = 2\nno-queue = true\n");
    // no-queue: the direct path, nothing kept.
    Finished r = home.run({"-i", "r@example.org"}, kMessage);
    EXPECT_EQ(r.exitCode, EX_CANTCREAT) << r.describe();
    EXPECT_FALSE(QFileInfo::exists(home.queue()));
    // -odq, then -q under the sendmail link: delivered; quiet with --quiet.
    ASSERT_EQ(home.run({"-odq", "-i", "r@example.org"}, kMessage).exitCode, 0);
    r = RunProgram(home.link("sendmail"), {"-q", "--quiet", "--server", server.address()}, {},
                   home.env());
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_TRUE(QFile::exists(server.message(1)));
    EXPECT_EQ(home.files(), QStringList{});
}

struct Line {
    const char *name;
    QStringList args;
    QString error; // "" when the command line is usable
    QueueVerb verb = QueueVerb::List;
    QStringList ids = {};
};

class QueueArguments : public ::testing::TestWithParam<Line> {};

TEST_P(QueueArguments, ParseOrRefuse) {
    const kelmsend::QueueParse p = ParseQueueArguments(GetParam().args);
    EXPECT_EQ(p.error, GetParam().error);
    if (GetParam().error.isEmpty()) {
        ASSERT_TRUE(p.command);
        EXPECT_EQ(p.command->verb, GetParam().verb);
        EXPECT_EQ(p.command->ids, GetParam().ids);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, QueueArguments,
    ::testing::Values(
        Line{"ListJsonAndAFolder", {"list", "--json", "--queue-dir=/q q"}, ""},
        Line{"DropIds",
             {"drop", "-q", "a-1", "--account", "w", "b-2"},
             "",
             QueueVerb::Drop,
             {"a-1", "b-2"}},
        Line{"RetryAfterTheEnd", {"retry", "--", "--odd"}, "", QueueVerb::Retry, {"--odd"}},
        Line{"FlushAll", {"flush", "--all"}, "", QueueVerb::Flush},
        Line{"FlushTakesAccountOptions",
             {"flush", "--server", "h:25", "--log-file=f", "--no-queue"},
             "",
             QueueVerb::Flush},
        Line{"NoVerb", {}, "queue needs list, retry, drop or flush: kelmsend queue list"},
        Line{"UnknownVerb", {"show"}, "queue show: not a queue command (list, retry, drop, flush)"},
        Line{"DropWithoutId",
             {"drop"},
             "queue drop needs the id of a message: kelmsend queue drop ID... (kelmsend queue "
             "list shows them)"},
        Line{"ListWithAnArgument", {"list", "x"}, "queue list takes no argument, not \"x\""},
        Line{"JsonOnlyForList",
             {"drop", "--json", "x"},
             "queue drop: unknown option --json (it takes --queue-dir, --config, --account, "
             "--quiet)"},
        Line{"ComposingOption",
             {"list", "--server", "h"},
             "queue list: unknown option --server (it takes --queue-dir, --config, --account, "
             "--quiet, --json)"},
        Line{"ShortOption", {"list", "-x"}, "queue list: unknown option -x"},
        Line{"FolderWithoutValue", {"list", "--queue-dir"}, "--queue-dir needs a value"}),
    RowName());

} // namespace
