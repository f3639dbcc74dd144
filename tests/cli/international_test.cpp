// kelmsend with text outside ISO-8859-1 and with today's and international
// addresses: command-line texts and body files read as UTF-8, whatever the
// locale; the message read back with Python's email (policy.default).
#include "kelmsend_support.h"

#include <QJsonArray>
#include <QRegularExpression>

#include "qt_printers.h"
#include "row_name.h"

using namespace clitest;

namespace {

QString U(const char *utf8) {
    return QString::fromUtf8(utf8);
}

// A C locale: the texts must still be read as UTF-8.
const std::map<QString, QString> kCLocale{{"LANG", "C"}, {"LC_ALL", "C"}};

QJsonObject ReadMessage(const QString &eml) {
    const Finished r = RunProgram(Python, {SupportScript("read_message.py"), eml}, {}, {}, 60000);
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    return QJsonDocument::fromJson(r.out).object();
}

// The wire bytes of a dry run as a server stores them, with what changes from
// message to message (date, boundary, Message-ID) masked.
QByteArray stored(QByteArray wire, bool unstuff) {
    if (unstuff) {
        wire.chop(3); // ".\r\n"
        wire.replace("\r\n.", "\r\n");
    }
    QString text = QString::fromLatin1(wire);
    text.replace(QRegularExpression("\r\nDate: [^\r]*"), "\r\nDate: (date)");
    text.replace(QRegularExpression("NextPart_000_[0-9A-F.]{17}"), "(boundary)");
    text.replace(QRegularExpression("Message-ID: <[0-9a-f]{32}@"), "Message-ID: <(id)@");
    return text.toLatin1();
}

TEST(KelmsendInternational, TextsOfAnyScriptArriveExactly) {
    SmtpServer server;
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    QTemporaryDir dir;
    const QString body = U("\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82 \xe6\x97\xa5\xe6\x9c"
                           "\xac e\xcc\x81 \xf0\x9f\x98\x80\n.dot\n");
    const QString letter = writeFile(dir, "letter.txt", body.toUtf8());
    const QString file =
        writeFile(dir, U("\xd1\x84\xd0\xb0\xd0\xb9\xd0\xbb \xe2\x9c\x93.txt"), "x");
    const QString fromName = U("J\xc3\xbcrgen \xce\xa9mega");
    const QString subject = U("Gr\xc3\xbc\xc3\x9f"
                              "e \xe6\x97\xa5\xe6\x9c\xac \xe2\x9c\x93");
    const QStringList args{
        "--from",    "me@example.com", "--from-name", fromName, "--to",     "you@example.com",
        "--subject", subject,          "--body-file", letter,   "--attach", file};

    const Finished sent =
        RunKelmsend(args + QStringList{"--server", server.address()}, {}, kCLocale);
    ASSERT_EQ(sent.exitCode, 0) << sent.describe();
    const QJsonObject msg = ReadMessage(server.message(1));
    EXPECT_EQ(msg["headers"].toObject()["Subject"].toString(), subject);
    EXPECT_EQ(msg["addresses"].toObject()["From"].toArray()[0].toArray()[0].toString(), fromName);
    const QJsonArray parts = msg["parts"].toArray();
    ASSERT_EQ(parts.size(), 2);
    EXPECT_EQ(parts[0].toObject()["text"].toString(), QString(body).replace("\n", "\r\n"));
    EXPECT_EQ(parts[1].toObject()["filename"].toString(), QFileInfo(file).fileName());
    EXPECT_EQ(msg["bad_words"].toArray(), QJsonArray{});

    // A dry run writes what the server received.
    const Finished dry = RunKelmsend(args + QStringList{"--dry-run"}, {}, kCLocale);
    ASSERT_EQ(dry.exitCode, 0) << dry.describe();
    EXPECT_FALSE(dry.out.contains("8bit"));
    EXPECT_EQ(stored(dry.out, true), stored(server.messageBytes(1), false));
}

TEST(KelmsendInternational, InvalidUtf8BodyIsLatin1AsBefore) {
    QTemporaryDir dir;
    const QString letter = writeFile(dir, "latin1.txt",
                                     "Gr\xfc\xdf"
                                     "e\n");
    const Finished r = RunKelmsend({"--from", "me@example.com", "--to", "you@example.com",
                                    "--body-file", letter, "--dry-run"});
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_TRUE(r.out.contains("charset=\"iso-8859-1\"\r\nContent-Transfer-Encoding: 8bit\r\n"));
    EXPECT_TRUE(r.out.contains("\r\nGr\xfc\xdf"
                               "e\r\n"));
}

struct AddressRow {
    const char *name;
    const char *to;
    int exitCode;
    const char *expected; // in the To line (exit 0), or standard error (exit 1)
};

class KelmsendAddresses : public ::testing::TestWithParam<AddressRow> {};

// Without --no-validate and without a server (so without SMTPUTF8).
TEST_P(KelmsendAddresses, AreCheckedAndWritten) {
    const Finished r = RunKelmsend(
        {"--from", "me@example.com", "--to", U(GetParam().to), "--body", "x", "--dry-run"});
    EXPECT_EQ(r.exitCode, GetParam().exitCode) << r.describe();
    if (GetParam().exitCode == 0) {
        EXPECT_TRUE(r.out.contains(QByteArray("\r\nTo: ") + GetParam().expected + "\r\n"))
            << r.out.toStdString();
    } else {
        EXPECT_EQ(r.err, GetParam().expected);
        EXPECT_EQ(r.out, "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, KelmsendAddresses,
    ::testing::Values(
        AddressRow{"Dev", "me@company.dev", 0, "\"me@company.dev\" <me@company.dev>"},
        AddressRow{"Info", "info@shop.info", 0, "\"info@shop.info\" <info@shop.info>"},
        AddressRow{"CyrillicDomain",
                   "ivan@\xd0\xbf\xd1\x80\xd0\xb8\xd0\xbc\xd0\xb5\xd1\x80.\xd1\x80\xd1\x84", 0,
                   "\"ivan@xn--e1afmkfd.xn--p1ai\" <ivan@xn--e1afmkfd.xn--p1ai>"},
        AddressRow{"NoSuchDomain", "me@example.zz", 2,
                   "kelmsend: --to: not a valid e-mail address: me@example.zz (--no-validate "
                   "sends it unchecked)\n"},
        AddressRow{"LocalPartNeedsSmtpUtf8", "jos\xc3\xa9@example.com", 1,
                   "kelmsend: jos\xc3\xa9@example.com requires a server with SMTPUTF8\n"}),
    RowName());

TEST(KelmsendInternational, LocalPartOutsideAsciiFailsWithoutSmtpUtf8) {
    SmtpServer server;
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    const Finished r = RunKelmsend({"--server", server.address(), "--from", "me@example.com",
                                    "--to", U("jos\xc3\xa9@example.com"), "--body", "x"});
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_EQ(r.err, "kelmsend: jos\xc3\xa9@example.com requires a server with SMTPUTF8\n");
    EXPECT_FALSE(QFile::exists(server.message(1)));
}

} // namespace
