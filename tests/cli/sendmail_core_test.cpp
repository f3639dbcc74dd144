// The pure core of sendmail mode: address lists, what happens to the header
// block, reading it from standard input, the command line, the sender, the
// exit status and the home folder.
#include "cli/home.h"
#include "cli/sendmail/arguments.h"
#include "cli/sendmail/exit_status.h"
#include "cli/sendmail/headers.h"
#include "cli/sendmail/input.h"
#include "cli/sendmail/sender.h"

#include <QBuffer>
#include <QTimeZone>
#include <gtest/gtest.h>

#include "qt_printers.h"
#include "row_name.h"

#include <functional>
#include <map>

#include <pwd.h>
#include <sysexits.h>
#include <unistd.h>

using namespace kelmsend;

namespace {

struct Addresses {
    const char *name;
    QString value;
    QStringList addresses;
};

class AddressList : public ::testing::TestWithParam<Addresses> {};

TEST_P(AddressList, YieldsTheAddressesInOrder) {
    EXPECT_EQ(ParseAddressList(GetParam().value), GetParam().addresses);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AddressList,
    ::testing::Values(
        Addresses{"Bare", " a@x.org ,b@y.org", {"a@x.org", "b@y.org"}},
        Addresses{
            "DisplayNames", "Ann <a@x.org>, \"Smith, Bo <b>\" <b@y.org>", {"a@x.org", "b@y.org"}},
        Addresses{
            "Comments", "a@x.org (Ann, (nested) <no@x>), (c) b@y.org", {"a@x.org", "b@y.org"}},
        Addresses{
            "Groups", "Team: a@x.org, B <b@y.org>;, c@z.org", {"a@x.org", "b@y.org", "c@z.org"}},
        Addresses{"EmptyGroup", "undisclosed-recipients:;", {}},
        Addresses{"SourceRoute", "<@relay.example:a@x.org>", {"a@x.org"}},
        Addresses{"QuotedLocalPart", "\"a b\"@x.org", {"\"a b\"@x.org"}},
        Addresses{"EncodedWordName", "=?UTF-8?B?w4Fubg==?= <a@x.org>", {"a@x.org"}},
        Addresses{"UnclosedBracketAndQuote", "<a@x.org, \"b", {"a@x.org, \"b"}},
        Addresses{"NullAddressAndEmptyEntries", "<>, ,", {}}),
    RowName());

const QDateTime kNow(QDate(2025, 2, 13), QTime(9, 5, 1), QTimeZone(-(4 * 3600 + 30 * 60)));
const QByteArray kUnique = QByteArray::fromHex("00112233445566778899aabbccddeeff");

RelayMessage prepare(const HeaderBlock &block, const RelayRequest &request) {
    return PrepareRelay(block, request, kNow, kUnique, QStringLiteral("host.example"));
}

TEST(PrepareRelay, BccGoesFieldsStayAndDateAndMessageIdAreAdded) {
    const QByteArray fields = "From: Ann <ann@example.com>\r\n"
                              "To: b@example.org,\r\n"
                              "\tc@example.org\r\n"
                              "bcc: hidden@example.net,\r\n"
                              " also-hidden@example.net\r\n"
                              "Cc: \"D\" <d@example.org>\r\n"
                              "X-Odd:  spacing kept \r\n"
                              "Subject: s\r\n";
    const RelayMessage m = prepare({fields, "\r\n", {}}, {true, {"e@example.org"}, {}, {}, {}});
    EXPECT_EQ(m.head, "From: Ann <ann@example.com>\r\n"
                      "To: b@example.org,\r\n"
                      "\tc@example.org\r\n"
                      "Cc: \"D\" <d@example.org>\r\n"
                      "X-Odd:  spacing kept \r\n"
                      "Subject: s\r\n"
                      "Date: Thu, 13 Feb 2025 09:05:01 -0430\r\n"
                      "Message-ID: <00112233445566778899aabbccddeeff@example.com>\r\n"
                      "\r\n");
    EXPECT_EQ(m.recipients,
              (QStringList{"b@example.org", "c@example.org", "hidden@example.net",
                           "also-hidden@example.net", "d@example.org", "e@example.org"}));
    EXPECT_EQ(m.sender, "ann@example.com");
}

struct Prepared {
    const char *name;
    HeaderBlock block;
    RelayRequest request;
    std::function<void(const RelayMessage &)> check;
};

class PrepareRelayTable : public ::testing::TestWithParam<Prepared> {};

TEST_P(PrepareRelayTable, Holds) {
    GetParam().check(prepare(GetParam().block, GetParam().request));
}

INSTANTIATE_TEST_SUITE_P(
    Table, PrepareRelayTable,
    ::testing::Values(
        Prepared{"PresentDateAndMessageIdInAnyCaseAreKept",
                 {"DATE: x\nMessage-Id: <m@x>\n", "\n", {}},
                 {},
                 [](const RelayMessage &m) {
                     EXPECT_EQ(m.head, "DATE: x\nMessage-Id: <m@x>\n\n");
                     EXPECT_FALSE(m.addedDate || m.addedMessageId);
                 }},
        Prepared{"WithoutMinusTTheFieldsNameNoRecipient",
                 {"To: a@x.org\nBcc: b@x.org\n", "\n", {}},
                 {false, {"c@x.org"}, {}, {}, {}},
                 [](const RelayMessage &m) {
                     EXPECT_EQ(m.recipients, QStringList{"c@x.org"});
                     EXPECT_FALSE(m.head.contains("Bcc")) << "Bcc goes in any case";
                 }},
        Prepared{"RecipientsOnceEach",
                 {"To: a@x.org, A@X.org\nCc: a@x.org\n", "\n", {}},
                 {true, {"a@x.org", "b@x.org"}, {}, {}, {}},
                 [](const RelayMessage &m) {
                     EXPECT_EQ(m.recipients, (QStringList{"a@x.org", "b@x.org"}));
                 }},
        Prepared{"MinusFWinsOverFrom",
                 {"From: a@x.org\n", "\n", {}},
                 {true, {}, "f@y.org", {}, "account@z.org"},
                 [](const RelayMessage &m) {
                     EXPECT_EQ(m.sender, "f@y.org");
                     EXPECT_TRUE(
                         m.head.contains("Message-ID: <00112233445566778899aabbccddeeff@y.org>"));
                 }},
        Prepared{"FromWithoutDomainFallsToTheAccount",
                 {"From: root (Cron Daemon)\n", "\n", {}},
                 {true, {}, {}, {}, "account@z.org"},
                 [](const RelayMessage &m) { EXPECT_EQ(m.sender, "account@z.org"); }},
        Prepared{"MinusFNamesTheSenderOnlyWithoutFrom",
                 {"Subject: s\n", "\n", {}},
                 {true, {}, {}, "Zoë \"Z\"", "z@x.org"},
                 [](const RelayMessage &m) {
                     EXPECT_TRUE(m.head.contains("\nFrom: =?UTF-8?B?Wm/DqyAiWiI=?= <z@x.org>\r\n"))
                         << m.head.toStdString();
                 }},
        Prepared{"NoSenderAnywhereMessageIdTakesTheHostName",
                 {"Subject: s\n", "\n", {}},
                 {true, {}, {}, "Name", {}},
                 [](const RelayMessage &m) {
                     EXPECT_EQ(m.sender, "");
                     EXPECT_FALSE(m.head.contains("From:"));
                     EXPECT_TRUE(m.head.contains("@host.example>"));
                 }},
        Prepared{"NoBlankLineBeforeTheBody",
                 {"Subject: s\n", "", "this line is not a field\n"},
                 {},
                 [](const RelayMessage &m) {
                     EXPECT_TRUE(m.head.endsWith(">\r\n\r\nthis line is not a field\n"));
                 }},
        Prepared{"LoneCrEndsAFieldAsOnTheWire",
                 {"Subject: hi\rBcc: hidden@x.org\nTo: a@x.org\r", "\r\n", {}},
                 {true, {}, "f@y.org", {}, {}},
                 [](const RelayMessage &m) {
                     EXPECT_EQ(m.recipients, (QStringList{"hidden@x.org", "a@x.org"}));
                     EXPECT_TRUE(m.head.startsWith("Subject: hi\rTo: a@x.org\r\nDate: "))
                         << m.head.toStdString();
                 }},
        Prepared{"LastFieldWithoutLineBreak",
                 {"Subject: s", "", {}},
                 {},
                 [](const RelayMessage &m) {
                     EXPECT_TRUE(m.head.startsWith("Subject: s\r\nDate: ")) << m.head.toStdString();
                     EXPECT_TRUE(m.head.endsWith(">\r\n"));
                 }}),
    RowName());

TEST(ReadHeaderBlock, StopsWhereTheHeaderBlockEndsAndLeavesTheRest) {
    struct Case {
        QByteArray input;
        QByteArray fields, separator, bodyStart, rest;
    };
    const QList<Case> cases{
        {"From abc Mon Sep 17 00:00:00 2001\nSubject: s\n folded\n\nbody\n",
         "Subject: s\n folded\n", "\n", "", "body\n"},
        {"Subject: s\r\n\r\n\r\nbody", "Subject: s\r\n", "\r\n", "", "\r\nbody"},
        {"Subject: s\nplain text\nmore\n", "Subject: s\n", "", "plain text\n", "more\n"},
        {" leading blank\nSubject: s\n", "", "", " leading blank\n", "Subject: s\n"},
        {"Subject: only", "Subject: only", "", "", ""},
        // A lone CR ends a line too: here the blank line, as on the wire.
        {"Subject: s\r\rBcc: b@x.org\nbody\n", "Subject: s\r", "\r", "Bcc: b@x.org\n", "body\n"},
    };
    for (const Case &c : cases) {
        QBuffer in;
        in.setData(c.input);
        in.open(QIODevice::ReadOnly);
        const HeaderRead r = ReadHeaderBlock(in);
        EXPECT_EQ(r.error, "");
        EXPECT_EQ(r.block.fields, c.fields) << c.input.toStdString();
        EXPECT_EQ(r.block.separator, c.separator) << c.input.toStdString();
        EXPECT_EQ(r.block.bodyStart, c.bodyStart) << c.input.toStdString();
        EXPECT_EQ(in.readAll(), c.rest) << c.input.toStdString();
    }
    QBuffer big;
    big.setData("X-Long: " + QByteArray(100, 'x') + "\n\nbody");
    big.open(QIODevice::ReadOnly);
    EXPECT_NE(ReadHeaderBlock(big, 64).error, "");
}

TEST(HeadThenBody, ReadsTheHeadThenTheRestOfTheBodyWithASize) {
    QBuffer body;
    body.setData("skipped|the body");
    body.open(QIODevice::ReadOnly);
    body.seek(8);
    HeadThenBody device("head:", body);
    ASSERT_TRUE(device.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
    EXPECT_FALSE(device.isSequential());
    EXPECT_EQ(device.size(), 13);
    EXPECT_EQ(device.read(3), "hea");
    EXPECT_EQ(device.read(5), "d:the");
    EXPECT_EQ(device.readAll(), " body");
    ASSERT_TRUE(device.seek(2));
    EXPECT_EQ(device.readAll(), "ad:the body");
}

struct Line {
    const char *name;
    QStringList args;
    std::function<void(const SendmailArguments &)> check; // nullptr: refused
    QString error = {};
};

class SendmailCommandLine : public ::testing::TestWithParam<Line> {};

TEST_P(SendmailCommandLine, IsParsedOrRefused) {
    const SendmailParse r = ParseSendmailArguments(GetParam().args);
    if (GetParam().check) {
        ASSERT_TRUE(r.arguments) << r.error.toStdString();
        GetParam().check(*r.arguments);
    } else {
        EXPECT_FALSE(r.arguments);
        EXPECT_EQ(r.error, GetParam().error);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SendmailCommandLine,
    ::testing::Values(
        Line{"GitSendEmail",
             {"-i", "-f", "me@x.org", "a@y.org", "Bo <b@y.org>, c@y.org"},
             [](const SendmailArguments &a) {
                 EXPECT_FALSE(a.extractRecipients);
                 EXPECT_EQ(a.envelopeSender, "me@x.org");
                 EXPECT_EQ(a.recipients, (QStringList{"a@y.org", "b@y.org", "c@y.org"}));
             }},
        Line{
            "MailxWithDoubleDash",
            {"-i", "--", "-odd@y.org"},
            [](const SendmailArguments &a) { EXPECT_EQ(a.recipients, QStringList{"-odd@y.org"}); }},
        Line{"AttachedValuesAndNoOpFlags",
             {"-t", "-oi", "-odi", "-oem", "-B8BITMIME", "-f<me@x.org>", "-FMe Myself", "-v"},
             [](const SendmailArguments &a) {
                 EXPECT_TRUE(a.extractRecipients);
                 EXPECT_EQ(a.envelopeSender, "me@x.org");
                 EXPECT_EQ(a.fromName, "Me Myself");
                 EXPECT_EQ(a.options.verbosity, Verbosity::Verbose);
             }},
        Line{"AccountOptions",
             {"-t", "--account", "work", "--server=h.example:2525", "--auth", "--user", "u"},
             [](const SendmailArguments &a) {
                 EXPECT_EQ(a.options.account, "work");
                 EXPECT_EQ(a.options.port, 2525);
                 EXPECT_TRUE(a.options.auth);
                 EXPECT_TRUE(a.options.isGiven("--server"));
             }},
        Line{"AccountOptionsAfterTheFlags",
             {"-t", "-i", "--config", "/f", "--account", "work"},
             [](const SendmailArguments &a) {
                 EXPECT_TRUE(a.extractRecipients);
                 EXPECT_EQ(a.options.config, "/f");
                 EXPECT_EQ(a.options.account, "work");
             }},
        Line{"QueueListing",
             {"-bp"},
             [](const SendmailArguments &a) { EXPECT_EQ(a.action, SendmailAction::ListQueue); }},
        Line{"QueueFlush",
             {"-q"},
             [](const SendmailArguments &a) {
                 EXPECT_EQ(a.action, SendmailAction::FlushQueue);
                 EXPECT_EQ(a.options.verbosity, Verbosity::Default); // not --quiet
             }},
        Line{"QuietBesideAMessage",
             {"-q", "-t", "--no-queue"},
             [](const SendmailArguments &a) {
                 EXPECT_EQ(a.action, SendmailAction::Send);
                 EXPECT_EQ(a.options.verbosity, Verbosity::Quiet);
                 EXPECT_TRUE(a.options.noQueue);
             }},
        Line{"DeliveryErrorAndDsnFlags",
             {"-odq", "-oem", "-N", "Success,delay", "-Rhdrs", "-t"},
             [](const SendmailArguments &a) {
                 EXPECT_EQ(a.action, SendmailAction::Send);
                 EXPECT_EQ(a.delivery, DeliveryMode::QueueOnly);
                 EXPECT_EQ(a.errorMode, QLatin1Char('m'));
                 EXPECT_EQ(a.dsnNotify, (QStringList{"success", "delay"}));
                 EXPECT_EQ(a.dsnReturn, "hdrs");
                 EXPECT_TRUE(a.extractRecipients);
             }},
        Line{"BackgroundThenInteractive",
             {"-odb", "-oep", "-Nnever", "-R", "full", "-odi", "r@x.org"},
             [](const SendmailArguments &a) {
                 EXPECT_EQ(a.delivery, DeliveryMode::Interactive);
                 EXPECT_EQ(a.errorMode, QLatin1Char('p'));
                 EXPECT_EQ(a.dsnNotify, QStringList{"never"});
                 EXPECT_EQ(a.recipients, QStringList{"r@x.org"});
             }},
        Line{"NeverWithOthers",
             {"-N", "never,success"},
             nullptr,
             "-N takes never, or success, failure and delay joined with \",\", not "
             "\"never,success\""},
        Line{"BadReturn", {"-R", "body"}, nullptr, "-R takes full or hdrs, not \"body\""},
        Line{"UnknownFlag",
             {"-t", "-bs"},
             nullptr,
             "unknown sendmail option -bs (kelmsend --help lists what sendmail mode takes)"},
        Line{"ComposingOption",
             {"-t", "--subject", "x"},
             nullptr,
             "--subject does not apply in sendmail mode: the message comes whole on standard "
             "input"},
        Line{"FlagWithoutValue", {"-t", "-f"}, nullptr, "-f needs a value"},
        Line{"TwoSenders",
             {"-f", "a@x.org, b@x.org"},
             nullptr,
             "-f needs one address, not \"a@x.org, b@x.org\""},
        Line{"BadPort",
             {"-t", "--port", "0"},
             nullptr,
             "--port: must be a port number from 1 to 65535, not \"0\""}),
    RowName());

TEST(SendmailInvocation, ByNameOrByAFlagOfSendmails) {
    EXPECT_TRUE(IsSendmailInvocation("/usr/sbin/sendmail", {}));
    EXPECT_TRUE(IsSendmailInvocation("sendmail", {"a@x.org"}));
    EXPECT_TRUE(IsSendmailInvocation("sendmail", {"-q"}));
    for (const QStringList &args : {QStringList{"-t", "x"},
                                    {"-i"},
                                    {"-oi"},
                                    {"-f", "a@x.org"},
                                    {"-fme@x.org"},
                                    {"--account", "work", "-t", "-i"},
                                    {"--config", "/f", "-t"},
                                    {"--account=w", "-bp"},
                                    {"--from", "a@x.org", "-t"},
                                    {"a@x.org", "-odq"}}) {
        EXPECT_TRUE(IsSendmailInvocation("kelmsend", args)) << args.join(' ').toStdString();
    }
    // The values of kelmsend's own options, its own short options and
    // whatever follows "--" are not sendmail's flags.
    for (const QStringList &args : {QStringList{},
                                    {"--subject", "-t"},
                                    {"-s", "-fix", "a@x.org"},
                                    {"-q", "-v", "a@x.org"},
                                    {"--account", "work", "--", "-t"},
                                    {"--body=-i", "a@x.org"}}) {
        EXPECT_FALSE(IsSendmailInvocation("kelmsend", args)) << args.join(' ').toStdString();
    }
    EXPECT_FALSE(IsSendmailInvocation("sendmail-helper", {"--to", "a@x.org"}));
}

TEST(RelayArguments, OnlyWhenNoOptionComposes) {
    const auto relayed = [](const QStringList &args) {
        const ParseResult parsed = ParseArguments(args);
        EXPECT_TRUE(parsed.options) << parsed.error.toStdString();
        return parsed.options ? RelayArguments(*parsed.options) : std::nullopt;
    };
    const std::optional<SendmailArguments> mutt =
        relayed({"--account", "work", "--trace", "--", "a@x.org", "b@y.org"});
    ASSERT_TRUE(mutt);
    EXPECT_EQ(mutt->recipients, (QStringList{"a@x.org", "b@y.org"}));
    EXPECT_EQ(mutt->options.account, "work");
    EXPECT_TRUE(mutt->options.to.isEmpty());
    EXPECT_FALSE(mutt->extractRecipients);
    for (const QStringList &args : {QStringList{"-s", "s", "a@x.org"},
                                    {"--body-file", "-", "a@x.org"},
                                    {"--cc", "c@x.org", "a@x.org"},
                                    {"--dry-run", "a@x.org"},
                                    {"-a", "f", "a@x.org"}}) {
        EXPECT_FALSE(relayed(args)) << args.join(' ').toStdString();
    }
    EXPECT_FALSE(RelayArguments(*ParseArguments({"mx"}).options));
}

struct Start {
    const char *name;
    QByteArray input;
    bool message;
};

class FinishedMessage : public ::testing::TestWithParam<Start> {};

TEST_P(FinishedMessage, IsToldFromAText) {
    EXPECT_EQ(BeginsWithHeaderBlock(GetParam().input), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FinishedMessage,
    ::testing::Values(
        Start{"MailReader", "Date: x\r\nFrom: a@x.org\r\nSubject: s\r\n folded\r\n\r\nbody", true},
        Start{"MboxLineFirst", "From a@x.org Thu Feb 13\nTo: b@y.org\n\nbody\n", true},
        Start{"BlockWithoutBody", "Subject: only", true},
        Start{"CutWithinTheBlock", "Received: from x\n\tby y\nX-Long: aaaa", true},
        Start{"NoMessageField", "Note: call Ann\n\nbody\n", false},
        Start{"TextAfterAField", "Subject: s\nthis is text\n\n", false},
        Start{"ContinuationFirst", " To: a@x.org\n\n", false},
        Start{"PlainText", "Hello,\nTo: a@x.org\n", false},
        Start{"BlankFirst", "\nTo: a@x.org\n", false}, Start{"Empty", "", false}),
    RowName());

struct Sender {
    const char *name;
    QString sender;
    QString accountFrom;
    QString chosen; // "" when refused
};

class UnqualifiedSender : public ::testing::TestWithParam<Sender> {};

TEST_P(UnqualifiedSender, IsReplacedByTheAccountsFromOrRefused) {
    const SenderChoice c = QualifySender(GetParam().sender, GetParam().accountFrom);
    if (QString(GetParam().chosen).isEmpty()) {
        EXPECT_EQ(c.error, "the sender " + GetParam().sender +
                               " has no domain with a dot, and servers refuse such an address; "
                               "set from = ADDRESS in the account (kelmsend then sends with it "
                               "instead), or give -f with a full address");
    } else {
        EXPECT_EQ(c.error, "");
        EXPECT_EQ(c.sender, GetParam().chosen);
        EXPECT_EQ(c.replaced, c.sender != GetParam().sender);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, UnqualifiedSender,
    ::testing::Values(Sender{"Qualified", "a@x.org", "me@y.org", "a@x.org"},
                      Sender{"AddressLiteral", "a@[192.0.2.1]", "", "a@[192.0.2.1]"},
                      Sender{"HostWithoutDomain", "root@myhost", "me@y.org", "me@y.org"},
                      Sender{"NoDomain", "root", "me@y.org", "me@y.org"},
                      Sender{"TrailingDot", "root@myhost.", "me@y.org", "me@y.org"},
                      Sender{"NoFrom", "root@myhost", "", ""},
                      Sender{"UnqualifiedFrom", "root", "me@host", ""}),
    RowName());

struct Exit {
    const char *name;
    SendmailOutcome outcome;
    QStringList failures;
    int status;
};

class SendmailExit : public ::testing::TestWithParam<Exit> {};

TEST_P(SendmailExit, FollowsSysexits) {
    EXPECT_EQ(SendmailExitStatus(GetParam().outcome, GetParam().failures), GetParam().status);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SendmailExit,
    ::testing::Values(
        Exit{"Sent", SendmailOutcome::Sent, {}, EX_OK},
        Exit{"Usage", SendmailOutcome::Usage, {}, EX_USAGE},
        Exit{"BadMessage", SendmailOutcome::BadMessage, {}, EX_DATAERR},
        Exit{"InputError", SendmailOutcome::InputError, {}, EX_IOERR},
        Exit{"Configuration", SendmailOutcome::Configuration, {}, EX_CONFIG},
        Exit{"CannotCopy", SendmailOutcome::CannotCopy, {}, EX_CANTCREAT},
        Exit{"UnknownUser",
             SendmailOutcome::SendFailed,
             {"550 5.1.1 <b@x.org>: Recipient address rejected"},
             EX_NOUSER},
        Exit{"MultilineNoSuchDomain",
             SendmailOutcome::SendFailed,
             {"550-5.1.2 no such domain\r\n550 5.1.2 try again"},
             EX_NOUSER},
        Exit{"SenderRefused",
             SendmailOutcome::SendFailed,
             {"553 5.1.8 <root@myhost>: Sender address rejected"},
             EX_UNAVAILABLE},
        Exit{"PolicyRefusal", SendmailOutcome::SendFailed, {"554 5.7.1 spam"}, EX_UNAVAILABLE},
        Exit{"RefusalWithoutEnhancedCode", SendmailOutcome::SendFailed, {"550 no"}, EX_UNAVAILABLE},
        Exit{"AddressAndPolicy",
             SendmailOutcome::SendFailed,
             {"550 5.1.1 a", "554 5.7.1 b"},
             EX_UNAVAILABLE},
        // Nothing is stored anywhere: never EX_TEMPFAIL.
        Exit{"Deferred", SendmailOutcome::SendFailed, {"451 4.3.0 try later"}, EX_CANTCREAT},
        Exit{"FinalAndDeferred",
             SendmailOutcome::SendFailed,
             {"550 5.1.1 a", "452 4.2.2 full"},
             EX_CANTCREAT},
        Exit{"Timeout",
             SendmailOutcome::SendFailed,
             {"Timeout occurred: The SMTP Host did not respond to the request"},
             EX_CANTCREAT},
        Exit{"Login",
             SendmailOutcome::SendFailed,
             {"Login: PLAIN failed: 535 5.7.8 no"},
             EX_CANTCREAT},
        Exit{"NoOutcome", SendmailOutcome::SendFailed, {}, EX_CANTCREAT}),
    RowName());

TEST(HomeFolder, FromTheUserDatabaseWithoutHome) {
    const passwd *entry = ::getpwuid(::getuid());
    ASSERT_NE(entry, nullptr);
    const QString database = QString::fromLocal8Bit(entry->pw_dir);
    const auto env = [](std::map<QString, QString> vars) -> EnvironmentLookup {
        return [vars](const QString &name) -> std::optional<QString> {
            const auto it = vars.find(name);
            return it == vars.end() ? std::nullopt : std::optional<QString>(it->second);
        };
    };
    EXPECT_EQ(HomeFolder(env({{"HOME", "/h o/me"}})), "/h o/me");
    EXPECT_EQ(HomeFolder(env({})), database);
    EXPECT_EQ(HomeFolder(env({{"HOME", ""}})), database);
    EXPECT_EQ(HomeFolder(env({{"HOME", "relative"}})), database);
    const QString config = QStringLiteral("XDG_CONFIG_HOME");
    EXPECT_EQ(XdgFolder(env({{config, "/x"}}), config, "/.config"), "/x");
    EXPECT_EQ(XdgFolder(env({{config, ""}}), config, "/.config"), database + "/.config");
    EXPECT_EQ(XdgFolder(env({{config, "rel"}, {"HOME", "/h"}}), config, "/.config"), "/h/.config");
}

} // namespace
