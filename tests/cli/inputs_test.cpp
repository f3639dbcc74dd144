// What kelmsend fetches before it sends (files, password, message text) and
// how its options land on the component's properties.
#include "cli/configure.h"
#include "cli/inputs.h"
#include "cli/options.h"
#include "mail/send_mail.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "qt_printers.h"
#include "row_name.h"
#include "temp_files.h"

#include <map>

using namespace kelmsend;

namespace {

Options parse(const QStringList &extra) {
    const ParseResult r = ParseCommandLine(
        QStringList{"--from", "me@example.com", "--to", "you@example.com"} + extra);
    EXPECT_TRUE(r.options) << r.error.toStdString();
    return r.options.value_or(Options{});
}

// Fetches the inputs with a scripted environment and standard input, and
// counts how often standard input was read.
struct Fetch {
    std::map<QString, QString> env;
    QByteArray stdinBytes;
    int stdinReads = 0;
    Inputs inputs;

    QString run(const Options &o) {
        return LoadInputs(
            o, inputs,
            [this] {
                ++stdinReads;
                return stdinBytes;
            },
            [this](const QString &name) -> std::optional<QString> {
                const auto it = env.find(name);
                if (it == env.end()) {
                    return std::nullopt;
                }
                return it->second;
            });
    }
};

struct LineEnds {
    const char *name;
    QString in;
    QString out;
};

class LineEndCase : public ::testing::TestWithParam<LineEnds> {};

TEST_P(LineEndCase, BecomeCrlf) {
    EXPECT_EQ(NormalizeLineEnds(GetParam().in), GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(Table, LineEndCase,
                         ::testing::Values(LineEnds{"Empty", "", ""},
                                           LineEnds{"NoBreak", "abc", "abc"},
                                           LineEnds{"LfLines", "a\nb\n", "a\r\nb\r\n"},
                                           LineEnds{"LeadingLf", "\nx", "\r\nx"},
                                           LineEnds{"BlankLines", "\n\n", "\r\n\r\n"},
                                           LineEnds{"CrlfStays", "a\r\nb\r\n", "a\r\nb\r\n"},
                                           LineEnds{"Mixed", "a\r\nb\nc", "a\r\nb\r\nc"},
                                           LineEnds{"LoneCrStays", "a\rb\n", "a\rb\r\n"}),
                         RowName());

TEST(BodyText, Utf8IsDecodedAndOtherBytesAreTakenOneByOne) {
    EXPECT_EQ(BodyText("Caf\xc3\xa9\n"), QString("Caf") + QChar(0xE9) + "\r\n");
    // A lone 0xE9 is not UTF-8: the whole text is read as Latin-1.
    EXPECT_EQ(BodyText("Caf\xe9 \xc3\xa9"),
              QString("Caf") + QChar(0xE9) + " " + QChar(0xC3) + QChar(0xA9));
}

TEST(LoadInputs, AMissingAttachmentIsNamedBeforeAnythingIsRead) {
    QTemporaryDir dir;
    const QString present = writeFile(dir, "present.txt", "x");
    const QString missing = dir.filePath("missing.pdf");
    Fetch f;
    // No password is set either: the attachment is reported first, and
    // standard input is left alone.
    EXPECT_EQ(f.run(parse({"-a", present, "-a", missing, "--auth", "--user", "u"})),
              "--attach: no such file: " + missing);
    EXPECT_EQ(f.stdinReads, 0);
}

TEST(LoadInputs, AFolderIsNoAttachment) {
    QTemporaryDir dir;
    Fetch f;
    EXPECT_EQ(f.run(parse({"-a", dir.path()})), "--attach: not a regular file: " + dir.path());
}

TEST(LoadInputs, PasswordSources) {
    QTemporaryDir dir;
    const QString pwFile = writeFile(dir, "pw", "s3cret word\r\nsecond line\n");
    const QString longLine = writeFile(dir, "long", QByteArray(64 * 1024 + 1, 'x') + "\n");
    const QStringList auth{"--auth", "--user", "ann", "--body", ""};
    struct Row {
        const char *name;
        QStringList args;
        std::map<QString, QString> env;
        QString error;
        QString password;
    };
    const Row rows[] = {
        {"DefaultVariable", auth, {{"KELMSEND_PASSWORD", "pw1"}}, "", "pw1"},
        {"EmptyButSetVariable", auth, {{"KELMSEND_PASSWORD", ""}}, "", ""},
        {"DefaultVariableUnset",
         auth,
         {},
         "--auth needs a password: set KELMSEND_PASSWORD in the environment, or give "
         "--password-env NAME or --password-file FILE",
         ""},
        {"PopAsksToo",
         {"--pop3", "127.0.0.1", "--user", "ann", "--body", ""},
         {},
         "--pop3 needs a password: set KELMSEND_PASSWORD in the environment, or give "
         "--password-env NAME or --password-file FILE",
         ""},
        {"NamedVariable",
         auth + QStringList{"--password-env", "MAIL_PW"},
         {{"MAIL_PW", "pw2"}, {"KELMSEND_PASSWORD", "not this"}},
         "",
         "pw2"},
        {"NamedVariableUnset",
         auth + QStringList{"--password-env", "MAIL_PW"},
         {{"KELMSEND_PASSWORD", "not this"}},
         "--password-env: the variable MAIL_PW is not set",
         ""},
        {"FileFirstLineWithoutItsLineEnd",
         auth + QStringList{"--password-file", pwFile},
         {{"KELMSEND_PASSWORD", "not this"}},
         "",
         "s3cret word"},
        {"FileMissing",
         auth + QStringList{"--password-file", dir.filePath("nope")},
         {},
         "--password-file: no such file: " + dir.filePath("nope"),
         ""},
        {"FileIsADevice",
         auth + QStringList{"--password-file", "/dev/zero"},
         {},
         "--password-file: cannot read /dev/zero: it is a device",
         ""},
        {"FileWithAnEndlessFirstLine",
         auth + QStringList{"--password-file", longLine},
         {},
         "--password-file: " + longLine + " has a first line longer than 64 KiB",
         ""},
        {"CommandThatPrintsForeverGivesItsFirstLine",
         auth + QStringList{"--password-command", "yes"},
         {},
         "",
         "y"},
        {"CommandThatFailsAfterItsLine",
         auth + QStringList{"--password-command", "echo pw; exit 3"},
         {},
         "--password-command: \"echo pw; exit 3\" failed (exit status 3)",
         ""},
        {"CommandThatLingersAfterItsLineIsEnded",
         auth + QStringList{"--password-command", "echo pw; exec sleep 120"},
         {},
         "",
         "pw"},
        {"CommandWithAnEndlessFirstLine",
         auth + QStringList{"--password-command", "exec tr '\\0' x < /dev/zero"},
         {},
         "--password-command: \"exec tr '\\0' x < /dev/zero\" printed a first line longer "
         "than 64 KiB",
         ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Fetch f;
        f.env = row.env;
        EXPECT_EQ(f.run(parse(row.args)), row.error);
        EXPECT_EQ(f.inputs.password, row.password);
    }
    Fetch f;
    EXPECT_EQ(f.run(parse(auth + QStringList{"--oauth-token-file", "/dev/zero"})),
              "--oauth-token-file: cannot read /dev/zero: it is a device");
}

TEST(LoadInputs, BodySources) {
    QTemporaryDir dir;
    const QString file = writeFile(dir, "body.txt", "from file\n.dot\n");
    struct Row {
        const char *name;
        QStringList args;
        QString body;
        int stdinReads;
    };
    const Row rows[] = {
        {"Option", {"--body", "one\ntwo"}, "one\r\ntwo", 0},
        {"File", {"--body-file", file}, "from file\r\n.dot\r\n", 0},
        {"DashIsStandardInput", {"--body-file", "-"}, "piped\r\n", 1},
        {"NothingGivenReadsStandardInput", {}, "piped\r\n", 1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Fetch f;
        f.stdinBytes = "piped\n";
        EXPECT_EQ(f.run(parse(row.args)), "");
        EXPECT_EQ(f.inputs.body, row.body);
        EXPECT_EQ(f.stdinReads, row.stdinReads);
    }
    Fetch f;
    EXPECT_EQ(f.run(parse({"--body-file", dir.filePath("none.txt")})),
              "--body-file: no such file: " + dir.filePath("none.txt"));
}

// ---- Configure ---------------------------------------------------------------

QStringList entries(const QString &joined) {
    return joined.isEmpty() ? QStringList{} : joined.split(kListDelimiter);
}

TEST(Configure, ListsArriveEntryByEntry) {
    QTemporaryDir dir;
    const QString odd = writeFile(dir, "a,b;c.txt", "12345");
    const QString plain = writeFile(dir, "plain.bin", "xy");
    const Options o = parse({"--to", "b@example.org", "--to-name", "You;Smith, Bob", "--cc",
                             "c@example.com;d@example.com", "--cc-name", "Cee", "--bcc",
                             "e@example.com", "-a", odd, "-a", plain});
    clsSendMail m;
    Configure(m, o, Inputs{});
    EXPECT_EQ(entries(m.Recipient()), (QStringList{"you@example.com", "b@example.org"}));
    EXPECT_EQ(entries(m.RecipientDisplayName()), (QStringList{"You", "Smith, Bob"}));
    EXPECT_EQ(entries(m.CcRecipient()), (QStringList{"c@example.com", "d@example.com"}));
    EXPECT_EQ(entries(m.CcDisplayName()), QStringList{"Cee"});
    EXPECT_EQ(entries(m.BccRecipient()), QStringList{"e@example.com"});
    EXPECT_EQ(m.AttachmentCount(), 2);
    EXPECT_EQ(m.AttachmentFileName(), (QStringList{"a,b;c.txt", "plain.bin"}));
    EXPECT_EQ(m.AttachmentTotalSize(), 7);
    EXPECT_TRUE(m.ErrorList().isEmpty()) << m.ErrorList().join("|").toStdString();
}

// The mappings that need more than copying a value across.
TEST(Configure, OptionsThatBecomeNumbersAndSwitches) {
    Inputs in;
    in.password = "pw";
    clsSendMail m;
    Configure(m,
              parse({"--server", "127.0.0.1:2525", "--html", "--content-base", "server/images",
                     "--priority", "high", "--auth", "--user", "ann", "--timeout", "7"}),
              in);
    EXPECT_EQ(m.SMTPHost(), "127.0.0.1");
    EXPECT_EQ(m.SMTPPort(), 2525);
    EXPECT_EQ(m.ContentBase(), "http://server/images/");
    EXPECT_EQ(m.Priority(), 1);
    EXPECT_EQ(m.PriorityText(), "High");
    EXPECT_EQ(m.EncodeType(), 0);
    EXPECT_TRUE(m.UseAuthentication());
    EXPECT_FALSE(m.UsePopAuthentication());
    EXPECT_EQ(m.Password(), "pw");
    EXPECT_EQ(m.ConnectTimeout(), 7);
    // Host checks keep the component's default level.
    EXPECT_EQ(m.SMTPHostValidation(), 3);

    clsSendMail uu;
    Configure(uu, parse({"--uuencode", "--priority", "low", "--pop3", "127.0.0.1", "--user", "a"}),
              in);
    EXPECT_EQ(uu.EncodeType(), 1);
    EXPECT_EQ(uu.Priority(), 5);
    EXPECT_EQ(uu.POP3Host(), "127.0.0.1");
    EXPECT_TRUE(uu.UsePopAuthentication());
    EXPECT_FALSE(uu.UseAuthentication());
}

TEST(Configure, ValidationFollowsNoValidate) {
    clsSendMail checked;
    Configure(checked, parse({"--to", "not-an-address"}), Inputs{});
    EXPECT_EQ(checked.ErrorList(), QStringList{"Missing or Invalid Recipient E-mail Address"});

    clsSendMail unchecked;
    Configure(unchecked, parse({"--to", "not-an-address", "--no-validate"}), Inputs{});
    EXPECT_EQ(unchecked.EmailAddressValidation(), 0);
    EXPECT_EQ(unchecked.SMTPHostValidation(), 0);
    EXPECT_TRUE(unchecked.ErrorList().isEmpty());
}

TEST(Configure, DryRunAssignsNoHostSoNothingIsLookedUp) {
    // At level 3 an assigned name would be looked up at once; a dry run
    // must not reach any name server.
    clsSendMail m;
    Configure(m, parse({"--server", "mail.invalid:587", "--dry-run"}), Inputs{});
    EXPECT_EQ(m.SMTPHost(), "");
    EXPECT_EQ(m.SMTPPort(), 587);
    EXPECT_TRUE(m.ErrorList().isEmpty()) << m.ErrorList().join("|").toStdString();
}

TEST(CheckAddresses, NamesTheFirstRefusedAddressAndItsOption) {
    const QString tail = " (--no-validate sends it unchecked)";
    struct Row {
        const char *name;
        QStringList args;
        QString error;
    };
    const Row rows[] = {
        {"AllValid", {"--cc", "c@example.org", "--bcc", "b@example.net"}, ""},
        {"BadCc",
         {"--cc", "c@example.org;nobody;d@nowhere"},
         "--cc: not a valid e-mail address: nobody" + tail},
        {"UnknownTopLevelDomain",
         {"--bcc", "b@host.notatld"},
         "--bcc: not a valid e-mail address: b@host.notatld" + tail},
        {"BadSenderFirst",
         {"--from", "me", "--to", "x"},
         "--from: not a valid e-mail address: me" + tail},
        {"NoValidate", {"--from", "me", "--to", "x", "--no-validate"}, ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(CheckAddresses(parse(row.args)), row.error);
    }
}

} // namespace
