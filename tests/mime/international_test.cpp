// International addresses in the envelope and the header block, and the
// header lines that carry them, without a server.
#include "mime/addresses.h"
#include "mime/compose.h"

#include <QRegularExpression>
#include <gtest/gtest.h>

#include "qt_printers.h"

using namespace sendmail;

namespace {

QString U(const char *utf8) {
    return QString::fromUtf8(utf8);
}

struct WireCase {
    const char *name;
    const char *address;
    const char *ascii;   // without SMTPUTF8; "" when it cannot go
    const char *problem; // AddressProblemWithoutSmtpUtf8
};

class Wire : public ::testing::TestWithParam<WireCase> {};

TEST_P(Wire, AsciiFormOrTheReason) {
    const QString address = U(GetParam().address);
    EXPECT_EQ(WireAddress(address, true), address);
    const std::optional<QString> ascii = WireAddress(address, false);
    EXPECT_EQ(ascii.value_or(QString()), U(GetParam().ascii));
    EXPECT_EQ(AddressProblemWithoutSmtpUtf8(address), U(GetParam().problem));
}

INSTANTIATE_TEST_SUITE_P(
    Table, Wire,
    ::testing::Values(
        WireCase{"AsciiUnchanged", "Anne@Example.COM", "Anne@Example.COM", ""},
        WireCase{"DomainToALabel",
                 "jose@B\xc3\xbc"
                 "cher.de",
                 "jose@xn--bcher-kva.de", ""},
        WireCase{"CyrillicDomainAndTld",
                 "ivan@\xd0\xbf\xd1\x80\xd0\xb8\xd0\xbc\xd0\xb5\xd1\x80.\xd1\x80\xd1\x84",
                 "ivan@xn--e1afmkfd.xn--p1ai", ""},
        WireCase{"LocalPartNeedsSmtpUtf8", "jos\xc3\xa9@example.com", "",
                 "jos\xc3\xa9@example.com requires a server with SMTPUTF8"},
        WireCase{"NoIdnaForm", "ivan@bad..\xd1\x80\xd1\x84", "",
                 "ivan@bad..\xd1\x80\xd1\x84: the domain is not a valid internationalized "
                 "domain name"}),
    [](const ::testing::TestParamInfo<WireCase> &i) { return std::string(i.param.name); });

MessageDraft Draft() {
    MessageDraft d;
    d.from = QStringLiteral("f@example.com");
    d.recipients = {QStringLiteral("r@example.org")};
    d.subject = QStringLiteral("Hi");
    d.message = QStringLiteral("x");
    d.messageId = QStringLiteral("id@example.com");
    d.timeZoneSuffix = QStringLiteral("+0000");
    return d;
}

QStringList HeaderLines(const MessageDraft &d) {
    QByteArray wire;
    for (const Transmission &t : ComposeMessage(d))
        wire += t.bytes();
    return QString::fromUtf8(wire.left(wire.indexOf("\r\n\r\n"))).split(QStringLiteral("\r\n"));
}

TEST(InternationalHeaders, AddressesAsALabelsOrUtf8) {
    MessageDraft d = Draft();
    d.recipients = {U("ivan@\xd0\xbf\xd1\x80\xd0\xb8\xd0\xbc\xd0\xb5\xd1\x80.\xd1\x80\xd1\x84")};
    d.recipientDisplayNames = {U("\xd0\x98\xd0\xb2\xd0\xb0\xd0\xbd")};
    d.replyToAddress = U("back@b\xc3\xbc"
                         "cher.de");
    EXPECT_TRUE(NeedsSmtpExtensions(d));
    EXPECT_TRUE(HasInternationalAddress(d));
    EXPECT_EQ(AddressProblem(d), QString());
    QStringList lines = HeaderLines(d);
    EXPECT_EQ(lines[1], "To: =?UTF-8?B?0JjQstCw0L0=?= <ivan@xn--e1afmkfd.xn--p1ai>");
    EXPECT_TRUE(lines.contains("Reply-to: <back@xn--bcher-kva.de>"));

    d.smtpUtf8 = true;
    lines = HeaderLines(d); // read back as UTF-8: the octets were UTF-8
    EXPECT_EQ(lines[1], "To: =?UTF-8?B?0JjQstCw0L0=?= <" + d.recipients[0] + ">");
    EXPECT_TRUE(lines.contains("Reply-to: <" + d.replyToAddress + ">"));
}

TEST(InternationalHeaders, ReplyToDisplayTextAndLongAddressesFold) {
    MessageDraft d = Draft();
    d.replyToAddress = U("\xd0\xa1\xd0\xbb\xd1\x83\xd0\xb6\xd0\xb1\xd0\xb0 <help@example.com>");
    d.fromDisplayName = U("\xe6\x97\xa5").repeated(20);
    d.from = QStringLiteral("a-rather-long-mailbox-name-for-the-sender@example.com");
    const QStringList lines = HeaderLines(d);
    EXPECT_TRUE(lines.contains("Reply-to: =?UTF-8?B?0KHQu9GD0LbQsdCw?= <help@example.com>"));
    // The name's last word and the address do not fit one line of 78: the
    // address takes a continuation line.
    const qsizetype from = lines.indexOf(QRegularExpression("^From: .*"));
    ASSERT_GE(from, 0);
    EXPECT_EQ(lines[from + 2], "\t<" + d.from + ">");
    for (const QString &line : lines)
        EXPECT_LE(line.size(), 78) << line.toStdString();
}

TEST(InternationalHeaders, EmbeddedFileOutsideLatin1IsReferredToInAscii) {
    EXPECT_EQ(ContentIdOf(QStringLiteral("logo.gif")), "logo.gif");
    EXPECT_EQ(ContentIdOf(U("caf\xc3\xa9.gif")), U("caf\xc3\xa9.gif"));
    EXPECT_EQ(ContentIdOf(U("\xd1\x84 1.gif")), "=D1=84=201.gif");
    QString html = U("<img src=\"pics/\xd1\x84 1.gif\">");
    QList<bool> embedded;
    EXPECT_TRUE(LinkEmbeddedFiles(html, {U("\xd1\x84 1.gif")}, embedded, true));
    EXPECT_EQ(html, "<img src=\"cid:=D1=84=201.gif\">");
}

// uuencode mode: a file name outside ISO-8859-1 stands in the body, which
// then goes out as UTF-8; a text in its wire form (dots doubled) is taken
// as a server would store it.
TEST(InternationalHeaders, UuencodeBodyWithAFileNameOutsideLatin1) {
    MessageDraft d = Draft();
    d.encodeType = 1;
    d.message = QString::fromLatin1("Gr\xfc\xdf"
                                    "e\r\n..dot");
    d.attachmentFileNames = {U("\xd1\x84.bin")};
    QStringList texts;
    for (const Transmission &t : ComposeMessage(d))
        texts << QString::fromLatin1(t.bytes());
    EXPECT_TRUE(texts.contains("Content-Transfer-Encoding: quoted-printable\r\n"));
    EXPECT_TRUE(texts.contains("Gr=C3=BC=C3=9Fe\r\n=2Edot\r\n\r\n"));
    EXPECT_TRUE(texts.contains("begin 600 =D1=84.bin\r\n"));
}

TEST(InternationalHeaders, MessageIdDomain) {
    const QRegularExpression id("^[0-9a-f]{32}@(.*)$");
    EXPECT_EQ(id.match(NewMessageId("me@example.com")).captured(1), "example.com");
    EXPECT_EQ(id.match(NewMessageId(U("me@b\xc3\xbc"
                                      "cher.de")))
                  .captured(1),
              "xn--bcher-kva.de");
    const QString host = id.match(NewMessageId("no-domain")).captured(1);
    EXPECT_FALSE(host.isEmpty());
    EXPECT_EQ(id.match(NewMessageId("me@[10.0.0.1]")).captured(1), host);
    EXPECT_NE(NewMessageId("me@example.com"), NewMessageId("me@example.com"));
}

} // namespace
