#include "mail/send_mail.h"

#include <QDir>
#include <QFile>
#include <QMetaMethod>
#include <QMetaProperty>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "qt_printers.h"
#include "temp_files.h"

#include <cstdlib>
#include <ctime>
#include <unistd.h>

namespace {

const QString MsgRecipient = "Missing or Invalid Recipient E-mail Address";
const QString MsgSMTPHost = "Invalid or Missing SMTP Host Name";
const QString MsgPort = "Invalid Remote Port";
const QString MsgAttachment = "The file you tried to attach does not exist";

} // namespace

TEST(SendMailObject, NewInstanceHasTheFixedDefaults) {
    clsSendMail m;
    EXPECT_EQ(m.SMTPPort(), 25);
    EXPECT_EQ(m.SMTPHostValidation(), 3);
    EXPECT_EQ(m.EmailAddressValidation(), 1);
    EXPECT_EQ(m.ConnectTimeout(), 30);
    EXPECT_EQ(m.MessageTimeout(), 60);
    EXPECT_EQ(m.ConnectRetry(), 4);
    EXPECT_EQ(m.EncodeType(), 0);
    EXPECT_EQ(m.Priority(), 3);
    EXPECT_EQ(m.PriorityText(), "");
    EXPECT_EQ(m.Delimiter(), ";");
    EXPECT_FALSE(m.AsHTML());
    EXPECT_FALSE(m.PersistentSettings());
    EXPECT_EQ(m.Recipient(), "");
    EXPECT_EQ(m.Attachment(), "");
    EXPECT_EQ(m.SMTPHost(), "");
    EXPECT_TRUE(m.ErrorList().isEmpty());
    EXPECT_TRUE(m.XMailer().startsWith("Quorvex Emailer version 1.0 ("));
    EXPECT_TRUE(m.XMailer().endsWith(")"));
    EXPECT_FALSE(m.MailResult);
    EXPECT_EQ(m.MailMessage, "");
    EXPECT_EQ(m.DayNames(), QStringList({"", "Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"}));
    EXPECT_EQ(m.MonthNames().size(), 13);
    EXPECT_EQ(m.MonthNames()[0], "");
    EXPECT_EQ(m.MonthNames()[12], "Dec");
    EXPECT_EQ(m.TLSMode(), 0);
    EXPECT_TRUE(m.TLSVerify());
    EXPECT_EQ(m.TLSCAFile() + m.TLSFingerprint() + m.AuthMechanism() + m.OAuthToken(), "");
    EXPECT_FALSE(m.Pipelining());
    EXPECT_FALSE(m.PartialDelivery());
}

TEST(SendMailObject, PropertiesAreDeclaredInInterfaceOrder) {
    const QStringList expected = {"AsHTML",
                                  "Attachment",
                                  "BccRecipient",
                                  "CcDisplayName",
                                  "CcRecipient",
                                  "ConnectRetry",
                                  "ConnectTimeout",
                                  "ContentBase",
                                  "Delimiter",
                                  "EmailAddressValidation",
                                  "EncodeType",
                                  "from",
                                  "FromDisplayName",
                                  "Message",
                                  "MessageTimeout",
                                  "Password",
                                  "PersistentSettings",
                                  "Priority",
                                  "XMailer",
                                  "Hallo",
                                  "Receipt",
                                  "Recipient",
                                  "RecipientDisplayName",
                                  "ReplyToAddress",
                                  "POP3Host",
                                  "SMTPHost",
                                  "SMTPHostValidation",
                                  "SMTPPort",
                                  "Subject",
                                  "UseAuthentication",
                                  "UsePopAuthentication",
                                  "Username",
                                  "TLSMode",
                                  "TLSVerify",
                                  "TLSCAFile",
                                  "TLSFingerprint",
                                  "AuthMechanism",
                                  "OAuthToken",
                                  "Pipelining",
                                  "PartialDelivery"};
    const QMetaObject &meta = clsSendMail::staticMetaObject;
    QStringList names;
    for (int i = meta.propertyOffset(); i < meta.propertyCount(); ++i) {
        names << meta.property(i).name();
    }
    EXPECT_EQ(names, expected);

    QStringList signalNames;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        if (meta.method(i).methodType() == QMetaMethod::Signal) {
            signalNames << meta.method(i).name();
        }
    }
    EXPECT_EQ(signalNames, QStringList({"SendSuccesful", "SendFailed", "status", "Progress",
                                        "DebugPrint", "RecipientResult"}));
}

TEST(SendMailObject, NumbersOutsideTheirRangeAreIgnored) {
    clsSendMail m;
    m.setSMTPPort(0);
    EXPECT_EQ(m.SMTPPort(), 25);
    m.setSMTPPort(65536);
    EXPECT_EQ(m.SMTPPort(), 25);
    EXPECT_EQ(m.ErrorList(), QStringList{MsgPort});
    m.setSMTPPort(587);
    EXPECT_EQ(m.SMTPPort(), 587);
    EXPECT_TRUE(m.ErrorList().isEmpty());

    m.setConnectRetry(0);
    m.setConnectRetry(21);
    EXPECT_EQ(m.ConnectRetry(), 4);
    m.setConnectRetry(20);
    EXPECT_EQ(m.ConnectRetry(), 20);
    m.setConnectTimeout(121);
    m.setConnectTimeout(0);
    EXPECT_EQ(m.ConnectTimeout(), 30);
    m.setConnectTimeout(1);
    EXPECT_EQ(m.ConnectTimeout(), 1);

    m.setMessageTimeout(-45);
    EXPECT_EQ(m.MessageTimeout(), 45);
    m.setMessageTimeout(std::numeric_limits<int32_t>::min());
    EXPECT_EQ(m.MessageTimeout(), std::numeric_limits<int32_t>::max());

    m.setTLSMode(3);
    m.setTLSMode(4);
    m.setTLSMode(-1);
    EXPECT_EQ(m.TLSMode(), 3);
}

TEST(SendMailObject, AFingerprintThatIsNotOneIsRecordedAndNotTaken) {
    clsSendMail m;
    const QString pin = QString("0A").repeated(32);
    m.setTLSFingerprint("AB:CD");
    EXPECT_EQ(m.ErrorList(), QStringList{"Invalid TLS Fingerprint"});
    m.setTLSFingerprint(pin);
    EXPECT_EQ(m.TLSFingerprint(), pin);
    EXPECT_TRUE(m.ErrorList().isEmpty());
    m.setTLSFingerprint(pin + "0");
    EXPECT_EQ(m.TLSFingerprint(), pin);
    m.setTLSFingerprint("");
    EXPECT_EQ(m.TLSFingerprint(), "");
    EXPECT_TRUE(m.ErrorList().isEmpty());
}

TEST(SendMailObject, PriorityKeepsAnyNumberButOnlyNamesOneThreeFive) {
    clsSendMail m;
    m.setPriority(2);
    EXPECT_EQ(m.Priority(), 2);
    EXPECT_EQ(m.PriorityText(), "");
    m.setPriority(5);
    EXPECT_EQ(m.PriorityText(), "Low");
    m.setPriority(4);
    EXPECT_EQ(m.Priority(), 4);
    EXPECT_EQ(m.PriorityText(), "Low");
    m.setPriority(1);
    EXPECT_EQ(m.PriorityText(), "High");
}

TEST(SendMailObject, DelimiterSplitsAndJoinsListsAndEntriesAreTrimmed) {
    clsSendMail m;
    m.setDelimiter(",;");
    EXPECT_EQ(m.Delimiter(), ",");
    m.setRecipient("a@example.com,b@example.org");
    m.setDelimiter(";");
    EXPECT_EQ(m.Recipient(), "a@example.com;b@example.org");

    m.setRecipient(" a@example.com ;b@example.org");
    EXPECT_EQ(m.Recipient(), "a@example.com;b@example.org");
    EXPECT_TRUE(m.ErrorList().isEmpty());
    // The check sees the value as given (a CR LF fails it); the stored entry
    // is normalised all the same.
    m.setRecipient("c@example.com\r\n");
    EXPECT_EQ(m.Recipient(), "c@example.com");
    EXPECT_EQ(m.ErrorList(), QStringList{MsgRecipient});

    m.setDelimiter("");
    EXPECT_EQ(m.Delimiter(), "");
    m.setRecipientDisplayName("One;Two");
    EXPECT_EQ(m.RecipientDisplayName(), "One;Two") << "no delimiter: one entry";
}

TEST(SendMailObject, AddressListsRecordOneMessageAtTheFirstBadEntry) {
    clsSendMail m;
    m.setRecipient("a@example.com;nobody;c@");
    EXPECT_EQ(m.ErrorList(), QStringList{MsgRecipient});
    m.setRecipient("a@example.com;nobody;c@");
    EXPECT_EQ(m.ErrorList().size(), 1) << "the same message is held once";

    // Validation looks at the value as given, not as normalised: a trailing
    // tab fails the check although the stored entry loses it.
    m.setRecipient("a@example.com\t");
    EXPECT_EQ(m.ErrorList(), QStringList{MsgRecipient});
    EXPECT_EQ(m.Recipient(), "a@example.com");

    m.setEmailAddressValidation(0);
    m.setRecipient("word");
    EXPECT_TRUE(m.ErrorList().isEmpty()) << "level 0 checks nothing and clears the old message";

    m.setEmailAddressValidation(1);
    m.setCcRecipient("x");
    m.setBccRecipient("y");
    m.setFrom("  me@example.com  ");
    EXPECT_EQ(m.from(), "me@example.com");
    EXPECT_EQ(m.ErrorList(), QStringList({"Invalid Cc: Recipient E-mail Address",
                                          "Invalid Bcc: Recipient E-mail Address"}));
    m.setFrom("me");
    EXPECT_EQ(m.ErrorList().last(), "Missing or Invalid Sender E-mail Address");
    m.setRecipient("");
    EXPECT_FALSE(m.ErrorList().contains(MsgRecipient));
}

TEST(SendMailObject, HostChecksFollowTheValidationLevel) {
    clsSendMail m;
    m.setSMTPHost("");
    EXPECT_EQ(m.SMTPHost(), "");
    EXPECT_TRUE(m.ErrorList().isEmpty());

    // Level 3 looks the name up (answered from /etc/hosts) and keeps it trimmed.
    m.setSMTPHost(" localhost ");
    EXPECT_EQ(m.SMTPHost(), "localhost");

    m.setSMTPHostValidation(1);
    m.setSMTPHost("mail.example.com");
    EXPECT_EQ(m.SMTPHost(), "mail.example.com");
    m.setSMTPHost("mailhost");
    EXPECT_EQ(m.SMTPHost(), "mail.example.com") << "a rejected host keeps the old one";
    EXPECT_EQ(m.ErrorList(), QStringList{MsgSMTPHost});
    m.setPOP3Host("popper");
    EXPECT_EQ(m.POP3Host(), "");
    EXPECT_EQ(m.ErrorList().size(), 2);

    // Changing the level re-checks the SMTP host (only): mailhost was never
    // taken, so mail.example.com is re-checked and passes at level 0.
    m.setSMTPHostValidation(0);
    EXPECT_EQ(m.ErrorList(), QStringList{"Invalid or Missing POP3 Host Name"});
    m.setSMTPHost(QString("mailhost") + QChar(0));
    EXPECT_EQ(m.SMTPHost(), "mailhost") << "NUL characters are removed";

    m.setSMTPHostValidation(1);
    EXPECT_EQ(m.SMTPHost(), "mailhost");
    EXPECT_TRUE(m.ErrorList().contains(MsgSMTPHost)) << "re-checked under level 1";
}

// IPv6 literals are taken at every level, without brackets, and never
// looked up; a broken one is the host's usual error. At level 2 the echo
// (ICMPv6 to ::1) rewrites the text to the address that answered.
TEST(SendMailObject, HostsTakeIPv6LiteralsAtEveryLevel) {
    const QString MsgPOP3Host = "Invalid or Missing POP3 Host Name";
    const struct {
        QList<int> levels;
        QString given, kept; // kept "" : rejected
    } cases[] = {
        {{0, 1, 3, 42}, "::1", "::1"},
        {{0, 1, 3, 42}, " [2001:db8::25] ", "2001:db8::25"},
        {{0, 1, 3, 42}, "2001:DB8::25", "2001:DB8::25"},
        {{0, 1, 2, 3, 42}, ":::1", ""},
        {{0, 1, 2, 3, 42}, "[::1", ""},
        {{0, 1, 2, 3, 42}, "2001:db8::g", ""},
        {{0, 1, 2, 3, 42}, "[::1]:25", ""},
        {{0, 1, 2, 3, 42}, "[mail.example.com]", ""},
        {{2}, "[0:0::1]", "::1"},
    };
    const bool mayPing = ::geteuid() == 0;
    for (const auto &c : cases) {
        for (int level : c.levels) {
            if (level == 2 && !c.kept.isEmpty() && !mayPing)
                continue; // an ICMP socket needs root here
            SCOPED_TRACE(c.given.toStdString() + " at level " + std::to_string(level));
            clsSendMail m;
            m.setSMTPHostValidation(0);
            m.setSMTPHost("192.0.2.1");
            m.setPOP3Host("192.0.2.2");
            m.setSMTPHostValidation(level);
            m.setSMTPHost(c.given);
            m.setPOP3Host(c.given);
            if (c.kept.isEmpty()) {
                EXPECT_EQ(m.SMTPHost(), "192.0.2.1");
                EXPECT_EQ(m.POP3Host(), "192.0.2.2");
                EXPECT_EQ(m.ErrorList(), (QStringList{MsgSMTPHost, MsgPOP3Host}));
            } else {
                EXPECT_EQ(m.SMTPHost(), c.kept);
                EXPECT_EQ(m.POP3Host(), c.kept);
                EXPECT_TRUE(m.ErrorList().isEmpty());
            }
        }
    }
}

TEST(SendMailObject, ContentBaseIsNormalisedToAnHttpFolder) {
    clsSendMail m;
    m.setContentBase("server\\images");
    EXPECT_EQ(m.ContentBase(), "http://server/images/");
    m.setContentBase("HTTP://Server/Pics/");
    EXPECT_EQ(m.ContentBase(), "HTTP://Server/Pics/");
    m.setContentBase("");
    EXPECT_EQ(m.ContentBase(), "");
}

TEST(SendMailObject, AttachmentsAreMeasuredUntilTheFirstMissingFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QString first = writeFile(dir, "first.bin", QByteArray(100, 'x'));
    QString second = writeFile(dir, "second.txt", QByteArray(7, 'x'));

    clsSendMail m;
    m.setAttachment(first + ";" + second);
    EXPECT_EQ(m.AttachmentCount(), 2);
    EXPECT_EQ(m.AttachmentTotalSize(), 107);
    EXPECT_EQ(m.AttachmentFileName(), QStringList({"first.bin", "second.txt"}));
    EXPECT_EQ(m.AttachmentNameLength(), 19);
    EXPECT_EQ(m.AttachmentEmbedded(), QVector<bool>({false, false}));
    EXPECT_TRUE(m.ErrorList().isEmpty());

    m.setAttachment(first + ";" + dir.filePath("missing") + ";" + second);
    EXPECT_EQ(m.AttachmentCount(), 3);
    EXPECT_EQ(m.AttachmentFileName(), QStringList({"first.bin", "", ""}));
    EXPECT_EQ(m.AttachmentTotalSize(), 100);
    EXPECT_EQ(m.ErrorList(), QStringList{MsgAttachment});

    m.setAttachment(dir.path());
    EXPECT_EQ(m.ErrorList(), QStringList{MsgAttachment}) << "a folder is not a file";

    m.setAttachment("");
    EXPECT_EQ(m.AttachmentCount(), 0);
    EXPECT_TRUE(m.ErrorList().isEmpty());

    m.setAttachment("C:\\docs\\" + QString("x") + ";" + first);
    EXPECT_EQ(m.ErrorList(), QStringList{MsgAttachment});
}

TEST(SendMailObject, ClearEmptiesTheMessageAndKeepsTheSettings) {
    QTemporaryDir dir;
    clsSendMail m;
    m.setSMTPHostValidation(0);
    m.setSMTPHost("smtp.example.com");
    m.setUsername("user");
    m.setAsHTML(true);
    m.setSMTPPort(0);
    m.setRecipient("a@example.com");
    m.setSubject("s");
    m.setMessage("body");
    m.setPriority(5);
    m.setDelimiter(",");
    m.setAttachment(writeFile(dir, "a", QByteArray(3, 'x')));
    EXPECT_FALSE(m.Clear());
    EXPECT_EQ(m.SMTPHost(), "smtp.example.com");
    EXPECT_EQ(m.Username(), "user");
    EXPECT_TRUE(m.AsHTML());
    EXPECT_EQ(m.ErrorList(), QStringList{MsgPort});
    EXPECT_EQ(m.Recipient(), "");
    EXPECT_EQ(m.Subject(), "");
    EXPECT_EQ(m.Message(), "");
    EXPECT_EQ(m.Priority(), 3);
    EXPECT_EQ(m.PriorityText(), "Low");
    EXPECT_EQ(m.Delimiter(), ";");
    EXPECT_EQ(m.AttachmentCount(), 0);
    EXPECT_EQ(m.AttachmentTotalSize(), 0);
}

TEST(SendMailObject, MessageIsPreparedAndFlaggedEightBit) {
    clsSendMail m;
    m.setMessage(".one\r\ntwo\r\n.three");
    EXPECT_EQ(m.Message(), "..one\r\ntwo\r\n..three");
    EXPECT_FALSE(m.MessageIs8Bit());
    m.setMessage(QString("caf") + QChar(0xE9));
    EXPECT_TRUE(m.MessageIs8Bit());
    m.setMessage(QString("del") + QChar(127));
    EXPECT_TRUE(m.MessageIs8Bit()) << "127 counts as 8-bit";
    m.setMessage("plain~");
    EXPECT_FALSE(m.MessageIs8Bit());
}

// The suffix is taken from the local zone at creation (TZ decides here).
class TimeZoneSuffixTest : public ::testing::TestWithParam<std::pair<const char *, const char *>> {
};

TEST_P(TimeZoneSuffixTest, SuffixFollowsTheLocalOffset) {
    const char *saved = std::getenv("TZ");
    std::string old = saved ? saved : "";
    setenv("TZ", GetParam().first, 1);
    tzset();
    clsSendMail m;
    EXPECT_EQ(m.TimeZoneSuffix(), GetParam().second) << GetParam().first;
    if (saved) {
        setenv("TZ", old.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

// POSIX TZ strings: "XXX-1" is one hour east of UTC (bias -60).
INSTANTIATE_TEST_SUITE_P(
    Biases, TimeZoneSuffixTest,
    ::testing::Values(std::pair{"XXX-1", "+0100"}, std::pair{"XXX5", "-0500"},
                      std::pair{"XXX-5:45", "+0545"}, std::pair{"XXX0:30", "-0030"},
                      std::pair{"XXX3:30", "-0330"}, std::pair{"UTC0", "+0000"},
                      // Daylight time all year round: standard -5, daylight -4.
                      std::pair{"EST5EDT4,0/0,J365/25", "-0400"}));
