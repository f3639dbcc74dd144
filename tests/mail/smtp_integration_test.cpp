// Messages sent by the component to a real SMTP server (aiosmtpd, started on
// 127.0.0.1 by the test) and parsed back with Python's email package and
// uudecode, to the exact bytes.
#include "mail/send_mail.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "qt_printers.h"
#include "smtp_server.h"
#include "temp_files.h"

namespace {

using testsupport::Python;
using testsupport::SmtpServer;
using testsupport::SupportScript;

QJsonObject parse(const QString &eml) {
    QProcess p;
    p.start(Python, {SupportScript("parse_message.py"), eml});
    EXPECT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    return QJsonDocument::fromJson(p.readAllStandardOutput()).object();
}

QByteArray randomBytes(qsizetype n, quint32 seed) {
    QByteArray b(n, Qt::Uninitialized);
    QRandomGenerator g(seed);
    for (qsizetype i = 0; i < n; ++i) {
        b[i] = static_cast<char>(g.bounded(256));
    }
    return b;
}

QString sha256(const QByteArray &b) {
    return QString::fromLatin1(QCryptographicHash::hash(b, QCryptographicHash::Sha256).toHex());
}

struct Outcome {
    int successes = 0;
    QStringList failures;
};

Outcome send(clsSendMail &m) {
    Outcome o;
    QObject::connect(&m, &clsSendMail::SendSuccesful, [&o] { ++o.successes; });
    QObject::connect(&m, &clsSendMail::SendFailed, [&o](const QString &e) { o.failures << e; });
    m.Send();
    return o;
}

void aim(clsSendMail &m, quint16 port) {
    m.setSMTPHostValidation(0);
    m.setSMTPHost("127.0.0.1");
    m.setSMTPPort(port);
    m.setMessageTimeout(20);
    m.setConnectTimeout(10);
    m.setFrom("sender@example.com");
    m.setFromDisplayName("Sender Name");
}

} // namespace

TEST(SmtpIntegration, MimeMessageWithHtmlEmbeddedImageAndBinaryAttachment) {
    SmtpServer server({"--user", "mailuser", "--password", "pa55word"});
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    QTemporaryDir dir;
    const QByteArray image = randomBytes(5000, 1);
    const QByteArray binary = randomBytes(3 * 1024 * 1024 + 17, 2);
    const QString imagePath = writeFile(dir, "logo.gif", image);
    const QString binaryPath = writeFile(dir, "data.bin", binary);

    clsSendMail m;
    aim(m, server.port());
    m.setUseAuthentication(true);
    m.setUsername("mailuser");
    m.setPassword("pa55word");
    m.setRecipient("one@example.com;two@example.org");
    m.setRecipientDisplayName(QString("Ann ") + QChar(0xC5) + "ngstr" + QChar(0xF6) + "m");
    m.setSubject("Report " + QString(QChar(0xE9)));
    m.setAsHTML(true);
    m.setMessage("<html><body><p>Hello</p><img src=\"images/LOGO.GIF\"></body></html>\r\n");
    m.setAttachment(imagePath + ";" + binaryPath);
    const Outcome o = send(m);
    ASSERT_EQ(o.failures, QStringList{});
    ASSERT_EQ(o.successes, 1);

    const QJsonObject env = server.envelope(1);
    EXPECT_EQ(env["from"].toString(), "sender@example.com");
    EXPECT_EQ(env["to"].toArray().size(), 2);
    EXPECT_TRUE(env["authenticated"].toBool());

    const QJsonObject msg = parse(server.message(1));
    EXPECT_EQ(msg["content_type"].toString(), "multipart/related");
    EXPECT_TRUE(msg["defects"].toArray().isEmpty());
    const QJsonArray parts = msg["parts"].toArray();
    ASSERT_EQ(parts.size(), 3);
    EXPECT_EQ(parts[0].toObject()["content_type"].toString(), "text/html");
    EXPECT_TRUE(parts[0].toObject()["text"].toString().contains("src=\"cid:logo.gif\""));
    const QJsonObject img = parts[1].toObject();
    EXPECT_EQ(img["content_type"].toString(), "image/gif");
    EXPECT_EQ(img["content_id"].toString(), "<logo.gif>");
    EXPECT_EQ(img["filename"].toString(), "logo.gif");
    EXPECT_EQ(img["sha256"].toString(), sha256(image));
    const QJsonObject bin = parts[2].toObject();
    EXPECT_EQ(bin["content_type"].toString(), "application/octet-stream");
    EXPECT_EQ(bin["filename"].toString(), "data.bin");
    EXPECT_EQ(bin["size"].toInt(), binary.size());
    EXPECT_EQ(bin["sha256"].toString(), sha256(binary));
}

// aiosmtpd's own AUTH LOGIN challenges are "User Name" and "Password", each
// with a NUL after it.
TEST(SmtpIntegration, AuthLoginAnswersTheServersOwnChallenges) {
    SmtpServer server({"--user", "mailuser", "--password", "pa55word"});
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    clsSendMail m;
    aim(m, server.port());
    m.setUseAuthentication(true);
    m.setUsername("mailuser");
    m.setPassword("pa55word");
    m.setRecipient("one@example.com");
    m.setMessage("x");
    QStringList trace;
    QObject::connect(&m, &clsSendMail::DebugPrint,
                     [&trace](const QVariant &t) { trace << t.toString(); });
    const Outcome o = send(m);
    EXPECT_EQ(o.failures, QStringList{});
    EXPECT_EQ(o.successes, 1);
    EXPECT_EQ(server.logins(), 1);
    EXPECT_TRUE(server.envelope(1)["authenticated"].toBool());
    EXPECT_TRUE(trace.contains("334 VXNlciBOYW1lAA==\r\n")) << trace.join("|").toStdString();
}

TEST(SmtpIntegration, UuencodedMessageDecodesToTheExactFile) {
    SmtpServer server;
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    QTemporaryDir dir;
    const QByteArray binary = randomBytes(100000 + 7, 3);
    const QString path = writeFile(dir, "payload.bin", binary);

    clsSendMail m;
    aim(m, server.port());
    m.setRecipient("one@example.com");
    m.setSubject("uu");
    m.setEncodeType(1);
    m.setMessage("Body text\r\n.leading dot\r\n");
    m.setAttachment(path);
    const Outcome o = send(m);
    ASSERT_EQ(o.failures, QStringList{});
    ASSERT_EQ(o.successes, 1);

    QFile eml(server.message(1));
    ASSERT_TRUE(eml.open(QIODevice::ReadOnly));
    const QByteArray raw = eml.readAll();
    EXPECT_FALSE(raw.contains("MIME-Version"));
    EXPECT_TRUE(raw.contains("\r\n.leading dot\r\n")) << "the server removes the doubled dot";
    EXPECT_TRUE(raw.contains("begin 600 payload.bin\r\n"));

    const QString out = dir.filePath("decoded.bin");
    QProcess uu;
    uu.start("uudecode", {"-o", out, server.message(1)});
    ASSERT_TRUE(uu.waitForFinished(30000));
    EXPECT_EQ(uu.exitCode(), 0) << uu.readAllStandardError().toStdString();
    QFile decoded(out);
    ASSERT_TRUE(decoded.open(QIODevice::ReadOnly));
    EXPECT_EQ(sha256(decoded.readAll()), sha256(binary));
}

TEST(SmtpIntegration, RejectedRecipientFailsWithTheServersText) {
    SmtpServer server({"--reject", "bad@example.com"});
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    clsSendMail m;
    aim(m, server.port());
    m.setRecipient("good@example.com;bad@example.com");
    m.setMessage("x");
    const Outcome o = send(m);
    EXPECT_EQ(o.successes, 0);
    ASSERT_EQ(o.failures.size(), 1);
    EXPECT_TRUE(o.failures[0].startsWith("550 5.1.1 <bad@example.com>"))
        << o.failures[0].toStdString();
    EXPECT_FALSE(QFile::exists(server.message(1)));
}
