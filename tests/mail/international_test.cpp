// Text outside ISO-8859-1 and international addresses, sent by the component
// to aiosmtpd on 127.0.0.1 (with and without SMTPUTF8) and read back with
// Python's email package (policy=email.policy.default), as a mail reader
// today reads them.
#include "mail/send_mail.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "qt_printers.h"
#include "smtp_server.h"
#include "temp_files.h"

namespace {

using testsupport::Python;
using testsupport::SmtpServer;
using testsupport::SupportScript;

QString U(const char *utf8) {
    return QString::fromUtf8(utf8);
}

// Cyrillic, CJK, a combining mark (e + U+0301) and an emoji outside the BMP.
const QString kMixed = U("\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82 \xe6\x97\xa5\xe6\x9c"
                         "\xac\xe8\xaa\x9e e\xcc\x81t\xc3\xa9 \xf0\x9f\x98\x80");

struct Letter {
    const char *name;
    bool serverOffersSmtpUtf8 = false;
    QString to = QStringLiteral("anne@example.com");
    QString toName;
    QString fromName;
    QString subject;
    QString body;
    bool html = false;
    QString attachment; // a file name, "" for none
    int encodeType = 0;
};

struct Delivery {
    QStringList failures;
    QStringList trace;
    QJsonObject envelope;
    QJsonObject message; // read_message.py's description; empty when nothing arrived
    QByteArray raw;
};

Delivery deliver(const Letter &l, const QByteArray &fileBytes = "file data\n") {
    Delivery d;
    SmtpServer server(l.serverOffersSmtpUtf8 ? QStringList{"--smtputf8"} : QStringList{});
    EXPECT_NE(server.port(), 0) << "aiosmtpd did not start";
    QTemporaryDir dir;
    clsSendMail m;
    QObject::connect(&m, &clsSendMail::SendFailed, [&d](const QString &e) { d.failures << e; });
    QObject::connect(&m, &clsSendMail::DebugPrint,
                     [&d](const QVariant &t) { d.trace << t.toString(); });
    m.setSMTPHostValidation(0);
    m.setSMTPHost("127.0.0.1");
    m.setSMTPPort(server.port());
    m.setMessageTimeout(20);
    m.setConnectTimeout(10);
    m.setFrom("sender@example.com");
    m.setFromDisplayName(l.fromName);
    m.setRecipient(l.to);
    m.setRecipientDisplayName(l.toName);
    m.setSubject(l.subject);
    m.setAsHTML(l.html);
    m.setEncodeType(l.encodeType);
    m.setMessage(l.body);
    if (!l.attachment.isEmpty()) {
        m.setAttachment(writeFile(dir, l.attachment, fileBytes));
    }
    EXPECT_EQ(m.ErrorList(), QStringList{});
    m.Send();
    d.envelope = server.envelope(1);
    d.raw = server.messageBytes(1);
    if (!d.raw.isEmpty()) {
        QProcess p;
        p.start(Python, {SupportScript("read_message.py"), server.message(1)});
        EXPECT_TRUE(p.waitForFinished(30000));
        EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
        d.message = QJsonDocument::fromJson(p.readAllStandardOutput()).object();
    }
    return d;
}

QString crlf(QString text) {
    return text.replace(QRegularExpression("\r?\n"), "\r\n");
}

class International : public ::testing::TestWithParam<Letter> {};

// What arrives is what was sent: subject, display names, body and file
// name, every character; each encoded word decodes on its own and is at
// most 75 characters, and no header line passes 78.
TEST_P(International, ArrivesExactly) {
    const Letter &l = GetParam();
    const Delivery d = deliver(l);
    ASSERT_EQ(d.failures, QStringList{});
    ASSERT_FALSE(d.message.isEmpty());
    EXPECT_EQ(d.message["defects"].toArray(), QJsonArray{});
    EXPECT_EQ(d.message["bad_words"].toArray(), QJsonArray{});
    EXPECT_EQ(d.message["long_lines"].toArray(), QJsonArray{});
    EXPECT_FALSE(d.message["words"].toArray().isEmpty());
    EXPECT_TRUE(d.trace.contains("EHLO example.com")) << "UTF-8 text asks for extensions";

    const QJsonObject headers = d.message["headers"].toObject();
    EXPECT_EQ(headers["Subject"].toString(), l.subject);
    const QJsonObject addresses = d.message["addresses"].toObject();
    EXPECT_EQ(addresses["From"].toArray()[0].toArray()[0].toString(), l.fromName);
    EXPECT_EQ(addresses["To"].toArray()[0].toArray()[0].toString(), l.toName);

    const QJsonArray parts = d.message["parts"].toArray();
    ASSERT_EQ(parts.size(), l.attachment.isEmpty() || l.encodeType != 0 ? 1 : 2);
    const QJsonObject text = parts[0].toObject();
    EXPECT_EQ(text["charset"].toString(), "utf-8");
    if (l.encodeType == 0) {
        EXPECT_EQ(text["content_type"].toString(), l.html ? "text/html" : "text/plain");
        EXPECT_EQ(text["text"].toString(), crlf(l.body));
    } else {
        // The text, an empty line, then the uuencoded file in the same
        // quoted-printable body, which uudecode reads once it is decoded.
        const QString body = text["text"].toString();
        EXPECT_TRUE(body.startsWith(crlf(l.body) + "\r\nbegin 600 " + l.attachment + "\r\n"));
        QTemporaryDir dir;
        const QString decoded = dir.filePath("decoded");
        QProcess uu;
        uu.start("uudecode", {"-o", decoded});
        uu.write(body.toUtf8());
        uu.closeWriteChannel();
        ASSERT_TRUE(uu.waitForFinished(30000));
        EXPECT_EQ(uu.exitCode(), 0) << uu.readAllStandardError().toStdString();
        QFile file(decoded);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), "file data\n");
    }
    if (!l.attachment.isEmpty() && l.encodeType == 0) {
        const QJsonObject file = parts[1].toObject();
        EXPECT_EQ(file["filename"].toString(), l.attachment);
        EXPECT_EQ(file["name_param"].toString(), l.attachment);
    }
}

// A text longer than any line may be, and lines that begin with dots.
const QString kLongBody =
    U("\xd0\xb4\xd0\xbb\xd0\xb8\xd0\xbd\xd0\xbd\xd0\xb0\xd1\x8f ").repeated(150) +
    "\n.a dot line\n..two dots\n" + kMixed;

INSTANTIATE_TEST_SUITE_P(
    Table, International,
    ::testing::Values(Letter{"NamesSubjectBodyAndFileName", false, "anne@example.com",
                             kMixed + " Anne", U("J\xc3\xbcrgen \xce\xa9mega"),
                             U("Gr\xc3\xbc\xc3\x9f"
                               "e ") +
                                 kMixed + " and a subject long enough to be folded",
                             kMixed + "\r\nsecond line " + kMixed + "\r\n", false, kMixed + ".txt",
                             0},
                      Letter{"HtmlWithoutFinalLineBreak", false, "anne@example.com",
                             U("\xe5\xb1\xb1\xe7\x94\xb0"), "Sender", kMixed,
                             "<p>" + kMixed + "</p>", true, "", 0},
                      Letter{"LongLinesAndDots", false, "anne@example.com", "Anne", kMixed,
                             "Long " + kMixed, kLongBody, false, "", 0},
                      Letter{"UuencodeMode", false, "anne@example.com", "Anne", kMixed, kMixed,
                             kMixed + "\r\n", false,
                             U("\xd0\xb4\xd0\xb0\xd0\xbd\xd0\xbd\xd1\x8b\xd0\xb5.bin"), 1}),
    [](const ::testing::TestParamInfo<Letter> &i) { return std::string(i.param.name); });

TEST(International, Latin1TextKeepsItsCharsetAndGreeting) {
    Letter l;
    l.fromName = U("J\xc3\xbcrgen M\xc3\xbcller");
    l.subject = U("Gr\xc3\xbc\xc3\x9f"
                  "e aus K\xc3\xb6ln");
    l.body = U("Gr\xc3\xbc\xc3\x9f"
               "e\r\n");
    const Delivery d = deliver(l);
    ASSERT_EQ(d.failures, QStringList{});
    EXPECT_TRUE(d.trace.contains("HELO example.com"));
    EXPECT_EQ(d.message["headers"].toObject()["Subject"].toString(), l.subject);
    EXPECT_TRUE(d.raw.contains("\r\nSubject: =?ISO-8859-1?B?"));
    const QJsonObject text = d.message["parts"].toArray()[0].toObject();
    EXPECT_EQ(text["charset"].toString(), "iso-8859-1");
    EXPECT_EQ(text["encoding"].toString(), "8bit");
    EXPECT_EQ(d.envelope["mail_options"].toArray(), QJsonArray{});
}

struct Route {
    const char *name;
    bool serverOffersSmtpUtf8;
    const char *to;
    const char *envelopeTo; // "" when the send must fail
    bool smtpUtf8Parameter;
};

class InternationalAddress : public ::testing::TestWithParam<Route> {};

TEST_P(InternationalAddress, GoesAsUtf8OrAsALabelOrNotAtAll) {
    const Route &r = GetParam();
    Letter l;
    l.serverOffersSmtpUtf8 = r.serverOffersSmtpUtf8;
    l.to = U(r.to);
    l.subject = "Hi";
    l.body = "x";
    const Delivery d = deliver(l);
    if (QString::fromUtf8(r.envelopeTo).isEmpty()) {
        EXPECT_EQ(d.failures, QStringList{l.to + " requires a server with SMTPUTF8"});
        EXPECT_TRUE(d.raw.isEmpty());
        for (const QString &line : d.trace) {
            EXPECT_FALSE(line.startsWith("MAIL") || line.startsWith("RCPT") || line == "DATA")
                << line.toStdString();
        }
        return;
    }
    ASSERT_EQ(d.failures, QStringList{});
    EXPECT_EQ(d.envelope["to"].toArray(), QJsonArray{U(r.envelopeTo)});
    EXPECT_EQ(d.envelope["mail_options"].toArray().contains("SMTPUTF8"), r.smtpUtf8Parameter);
    const QJsonArray to = d.message["addresses"].toObject()["To"].toArray();
    EXPECT_EQ(to[0].toArray()[1].toString(), U(r.envelopeTo)) << "the header as the envelope";
}

INSTANTIATE_TEST_SUITE_P(
    Table, InternationalAddress,
    ::testing::Values(
        Route{"IdnDomainWithSmtpUtf8", true,
              "ivan@\xd0\xbf\xd1\x80\xd0\xb8\xd0\xbc\xd0\xb5\xd1\x80.\xd1\x80\xd1\x84",
              "ivan@\xd0\xbf\xd1\x80\xd0\xb8\xd0\xbc\xd0\xb5\xd1\x80.\xd1\x80\xd1\x84", true},
        Route{"IdnDomainAsALabel", false,
              "ivan@\xd0\xbf\xd1\x80\xd0\xb8\xd0\xbc\xd0\xb5\xd1\x80.\xd1\x80\xd1\x84",
              "ivan@xn--e1afmkfd.xn--p1ai", false},
        Route{"LocalPartWithSmtpUtf8", true, "jos\xc3\xa9@example.com", "jos\xc3\xa9@example.com",
              true},
        Route{"LocalPartWithoutSmtpUtf8Fails", false, "jos\xc3\xa9@example.com", "", false},
        Route{"AsciiAddressNeedsNothing", true, "anne@example.com", "anne@example.com", false}),
    [](const ::testing::TestParamInfo<Route> &i) { return std::string(i.param.name); });

TEST(International, EveryMessageHasItsOwnMessageId) {
    SmtpServer server;
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    clsSendMail m;
    m.setSMTPHostValidation(0);
    m.setSMTPHost("127.0.0.1");
    m.setSMTPPort(server.port());
    m.setFrom("sender@example.com");
    m.setRecipient("anne@example.com");
    m.setMessage("x");
    m.Send();
    m.Send();
    const QRegularExpression id("\r\nMessage-ID: <([0-9a-f]{32})@example.com>\r\n");
    const QRegularExpressionMatch first = id.match(QString::fromLatin1(server.messageBytes(1)));
    const QRegularExpressionMatch second = id.match(QString::fromLatin1(server.messageBytes(2)));
    ASSERT_TRUE(first.hasMatch() && second.hasMatch());
    EXPECT_NE(first.captured(1), second.captured(1));
}

} // namespace
