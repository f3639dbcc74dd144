// Real programs that hand kelmsend their mail while the server is down: a
// cron job's output (the system's cron daemon, its mail command being
// kelmsend under the name sendmail) and PHP's mail(). Each call must be
// told the message is safe, and a flush once the server is back must
// deliver it exactly once.
#include "kelmsend_support.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>

#include <unistd.h>

#include "qt_printers.h"

using namespace clitest;

namespace {

// A port of 127.0.0.1 that nothing listens on now; the server starts on it
// later.
quint16 closedPort() {
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

// A configuration and a state folder (with a blank in their path) standing
// in for the user's, with one account on 127.0.0.1:port.
struct CallerHome {
    QTemporaryDir dir{QDir::tempPath() + "/kelm callers-XXXXXX"};
    quint16 port = closedPort();
    CallerHome() {
        QDir(dir.path()).mkpath("config/kelmsend");
        const QString config = dir.filePath("config/kelmsend/config");
        writeFile(dir, "config/kelmsend/config",
                  "[default]\nserver = 127.0.0.1:" + QByteArray::number(port) +
                      "\nfrom = jobs@example.org\nretries = 1\ntimeout = 2\n");
        QFile::setPermissions(config, QFile::ReadOwner | QFile::WriteOwner);
    }
    std::map<QString, QString> env() const {
        return {{"XDG_CONFIG_HOME", dir.filePath("config")},
                {"XDG_STATE_HOME", dir.filePath("state")}};
    }
    // The queue as `kelmsend queue list --json` gives it.
    QJsonArray queue() const {
        const Finished r = RunKelmsend({"queue", "list", "--json"}, {}, env());
        return QJsonDocument::fromJson(r.out).array();
    }
    // The server back on its port, then a flush of everything queued.
    // Returns the flush's result; `server` is the one that took the mail.
    Finished flushInto(std::unique_ptr<SmtpServer> &server) const {
        server = std::make_unique<SmtpServer>(QStringList{"--port", QString::number(port)});
        return RunKelmsend({"queue", "flush", "--all"}, {}, env());
    }
};

QStringList recipientsOf(const QJsonObject &envelope) {
    QStringList to;
    for (const QJsonValue &v : envelope["to"].toArray()) {
        to << v.toString();
    }
    return to;
}

// The mail of one message went out once, and a second flush sends nothing.
void expectDeliveredOnce(const CallerHome &s, SmtpServer &server, const Finished &flush) {
    EXPECT_EQ(flush.exitCode, 0) << flush.describe();
    EXPECT_FALSE(server.envelope(1).isEmpty()) << "not delivered: " << flush.describe();
    EXPECT_TRUE(s.queue().isEmpty()) << QJsonDocument(s.queue()).toJson().toStdString();
    const Finished again = RunKelmsend({"queue", "flush", "--all"}, {}, s.env());
    EXPECT_EQ(again.exitCode, 0) << again.describe();
    EXPECT_TRUE(server.envelope(2).isEmpty()) << "delivered twice";
}

TEST(CallersWhileTheServerIsDown, CronJobOutput) {
    if (geteuid() != 0 || !QFile::exists("/usr/sbin/cron") || !QFile::exists("/etc/cron.d")) {
        GTEST_SKIP() << "needs root and Debian's cron (package cron)";
    }
    CallerHome s;
    ASSERT_NE(s.port, 0);
    // cron's daemon in a mount namespace of its own: its crontabs, its pid
    // file and /usr/sbin/sendmail are the test's, the machine's are out of
    // sight. Its environment is that of a system service: no HOME.
    for (const char *folder : {"sbin", "work", "cron.d", "crontabs", "run", "link"}) {
        ASSERT_TRUE(QDir(s.dir.path()).mkpath(folder));
    }
    writeFile(s.dir, "crontab", "");
    // /usr/sbin/sendmail runs kelmsend under that name and notes its exit
    // status, which cron only tells its system log.
    ASSERT_TRUE(QFile::link(Kelmsend(), s.dir.filePath("link/sendmail")));
    writeFile(s.dir, "sbin/sendmail",
              "#!/bin/sh\n\"" + s.dir.filePath("link/sendmail").toUtf8() +
                  "\" \"$@\"\nstatus=$?\necho $status >\"" +
                  s.dir.filePath("mail-status").toUtf8() + "\"\nexit $status\n");
    QFile::setPermissions(s.dir.filePath("sbin/sendmail"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    writeFile(s.dir, "cron.d/kelmtest",
              "MAILTO=ops@example.org\n* * * * * root echo 'output of the job'\n");
    const QString script = R"(set -e
T="$1"
mount -t overlay overlay -o "lowerdir=/usr/sbin,upperdir=$T/sbin,workdir=$T/work" /usr/sbin
mount --bind "$T/run" /run
mount --bind "$T/cron.d" /etc/cron.d
mount --bind "$T/crontab" /etc/crontab
mount --bind "$T/crontabs" /var/spool/cron/crontabs
exec env -i PATH=/usr/bin:/bin XDG_CONFIG_HOME="$T/config" XDG_STATE_HOME="$T/state" \
    /usr/sbin/cron -f
)";
    QProcess cron;
    cron.setProcessChannelMode(QProcess::MergedChannels);
    cron.start("unshare", QStringList{"-m", "--propagation", "private", "sh", "-c", script, "sh",
                                      s.dir.path()});
    ASSERT_TRUE(cron.waitForStarted(5000));
    // The job runs at the next full minute, and its output is mailed.
    QFile status(s.dir.filePath("mail-status"));
    for (int waited = 0; waited < 75000 && cron.state() == QProcess::Running && !status.exists();
         waited += 250) {
        cron.waitForFinished(250);
    }
    cron.terminate();
    if (!cron.waitForFinished(5000)) {
        cron.kill();
        cron.waitForFinished(5000);
    }
    const QByteArray said = cron.readAll();
    ASSERT_TRUE(status.open(QIODevice::ReadOnly)) << "no mail from cron: " << said.toStdString();
    EXPECT_EQ(status.readAll(), "0\n") << said.toStdString();
    const QJsonArray queued = s.queue();
    ASSERT_EQ(queued.size(), 1) << said.toStdString();
    EXPECT_EQ(queued[0].toObject()["state"].toString(), "deferred");

    std::unique_ptr<SmtpServer> server;
    const Finished flush = s.flushInto(server);
    ASSERT_NE(server->port(), 0) << "aiosmtpd did not start";
    expectDeliveredOnce(s, *server, flush);
    // cron's "root" has no domain: the account's from stands in for it.
    EXPECT_EQ(server->envelope(1)["from"].toString(), "jobs@example.org");
    EXPECT_EQ(recipientsOf(server->envelope(1)), QStringList{"ops@example.org"});
    EXPECT_TRUE(server->messageBytes(1).contains("\r\n\r\noutput of the job\r\n"))
        << server->messageBytes(1).toStdString();
}

// PHP's mail() is true only for exit status 0 (and 75): a stored message is
// a sent one as far as the page is concerned.
TEST(CallersWhileTheServerIsDown, PhpMail) {
    CallerHome s;
    ASSERT_NE(s.port, 0);
    const QString path = ShellQuoted(Kelmsend()) + " -t -i";
    const Finished php =
        RunProgram("php",
                   {"-n", "-d", "sendmail_path=\"" + path + "\"", "-r",
                    "var_export(mail('r@example.org', 'from php', \"line\\n.\\nend\", "
                    "'From: Site <site@example.com>'));"},
                   {}, s.env(), 60000);
    ASSERT_EQ(php.exitCode, 0) << php.describe();
    EXPECT_EQ(php.out, "true") << php.describe();
    ASSERT_EQ(s.queue().size(), 1);

    std::unique_ptr<SmtpServer> server;
    const Finished flush = s.flushInto(server);
    ASSERT_NE(server->port(), 0) << "aiosmtpd did not start";
    expectDeliveredOnce(s, *server, flush);
    EXPECT_EQ(server->envelope(1)["from"].toString(), "site@example.com");
    EXPECT_TRUE(server->messageBytes(1).endsWith("\r\n\r\nline\r\n.\r\nend\r\n"))
        << server->messageBytes(1).toStdString();
}

} // namespace
