// The command line of kelmsend: what each form of each option yields, and
// the message of every refused command line.
#include "cli/options.h"

#include <QRegularExpression>
#include <gtest/gtest.h>

#include "qt_printers.h"
#include "row_name.h"

#include <functional>

using namespace kelmsend;

namespace {

const QStringList kBase{"--from", "me@example.com", "--to", "you@example.com"};

struct Accepted {
    const char *name;
    QStringList args;
    std::function<void(const Options &)> check;
};

class AcceptedLine : public ::testing::TestWithParam<Accepted> {};

TEST_P(AcceptedLine, YieldsTheOptions) {
    const ParseResult r = ParseCommandLine(GetParam().args);
    ASSERT_TRUE(r.options) << r.error.toStdString();
    EXPECT_EQ(r.error, "");
    GetParam().check(*r.options);
}

INSTANTIATE_TEST_SUITE_P(Table, AcceptedLine,
                         ::
                             testing::Values(Accepted{"RepeatedAndDelimitedRecipients",
                                                      kBase +
                                                          QStringList{"--to",
                                                                      "a@x.com; b@x.com,c@x.com",
                                                                      "--to=d@x.com", "--cc",
                                                                      "e@x.com,,f@x.com", "--bcc",
                                                                      "g@x.com"},
                                                      [](const Options &o) {
                                                          EXPECT_EQ(
                                                              o.to,
                                                              (QStringList{"you@example.com",
                                                                           "a@x.com", "b@x.com",
                                                                           "c@x.com", "d@x.com"}));
                                                          EXPECT_EQ(o.cc, (QStringList{"e@x.com",
                                                                                       "f@x.com"}));
                                                          EXPECT_EQ(o.bcc, QStringList{"g@x.com"});
                                                      }},
                                             Accepted{"PositionalRecipientsJoinToInOrder",
                                                      {"--from", "me@example.com", "a@x.com",
                                                       "--to", "b@x.com", "c@x.com;d@x.com"},
                                                      [](const Options &o) {
                                                          EXPECT_EQ(
                                                              o.to,
                                                              (QStringList{"a@x.com", "b@x.com",
                                                                           "c@x.com", "d@x.com"}));
                                                      }},
                                             Accepted{
                                                 "DoubleDashMakesTheRestRecipients",
                                                 {"--from", "me@example.com", "--", "--odd@x.com"},
                                                 [](const Options &o) {
                                                     EXPECT_EQ(o.to, QStringList{"--odd@x.com"});
                                                 }},
                                             Accepted{
                                                 "NamesSplitAtSemicolonOnlyAndKeepEmptyEntries",
                                                 kBase + QStringList{"--to", "b@x.com;c@x.com",
                                                                     "--to-name", "Smith, Ann;;Bo"},
                                                 [](const Options &o) {
                                                     EXPECT_EQ(o.toNames, (QStringList{"Smith, Ann",
                                                                                       "", "Bo"}));
                                                 }},
                                             Accepted{"ServerAsBareIPv6",
                                                      kBase + QStringList{"--server", " ::1 "},
                                                      [](const Options &o) {
                                                          EXPECT_EQ(o.server, "::1");
                                                          EXPECT_EQ(o.port, 0);
                                                      }},
                                             Accepted{"ServerAsIPv6WithPort",
                                                      kBase + QStringList{"--server",
                                                                          "[2001:db8::25]:2525"},
                                                      [](const Options &o) {
                                                          EXPECT_EQ(o.server, "2001:db8::25");
                                                          EXPECT_EQ(o.port, 2525);
                                                      }},
                                             Accepted{"ServerWithPort",
                                                      kBase + QStringList{"--server",
                                                                          "mail.example.com:2525"},
                                                      [](const Options &o) {
                                                          EXPECT_EQ(o.server, "mail.example.com");
                                                          EXPECT_EQ(o.port, 2525);
                                                      }},

                                             Accepted{"PriorityWordsInAnyCase",
                                                      kBase + QStringList{"--priority", "HIGH"},
                                                      [](const Options &o) {
                                                          EXPECT_EQ(o.priority, 1);
                                                          EXPECT_TRUE(o.prioritySet);
                                                      }},

                                             Accepted{"ShortOptionsWithValuesAttachedOrApart",
                                                      kBase + QStringList{"-sHello there", "-a",
                                                                          "/tmp/one", "-a/tmp/two"},
                                                      [](const Options &o) {
                                                          EXPECT_EQ(o.subject, "Hello there");
                                                          EXPECT_EQ(o.attachments,
                                                                    (QStringList{"/tmp/one",
                                                                                 "/tmp/two"}));
                                                      }},
                                             Accepted{"AttachmentPathsKeepCommasAndSemicolons",
                                                      kBase +
                                                          QStringList{"--attach", "/tmp/a,b;c.txt"},
                                                      [](const Options &o) {
                                                          EXPECT_EQ(o.attachments,
                                                                    QStringList{"/tmp/a,b;c.txt"});
                                                      }},
                                             Accepted{
                                                 "ClusteredSwitches", kBase + QStringList{"-qv"},
                                                 [](const Options &o) {
                                                     EXPECT_EQ(o.verbosity, Verbosity::Verbose);
                                                 }},
                                             Accepted{"TraceOutranksQuietWhateverTheOrder",
                                                      kBase + QStringList{"--trace", "-q"},
                                                      [](const Options &o) {
                                                          EXPECT_EQ(o.verbosity, Verbosity::Trace);
                                                      }},
                                             Accepted{"AuthWithUserAndPasswordFile", kBase + QStringList{"--auth", "--user", "ann", "--password-file", "/tmp/pw"},
                                                      [](const Options &o) {
                                                          EXPECT_TRUE(o.auth);
                                                          EXPECT_TRUE(o.needsPassword());
                                                          EXPECT_EQ(o.user, "ann");
                                                          EXPECT_EQ(o.passwordFile, "/tmp/pw");
                                                          EXPECT_EQ(o.passwordEnv,
                                                                    "KELMSEND_PASSWORD");
                                                      }},
                                             Accepted{"PopBeforeSmtpNeedsAPasswordToo", kBase + QStringList{"--pop3", "pop.example.com", "--user", "ann", "--password-env", "MY_PW", "--allow-plaintext-auth"},
                                                      [](const Options &o) {
                                                          EXPECT_FALSE(o.auth);
                                                          EXPECT_TRUE(o.needsPassword());
                                                          EXPECT_EQ(o.pop3Host, "pop.example.com");
                                                          EXPECT_EQ(o.passwordEnv, "MY_PW");
                                                      }},
                                             Accepted{"LimitsAtTheirBounds",
                                                      kBase +
                                                          QStringList{
                                                              "--timeout", "120",
                                                              "--message-timeout", "1", "--retries", "20"},
                                                      [](const Options &o) {
                                                          EXPECT_EQ(o.connectTimeout, 120);
                                                          EXPECT_EQ(o.messageTimeout, 1);
                                                          EXPECT_EQ(o.retries, 20);
                                                      }},

                                             Accepted{"HelpNeedsNothingElse",
                                                      {"--to", "you@example.com", "--help"},
                                                      [](const Options &o) {
                                                          EXPECT_EQ(o.command, Command::Help);
                                                      }},
                                             Accepted{"MxWithoutDomain",
                                                      {"mx"},
                                                      [](const Options &o) {
                                                          EXPECT_EQ(o.command, Command::Mx);
                                                          EXPECT_EQ(o.argument, "");
                                                      }},
                                             Accepted{"PingWithVerbose",
                                                      {"ping", "-v", "127.0.0.1"},
                                                      [](const Options &o) {
                                                          EXPECT_EQ(o.command, Command::Ping);
                                                          EXPECT_EQ(o.argument, "127.0.0.1");
                                                          EXPECT_EQ(o.verbosity,
                                                                    Verbosity::Verbose);
                                                      }},

                                             Accepted{"AWordLikeACommandLaterIsARecipient",
                                                      {"--from", "me@example.com", "mx"},
                                                      [](const Options &o) {
                                                          EXPECT_EQ(o.command, Command::Send);
                                                          EXPECT_EQ(o.to, QStringList{"mx"});
                                                      }}),
                         RowName());

struct Refused {
    const char *name;
    QStringList args;
    const char *message; // the whole error text, or its start when it ends with "..."
};

class RefusedLine : public ::testing::TestWithParam<Refused> {};

TEST_P(RefusedLine, NamesTheProblem) {
    const ParseResult r = ParseCommandLine(GetParam().args);
    EXPECT_FALSE(r.options);
    QString expected = QString::fromUtf8(GetParam().message);
    if (expected.endsWith("...")) {
        expected.chop(3);
        EXPECT_TRUE(r.error.startsWith(expected)) << r.error.toStdString();
    } else {
        EXPECT_EQ(r.error, expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, RefusedLine,
    ::testing::Values(
        Refused{"UnknownOption", kBase + QStringList{"--frobnicate"},
                "unknown option --frobnicate (kelmsend --help lists the options)"},
        Refused{"PasswordOnTheCommandLine", kBase + QStringList{"--password", "secret"},
                "--password is not accepted: a password on the command line can be read..."},
        Refused{"PasswordWithEquals", kBase + QStringList{"--password=secret"},
                "--password is not accepted..."},
        Refused{"MissingValue", kBase + QStringList{"--subject"},
                "--subject needs a value: --subject TEXT"},
        Refused{"ValueOnASwitch", kBase + QStringList{"--html=yes"}, "--html takes no value"},
        Refused{"NoSender", {"--to", "you@example.com"}, "--from is required"},
        Refused{"NoRecipient",
                {"--from", "me@example.com"},
                "no recipient: give --to, --cc, --bcc or a RECIPIENT argument"},
        Refused{"OnlyDelimiters", kBase + QStringList{"--cc", " ; , "}, "--cc: needs an address"},
        Refused{"PortZero", kBase + QStringList{"--port", "0"},
                "--port: must be a port number from 1 to 65535, not \"0\""},
        Refused{"PortInServerNotANumber", kBase + QStringList{"--server", "host:smtp"},
                "--server: must be a port number from 1 to 65535, not \"smtp\""},
        Refused{"ServerWithoutHost", kBase + QStringList{"--server", ":25"},
                "--server: needs a host"},
        Refused{"ServerAsUnclosedIPv6", kBase + QStringList{"--server", "[::1:25"},
                "--server: takes HOST[:PORT], [IPV6-ADDRESS][:PORT] or a bare IPv6 address"},
        Refused{"ServerAsBadIPv6", kBase + QStringList{"--server", "2001:db8::g"},
                "--server: takes HOST[:PORT], [IPV6-ADDRESS][:PORT] or a bare IPv6 address"},
        Refused{"ServerNameInBrackets", kBase + QStringList{"--server", "[mail.example.com]:25"},
                "--server: takes an IPv6 address in brackets, not \"mail.example.com\""},
        Refused{"ServerIPv6WithEmptyPort", kBase + QStringList{"--server", "[::1]:"},
                "--server: must be a port number from 1 to 65535, not \"\""},
        Refused{"TwoDifferentPorts", kBase + QStringList{"--server", "h:25", "--port", "26"},
                "--port: names port 26, but --server names 25"},
        Refused{"TimeoutAboveTheRange", kBase + QStringList{"--timeout", "121"},
                "--timeout: must be a number of seconds from 1 to 120, not \"121\""},
        Refused{"UnknownPriority", kBase + QStringList{"--priority", "urgent"},
                "--priority: must be high, normal or low, not \"urgent\""},
        Refused{"HtmlWithUuencode", kBase + QStringList{"--html", "--uuencode"},
                "--html cannot be combined with --uuencode: HTML needs a MIME message"},
        Refused{"BodyTwice", kBase + QStringList{"--body", "x", "--body-file", "f"},
                "--body and --body-file exclude each other"},
        Refused{"ContentBaseWithoutHtml", kBase + QStringList{"--content-base", "http://x/"},
                "--content-base applies only with --html"},
        Refused{"AuthWithoutUser", kBase + QStringList{"--auth"}, "--auth needs --user NAME"},
        Refused{"UserWithoutAuth", kBase + QStringList{"--user", "ann"},
                "--user applies only with --auth or --pop3"},
        Refused{"PasswordFileWithoutAuth", kBase + QStringList{"--password-file", "f"},
                "--password-env and --password-file apply only with --auth or --pop3"},
        Refused{"TwoPasswordSources",
                kBase + QStringList{"--auth", "--user", "a", "--password-env", "X",
                                    "--password-file", "f"},
                "--password-env and --password-file exclude each other"},
        Refused{"PasswordFileAndCommand",
                kBase + QStringList{"--auth", "--user", "a", "--password-file", "f",
                                    "--password-command", "pass show x"},
                "--password-file and --password-command exclude each other"},
        Refused{"PasswordCommandWithoutAuth", kBase + QStringList{"--password-command", "x"},
                "--password-command applies only with --auth or --pop3"},
        Refused{"MoreNamesThanRecipients", kBase + QStringList{"--to-name", "Ann;Bob"},
                "--to-name: 2 names for 1 recipients"},
        Refused{"TheDelimiterCharacterInAnEntry",
                kBase + QStringList{"--to", QString("a@x.com") + QChar(0x1F) + "b@x.com"},
                "--to: holds the control character U+001F"},
        Refused{"SendOptionOnAUtility",
                {"mx", "example.com", "--subject", "x"},
                "--subject does not apply to mx"},
        Refused{"PingWithoutHost", {"ping"}, "ping needs a HOST: kelmsend ping HOST"},
        Refused{
            "AuthInClearTextToARemoteHost",
            kBase +
                QStringList{
                    "--server",
                    "mail.example.com", "--tls", "none", "--auth", "--user", "a"},
            "--auth with --tls none would send the credentials in clear text to "
            "mail.example.com; use --tls starttls or --tls implicit, or --allow-plaintext-auth"},
        Refused{"PopInClearTextToARemoteHostEvenWithStarttls",
                kBase +
                    QStringList{"--pop3", "pop.example.com", "--user", "a", "--tls", "starttls"},
                "--pop3 would send the password in clear text to pop.example.com (POP3 is "
                "spoken without TLS); use a POP3 server on this machine, or "
                "--allow-plaintext-auth"},
        Refused{"AuthInClearTextToTheMailExchanger",
                kBase + QStringList{"--tls", "none", "--auth", "--user", "a"},
                "--auth with --tls none would send the credentials in clear text to the mail "
                "exchanger..."},
        Refused{"UnknownTlsMode", kBase + QStringList{"--tls", "ssl"},
                "--tls: must be none, opportunistic, starttls or implicit, not \"ssl\""},
        Refused{"ShortFingerprint", kBase + QStringList{"--tls-fingerprint", "AB:CD"},
                "--tls-fingerprint: must be 64 hex digits (colons optional), not \"AB:CD\""},
        Refused{"UnknownMechanism",
                kBase + QStringList{"--auth", "--user", "a", "--auth-mech", "NTLM"},
                "--auth-mech: must be auto or one of SCRAM-SHA-256, ..."},
        Refused{"MechanismWithoutAuth", kBase + QStringList{"--auth-mech", "PLAIN"},
                "--auth-mech applies only with --auth"},
        Refused{"TwoTokenSources",
                kBase + QStringList{"--auth", "--user", "a", "--oauth-token-env", "T",
                                    "--oauth-token-file", "f"},
                "--oauth-token-env and --oauth-token-file exclude each other"},
        Refused{"ProbeWithoutServer", {"probe"}, "probe needs --server HOST[:PORT]"},
        Refused{"ProbeWithAMessageOption",
                {"probe", "--server", "h", "--subject", "x"},
                "--subject does not apply to probe"},
        Refused{"TlsOptionOnAnotherUtility", {"mx", "--tls", "none"}, "--tls does not apply to mx"},
        Refused{
            "ResolveTwoHosts", {"resolve", "a", "b"}, "resolve takes one HOST, not 2 arguments"}),
    RowName());

TEST(Recipients, AtMostOneHundredPerMessage) {
    QStringList args{"--from", "me@example.com"};
    for (int i = 0; i < kMaxRecipients; ++i) {
        args << QString("r%1@example.com").arg(i);
    }
    EXPECT_TRUE(ParseCommandLine(args).options);
    args << "--bcc"
         << "one.more@example.com";
    const ParseResult r = ParseCommandLine(args);
    EXPECT_FALSE(r.options);
    EXPECT_EQ(r.error, "too many recipients: 101, at most 100 per message");
}

struct TlsRow {
    const char *name;
    QStringList args;
    sendmail::TlsMode mode;
};

class TlsDefault : public ::testing::TestWithParam<TlsRow> {};

TEST_P(TlsDefault, FollowsThePortAndTheHost) {
    const ParseResult r = ParseCommandLine(kBase + GetParam().args);
    ASSERT_TRUE(r.options) << r.error.toStdString();
    EXPECT_EQ(EffectiveTlsMode(*r.options), GetParam().mode);
}

using sendmail::TlsMode;
INSTANTIATE_TEST_SUITE_P(
    Table, TlsDefault,
    ::testing::Values(
        TlsRow{"Port465IsImplicit", {"--server", "smtp.example.com:465"}, TlsMode::Implicit},
        TlsRow{
            "Port465OnLoopbackToo", {"--server", "127.0.0.1", "--port", "465"}, TlsMode::Implicit},
        TlsRow{"RemoteSubmissionPort", {"--server", "smtp.example.com:587"}, TlsMode::Required},
        TlsRow{"RemoteDefaultPort", {"--server", "192.0.2.1"}, TlsMode::Required},
        TlsRow{"LoopbackAddress", {"--server", "127.0.0.2:2525"}, TlsMode::Opportunistic},
        TlsRow{"LoopbackIPv6", {"--server", "[::1]:587"}, TlsMode::Opportunistic},
        TlsRow{"Localhost", {"--server", "LocalHost"}, TlsMode::Opportunistic},
        TlsRow{"MxPath", {}, TlsMode::Opportunistic},
        TlsRow{"GivenWins",
               {"--server", "smtp.example.com:465", "--tls", "STARTTLS"},
               TlsMode::Required},
        TlsRow{"NoneToLoopbackWithAuth",
               {"--server", "localhost", "--tls", "none", "--auth", "--user", "a"},
               TlsMode::None},
        TlsRow{"NoneToRemoteWithAuthWhenAllowed",
               {"--server", "mail.example.com", "--tls", "none", "--auth", "--user", "a",
                "--allow-plaintext-auth"},
               TlsMode::None}),
    RowName());

TEST(TlsOptions, InsecureMechanismAndTokenReachTheOptions) {
    const ParseResult r = ParseCommandLine(
        kBase + QStringList{"--server", "mail.example.com", "--tls-insecure", "--auth", "--user",
                            "a", "--auth-mech", "scram-sha-256", "--oauth-token-env", "TOKEN",
                            "--tls-fingerprint", QString(64, 'a')});
    ASSERT_TRUE(r.options) << r.error.toStdString();
    EXPECT_TRUE(r.options->tlsInsecure);
    EXPECT_EQ(r.options->authMech, "SCRAM-SHA-256");
    // The token stands in for the password.
    EXPECT_FALSE(r.options->needsPassword());
    EXPECT_EQ(r.options->tlsFingerprint, QString(64, 'a'));
    const ParseResult probe = ParseCommandLine({"probe", "--server", "h:587", "--tls-insecure"});
    ASSERT_TRUE(probe.options) << probe.error.toStdString();
    EXPECT_EQ(probe.options->command, Command::Probe);
    EXPECT_TRUE(probe.options->tlsInsecure);
}

// Every option that the help names is one the parser knows, and every
// option the parser knows has its line: the two are the same table, so a
// change to one cannot leave the other behind.
TEST(Help, ListsEachOptionOnOneLineAndEachListedOptionIsAccepted) {
    const QStringList lines = HelpText().split('\n');
    const QRegularExpression optionLine(R"(^  (?:-(\w), |    )--([a-z0-9-]+)(?: (\S+))?\s{2,}\S)");
    QStringList seen;
    for (const QString &line : lines) {
        const QRegularExpressionMatch m = optionLine.match(line);
        if (!m.hasMatch()) {
            continue;
        }
        const QString name = "--" + m.captured(2);
        seen << name;
        EXPECT_LE(line.size(), 100) << line.toStdString();
        QStringList args = kBase;
        if (name == "--password") {
            EXPECT_TRUE(line.contains("refused"));
            continue;
        }
        args << name;
        if (!m.captured(3).isEmpty()) {
            args << "1";
        }
        const ParseResult r = ParseCommandLine(args);
        EXPECT_FALSE(r.error.startsWith("unknown option")) << name.toStdString();
        if (!m.captured(1).isEmpty()) {
            const ParseResult s = ParseCommandLine(kBase + QStringList{"-" + m.captured(1), "1"});
            EXPECT_FALSE(s.error.startsWith("unknown option")) << m.captured(1).toStdString();
        }
    }
    EXPECT_EQ(seen.removeDuplicates(), 0);
    for (const char *required :
         {"--server",   "--from",         "--from-name",     "--to",
          "--cc",       "--bcc",          "--to-name",       "--cc-name",
          "--reply-to", "--subject",      "--body",          "--body-file",
          "--html",     "--content-base", "--attach",        "--uuencode",
          "--priority", "--receipt",      "--hello",         "--auth",
          "--user",     "--pop3",         "--timeout",       "--message-timeout",
          "--retries",  "--no-validate",  "--dry-run",       "--trace",
          "--help",     "--password-env", "--password-file", "--password"}) {
        EXPECT_TRUE(seen.contains(required)) << required;
    }
}

} // namespace
