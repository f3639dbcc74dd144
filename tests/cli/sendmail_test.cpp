// kelmsend in sendmail mode against a real SMTP server (aiosmtpd on
// 127.0.0.1) that records the envelope: messages relayed as they are, the
// "sendmail" link with an account, passwords from a command, the refusals
// that connect to nothing with their exit statuses, and real programs that
// hand it their mail: git send-email, s-nail, neomutt and PHP's mail().
#include "kelmsend_support.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QRegularExpression>
#include <QTcpServer>

#include <pwd.h>
#include <sysexits.h>
#include <unistd.h>

#include "qt_printers.h"
#include "row_name.h"

using namespace clitest;

namespace {

QStringList envelopeTo(const QJsonObject &envelope) {
    QStringList to;
    for (const QJsonValue &v : envelope["to"].toArray()) {
        to << v.toString();
    }
    return to;
}

// A folder standing in for the user's configuration and home, with an
// account file of kelmsend; the file is private unless `mode` says more.
struct Home {
    QTemporaryDir dir;
    explicit Home(const QByteArray &config = {},
                  QFile::Permissions mode = QFile::ReadOwner | QFile::WriteOwner) {
        QDir(dir.path()).mkpath("config/kelmsend");
        QDir(dir.path()).mkpath("home");
        if (!config.isEmpty()) {
            writeFile(dir, "config/kelmsend/config", config);
            QFile::setPermissions(dir.filePath("config/kelmsend/config"), mode);
        }
    }
    std::map<QString, QString> env() const {
        return {{"HOME", dir.filePath("home")},
                {"XDG_CONFIG_HOME", dir.filePath("config")},
                {"XDG_STATE_HOME", dir.filePath("state")}};
    }
    // A link named "sendmail" to kelmsend, as a system would install it.
    QString sendmailLink() const {
        const QString link = dir.filePath("sendmail");
        QFile::link(Kelmsend(), link);
        return link;
    }
};

TEST(SendmailMode, MinusTSendsToEveryAddressAndTheMessageAsItIs) {
    SmtpServer server;
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    const QByteArray fields = "From: Ann Sender <ann@example.com>\r\n"
                              "To: To One <to@example.org>\r\n"
                              "Cc: cc@example.org\r\n"
                              "Subject: as written\r\n"
                              "X-Custom:   odd   spacing\r\n"
                              " and a folded line\r\n";
    const QByteArray bcc = "Bcc: hidden@example.net,\r\n"
                           "\tsecond-hidden@example.net\r\n";
    const QByteArray body = "Body line\r\n\r\nlast line without break";
    const qsizetype cut = fields.indexOf("Cc:"); // Bcc between To and Cc
    const Finished r = RunKelmsend({"-t", "--server", server.address()},
                                   fields.left(cut) + bcc + fields.mid(cut) + "\r\n" + body);
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_EQ(r.err, "");

    EXPECT_EQ(server.envelope(1)["from"].toString(), "ann@example.com");
    EXPECT_EQ(envelopeTo(server.envelope(1)),
              (QStringList{"to@example.org", "hidden@example.net", "second-hidden@example.net",
                           "cc@example.org"}));
    const QByteArray stored = server.messageBytes(1);
    EXPECT_FALSE(stored.contains("hidden")) << stored.toStdString();
    // Every field in its order byte for byte, then the two added ones, then
    // the body (with the line break the data needs at its end).
    EXPECT_TRUE(QRegularExpression(QRegularExpression::escape(fields) +
                                   "Date: \\w{3}, \\d{1,2} \\w{3} \\d{4} \\d\\d:\\d\\d:\\d\\d "
                                   "[-+]\\d{4}\r\n"
                                   "Message-ID: <[0-9a-f]{32}@example\\.com>\r\n\r\n" +
                                   QRegularExpression::escape(body) + "\r\n$")
                    .match(QString::fromLatin1(stored))
                    .hasMatch())
        << stored.toStdString();
}

TEST(SendmailMode, LinesOfDotsAndBareLineFeedsArriveIntact) {
    SmtpServer server;
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    const Finished r = RunKelmsend(
        {"-i", "-f", "s@example.com", "--server", server.address(), "r@example.org"},
        "Subject: dots\nDate: Thu, 13 Feb 2025 09:05:01 +0100\nMessage-ID: <m@example.com>\n\n"
        ".\n.x\n..\nbare\rcr\n.");
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_EQ(server.messageBytes(1),
              "Subject: dots\r\nDate: Thu, 13 Feb 2025 09:05:01 +0100\r\nMessage-ID: "
              "<m@example.com>\r\n\r\n.\r\n.x\r\n..\r\nbare\r\ncr\r\n.\r\n");
}

TEST(SendmailMode, MinusFAndArgumentsMakeTheEnvelopeWithoutMinusT) {
    SmtpServer server;
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    const QByteArray message = "From: header@example.com\nTo: header-to@example.org\n\nx\n";
    const Finished r = RunKelmsend({"-fbounce@example.com", "--server", server.address(), "--",
                                    "a@example.org", "Bo <b@example.org>, c@example.org"},
                                   message);
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_EQ(server.envelope(1)["from"].toString(), "bounce@example.com");
    EXPECT_EQ(envelopeTo(server.envelope(1)),
              (QStringList{"a@example.org", "b@example.org", "c@example.org"}));
    EXPECT_TRUE(server.messageBytes(1).startsWith("From: header@example.com\r\nTo: "
                                                  "header-to@example.org\r\nDate: "));
}

TEST(SendmailMode, TheSendmailLinkTakesServerAndSenderFromTheDefaultAccount) {
    SmtpServer server;
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    Home home("[default]\nserver = " + server.address().toUtf8() +
              "\nfrom = account@example.com\n\n[other]\nserver = 127.0.0.1:9\n");
    const Finished r = RunProgram(home.sendmailLink(), {"-t", "-i"},
                                  "To: r@example.org\nSubject: no From\n\nbody\n", home.env());
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_EQ(server.envelope(1)["from"].toString(), "account@example.com");
    EXPECT_EQ(envelopeTo(server.envelope(1)), QStringList{"r@example.org"});
    // Nothing but Date and Message-ID is added: no From.
    EXPECT_FALSE(server.messageBytes(1).contains("From:"));
}

TEST(SendmailMode, AccountAndAPasswordFromACommandLogIn) {
    SmtpServer server({"--user", "mailuser", "--password", "pa55word"});
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    Home home("[default]\nserver = 127.0.0.1:9\n\n[work]\nserver = " + server.address().toUtf8() +
              "\nfrom = work@example.com\nauth = true\nuser = mailuser\n"
              "password-command = printf 'pa55word\\nsecond line\\n'\n");
    const Finished r = RunKelmsend({"-t", "--account", "work", "--trace"},
                                   "To: r@example.org\nSubject: s\n\nx\n", home.env());
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_TRUE(server.envelope(1)["authenticated"].toBool());
    EXPECT_EQ(server.envelope(1)["from"].toString(), "work@example.com");
    EXPECT_TRUE(r.err.contains("EHLO example.com")) << r.describe();
    EXPECT_FALSE(r.err.contains("pa55word"));
}

TEST(SendmailMode, AccountOptionsBeforeOrAfterTheFlags) {
    SmtpServer server;
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    Home home("[default]\nserver = 127.0.0.1:9\n\n[work]\nserver = " + server.address().toUtf8() +
              "\nfrom = work@example.com\n");
    const QString config = home.dir.filePath("config/kelmsend/config");
    const QList<QStringList> lines{{"--account", "work", "-t", "-i"},
                                   {"--config", config, "--account=work", "-t"},
                                   {"-t", "--account", "work", "-oi", "--config", config}};
    for (int n = 1; n <= lines.size(); ++n) {
        const Finished r =
            RunKelmsend(lines[n - 1], "To: r@example.org\nSubject: s\n\nx\n", home.env());
        ASSERT_EQ(r.exitCode, 0) << lines[n - 1].join(' ').toStdString() << r.describe();
        EXPECT_EQ(server.envelope(n)["from"].toString(), "work@example.com");
        EXPECT_EQ(envelopeTo(server.envelope(n)), QStringList{"r@example.org"});
    }
}

TEST(SendmailMode, AFinishedMessageIsRelayedWithoutSendmailFlagsAndATextIsComposed) {
    SmtpServer server;
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    Home home("[work]\nserver = " + server.address().toUtf8() + "\nfrom = work@example.com\n");
    // A mail reader's call: its finished message, the recipients after "--".
    const QByteArray message = "Date: Thu, 13 Feb 2025 09:05:01 +0100\nFrom: Me <me@example.com>\n"
                               "To: r@example.org\nSubject: from the reader\n"
                               "Message-ID: <m1@example.com>\n\nbody\n";
    Finished r = RunKelmsend({"--account", "work", "--", "r@example.org", "c@example.org"}, message,
                             home.env());
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_EQ(server.envelope(1)["from"].toString(), "me@example.com");
    EXPECT_EQ(envelopeTo(server.envelope(1)), (QStringList{"r@example.org", "c@example.org"}));
    EXPECT_EQ(server.messageBytes(1), QByteArray(message).replace("\n", "\r\n"));
    // A text that merely begins like a field is the body of a new message.
    r = RunKelmsend({"--account", "work", "r@example.org"}, "Note: call Ann\n\nthanks\n",
                    home.env());
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    const QByteArray composed = server.messageBytes(2);
    EXPECT_TRUE(composed.contains("\r\n\r\nNote: call Ann\r\n")) << composed.toStdString();
    EXPECT_TRUE(QRegularExpression("(^|\r\n)From: [^\r]*<work@example\\.com>\r\n")
                    .match(QString::fromLatin1(composed))
                    .hasMatch())
        << composed.toStdString();
}

TEST(SendmailMode, AnUnqualifiedSenderGivesWayToTheAccountsFrom) {
    SmtpServer server;
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    Home home("[default]\nserver = " + server.address().toUtf8() + "\nfrom = me@example.com\n");
    // As mail(1) calls it on a machine whose name has no domain.
    const Finished r =
        RunProgram(home.sendmailLink(), {"-oi", "-f", "root@myhost", "-t"},
                   "From: root@myhost\nTo: r@example.org\nSubject: cron\n\nx\n", home.env());
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_EQ(server.envelope(1)["from"].toString(), "me@example.com");
    EXPECT_TRUE(server.messageBytes(1).startsWith("From: root@myhost\r\n"));
}

TEST(SendmailMode, WithoutHomeTheUserDatabaseNamesTheHomeFolder) {
    const passwd *entry = ::getpwuid(::getuid());
    ASSERT_NE(entry, nullptr);
    const QString file = QString::fromLocal8Bit(entry->pw_dir) + "/.config/kelmsend/config";
    Home home;
    for (const QString &home_ : {QString(), QStringLiteral(" ")}) {
        // The variable removed, or (" " is not a folder) unusable.
        std::map<QString, QString> env{{"HOME", home_}, {"XDG_CONFIG_HOME", ""}};
        const Finished r = RunProgram(home.sendmailLink(), {"--account", "c20-none", "-t"},
                                      "To: r@example.org\n\nx\n", env);
        EXPECT_EQ(r.exitCode, EX_CONFIG) << r.describe();
        EXPECT_TRUE(r.err.contains("(" + file.toUtf8() + ")")) << r.describe();
    }
}

TEST(SendmailMode, ExitStatusOfARefusalOrAnUnreachableServer) {
    SmtpServer server({"--reject", "bad@example.com"});
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    const QByteArray message = "From: s@example.com\nSubject: s\n\nx\n";
    // Through the queue and without it, the same refusal.
    for (const QStringList &extra : {QStringList{}, QStringList{"--no-queue"}}) {
        const Finished r = RunKelmsend(
            QStringList{"-i", "--server", server.address(), "bad@example.com"} + extra, message);
        EXPECT_EQ(r.exitCode, EX_NOUSER) << r.describe();
        EXPECT_TRUE(
            r.err.startsWith("kelmsend: 550 5.1.1 <bad@example.com>: Recipient address rejected\n"))
            << r.describe();
    }
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost, 0));
    const QString address = "127.0.0.1:" + QString::number(closed.serverPort());
    closed.close();
    // Without the queue nothing is kept, so the status must not say 0 or 75.
    const Finished r = RunKelmsend({"-i", "--no-queue", "--server", address, "--retries", "1",
                                    "--timeout", "2", "r@example.org"},
                                   message);
    EXPECT_EQ(r.exitCode, EX_CANTCREAT) << r.describe();
    EXPECT_FALSE(QFile::exists(server.message(1)));
}

// Command lines and files that must end before any connection.
struct Refusal {
    const char *name;
    QStringList args; // "%server" is the listener's address
    QByteArray config;
    QFile::Permissions mode;
    QString message; // "%config" is the configuration file's path
    int status;      // sysexits.h
};

class SendmailRefused : public ::testing::TestWithParam<Refusal> {};

TEST_P(SendmailRefused, ExitStatusOfSysexitsAndNothingConnects) {
    Listener listener;
    QByteArray config = GetParam().config;
    config.replace("%server", listener.address().toUtf8());
    Home home(config, GetParam().mode);
    QStringList args;
    for (const QString &a : GetParam().args) {
        args << QString(a).replace("%server", listener.address());
    }
    // "%link" first: through the "sendmail" link.
    const QString program = args.value(0) == "%link" ? home.sendmailLink() : Kelmsend();
    if (program != Kelmsend()) {
        args.removeFirst();
    }
    const Finished r = RunProgram(program, args, "Subject: s\nCc: \n\nbody\n", home.env());
    EXPECT_EQ(r.exitCode, GetParam().status) << r.describe();
    EXPECT_EQ(QString::fromUtf8(r.err),
              "kelmsend: " +
                  QString(GetParam().message)
                      .replace("%config", home.dir.filePath("config/kelmsend/config")) +
                  "\n");
    EXPECT_FALSE(listener.contacted());
}

const QFile::Permissions kPrivate = QFile::ReadOwner | QFile::WriteOwner;
const QByteArray kAccount = "[default]\nserver = %server\nfrom = me@example.com\n";

INSTANTIATE_TEST_SUITE_P(
    Table, SendmailRefused,
    ::testing::Values(
        Refusal{"NoRecipient",
                {"-t", "-i"},
                kAccount,
                kPrivate,
                "no recipient: the To, Cc and Bcc fields and the arguments name none",
                EX_DATAERR},
        Refusal{"NoRecipientWithoutMinusT",
                {"-i"},
                kAccount,
                kPrivate,
                "no recipient: give the recipients as arguments, or -t to take them from the To, "
                "Cc and Bcc fields",
                EX_USAGE},
        Refusal{"NoSender",
                {"-i", "--server", "%server", "r@example.org"},
                {},
                kPrivate,
                "no sender: give -f ADDRESS, a From field with an address, or from in the "
                "account",
                EX_CONFIG},
        Refusal{"FileReadableByOthers",
                {"-i", "r@example.org"},
                kAccount + "auth = true\nuser = u\npassword-command = echo pw\n",
                kPrivate | QFile::ReadGroup | QFile::ReadOther,
                "%config holds password-command and can be read by other users; make it "
                "private: chmod 600 %config",
                EX_CONFIG},
        Refusal{"PasswordCommandFails",
                {"-i", "r@example.org"},
                kAccount + "auth = true\nuser = u\npassword-command = exit 3\n",
                kPrivate,
                "--password-command: \"exit 3\" failed (exit status 3)",
                EX_CONFIG},
        Refusal{"PasswordCommandPrintsNothing",
                {"-i", "r@example.org"},
                kAccount + "auth = true\nuser = u\npassword-command = true\n",
                kPrivate,
                "--password-command: \"true\" printed no password",
                EX_CONFIG},
        Refusal{
            "UnknownKey",
            {"-i", "r@example.org"},
            kAccount + "smtp-tls = yes\n",
            kPrivate,
            "%config:4: unknown key \"smtp-tls\" (the keys: server, port, hello, from, "
            "from-name, auth, user, password-env, password-file, password-command, auth-mech, "
            "oauth-token-env, oauth-token-file, oauth-token-command, oauth-provider, "
            "oauth-client-id, oauth-client-secret, oauth-scope, oauth-auth-url, oauth-token-url, "
            "oauth-device-url, oauth-flow, token-store, allow-plaintext-auth, tls, tls-ca, "
            "tls-fingerprint, tls-insecure, pop3, timeout, message-timeout, retries, "
            "no-pipelining, no-validate, quiet, verbose, trace, queue-dir, queue-backoff, "
            "queue-lifetime, uncertain, notify, log-file, syslog, no-queue)",
            EX_CONFIG},
        Refusal{"UnknownFlag",
                {"-i", "-X", "r@example.org"},
                kAccount,
                kPrivate,
                "unknown sendmail option -X (kelmsend --help lists what sendmail mode takes)",
                EX_USAGE},
        Refusal{"InvalidAddress",
                {"-i", "root"},
                kAccount,
                kPrivate,
                "not a valid e-mail address: root (--no-validate, or no-validate = true in the "
                "account, sends it unchecked)",
                EX_USAGE},
        Refusal{"UnqualifiedSenderWithoutFrom",
                {"-oi", "-f", "root@myhost", "r@example.org"},
                "[default]\nserver = %server\n",
                kPrivate,
                "the sender root@myhost has no domain with a dot, and servers refuse such an "
                "address; set from = ADDRESS in the account (kelmsend then sends with it "
                "instead), or give -f with a full address",
                EX_CONFIG}),
    RowName());

// ---- Real programs that hand kelmsend their mail -------------------------------

TEST(SendmailClients, GitSendEmailSendsAPatch) {
    SmtpServer server;
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    Home home("[default]\nserver = " + server.address().toUtf8() + "\n");
    std::map<QString, QString> env = home.env();
    env.insert({{"GIT_CONFIG_NOSYSTEM", "1"},
                {"GIT_AUTHOR_NAME", "Dev"},
                {"GIT_AUTHOR_EMAIL", "dev@example.com"},
                {"GIT_COMMITTER_NAME", "Dev"},
                {"GIT_COMMITTER_EMAIL", "dev@example.com"}});
    const QString repo = home.dir.filePath("repo");
    const QStringList in{"-C", repo};
    QDir().mkpath(repo);
    writeFile(home.dir, "repo/file.txt", "hello\n");
    for (const QStringList &step : {QStringList{"init", "-q"}, QStringList{"add", "file.txt"},
                                    QStringList{"commit", "-q", "-m", "Add the file"},
                                    QStringList{"format-patch", "-q", "-1", "-o", ".."}}) {
        const Finished r = RunProgram("git", in + step, {}, env, 60000);
        ASSERT_EQ(r.exitCode, 0) << r.describe();
    }
    const Finished r = RunProgram(
        "git",
        in + QStringList{"send-email", "--sendmail-cmd=" + ShellQuoted(Kelmsend()),
                         "--to=list@example.org", "--cc=Rev <rev@example.net>",
                         "--from=Dev <dev@example.com>", "--confirm=never", "--suppress-cc=all",
                         "-q", home.dir.filePath("0001-Add-the-file.patch")},
        {}, env, 60000);
    ASSERT_EQ(r.exitCode, 0) << r.describe() << r.out.toStdString();
    EXPECT_EQ(server.envelope(1)["from"].toString(), "dev@example.com");
    EXPECT_EQ(envelopeTo(server.envelope(1)), (QStringList{"list@example.org", "rev@example.net"}));
    const QByteArray stored = server.messageBytes(1);
    EXPECT_TRUE(stored.contains("\r\nSubject: [PATCH] Add the file\r\n")) << stored.toStdString();
    EXPECT_TRUE(stored.contains("\r\n+hello\r\n"));
    // git wrote its own Message-Id: none is added beside it.
    EXPECT_EQ(stored.count("Message-I"), 1) << stored.toStdString();
}

// PHP's mail() runs sendmail_path (an INI value, in double quotes as in
// php.ini) through the shell and is true only for exit status 0 (and 75,
// which kelmsend never gives).
TEST(SendmailClients, PhpMailThroughSendmailPath) {
    SmtpServer server;
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    Home home;
    QDir(home.dir.path()).mkpath("php conf");
    const QString config = home.dir.filePath("php conf/config");
    const auto mail = [&](const QString &serverAddress) {
        writeFile(home.dir, "php conf/config",
                  "[work]\nserver = " + serverAddress.toUtf8() +
                      "\nfrom = web@example.com\nretries = 1\ntimeout = 2\n");
        QFile::setPermissions(config, QFile::ReadOwner | QFile::WriteOwner);
        const QString path =
            ShellQuoted(Kelmsend()) + " --config " + ShellQuoted(config) + " --account work -t -i";
        return RunProgram("php",
                          {"-n", "-d", "sendmail_path=\"" + path + "\"", "-r",
                           "var_export(mail('r@example.org', 'from php', \"line\\n.\\nend\", "
                           "'From: Site <site@example.com>'));"},
                          {}, home.env(), 60000);
    };
    Finished r = mail(server.address());
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_EQ(r.out, "true") << r.describe();
    EXPECT_EQ(server.envelope(1)["from"].toString(), "site@example.com");
    EXPECT_EQ(envelopeTo(server.envelope(1)), QStringList{"r@example.org"});
    const QByteArray stored = server.messageBytes(1);
    EXPECT_TRUE(stored.contains("Subject: from php\r\n")) << stored.toStdString();
    EXPECT_TRUE(stored.endsWith("\r\n\r\nline\r\n.\r\nend\r\n")) << stored.toStdString();

    // Nothing listens: the message waits in the queue, and mail() is true.
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost, 0));
    const QString address = "127.0.0.1:" + QString::number(closed.serverPort());
    closed.close();
    r = mail(address);
    EXPECT_EQ(r.out, "true") << r.describe();
    EXPECT_EQ(QDir(home.dir.filePath("state/kelmsend/queue")).entryList({"*.env"}).size(), 1);
}

// neomutt runs "$sendmail -- RECIPIENT..." with its finished message, under
// kelmsend's own name and without a flag of sendmail's.
TEST(SendmailClients, NeomuttHandsItsFinishedMessage) {
    SmtpServer server;
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    Home home("[work]\nserver = " + server.address().toUtf8() + "\n");
    // neomutt splits $sendmail at blanks, without the shell's quoting.
    const QString program = home.dir.filePath("kelmsend");
    if (program.contains(' ')) {
        GTEST_SKIP() << "the temporary folder holds a blank: " << program.toStdString();
    }
    ASSERT_TRUE(QFile::link(Kelmsend(), program));
    const Finished r = RunProgram(
        "neomutt",
        {"-n", "-F", "/dev/null", "-e", "set sendmail=\"" + program + " --account work\"", "-e",
         "set from=\"Me <me@example.com>\"", "-e", "set hostname=example.test", "-e", "set copy=no",
         "-s", "from neomutt", "-c", "cc@example.net", "--", "rcpt@example.org"},
        "Hello from neomutt\n", home.env(), 60000);
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_EQ(server.envelope(1)["from"].toString(), "me@example.com");
    EXPECT_EQ(envelopeTo(server.envelope(1)), (QStringList{"rcpt@example.org", "cc@example.net"}));
    const QByteArray stored = server.messageBytes(1);
    // Its own header block, not one composed around it.
    EXPECT_TRUE(stored.startsWith("Date: ")) << stored.toStdString();
    EXPECT_EQ(stored.count("\r\nSubject: from neomutt\r\n"), 1) << stored.toStdString();
    EXPECT_EQ(stored.count("Message-ID: <"), 1) << stored.toStdString();
    EXPECT_TRUE(stored.endsWith("\r\n\r\nHello from neomutt\r\n")) << stored.toStdString();
}

TEST(SendmailClients, SNailSendsThroughTheSendmailLink) {
    SmtpServer server;
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    Home home("[default]\nserver = " + server.address().toUtf8() + "\n");
    std::map<QString, QString> env = home.env();
    env["MAILRC"] = "/dev/null";
    // hostname: s-nail would otherwise ask the resolver for this machine's
    // canonical name.
    const Finished r = RunProgram("s-nail",
                                  {"-n", "-S", "mta=" + home.sendmailLink(), "-S",
                                   "hostname=example.test", "-S", "from=Me <me@example.com>", "-s",
                                   "from mailx", "-c", "copy@example.net", "rcpt@example.org"},
                                  "Hello from mailx\n.\nlast\n", env, 60000);
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_EQ(server.envelope(1)["from"].toString(), "me@example.com");
    EXPECT_EQ(envelopeTo(server.envelope(1)),
              (QStringList{"rcpt@example.org", "copy@example.net"}));
    const QByteArray stored = server.messageBytes(1);
    EXPECT_TRUE(stored.contains("\r\nSubject: from mailx\r\n")) << stored.toStdString();
    EXPECT_TRUE(stored.endsWith("\r\n\r\nHello from mailx\r\n.\r\nlast\r\n"))
        << stored.toStdString();
}

} // namespace
