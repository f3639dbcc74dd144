#include "mime/compose.h"

#include "mail/mail_tools.h"
#include "mime/content_type.h"
#include "mime/encoders.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimeZone>
#include <gtest/gtest.h>

using namespace sendmail;
using Kind = Transmission::Kind;

namespace {

const QString kBoundary = QStringLiteral("----_=_NextPart_000_0000B51B.02ED8D7D");

// 7 December 2026, 11:47:22 local time; the test runs with TZ one hour
// east of UTC (see compose_test.cmake), so the clock is given in UTC.
QDateTime FixedClock() {
    return QDateTime(QDate(2026, 12, 7), QTime(10, 47, 22), Qt::UTC);
}

QString Lines(const QStringList &lines) {
    return lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n");
}

// The wire text, with each FileData unit shown as one placeholder line.
QString Render(const QList<Transmission> &list) {
    QString out;
    for (const Transmission &t : list) {
        if (t.kind == Kind::Text || t.kind == Kind::EndOfData)
            out += t.text;
        else if (t.kind == Kind::FileData)
            out += QStringLiteral("<file %1 %2>\r\n")
                       .arg(t.attachment)
                       .arg(t.encoding == FileEncoding::Base64 ? "base64" : "uu");
    }
    return out;
}

QStringList Reports(const QList<Transmission> &list) {
    QStringList out;
    for (const Transmission &t : list)
        if (t.debugText)
            out << *t.debugText;
    return out;
}

QList<Kind> Kinds(const QList<Transmission> &list) {
    QList<Kind> out;
    for (const Transmission &t : list)
        out << t.kind;
    return out;
}

// The header block only: everything before the first empty line.
QStringList HeaderLines(const QList<Transmission> &list) {
    const QString text = Render(list);
    return text.left(text.indexOf(QStringLiteral("\r\n\r\n"))).split(QStringLiteral("\r\n"));
}

MessageDraft PlainDraft() {
    MessageDraft d;
    d.from = QStringLiteral("f@example.com");
    d.fromDisplayName = QStringLiteral("Dora Sender");
    d.recipients = {QStringLiteral("r@example.org")};
    d.recipientDisplayNames = {QString()};
    d.subject = QStringLiteral("Status report");
    d.message = QStringLiteral("Line one\r\nLine two");
    d.xMailer = QStringLiteral("Mailer X 1.0");
    d.timeZoneSuffix = QStringLiteral("+0100");
    d.now = FixedClock();
    d.messageId = QStringLiteral("0123456789abcdef0123456789abcdef@example.com");
    return d;
}

const QString kMessageId =
    QStringLiteral("Message-ID: <0123456789abcdef0123456789abcdef@example.com>");

const QStringList kCommonHeaders = {
    QStringLiteral("From: \"Dora Sender\" <f@example.com>"),
    QStringLiteral("To: \"r@example.org\" <r@example.org>"),
    QStringLiteral("Subject: Status report"),
    QStringLiteral("Date: Mon, 7 Dec 2026 11:47:22 +0100"),
    kMessageId,
};

// A table of content types that the tests control.
class ComposeWithTable : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        QFile table(dir.filePath(QStringLiteral("mime.types")));
        ASSERT_TRUE(table.open(QIODevice::WriteOnly));
        table.write("image/gif gif\napplication/pdf pdf\napplication/x-test-data dat\n");
        table.close();
        SetMimeTypesPathForTesting(table.fileName());
    }
    void TearDown() override { SetMimeTypesPathForTesting(QString()); }
    QTemporaryDir dir;
};

TEST(ComposeClock, RunsInTheTestTimeZone) {
    // Guards the golden texts below: they assume local time is UTC + 1.
    EXPECT_EQ(FixedClock().toLocalTime().time(), QTime(11, 47, 22));
}

// ---------------------------------------------------------------- skeletons

TEST(ComposeSkeleton, PlainTextWithoutAttachments) {
    const QList<Transmission> list = ComposeMessage(PlainDraft());
    EXPECT_EQ(Render(list), Lines(kCommonHeaders + QStringList{
                                                       "MIME-Version: 1.0",
                                                       "X-Mailer: Mailer X 1.0",
                                                       "Content-Type: text/plain;",
                                                       "\tcharset=\"iso-8859-1\"",
                                                       "Content-Transfer-Encoding: 7bit",
                                                       "",
                                                       "",
                                                       "Line one",
                                                       "Line two",
                                                       "",
                                                       "",
                                                       ".",
                                                   }));
    EXPECT_EQ(Reports(list), (kCommonHeaders + QStringList{
                                                   "MIME-Version: 1.0",
                                                   "X-Mailer: Mailer X 1.0",
                                                   "Content-Type: text/plain;",
                                                   "\tcharset=\"iso-8859-1\"",
                                                   "Content-Transfer-Encoding: 7bit",
                                                   "\r\n",
                                                   "Line one\r\nLine two\r\n\r\n",
                                                   ".",
                                               }));
    // One transmission per header line, one for the blank lines, one for
    // the text, then the end of data.
    ASSERT_EQ(list.size(), 13);
    EXPECT_EQ(list.last().kind, Kind::EndOfData);
    EXPECT_EQ(list.last().text, QStringLiteral(".\r\n"));
    for (qsizetype i = 0; i + 1 < list.size(); ++i)
        EXPECT_EQ(list[i].kind, Kind::Text) << i;
}

TEST_F(ComposeWithTable, HtmlWithAnEmbeddedFile) {
    MessageDraft d = PlainDraft();
    d.asHtml = true;
    d.contentBase = QStringLiteral("http://server/images/");
    d.message = QStringLiteral("<html><body><img src=\"images/logo.gif\"></body></html>");
    d.attachmentFileNames = {QStringLiteral("logo.gif")};
    d.attachmentEmbedded = {false};
    d.hasEmbedded =
        LinkEmbeddedFiles(d.message, d.attachmentFileNames, d.attachmentEmbedded, d.asHtml);
    ASSERT_TRUE(d.hasEmbedded);

    const QList<Transmission> list = ComposeMessage(d);
    const QString b = kBoundary;
    EXPECT_EQ(Render(list),
              Lines(kCommonHeaders + QStringList{
                                         "MIME-Version: 1.0",
                                         "X-Mailer: Mailer X 1.0",
                                         "Content-Type: multipart/related;",
                                         "\tboundary=\"" + b + "\"",
                                         "",
                                         "This is a multi-part message in MIME format.",
                                         "",
                                         "--" + b,
                                         "Content-Type: text/html;",
                                         "\tcharset=\"iso-8859-1\"",
                                         "Content-Transfer-Encoding: 7bit",
                                         "Content-Base: \"http://server/images/\"",
                                         "",
                                         "",
                                         "<html><body><img src=\"cid:logo.gif\"></body></html>",
                                         "",
                                         "",
                                         "--" + b,
                                         "Content-Type: image/gif;",
                                         "\tname=\"logo.gif\"",
                                         "Content-Transfer-Encoding: base64",
                                         "Content-Disposition: attachment;",
                                         "\tfilename=\"logo.gif\"",
                                         "Content-ID: <logo.gif>",
                                         "",
                                         "<file 0 base64>",
                                         "",
                                         "--" + b + "--",
                                         ".",
                                     }));
    EXPECT_EQ(Reports(list),
              (kCommonHeaders + QStringList{
                                    "MIME-Version: 1.0",
                                    "X-Mailer: Mailer X 1.0",
                                    "Content-Type: multipart/related;",
                                    "\tboundary=\"" + b + "\"\r\n",
                                    "This is a multi-part message in MIME format.\r\n",
                                    "--" + b,
                                    "Content-Type: text/html;",
                                    "\tcharset=\"iso-8859-1\"",
                                    "Content-Transfer-Encoding: 7bit",
                                    "Content-Base: \"http://server/images/\"",
                                    "\r\n",
                                    "<html><body><img src=\"cid:logo.gif\"></body></html>\r\n\r\n",
                                    "--" + b + "--",
                                    ".",
                                }));
    // The attachment: status first, its header lines one by one, the blank
    // line, the file, the closing line break, then the buffer wait.
    const qsizetype start = Kinds(list).indexOf(Kind::AttachmentStart);
    ASSERT_GT(start, 0);
    EXPECT_EQ(list[start].status, QStringLiteral("Sending Embedded File, logo.gif..."));
    EXPECT_EQ(list[start].attachment, 0);
    EXPECT_EQ(Kinds(list).mid(start),
              (QList<Kind>{Kind::AttachmentStart, Kind::Text, Kind::Text, Kind::Text, Kind::Text,
                           Kind::Text, Kind::Text, Kind::Text, Kind::Text, Kind::FileData,
                           Kind::Text, Kind::AttachmentDone, Kind::Text, Kind::EndOfData}));
    EXPECT_EQ(list[start + 9].attachment, 0);
    EXPECT_EQ(list[start + 11].attachment, 0);
}

TEST_F(ComposeWithTable, PlainTextWithAnAttachmentIsMixed) {
    MessageDraft d = PlainDraft();
    d.contentBase = QStringLiteral("http://server/"); // not used without HTML
    d.attachmentFileNames = {QStringLiteral("report.pdf")};
    d.attachmentEmbedded = {true}; // left from an earlier send
    d.hasEmbedded = false;
    const QList<Transmission> list = ComposeMessage(d);
    const QString b = kBoundary;
    EXPECT_EQ(Render(list),
              Lines(kCommonHeaders + QStringList{
                                         "MIME-Version: 1.0",
                                         "X-Mailer: Mailer X 1.0",
                                         "Content-Type: multipart/mixed;",
                                         "\tboundary=\"" + b + "\"",
                                         "",
                                         "This is a multi-part message in MIME format.",
                                         "",
                                         "--" + b,
                                         "Content-Type: text/plain;",
                                         "\tcharset=\"iso-8859-1\"",
                                         "Content-Transfer-Encoding: 7bit",
                                         "",
                                         "",
                                         "Line one",
                                         "Line two",
                                         "",
                                         "",
                                         "--" + b,
                                         "Content-Type: application/pdf;",
                                         "\tname=\"report.pdf\"",
                                         "Content-Transfer-Encoding: base64",
                                         "Content-Disposition: attachment;",
                                         "\tfilename=\"report.pdf\"",
                                         "",
                                         "<file 0 base64>",
                                         "",
                                         "--" + b + "--",
                                         ".",
                                     }));
}

TEST_F(ComposeWithTable, HtmlNotReferringToItsAttachmentIsMixed) {
    MessageDraft d = PlainDraft();
    d.asHtml = true;
    d.message = QStringLiteral("<p>See the attached report.</p>");
    d.attachmentFileNames = {QStringLiteral("report.pdf")};
    d.attachmentEmbedded = {false};
    d.hasEmbedded =
        LinkEmbeddedFiles(d.message, d.attachmentFileNames, d.attachmentEmbedded, d.asHtml);
    EXPECT_FALSE(d.hasEmbedded);
    const QString text = Render(ComposeMessage(d));
    EXPECT_TRUE(text.contains(QStringLiteral("Content-Type: multipart/mixed;\r\n")));
    EXPECT_TRUE(text.contains(QStringLiteral("Content-Type: text/html;\r\n")));
    EXPECT_FALSE(text.contains(QStringLiteral("Content-ID")));
    EXPECT_FALSE(text.contains(QStringLiteral("Content-Base")));
}

TEST_F(ComposeWithTable, UuencodeModeHasNoMimeLinesWhateverTheProperties) {
    MessageDraft d = PlainDraft();
    d.encodeType = 1;
    d.priority = 1;
    d.priorityText = QStringLiteral("High");
    d.receipt = true;
    d.contentBase = QStringLiteral("http://server/");
    d.messageIs8Bit = true;
    d.attachmentFileNames = {QStringLiteral("data.dat")};
    d.attachmentEmbedded = {false};
    const QList<Transmission> list = ComposeMessage(d);
    EXPECT_EQ(Render(list), Lines(kCommonHeaders + QStringList{
                                                       "",
                                                       "",
                                                       "Line one",
                                                       "Line two",
                                                       "",
                                                       "",
                                                       "begin 600 data.dat",
                                                       "<file 0 uu>",
                                                       "`",
                                                       "end",
                                                       ".",
                                                   }));
    EXPECT_EQ(Reports(list), (kCommonHeaders + QStringList{
                                                   "\r\n",
                                                   "Line one\r\nLine two\r\n\r\n",
                                                   "begin 600 data.dat",
                                                   "end",
                                                   ".",
                                               }));
    const qsizetype start = Kinds(list).indexOf(Kind::AttachmentStart);
    EXPECT_EQ(list[start].status, QStringLiteral("Sending Attachment, data.dat..."));
    EXPECT_EQ(Kinds(list).mid(start),
              (QList<Kind>{Kind::AttachmentStart, Kind::Text, Kind::FileData, Kind::Text,
                           Kind::Text, Kind::AttachmentDone, Kind::EndOfData}));
}

// ---------------------------------------------------------------- header lines

TEST(ComposeHeaders, TwoRecipientsFoldOntoAContinuationLine) {
    MessageDraft d = PlainDraft();
    d.recipients = {QStringLiteral("ann@example.org"), QStringLiteral("bob@example.org")};
    d.recipientDisplayNames = {QStringLiteral("Ann")}; // shorter list: no name for Bob
    const QStringList lines = HeaderLines(ComposeMessage(d));
    EXPECT_EQ(lines[1], QStringLiteral("To: \"Ann\" <ann@example.org>, "));
    EXPECT_EQ(lines[2], QStringLiteral("\t\"bob@example.org\" <bob@example.org>"));
    EXPECT_EQ(lines[3], QStringLiteral("Subject: Status report"));
}

TEST(ComposeHeaders, CcLineFollowsToAndIsNotReported) {
    MessageDraft d = PlainDraft();
    d.ccRecipients = {QStringLiteral("c1@example.org"), QStringLiteral("c2@example.org")};
    d.ccDisplayNames = {QString(), QStringLiteral("Carl")};
    const QList<Transmission> list = ComposeMessage(d);
    const QStringList lines = HeaderLines(list);
    EXPECT_EQ(lines[2], QStringLiteral("Cc: \"c1@example.org\" <c1@example.org>, "));
    EXPECT_EQ(lines[3], QStringLiteral("\t\"Carl\" <c2@example.org>"));
    EXPECT_EQ(lines[4], QStringLiteral("Subject: Status report"));
    for (const QString &report : Reports(list))
        EXPECT_FALSE(report.startsWith(QStringLiteral("Cc:")));
}

TEST(ComposeHeaders, NoToRecipientsGivesAnEmptyToLine) {
    MessageDraft d = PlainDraft();
    d.recipients.clear();
    d.recipientDisplayNames.clear();
    d.bccRecipients = {QStringLiteral("hidden@example.org")};
    const QStringList lines = HeaderLines(ComposeMessage(d));
    EXPECT_EQ(lines[1], QStringLiteral("To: "));
    EXPECT_FALSE(lines.join(QString()).contains(QStringLiteral("hidden")));
}

TEST(ComposeHeaders, DisplayNamesEncodedWithoutQuotesOrQuotedWithEscapes) {
    MessageDraft d = PlainDraft();
    d.fromDisplayName = QStringLiteral("Zo\u00eb M\u00fcller");
    d.recipientDisplayNames = {QStringLiteral("The \"Boss\" \\o/")};
    const QStringList lines = HeaderLines(ComposeMessage(d));
    EXPECT_EQ(lines[0], QStringLiteral("From: =?ISO-8859-1?Q?Zo=EB_M=FCller?= <f@example.com>"));
    EXPECT_EQ(lines[1], QStringLiteral("To: \"The \\\"Boss\\\" \\\\o/\" <r@example.org>"));
}

TEST(ComposeHeaders, SubjectPlainEmptyAndEncoded) {
    MessageDraft d = PlainDraft();
    d.subject = QString();
    EXPECT_EQ(HeaderLines(ComposeMessage(d))[2], QStringLiteral("Subject: "));
    d.subject = QStringLiteral("\"quoted\" as is");
    EXPECT_EQ(HeaderLines(ComposeMessage(d))[2], QStringLiteral("Subject: \"quoted\" as is"));
    d.subject = QStringLiteral("Caf\u00e9");
    EXPECT_EQ(HeaderLines(ComposeMessage(d))[2],
              QStringLiteral("Subject: =?ISO-8859-1?Q?Caf=E9?="));
}

struct OptionalLines {
    const char *name;
    qint32 priority;
    const char *priorityText;
    const char *xMailer;
    bool receipt;
    bool is8Bit;
    const char *replyTo;
    QStringList expected; // the header lines between Subject and Content-Type
};

class ComposeOptionalHeaders : public ::testing::TestWithParam<OptionalLines> {};

TEST_P(ComposeOptionalHeaders, AppearOnlyUnderTheirConditions) {
    const OptionalLines &p = GetParam();
    MessageDraft d = PlainDraft();
    d.priority = p.priority;
    d.priorityText = QString::fromUtf8(p.priorityText);
    d.xMailer = QString::fromUtf8(p.xMailer);
    d.receipt = p.receipt;
    d.messageIs8Bit = p.is8Bit;
    d.replyToAddress = QString::fromUtf8(p.replyTo);
    const QStringList lines = HeaderLines(ComposeMessage(d));
    const qsizetype from = 3; // after Subject
    const qsizetype to = lines.indexOf(QStringLiteral("Content-Type: text/plain;"));
    ASSERT_GT(to, from);
    EXPECT_EQ(lines.mid(from, to - from), p.expected);
    EXPECT_EQ(lines.last(), p.is8Bit ? QStringLiteral("Content-Transfer-Encoding: 8bit")
                                     : QStringLiteral("Content-Transfer-Encoding: 7bit"));
}

const QString kDate = QStringLiteral("Date: Mon, 7 Dec 2026 11:47:22 +0100");
const QString kMime = QStringLiteral("MIME-Version: 1.0");

INSTANTIATE_TEST_SUITE_P(
    Cases, ComposeOptionalHeaders,
    ::testing::Values(
        OptionalLines{"Defaults",
                      3,
                      "Normal",
                      "M",
                      false,
                      false,
                      "",
                      {kDate, kMessageId, kMime, "X-Mailer: M"}},
        OptionalLines{
            "HighPriority",
            1,
            "High",
            "M",
            false,
            false,
            "",
            {kDate, kMessageId, kMime, "X-Priority: 1", "X-MSMail-Priority: High", "X-Mailer: M"}},
        OptionalLines{
            "UnnamedPriority",
            2,
            "",
            "M",
            false,
            false,
            "",
            {kDate, kMessageId, kMime, "X-Priority: 2", "X-MSMail-Priority: ", "X-Mailer: M"}},
        OptionalLines{"BlankMailer", 3, "", "   ", false, false, "", {kDate, kMessageId, kMime}},
        OptionalLines{"EmptyMailer", 3, "", "", false, false, "", {kDate, kMessageId, kMime}},
        OptionalLines{"MailerKeptAsStored",
                      3,
                      "",
                      " M 2 ",
                      false,
                      false,
                      "",
                      {kDate, kMessageId, kMime, "X-Mailer:  M 2 "}},
        OptionalLines{"Receipt",
                      3,
                      "",
                      "",
                      true,
                      false,
                      "",
                      {kDate, kMessageId, kMime,
                       "Disposition-Notification-To: \"Dora Sender\" <f@example.com>"}},
        OptionalLines{"ReplyToBeforeDate",
                      3,
                      "",
                      "",
                      false,
                      true,
                      "back@example.com",
                      {"Reply-to: <back@example.com>", kDate, kMessageId, kMime}}),
    [](const ::testing::TestParamInfo<OptionalLines> &i) { return std::string(i.param.name); });

TEST(ComposeHeaders, ReportedTextsOfTheOptionalLines) {
    MessageDraft d = PlainDraft();
    d.receipt = true;
    d.replyToAddress = QStringLiteral("back@example.com");
    d.priority = 5;
    d.priorityText = QStringLiteral("Low");
    const QStringList reports = Reports(ComposeMessage(d));
    EXPECT_TRUE(reports.contains(
        QStringLiteral("Disposition-Notification-To: \"Dora Sender\" <f@example.com>\r\n")));
    EXPECT_TRUE(reports.contains(QStringLiteral("X-Priority: 5")));
    EXPECT_TRUE(reports.contains(QStringLiteral("X-MSMail-Priority: Low")));
    for (const QString &report : reports)
        EXPECT_FALSE(report.startsWith(QStringLiteral("Reply-to")));
}

// No text that stands in a header unencoded can start a header line.
TEST_F(ComposeWithTable, LineBreaksInHeaderTextsBecomeSpaces) {
    MessageDraft d = PlainDraft();
    const QString evil = QStringLiteral("\r\nX-Evil: 1\n");
    d.subject = QStringLiteral("Hi") + evil;
    d.fromDisplayName = QStringLiteral("Dora") + evil;
    d.recipients = {QStringLiteral("r@example.org") + evil};
    d.recipientDisplayNames = {QString()};
    d.ccRecipients = {QStringLiteral("c@example.org")};
    d.ccDisplayNames = {QStringLiteral("Carl") + evil};
    d.replyToAddress = QStringLiteral("back@example.com") + evil;
    d.xMailer = QStringLiteral("M") + evil;
    d.asHtml = true;
    d.contentBase = QStringLiteral("http://server/") + evil;
    d.attachmentFileNames = {QStringLiteral("a") + evil + QStringLiteral(".gif")};
    d.attachmentEmbedded = {true};
    d.hasEmbedded = true;
    d.receipt = true;
    const QString text = Render(ComposeMessage(d));
    const QStringList lines = text.split(QStringLiteral("\r\n"));
    for (const QString &line : lines) {
        EXPECT_FALSE(line.startsWith(QStringLiteral("X-Evil"))) << line.toStdString();
        EXPECT_FALSE(line.contains(QLatin1Char('\r')) || line.contains(QLatin1Char('\n')))
            << line.toStdString();
    }
    EXPECT_TRUE(lines.contains(QStringLiteral("Subject: Hi  X-Evil: 1 ")));
    EXPECT_TRUE(lines.contains(QStringLiteral("Reply-to: <back@example.com  X-Evil: 1 >")));
    EXPECT_TRUE(lines.contains(QStringLiteral("Content-ID: <a  X-Evil: 1 .gif>")));

    MessageDraft uu = d;
    uu.encodeType = 1;
    uu.asHtml = false;
    EXPECT_TRUE(Render(ComposeMessage(uu))
                    .split(QStringLiteral("\r\n"))
                    .contains(QStringLiteral("begin 600 a  X-Evil: 1 .gif")));
}

// ---------------------------------------------------------------- clock

struct ClockCase {
    QDateTime local;
    const char *suffix;
    const char *date;
    const char *boundary;
};

class ComposeClockValues : public ::testing::TestWithParam<ClockCase> {};

TEST_P(ComposeClockValues, DateLineAndBoundary) {
    EXPECT_EQ(DateLine(GetParam().local, QString::fromLatin1(GetParam().suffix)),
              QString::fromLatin1(GetParam().date));
    EXPECT_EQ(MessageBoundary(GetParam().local),
              QStringLiteral("----_=_NextPart_000_") + QString::fromLatin1(GetParam().boundary));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ComposeClockValues,
    ::testing::Values(ClockCase{QDateTime(QDate(2026, 12, 7), QTime(11, 47, 22)), "+0100",
                                "Date: Mon, 7 Dec 2026 11:47:22 +0100", "0000B51B.02ED8D7D"},
                      ClockCase{QDateTime(QDate(2026, 1, 4), QTime(23, 5, 9)), "-0330",
                                "Date: Sun, 4 Jan 2026 23:05:09 -0330", "0000B3CA.05BBC1FC"},
                      ClockCase{QDateTime(QDate(2025, 11, 29), QTime(0, 0, 0)), "+0000",
                                "Date: Sat, 29 Nov 2025 00:00:00 +0000", "0000B3A6.00000000"},
                      // 2 s of a day is 2314.81 hundred-millionths: rounded up.
                      ClockCase{QDateTime(QDate(1899, 12, 31), QTime(0, 0, 2)), "+0545",
                                "Date: Sun, 31 Dec 1899 00:00:02 +0545", "00000001.0000090B"},
                      ClockCase{QDateTime(QDate(2026, 12, 7), QTime(23, 59, 59)), "-0000",
                                "Date: Mon, 7 Dec 2026 23:59:59 -0000", "0000B51B.05F5DC7B"}));

TEST(ComposeClock, InjectedUtcClockIsShownInLocalTime) {
    MessageDraft d = PlainDraft();
    d.now = QDateTime(QDate(2026, 12, 31), QTime(23, 30, 0), Qt::UTC);
    const QStringList lines = HeaderLines(ComposeMessage(d));
    EXPECT_EQ(lines[3], QStringLiteral("Date: Fri, 1 Jan 2027 00:30:00 +0100"));
}

TEST(ComposeClock, NoClockMeansTheCurrentTime) {
    MessageDraft d = PlainDraft();
    d.now = QDateTime();
    const QDateTime before = QDateTime::currentDateTime();
    const QString date = HeaderLines(ComposeMessage(d))[3];
    const QDateTime after = QDateTime::currentDateTime();
    EXPECT_TRUE(date == DateLine(before, d.timeZoneSuffix) ||
                date == DateLine(after, d.timeZoneSuffix))
        << date.toStdString();
}

// ---------------------------------------------------------------- LinkEmbeddedFiles

struct LinkCase {
    const char *name;
    const char *html;
    QStringList files;
    bool asHtml;
    const char *expected;
    QList<bool> embedded;
};

class LinkEmbedded : public ::testing::TestWithParam<LinkCase> {};

TEST_P(LinkEmbedded, RewritesReferencesInsideTags) {
    const LinkCase &c = GetParam();
    QString html = QString::fromUtf8(c.html);
    QList<bool> embedded(c.files.size(), false);
    const bool linked = LinkEmbeddedFiles(html, c.files, embedded, c.asHtml);
    EXPECT_EQ(html, QString::fromUtf8(c.expected));
    EXPECT_EQ(embedded, c.embedded);
    EXPECT_EQ(linked, c.embedded.contains(true));
}

const QStringList kLogo = {QStringLiteral("logo.gif")};

INSTANTIATE_TEST_SUITE_P(
    Cases, LinkEmbedded,
    ::testing::Values(
        LinkCase{"QuotedWithFolder",
                 "<img src=\"images/logo.gif\">",
                 kLogo,
                 true,
                 "<img src=\"cid:logo.gif\">",
                 {true}},
        LinkCase{
            "Unquoted", "<img src=images/logo.gif>", kLogo, true, "<img src=cid:logo.gif>", {true}},
        LinkCase{"LetterCase",
                 "<IMG SRC=\"C:\\Pics\\LOGO.GIF\">",
                 kLogo,
                 true,
                 "<IMG SRC=\"cid:logo.gif\">",
                 {true}},
        LinkCase{"SpacesAroundEquals",
                 "<img src = \"logo.gif\" alt=\"\">",
                 kLogo,
                 true,
                 "<img src = \"cid:logo.gif\" alt=\"\">",
                 {true}},
        LinkCase{"QuoteAfterTheNameIsNotOpening",
                 "<img src=logo.gif alt=\"x\">",
                 kLogo,
                 true,
                 "<img src=cid:logo.gif alt=\"x\">",
                 {true}},
        LinkCase{"EveryOccurrence",
                 "<img src=\"a/logo.gif\"><p>logo.gif</p><img src='b/logo.gif'>",
                 kLogo,
                 true,
                 "<img src=\"cid:logo.gif\"><p>logo.gif</p><img src='cid:logo.gif'>",
                 {true}},
        LinkCase{"DoubleQuotedValueWithApostrophe",
                 "<img src=\"it's/logo.gif\">",
                 kLogo,
                 true,
                 "<img src=\"cid:logo.gif\">",
                 {true}},
        LinkCase{"OutsideATag", "<p>see logo.gif</p>", kLogo, true, "<p>see logo.gif</p>", {false}},
        LinkCase{
            "AfterAClosedTag", "<p>x</p> logo.gif >", kLogo, true, "<p>x</p> logo.gif >", {false}},
        LinkCase{"TagWithoutEquals", "<logo.gif>", kLogo, true, "<logo.gif>", {false}},
        LinkCase{"EqualsOnlyBeforeTheTag",
                 "a=b <img logo.gif> <img src=\"logo.gif\">",
                 kLogo,
                 true,
                 "a=b <img logo.gif> <img src=\"cid:logo.gif\">",
                 {true}},
        LinkCase{"AlreadyLinked",
                 "<img src=\"cid:logo.gif\">",
                 kLogo,
                 true,
                 "<img src=\"cid:logo.gif\">",
                 {true}},
        LinkCase{
            "UnclosedTag", "<img src=\"logo.gif\"", kLogo, true, "<img src=\"logo.gif\"", {false}},
        LinkCase{"SecondFileOnly",
                 "<img src=\"b.png\">",
                 {QStringLiteral("a.png"), QStringLiteral("b.png")},
                 true,
                 "<img src=\"cid:b.png\">",
                 {false, true}},
        LinkCase{"EmptyNameSkipped",
                 "<img src=\"x.png\">",
                 {QString()},
                 true,
                 "<img src=\"x.png\">",
                 {false}},
        LinkCase{
            "NotHtml", "<img src=\"logo.gif\">", kLogo, false, "<img src=\"logo.gif\">", {false}}),
    [](const ::testing::TestParamInfo<LinkCase> &i) { return std::string(i.param.name); });

TEST(LinkEmbedded, MarksAreNeverClearedAndTheListIsLengthened) {
    QString html = QStringLiteral("<img src=\"two.png\">");
    QList<bool> embedded = {true};
    EXPECT_TRUE(LinkEmbeddedFiles(html, {QStringLiteral("one.png"), QStringLiteral("two.png")},
                                  embedded, true));
    EXPECT_EQ(embedded, (QList<bool>{true, true}));

    QList<bool> none;
    QString text = QStringLiteral("x");
    EXPECT_FALSE(LinkEmbeddedFiles(text, {}, none, true));
    EXPECT_TRUE(none.isEmpty());
}

// ---------------------------------------------------------------- size estimate

struct SizeCase {
    const char *name;
    MessageDraft draft;
    bool auth;
    std::optional<qint32> expected;
};

MessageDraft SizeDraft(qint32 encodeType, qint64 totalSize, int attachments) {
    MessageDraft d;
    d.from = QStringLiteral("a@b.c");          // 5
    d.recipients = {QStringLiteral("r@x.yz")}; // 6
    d.recipientDisplayNames = {QString()};
    d.encodeType = encodeType;
    for (int i = 0; i < attachments; ++i)
        d.attachmentFileNames << QStringLiteral("f%1.bin").arg(i); // 6 each
    d.attachmentTotalSize = totalSize;
    d.attachmentNameLength = 6 * attachments;
    return d;
}

MessageDraft FullSizeDraft() {
    MessageDraft d = SizeDraft(0, 0, 0);
    d.fromDisplayName = QStringLiteral("Dora");                              // 4
    d.recipients << QStringLiteral("s@x.yz");                                // 6
    d.recipientDisplayNames = {QStringLiteral("Ann"), QString()};            // 3, 0
    d.ccRecipients = {QStringLiteral("c@x.yz"), QStringLiteral("dd@x.yz")};  // 6, 7
    d.ccDisplayNames = {QString(), QStringLiteral("Dee")};                   // 0, 3
    d.bccRecipients = {QStringLiteral("b@x.yz"), QStringLiteral("bb@x.yz")}; // 6, 7
    d.replyToAddress = QStringLiteral("re@x.yz");                            // 7
    d.subject = QStringLiteral("Subject");                                   // 7
    d.message = QStringLiteral("0123456789");                                // 10
    d.asHtml = true;
    d.contentBase = QStringLiteral("http://s/"); // 9
    d.receipt = true;
    return d;
}

class EstimateSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(EstimateSize, FollowsTheByteCountFormula) {
    const SizeCase &c = GetParam();
    EXPECT_EQ(
        EstimateMessageSize(c.draft, c.auth, QStringLiteral("user"), QStringLiteral("secret")),
        c.expected);
}

// Base: 5 + 93 = 98; one recipient 2 x 6 + 15 = 27; its empty name 11;
// the sender again 5; MIME 64.
INSTANTIATE_TEST_SUITE_P(
    Cases, EstimateSize,
    ::testing::Values(
        SizeCase{"Minimal", SizeDraft(0, 0, 0), false, 205},
        SizeCase{"PlainUuencode", SizeDraft(1, 0, 0), false, 141},
        // 2 x 5 + 118 = 128, + 16/3 = 5, + 24/3 = 8
        SizeCase{"Authentication", SizeDraft(0, 0, 0), true, 141 + 43 + 64},
        // 4000/3 = 1333, 2 x (1000/57) = 34, 42, 2 x 6, 182, 290
        SizeCase{"MimeAttachment", SizeDraft(0, 1000, 1), false,
                 205 + 1333 + 34 + 42 + 12 + 182 + 290},
        // 1333, 3 x (1000/45) = 66, 6, and 23 per attachment
        SizeCase{"UuencodedAttachment", SizeDraft(1, 1000, 1), false, 141 + 1333 + 66 + 6 + 23},
        SizeCase{"TwoUuencodedAttachments", SizeDraft(1, 1000, 2), false,
                 141 + 1333 + 66 + 12 + 46},
        // 98; To 27 + 33; names 14 + 11; Cc 27 + 35 (29 + 6); names 11 + 14;
        // Bcc 21 + 28; from name 7; sender 5; reply-to 21; subject and
        // text 17; MIME 64; base 27; receipt 4 + 36 + 5
        SizeCase{"EveryField", FullSizeDraft(), false,
                 98 + 27 + 33 + 14 + 11 + 27 + 35 + 11 + 14 + 21 + 28 + 7 + 5 + 21 + 17 + 64 + 27 +
                     45},
        SizeCase{"LargestAttachmentThatFits", SizeDraft(0, 500000000, 1), false,
                 205 + 666666666 + 2 * (500000000 / 57) + 42 + 12 + 182 + 290},
        SizeCase{"OverflowOfFourTimesTheSize", SizeDraft(0, 600000000, 1), false, std::nullopt},
        SizeCase{"SizeBeyond32Bits", SizeDraft(1, 3000000000LL, 1), false, std::nullopt}),
    [](const ::testing::TestParamInfo<SizeCase> &i) { return std::string(i.param.name); });

// ---------------------------------------------------------------- whole messages

QByteArray ReadAll(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool WriteAll(const QString &path, const QByteArray &data) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

// What the send operation puts on the wire for `list`, with the files
// streamed as it streams them.
QByteArray Wire(const QList<Transmission> &list, const QStringList &paths) {
    QByteArray wire;
    for (const Transmission &t : list) {
        if (t.kind == Kind::Text || t.kind == Kind::EndOfData) {
            wire += t.text.toLatin1();
        } else if (t.kind == Kind::FileData) {
            const QByteArray data = ReadAll(paths[t.attachment]);
            if (t.encoding == FileEncoding::Base64) {
                for (qsizetype at = 0; at < data.size(); at += kBase64ChunkBytes) {
                    QByteArray chunk = data.mid(at, kBase64ChunkBytes);
                    wire += EncodeBase64Bytes(chunk);
                }
            } else {
                for (qsizetype at = 0; at < data.size(); at += kUULineBytes)
                    wire += UUEncodedDataLine(data.mid(at, kUULineBytes));
            }
        }
    }
    return wire;
}

// What an SMTP server stores from those data: up to the "." line, with one
// leading dot taken off every line that has one.
QByteArray Received(const QByteArray &wire) {
    QByteArray message;
    const QList<QByteArray> lines = wire.split('\n');
    for (QByteArray line : lines) {
        if (!line.endsWith('\r'))
            return {}; // every line must end with CRLF, the last one too
        line.chop(1);
        if (line == ".")
            return message;
        if (line.startsWith('.'))
            line.remove(0, 1);
        message += line + "\r\n";
    }
    return {};
}

QByteArray RandomBytes(qsizetype size, quint32 seed) {
    QRandomGenerator rng(seed);
    QByteArray data(size, Qt::Uninitialized);
    for (char &c : data)
        c = static_cast<char>(rng.bounded(256));
    return data;
}

TEST_F(ComposeWithTable, MultipartMessageParsedByPythonGivesBackTheFiles) {
    const QList<QPair<QString, QByteArray>> files = {
        {QStringLiteral("logo.gif"), RandomBytes(11401, 1)},
        {QStringLiteral("blob.dat"), RandomBytes(30000, 2)},
        {QStringLiteral("empty.xyz"), QByteArray()},
    };
    QStringList paths;
    MessageDraft d = PlainDraft();
    for (const auto &[name, data] : files) {
        paths << dir.filePath(name);
        ASSERT_TRUE(WriteAll(paths.last(), data));
        d.attachmentFileNames << name;
    }
    d.attachmentEmbedded = {false, false, false};
    d.asHtml = true;
    d.message = QStringLiteral("<html><body><p>Gr\u00fc\u00dfe</p>"
                               "<img src=\"pics/logo.gif\"></body></html>");
    d.messageIs8Bit = true;
    d.subject = QStringLiteral("Bericht f\u00fcr Dezember");
    d.hasEmbedded =
        LinkEmbeddedFiles(d.message, d.attachmentFileNames, d.attachmentEmbedded, d.asHtml);
    ASSERT_TRUE(d.hasEmbedded);

    const QByteArray message = Received(Wire(ComposeMessage(d), paths));
    ASSERT_FALSE(message.isEmpty());
    const QString messagePath = dir.filePath(QStringLiteral("message.eml"));
    ASSERT_TRUE(WriteAll(messagePath, message));
    const mailtest::ToolResult r =
        mailtest::RunMailTool({QStringLiteral("mime"), messagePath, dir.path()});
    ASSERT_TRUE(r.ok()) << r.err.constData();
    const QJsonObject json = QJsonDocument::fromJson(r.out).object();

    EXPECT_EQ(json["content_type"].toString(), QStringLiteral("multipart/related"));
    EXPECT_EQ(json["boundary"].toString(), kBoundary);
    EXPECT_EQ(json["defects"].toArray().size(), 0) << r.out.constData();
    EXPECT_EQ(json["subject"].toString(), d.subject);
    const QJsonArray parts = json["parts"].toArray();
    ASSERT_EQ(parts.size(), 4) << r.out.constData();

    const QJsonObject html = parts[0].toObject();
    EXPECT_EQ(html["content_type"].toString(), QStringLiteral("text/html"));
    EXPECT_EQ(html["charset"].toString(), QStringLiteral("iso-8859-1"));
    EXPECT_EQ(html["transfer_encoding"].toString(), QStringLiteral("8bit"));
    // The body opens with an empty line and ends with two; Python's parser
    // hands 8-bit text back with bare LF line ends.
    EXPECT_EQ(ReadAll(dir.filePath(html["file"].toString())).replace("\r\n", "\n"),
              "\n" + d.message.toLatin1() + "\n\n");

    struct Expected {
        const char *type;
        const char *cid;
    } expected[] = {{"image/gif", "<logo.gif>"},
                    {"application/x-test-data", ""},
                    {"application/octet-stream", ""}};
    for (int i = 0; i < 3; ++i) {
        const QJsonObject part = parts[i + 1].toObject();
        SCOPED_TRACE(files[i].first.toStdString());
        EXPECT_EQ(part["content_type"].toString(), QString::fromLatin1(expected[i].type));
        EXPECT_EQ(part["content_id"].toString(), QString::fromLatin1(expected[i].cid));
        EXPECT_EQ(part["disposition"].toString(), QStringLiteral("attachment"));
        EXPECT_EQ(part["filename"].toString(), files[i].first);
        EXPECT_EQ(part["name_param"].toString(), files[i].first);
        EXPECT_EQ(ReadAll(dir.filePath(part["file"].toString())), files[i].second);
    }
}

// Quotes, backslashes and separators in display names and file names, in
// each of their encodings, as Python's reader splits the message: one
// mailbox per name, one file name per attachment.
TEST_F(ComposeWithTable, NamesCannotAddAMailboxOrAParameter) {
    const QString evil = QStringLiteral("Bank\" <security@bank.example>, \"\\");
    const QString file = QStringLiteral("report.pdf\"; filename=\"invoice.exe");
    MessageDraft d = PlainDraft();
    d.fromDisplayName = evil;
    d.recipients = {QStringLiteral("r@example.org"), QStringLiteral("s@example.org")};
    d.recipientDisplayNames = {evil + QStringLiteral("\u00e9"), evil + QStringLiteral("\u20ac")};
    d.ccRecipients = {QStringLiteral("\"quoted local\"@example.org")};
    d.ccDisplayNames = {QString()};
    d.attachmentFileNames = {file};
    d.attachmentEmbedded = {false};
    const QStringList paths{dir.filePath(QStringLiteral("data.bin"))};
    ASSERT_TRUE(WriteAll(paths[0], "x"));
    const QString messagePath = dir.filePath(QStringLiteral("message.eml"));
    ASSERT_TRUE(WriteAll(messagePath, Received(Wire(ComposeMessage(d), paths))));
    const mailtest::ToolResult r =
        mailtest::RunMailTool({QStringLiteral("mime"), messagePath, dir.path()});
    ASSERT_TRUE(r.ok()) << r.err.constData();
    const QJsonObject json = QJsonDocument::fromJson(r.out).object();
    const QJsonObject boxes = json["mailboxes"].toObject();
    const auto pair = [](const QString &name, const QString &address) {
        return QJsonArray{name, address};
    };
    EXPECT_EQ(boxes["From"].toArray(), QJsonArray{pair(evil, "f@example.com")}) << r.out.data();
    EXPECT_EQ(boxes["To"].toArray(),
              (QJsonArray{pair(evil + QStringLiteral("\u00e9"), "r@example.org"),
                          pair(evil + QStringLiteral("\u20ac"), "s@example.org")}))
        << r.out.data();
    EXPECT_EQ(boxes["Cc"].toArray().size(), 1) << r.out.data();
    const QJsonArray parts = json["parts"].toArray();
    ASSERT_EQ(parts.size(), 2) << r.out.data();
    EXPECT_EQ(parts[1].toObject()["filename"].toString(), file);
    EXPECT_EQ(parts[1].toObject()["name_param"].toString(), file);
}

TEST_F(ComposeWithTable, UuencodedFilesDecodeWithUudecode) {
    // 149 = 3 x 45 + 14: the last line's length character is ".", which
    // SMTP would strip unless it is doubled.
    const QList<qsizetype> sizes = {149, 0, 90, 1, 11400};
    QStringList paths;
    QList<QByteArray> contents;
    MessageDraft d = PlainDraft();
    d.encodeType = 1;
    for (int i = 0; i < sizes.size(); ++i) {
        contents << RandomBytes(sizes[i], 10 + i);
        paths << dir.filePath(QStringLiteral("file%1.bin").arg(i));
        ASSERT_TRUE(WriteAll(paths.last(), contents.last()));
        d.attachmentFileNames << QStringLiteral("file%1.bin").arg(i);
    }
    const QByteArray wire = Wire(ComposeMessage(d), paths);
    EXPECT_TRUE(wire.contains("\r\n..")) << "the 14-byte line is sent with its dot doubled";
    const QByteArray message = Received(wire);
    ASSERT_FALSE(message.isEmpty());

    // Each block from its "begin" line to its "end" line, fed to uudecode.
    qsizetype at = 0;
    for (int i = 0; i < sizes.size(); ++i) {
        SCOPED_TRACE(i);
        const qsizetype begin = message.indexOf("begin 600 ", at);
        const qsizetype end = message.indexOf("\r\nend\r\n", begin);
        ASSERT_TRUE(begin >= 0 && end > begin);
        at = end + 7;
        const QByteArray block = message.mid(begin, at - begin);
        const QString out = dir.filePath(QStringLiteral("decoded%1").arg(i));
        const mailtest::ToolResult r = mailtest::RunProgram(QStringLiteral("/usr/bin/uudecode"),
                                                            {QStringLiteral("-o"), out}, block);
        ASSERT_TRUE(r.ok()) << r.err.constData();
        EXPECT_EQ(ReadAll(out), contents[i]);
    }
    EXPECT_EQ(message.indexOf("begin 600 ", at), -1);
}

} // namespace
