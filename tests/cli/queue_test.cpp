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

QString storedId(const Finished &r) {
    const QString err = QString::fromUtf8(r.err);
    const qsizetype at = err.indexOf("queued as ");
    return at < 0 ? QString() : err.mid(at + 10).section(' ', 0, 0);
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
    const QString queue = dir.filePath("full disk");
    QDir().mkpath(queue);
    const QByteArray big = kMessage + RandomBytes(512 * 1024, 7).toBase64() + "\n";
    r = RunProgram("unshare",
                   {"-m", "/bin/sh", "-c",
                    "mount -t tmpfs -o size=256k tmpfs \"$0\" || exit 99; \"$@\"; s=$?; "
                    "ls -A \"$0/queue\" \"$0/queue/tmp\" >&2; exit $s",
                    queue, Kelmsend(), "-odq", "--queue-dir", queue + "/queue", "-f",
                    "a@example.com", "b@example.org"},
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
