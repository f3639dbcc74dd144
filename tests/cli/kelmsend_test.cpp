// The kelmsend executable against a real SMTP server (aiosmtpd on
// 127.0.0.1): what arrives, what the exit status and standard error say,
// what --dry-run writes, and that refused command lines connect to nothing.
#include "kelmsend_support.h"
#include "private_network.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSettings>

#include "qt_printers.h"
#include "row_name.h"

using namespace clitest;

namespace {

const QStringList kSender{"--from", "sender@example.com", "--from-name", "Sender Name"};

TEST(Kelmsend, MessageWithTwoAttachmentsArrivesIntact) {
    SmtpServer server;
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    QTemporaryDir dir;
    const QByteArray binary = RandomBytes(2 * 11400 + 1234, 7);
    const QByteArray text = "first line\n.second line starts with a dot\n";
    const QString binaryPath = writeFile(dir, "data.bin", binary);
    const QString textPath = writeFile(dir, "notes.txt", text);

    const Finished r = RunKelmsend(
        kSender + QStringList{"--server", server.address(), "--to",
                              "one@example.com,two@example.org", "--to-name", "Ann One;Bo Two",
                              "--bcc", "hidden@example.net", "--subject", "Two files", "--attach",
                              binaryPath, "-a", textPath},
        "Hello,\n.the files are attached.\n");
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    // Not on a terminal and not asked to: nothing on standard error.
    EXPECT_EQ(r.err, "");

    const QJsonObject env = server.envelope(1);
    EXPECT_EQ(env["from"].toString(), "sender@example.com");
    EXPECT_EQ(env["to"].toArray().toVariantList(),
              (QVariantList{"one@example.com", "two@example.org", "hidden@example.net"}));

    const QJsonObject msg = ParseMessage(server.message(1));
    EXPECT_EQ(msg["content_type"].toString(), "multipart/mixed");
    EXPECT_TRUE(msg["defects"].toArray().isEmpty());
    const QJsonObject headers = msg["headers"].toObject();
    EXPECT_EQ(headers["Subject"].toString(), "Two files");
    EXPECT_TRUE(headers["From"].toString().contains("Sender Name"));
    EXPECT_TRUE(headers["To"].toString().contains("\"Ann One\" <one@example.com>"));
    EXPECT_TRUE(headers["To"].toString().contains("\"Bo Two\" <two@example.org>"));
    EXPECT_FALSE(QJsonDocument(headers).toJson().contains("hidden@example.net"));

    const QJsonArray parts = msg["parts"].toArray();
    ASSERT_EQ(parts.size(), 3);
    EXPECT_TRUE(
        parts[0].toObject()["text"].toString().contains("\nHello,\n.the files are attached.\n"));
    EXPECT_EQ(parts[1].toObject()["filename"].toString(), "data.bin");
    EXPECT_EQ(parts[1].toObject()["size"].toInt(), binary.size());
    EXPECT_EQ(parts[1].toObject()["sha256"].toString(), Sha256(binary));
    EXPECT_EQ(parts[2].toObject()["filename"].toString(), "notes.txt");
    EXPECT_EQ(parts[2].toObject()["sha256"].toString(), Sha256(text));
}

TEST(Kelmsend, SendsToAnIPv6AddressInBrackets) {
    if (QTcpServer probe; !probe.listen(QHostAddress::LocalHostIPv6, 0)) {
        GTEST_SKIP() << "no IPv6 loopback here: " << probe.errorString().toStdString();
    }
    SmtpServer server({"--bind", "::1"});
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start on ::1";
    ASSERT_TRUE(server.address().startsWith("[::1]:"));
    const Finished r =
        RunKelmsend(kSender + QStringList{"--server", server.address(), "--to", "one@example.com",
                                          "--hello", "[::1]", "--trace", "--body", "x"});
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    const QString err = QString::fromUtf8(r.err);
    EXPECT_TRUE(err.contains("Connecting to SMTP Server (::1)...")) << r.describe();
    EXPECT_TRUE(err.contains("EHLO [IPv6:::1]")) << r.describe();
    EXPECT_EQ(server.envelope(1)["to"].toArray().toVariantList(), QVariantList{"one@example.com"});
}

TEST(Kelmsend, RejectedRecipientExitsOneWithTheServersText) {
    SmtpServer server({"--reject", "bad@example.com"});
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    const Finished r =
        RunKelmsend(kSender + QStringList{"--server", server.address(), "--body", "x",
                                          "good@example.com", "bad@example.com"});
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_EQ(r.err, "kelmsend: 550 5.1.1 <bad@example.com>: Recipient address rejected\n");
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(QFile::exists(server.message(1)));
}

TEST(Kelmsend, TraceShowsTheConversationWithoutThePassword) {
    SmtpServer server({"--user", "mailuser", "--password", "pa55word"});
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    const Finished r = RunKelmsend(
        kSender + QStringList{"--server", server.address(), "--auth", "--user", "mailuser", "--to",
                              "one@example.com", "--body", "x", "--trace"},
        {}, {{"KELMSEND_PASSWORD", "pa55word"}});
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    const QStringList lines = QString::fromUtf8(r.err).split('\n');
    EXPECT_TRUE(lines.contains("Connecting to SMTP Server (127.0.0.1)...")) << r.describe();
    EXPECT_TRUE(lines.contains("EHLO example.com")) << r.describe();
    EXPECT_TRUE(lines.contains("MAIL FROM:<sender@example.com>")) << r.describe();
    EXPECT_TRUE(lines.contains("Transmission Complete...")) << r.describe();
    EXPECT_FALSE(r.err.contains("pa55word"));
    EXPECT_FALSE(r.err.contains("cGE1NXdvcmQ")); // nor its Base64 form
    EXPECT_TRUE(server.envelope(1)["authenticated"].toBool());
}

TEST(Kelmsend, AuthLoginAgainstTheServersOwnChallengesLogsInOnce) {
    SmtpServer server({"--user", "mailuser", "--password", "pa55word"});
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    const Finished r =
        RunKelmsend(kSender + QStringList{"--server", server.address(), "--auth", "--auth-mech",
                                          "LOGIN", "--user", "mailuser", "--to", "one@example.com",
                                          "--body", "x", "--trace"},
                    {}, {{"KELMSEND_PASSWORD", "pa55word"}});
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    // "User Name" and a NUL: the library's own challenge, not one of ours.
    EXPECT_TRUE(r.err.contains("334 VXNlciBOYW1lAA==")) << r.describe();
    EXPECT_FALSE(r.err.contains("kelmsend: ")) << r.describe();
    EXPECT_EQ(server.logins(), 1);
    EXPECT_TRUE(server.envelope(1)["authenticated"].toBool());
}

// A server on an address that is not loopback, offering no STARTTLS: with
// --tls opportunistic a named PLAIN is refused before the password leaves,
// unless --allow-plaintext-auth.
TEST(Kelmsend, NamedPlainToAServerWithoutStartTlsNeedsAllowPlaintextAuth) {
    if (!testsupport::InPrivateNetwork()) {
        testsupport::RunInPrivateNetwork({.addresses = {"10.25.0.1/32"}});
        return;
    }
    SmtpServer server({"--user", "mailuser", "--password", "pa55word", "--bind", "10.25.0.1"});
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    const QStringList args =
        kSender + QStringList{"--server", server.address(), "--tls",           "opportunistic",
                              "--auth",   "--auth-mech",    "PLAIN",           "--user",
                              "mailuser", "--to",           "one@example.com", "--body",
                              "x"};
    const std::map<QString, QString> env{{"KELMSEND_PASSWORD", "pa55word"}};
    const Finished refused = RunKelmsend(args, {}, env);
    EXPECT_NE(refused.exitCode, 0) << refused.describe();
    EXPECT_TRUE(refused.err.contains("PLAIN would send the password in clear text to 10.25.0.1"))
        << refused.describe();
    EXPECT_EQ(server.logins(), 0);
    const Finished allowed = RunKelmsend(args + QStringList{"--allow-plaintext-auth"}, {}, env);
    EXPECT_EQ(allowed.exitCode, 0) << allowed.describe();
    EXPECT_EQ(server.logins(), 1);
}

TEST(Kelmsend, PasswordFromAFileAndAWrongPassword) {
    SmtpServer server({"--user", "mailuser", "--password", "pa55word"});
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    QTemporaryDir dir;
    const QString good = writeFile(dir, "good", "pa55word\n");
    const QString bad = writeFile(dir, "bad", "wrong\n");
    const QStringList base =
        kSender + QStringList{"--server", server.address(),  "--auth", "--user", "mailuser",
                              "--to",     "one@example.com", "--body", "x",      "--password-file"};
    const Finished ok = RunKelmsend(base + QStringList{good});
    EXPECT_EQ(ok.exitCode, 0) << ok.describe();
    EXPECT_TRUE(server.envelope(1)["authenticated"].toBool());

    const Finished refused = RunKelmsend(base + QStringList{bad});
    EXPECT_EQ(refused.exitCode, 1) << refused.describe();
    // --auth-mech auto picks PLAIN from this loopback server's LOGIN and PLAIN;
    // the server's refusal is the explanation.
    EXPECT_EQ(refused.err, "kelmsend: 535 5.7.8 Authentication credentials invalid\n");
    EXPECT_FALSE(QFile::exists(server.message(2)));
}

// Command lines that must end before any connection: the listener stands
// where the server would be.
struct Refusal {
    const char *name;
    QStringList args;    // "%server" and "%dir" are replaced
    const char *message; // the whole of standard error
    int exitCode;
    std::map<QString, QString> env = {};
};

class RefusedBeforeConnecting : public ::testing::TestWithParam<Refusal> {};

TEST_P(RefusedBeforeConnecting, WithAClearMessage) {
    Listener listener;
    QTemporaryDir dir;
    writeFile(dir, "present.txt", "x");
    auto fill = [&](QString s) {
        return s.replace("%server", listener.address()).replace("%dir", dir.path());
    };
    QStringList args;
    for (const QString &a : GetParam().args) {
        args << fill(a);
    }
    const Finished r = RunKelmsend(args, "body\n", GetParam().env);
    EXPECT_EQ(r.exitCode, GetParam().exitCode) << r.describe();
    EXPECT_EQ(QString::fromUtf8(r.err), fill(GetParam().message));
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(listener.contacted());
}

const QStringList kToListener =
    kSender + QStringList{"--server", "%server", "--to", "one@example.com"};

INSTANTIATE_TEST_SUITE_P(
    Table, RefusedBeforeConnecting,
    ::testing::Values(
        Refusal{"MissingAttachment",
                kToListener + QStringList{"-a", "%dir/present.txt", "-a", "%dir/missing.pdf"},
                "kelmsend: --attach: no such file: %dir/missing.pdf\n", 2},
        Refusal{"UnknownOption", kToListener + QStringList{"--colour"},
                "kelmsend: unknown option --colour (kelmsend --help lists the options)\n", 2},
        Refusal{"PasswordOnTheCommandLine",
                kToListener + QStringList{"--auth", "--user", "u", "--password", "pw"},
                "kelmsend: --password is not accepted: a password on the command line can be read "
                "by every user of the machine (ps, /proc) and stays in the shell's history; use "
                "--password-env NAME (default KELMSEND_PASSWORD) or --password-file FILE\n",
                2},
        Refusal{"NoPasswordAnywhere", kToListener + QStringList{"--auth", "--user", "u"},
                "kelmsend: --auth needs a password: set KELMSEND_PASSWORD in the environment, or "
                "give --password-env NAME or --password-file FILE\n",
                2},
        Refusal{"BadPort", kToListener + QStringList{"--port", "70000"},
                "kelmsend: --port: must be a port number from 1 to 65535, not \"70000\"\n", 2},
        Refusal{"InvalidRecipientAddress",
                kSender +
                    QStringList{"--server", "%server", "--to", "one@example.com", "--cc", "nobody"},
                "kelmsend: --cc: not a valid e-mail address: nobody (--no-validate sends it "
                "unchecked)\n",
                2},
        // A glob after --attach that matched two files: the second one is
        // taken for a recipient.
        Refusal{"StrayFileNameAsRecipient",
                kToListener + QStringList{"--attach", "%dir/present.txt", "%dir/present.txt"},
                "kelmsend: --to: not a valid e-mail address: %dir/present.txt (--no-validate "
                "sends it unchecked)\n",
                2},
        Refusal{"BadNameServerSetting",
                kToListener,
                "kelmsend: KELMSEND_NAMESERVER: not ADDRESS[:PORT]: 127.0.0.1:dns\n",
                2,
                {{"KELMSEND_NAMESERVER", "127.0.0.1:dns"}}}),
    RowName());

// ---- --dry-run -----------------------------------------------------------------

// What a server stores of the wire bytes after DATA: the final "." line
// removed and leading dots undone.
QByteArray unstuff(QByteArray wire) {
    EXPECT_TRUE(wire.endsWith("\r\n.\r\n"));
    wire.chop(3);
    QList<QByteArray> lines = wire.split('\n');
    for (QByteArray &line : lines) {
        if (line.startsWith('.')) {
            line.remove(0, 1);
        }
    }
    return lines.join('\n');
}

// The date and the boundary follow the clock, the Message-ID is new for
// every message; everything else must match.
QByteArray withoutClock(QByteArray message) {
    QString text = QString::fromLatin1(message);
    text.replace(QRegularExpression("\r\nDate: [^\r]*\r\n"), "\r\nDate: (date)\r\n");
    text.replace(QRegularExpression("\r\nMessage-ID: <[0-9a-f]{32}@"), "\r\nMessage-ID: <(id)@");
    text.replace(QRegularExpression("----_=_NextPart_000_[0-9A-F]{8}\\.[0-9A-F]{8}"), "(boundary)");
    return text.toLatin1();
}

TEST(DryRun, HoldsTheAttachmentsByteForByteAndConnectsToNothing) {
    Listener listener;
    QTemporaryDir dir;
    const QByteArray big = RandomBytes(3 * 11400 + 57 * 3 + 2, 11);
    const QByteArray small = RandomBytes(10, 12);
    const QString bigPath = writeFile(dir, "big.bin", big);
    const QString smallPath = writeFile(dir, "small.dat", small);
    const Finished r = RunKelmsend(
        kSender + QStringList{"--server", listener.address(), "--to", "one@example.com",
                              "--subject", "Dry", "--dry-run", "-a", bigPath, "-a", smallPath},
        "the text\n");
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_FALSE(listener.contacted());
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.out.endsWith("--\r\n.\r\n"));
    // Every line ends with CRLF.
    EXPECT_FALSE(QString::fromLatin1(r.out).contains(QRegularExpression("[^\r]\n")));

    const QString eml = writeFile(dir, "out.eml", r.out);
    const QJsonObject msg = ParseMessage(eml);
    EXPECT_EQ(msg["content_type"].toString(), "multipart/mixed");
    EXPECT_EQ(msg["headers"].toObject()["Subject"].toString(), "Dry");
    const QJsonArray parts = msg["parts"].toArray();
    ASSERT_EQ(parts.size(), 3);
    EXPECT_TRUE(parts[0].toObject()["text"].toString().contains("\nthe text\n"));
    EXPECT_EQ(parts[1].toObject()["filename"].toString(), "big.bin");
    EXPECT_EQ(parts[1].toObject()["sha256"].toString(), Sha256(big));
    EXPECT_EQ(parts[2].toObject()["filename"].toString(), "small.dat");
    EXPECT_EQ(parts[2].toObject()["sha256"].toString(), Sha256(small));
}

struct Pair {
    const char *name;
    QStringList args; // "%dir" is replaced
    QByteArray body;
};

class DryRunMatchesTheWire : public ::testing::TestWithParam<Pair> {};

// The same command line once with --dry-run and once sent: the server
// stores exactly what the dry run wrote (after the server's own unstuffing),
// up to the date and the boundary.
TEST_P(DryRunMatchesTheWire, ForTheSameCommandLine) {
    SmtpServer server;
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    QTemporaryDir dir;
    writeFile(dir, "logo.gif", RandomBytes(5000, 21));
    // 45 * 3 + 14 bytes: the last uuencoded line's length character is "."
    writeFile(dir, "dots.bin", RandomBytes(45 * 3 + 14, 22));
    writeFile(dir, "empty.txt", "");
    QStringList args = kSender;
    for (const QString &a : GetParam().args) {
        args << QString(a).replace("%dir", dir.path());
    }
    const Finished dry = RunKelmsend(args + QStringList{"--dry-run"}, GetParam().body);
    ASSERT_EQ(dry.exitCode, 0) << dry.describe();
    const Finished sent =
        RunKelmsend(args + QStringList{"--server", server.address()}, GetParam().body);
    ASSERT_EQ(sent.exitCode, 0) << sent.describe();
    const QByteArray stored = server.messageBytes(1);
    ASSERT_FALSE(stored.isEmpty());
    EXPECT_EQ(withoutClock(unstuff(dry.out)), withoutClock(stored));
}

QByteArray longLfText() {
    QByteArray text;
    for (int i = 0; i < 60; ++i) {
        text += "line " + QByteArray::number(i) + " of a file written with LF line ends\n";
    }
    return text + ".a dot line\n";
}

INSTANTIATE_TEST_SUITE_P(
    Table, DryRunMatchesTheWire,
    ::testing::Values(Pair{"HtmlWithAnEmbeddedImage",
                           {"--to",
                            "a@example.com",
                            "--cc",
                            "c@example.com",
                            "--cc-name",
                            "Cee Name",
                            "--subject",
                            "HTML",
                            "--html",
                            "--content-base",
                            "http://example.com/",
                            "--priority",
                            "high",
                            "--receipt",
                            "--reply-to",
                            "r@example.com",
                            "-a",
                            "%dir/logo.gif",
                            "-a",
                            "%dir/empty.txt"},
                           "<html><body><img src=\"images/logo.gif\"></body></html>\n"},
                      Pair{"UuencodedWithADotLengthLine",
                           {"--to", "a@example.com", "--subject", "uu", "--uuencode", "-a",
                            "%dir/dots.bin"},
                           ".first line begins with a dot\nsecond\n"},
                      Pair{"LongTextWithLfLineEnds",
                           {"--to", "a@example.com", "--subject", "lines"},
                           longLfText()}),
    RowName());

TEST(DryRun, AnLfTextIsNotBrokenAtTheLineLimit) {
    // Without CRLF line ends the component would take the whole file for one
    // line and break it near every 998th character.
    const QByteArray text = longLfText();
    ASSERT_GT(text.size(), 2000);
    const Finished r =
        RunKelmsend(kSender + QStringList{"--to", "a@example.com", "--dry-run"}, text);
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    QByteArray expected = text;
    expected.replace("\n", "\r\n");
    expected.replace("\r\n.a dot", "\r\n..a dot");
    EXPECT_TRUE(r.out.contains("\r\n\r\n" + expected)) << r.out.toStdString();
}

TEST(Kelmsend, StoredSettingsAreNeitherReadNorWritten) {
    // A user who switched persistence on has a host and a port stored. A
    // run without --server must not take them (it goes to the MX lookup,
    // which here asks a closed port and finds nothing), and the store must
    // stay as it was.
    SmtpServer server;
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    QTemporaryDir config;
    ASSERT_TRUE(QDir(config.path()).mkpath("Marrowpost"));
    const QString ini = config.filePath("Marrowpost/Marrowpost.ini");
    const QByteArray stored = "[Settings]\nPersistentSettings=-1\nRemoteHost=127.0.0.1\n"
                              "RemotePort=" +
                              QByteArray::number(server.port()) +
                              "\nSMTPHostValidation=0\nFrom=stored@example.com\n";
    writeFile(config, "Marrowpost/Marrowpost.ini", stored);
    const std::map<QString, QString> env{{"XDG_CONFIG_HOME", config.path()},
                                         {"KELMSEND_NAMESERVER", "127.0.0.1:9"},
                                         {"KELMSEND_DOMAIN", "example.test"}};
    const Finished r = RunKelmsend(
        {"--from", "me@example.com", "--to", "a@example.com", "--body", "x", "--timeout", "2"}, {},
        env);
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_EQ(r.err, "kelmsend: Invalid or Missing SMTP Host Name\n");
    EXPECT_FALSE(QFile::exists(server.message(1)));
    // With persistence on, the assignment of --from would have been stored.
    QFile f(ini);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), stored);
    EXPECT_EQ(QDir(config.filePath("Marrowpost")).entryList(QDir::Files),
              QStringList{"Marrowpost.ini"});
}

// ---- Utilities and the exit statuses of the little commands ---------------------

struct Utility {
    const char *name;
    QStringList args;
    int exitCode;
    const char *out;
    const char *err;
};

class UtilityCommand : public ::testing::TestWithParam<Utility> {};

TEST_P(UtilityCommand, PrintsAndExits) {
    const Finished r = RunKelmsend(GetParam().args);
    EXPECT_EQ(r.exitCode, GetParam().exitCode) << r.describe();
    EXPECT_EQ(r.out, GetParam().out);
    EXPECT_EQ(r.err, GetParam().err);
}

INSTANTIATE_TEST_SUITE_P(
    Table, UtilityCommand,
    ::testing::Values(
        Utility{"ContentTypeByExtension",
                {"content-type", "/no/such/dir/Report.PDF"},
                0,
                "application/pdf\n",
                ""},
        Utility{"ContentTypeDefault",
                {"content-type", "file.unknownext"},
                0,
                "application/octet-stream\n",
                ""},
        Utility{"ResolveAnAddress", {"resolve", " 127.0.0.1 "}, 0, "127.0.0.1 127.0.0.1\n", ""},
        Utility{"ResolveAnIPv6Address", {"resolve", "[::1]"}, 0, "::1 ::1\n", ""},
        Utility{"ResolveABadIPv6Address",
                {"resolve", ":::1"},
                1,
                "",
                "kelmsend: no address for :::1\n"},
        Utility{
            "PingNeedsAHost", {"ping"}, 2, "", "kelmsend: ping needs a HOST: kelmsend ping HOST\n"},
        Utility{"MxTakesOneDomain",
                {"mx", "a.example", "b.example"},
                2,
                "",
                "kelmsend: mx takes one DOMAIN, not 2 arguments\n"},
        Utility{"MxTakesNoSendOptions",
                {"mx", "--to", "a@example.com"},
                2,
                "",
                "kelmsend: --to does not apply to mx\n"}),
    RowName());

TEST(Utilities, PingLoopback) {
    for (const QString address : {"127.0.0.1", "::1"}) {
        const Finished r = RunKelmsend({"ping", address});
        EXPECT_EQ(r.exitCode, 0) << r.describe();
        EXPECT_TRUE(QString::fromUtf8(r.out).contains(QRegularExpression(
            "^reply from " + QRegularExpression::escape(address) + ": 32 bytes, time \\d+ ms\n$")))
            << r.out.toStdString();
    }
}

TEST(Utilities, ResolveLocalhostGivesTheIPv4AddressFirst) {
    // Where the hosts file also names ::1 for localhost, it follows.
    const Finished r = RunKelmsend({"resolve", "localhost"});
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_TRUE(QString::fromUtf8(r.out).contains(
        QRegularExpression("^127\\.0\\.0\\.1 localhost\n(\\S+ localhost\n)*$")))
        << r.out.toStdString();
}

TEST(Utilities, WithoutANetworkPingAndResolveExitOne) {
    // In a private network namespace even the loopback interface is down
    // and no name server can be reached.
    const Finished probe = RunProgram("unshare", {"-n", "true"});
    if (probe.exitCode != 0) {
        GTEST_SKIP() << "cannot create a network namespace: " << probe.err.toStdString();
    }
    const Finished r = RunProgram("unshare", {"-n", Kelmsend(), "ping", "127.0.0.1"});
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_EQ(r.err, "kelmsend: no echo reply from 127.0.0.1\n");
    // A name that only a name server could know: none can be reached here,
    // so the question never leaves the machine.
    const Finished lookup =
        RunProgram("unshare", {"-n", Kelmsend(), "resolve", "no.such.host.invalid"});
    EXPECT_EQ(lookup.exitCode, 1) << lookup.describe();
    EXPECT_EQ(lookup.out, "");
    EXPECT_EQ(lookup.err, "kelmsend: no address for no.such.host.invalid\n");
}

TEST(Utilities, ResolvePrintsIPv6AddressesToo) {
    if (!testsupport::InPrivateNetwork()) {
        testsupport::RunInPrivateNetwork(
            {.hosts = "2001:db8::25 dual.test\n127.0.0.1 dual.test\n2001:db8::26 v6only.test\n"});
        return;
    }
    const Finished dual = RunKelmsend({"resolve", "dual.test"});
    EXPECT_EQ(dual.exitCode, 0) << dual.describe();
    EXPECT_EQ(dual.out, "127.0.0.1 dual.test\n2001:db8::25 dual.test\n");
    const Finished v6 = RunKelmsend({"resolve", " v6only.test"});
    EXPECT_EQ(v6.exitCode, 0) << v6.describe();
    EXPECT_EQ(v6.out, "2001:db8::26 v6only.test\n");
}

TEST(Utilities, HelpAndVersionGoToStandardOutput) {
    const Finished help = RunKelmsend({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.startsWith("Usage: kelmsend")) << help.out.toStdString();
    EXPECT_EQ(help.err, "");
    const Finished version = RunKelmsend({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_TRUE(version.out.startsWith("kelmsend ")) << version.out.toStdString();
}

} // namespace
