// EHLO for messages that need an extension, the fall-back to HELO, and what
// 8BITMIME and SMTPUTF8 change in the envelope, against a scripted server.
#include "mail/send_mail.h"
#include "mail/smtp_extensions.h"
#include "mime/compose.h"

#include "fake_server.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "qt_printers.h"

namespace {

struct EhloCase {
    const char *name;
    const char *reply;
    bool eightBitMime;
    bool smtpUtf8;
    bool startTls = false;
    bool size = false;
    qint64 sizeLimit = 0;
};

class EhloReply : public ::testing::TestWithParam<EhloCase> {};

TEST_P(EhloReply, NamesItsExtensions) {
    const sendmail::SmtpExtensions found =
        sendmail::ParseEhloReply(QString::fromLatin1(GetParam().reply));
    EXPECT_EQ(found.eightBitMime, GetParam().eightBitMime);
    EXPECT_EQ(found.smtpUtf8, GetParam().smtpUtf8);
    EXPECT_EQ(found.startTls, GetParam().startTls);
    EXPECT_EQ(found.size, GetParam().size);
    EXPECT_EQ(found.sizeLimit, GetParam().sizeLimit);
}

INSTANTIATE_TEST_SUITE_P(
    Table, EhloReply,
    ::testing::Values(
        EhloCase{"Both", "250-mx greets\r\n250-8BITMIME\r\n250 SMTPUTF8\r\n", true, true},
        EhloCase{"LetterCase", "250-mx\r\n250-8bitmime\r\n250 smtputf8\r\n", true, true},
        EhloCase{"FirstLineNamesTheServer", "250 SMTPUTF8\r\n", false, false},
        EhloCase{"KeywordWithParameters", "250-mx\r\n250 SIZE 1000\r\n", false, false, false, true,
                 1000},
        EhloCase{"StartTls", "250-mx\r\n250-starttls\r\n250 SIZE\r\n", false, false, true, true, 0},
        EhloCase{"SizeWithoutANumberNamesNoLimit", "250-mx\r\n250 size x\r\n", false, false, false,
                 true, 0},
        EhloCase{"KeywordMustStandAlone", "250-mx\r\n250 SMTPUTF8X\r\n250 X-8BITMIME\r\n", false,
                 false}),
    [](const ::testing::TestParamInfo<EhloCase> &i) { return std::string(i.param.name); });

const QString kUtf8Subject = QString::fromUtf8("\xe6\x97\xa5\xe6\x9c\xac");

struct Dialogue {
    const char *name;
    std::function<void(clsSendMail &)> setup;
    QStringList script;
    QString failure; // "" for success
};

QStringList dataAndQuit() {
    return {"C: DATA", "S: 354 go", "D:", "S: 250 queued", "C: QUIT", "S: 221 bye"};
}

QStringList envelope(const QString &mailFrom, const QString &rcpt = "RCPT TO: <rcpt@example.com>") {
    return QStringList{"C: " + mailFrom, "S: 250 ok", "C: " + rcpt, "S: 250 ok"} + dataAndQuit();
}

class Extensions : public ::testing::TestWithParam<Dialogue> {};

TEST_P(Extensions, DialogueAsScripted) {
    FakeServer server(GetParam().script);
    ASSERT_TRUE(server.listening());
    clsSendMail m;
    m.setSMTPHostValidation(0);
    m.setSMTPHost("127.0.0.1");
    m.setSMTPPort(server.port());
    m.setConnectTimeout(2);
    m.setMessageTimeout(2);
    m.setConnectRetry(1);
    m.setFrom("sender@example.com");
    m.setRecipient("rcpt@example.com");
    m.setSubject(kUtf8Subject);
    m.setMessage("Hello");
    GetParam().setup(m);
    QStringList failures;
    QObject::connect(&m, &clsSendMail::SendFailed, [&](const QString &e) { failures << e; });
    m.Send();
    EXPECT_TRUE(server.done()) << "script stopped at step " << server.position();
    EXPECT_TRUE(server.errors().isEmpty()) << server.errors().join("\n").toStdString();
    if (GetParam().failure.isEmpty()) {
        EXPECT_EQ(failures, QStringList{});
        EXPECT_TRUE(m.MailResult);
    } else {
        EXPECT_EQ(failures, QStringList{GetParam().failure});
    }
}

const auto nothing = [](clsSendMail &) {};
const QString kPlainMailFrom = "MAIL FROM: <sender@example.com>";
// What the fake server reads of UTF-8 octets: one character per byte.
const QString kIvan =
    QString::fromLatin1("ivan@\xd0\xbf\xd1\x80\xd0\xb8\xd0\xbc\xd0\xb5\xd1\x80.\xd1\x80\xd1\x84");

INSTANTIATE_TEST_SUITE_P(
    Table, Extensions,
    ::testing::Values(
        Dialogue{"EhloRefusedWith502SaysHeloOnce", nothing,
                 QStringList{"S: 220 old", "C: EHLO example.com", "S: 502 5.5.2 what?",
                             "C: HELO example.com", "S: 250 old"} +
                     envelope(kPlainMailFrom),
                 ""},
        Dialogue{"EhloRefusedWith500SaysHeloOnce", nothing,
                 QStringList{"S: 220 old", "C: EHLO example.com", "S: 500 unknown",
                             "C: HELO example.com", "S: 250 old"} +
                     envelope(kPlainMailFrom),
                 ""},
        Dialogue{"HeloRefusedTooFails",
                 nothing,
                 {"S: 220 old", "C: EHLO example.com", "S: 502 no", "C: HELO example.com",
                  "S: 502 no", "C: QUIT", "S: 221 bye"},
                 "502 no\r\n"},
        Dialogue{"WithALoginTheRefusalFailsAsItAlwaysDid",
                 [](clsSendMail &m) { m.setUseAuthentication(true); },
                 {"S: 220 old", "C: EHLO example.com", "S: 502 no", "C: QUIT", "S: 221 bye"},
                 "502 no\r\n"},
        Dialogue{"Latin1BodyDeclaredEightBit",
                 [](clsSendMail &m) {
                     m.setMessage(QString::fromLatin1("Gr\xfc\xdf"
                                                      "e"));
                 },
                 QStringList{"S: 220 new", "C: EHLO example.com", "S: 250-new", "S: 250 8BITMIME"} +
                     envelope(kPlainMailFrom + " BODY=8BITMIME"),
                 ""},
        Dialogue{"Utf8BodyNeedsNoEightBit", [](clsSendMail &m) { m.setMessage(kUtf8Subject); },
                 QStringList{"S: 220 new", "C: EHLO example.com", "S: 250-new", "S: 250 8BITMIME"} +
                     envelope(kPlainMailFrom),
                 ""},
        Dialogue{"InternationalAddressWithSmtpUtf8",
                 [](clsSendMail &m) { m.setRecipient(QString::fromUtf8(kIvan.toLatin1())); },
                 QStringList{"S: 220 new", "C: EHLO example.com", "S: 250-new", "S: 250 SMTPUTF8"} +
                     envelope(kPlainMailFrom + " SMTPUTF8", "RCPT TO: <" + kIvan + ">"),
                 ""},
        Dialogue{"InternationalDomainOfTheSenderGreetsInAscii",
                 [](clsSendMail &m) {
                     m.setFrom(QString::fromUtf8("me@b\xc3\xbc"
                                                 "cher.de"));
                 },
                 QStringList{"S: 220 old", "C: EHLO xn--bcher-kva.de", "S: 250 old"} +
                     envelope("MAIL FROM: <me@xn--bcher-kva.de>"),
                 ""}),
    [](const ::testing::TestParamInfo<Dialogue> &i) { return std::string(i.param.name); });

} // namespace

namespace {

// RFC 1870: a server that offers SIZE is told the message's size with MAIL
// FROM (the estimate for a composed message, what is left of a buffer or a
// file for a relayed one), and one whose limit is smaller is not sent the
// message at all.
struct SizeCase {
    const char *name;
    bool relay;
    // The limit the server names, relative to the declared size; no number
    // when unset.
    std::optional<qint64> limitOverSize;
};

TEST(DeclaredSize, GoesWithMailFromAndALargerMessageIsNotSent) {
    const QByteArray relayed = QByteArray("Subject: relayed\r\n\r\n") + QByteArray(980, 'r');
    const SizeCase cases[] = {
        {"ComposedNoLimit", false, std::nullopt}, {"ComposedAtTheLimit", false, 0},
        {"ComposedOverTheLimit", false, -1},      {"RelayedUnderTheLimit", true, 100},
        {"RelayedOverTheLimit", true, -1},
    };
    for (const SizeCase &c : cases) {
        SCOPED_TRACE(c.name);
        clsSendMail m;
        m.setSMTPHostValidation(0);
        m.setSMTPHost("127.0.0.1");
        m.setConnectTimeout(2);
        m.setMessageTimeout(2);
        m.setConnectRetry(1);
        m.setFrom("sender@example.com");
        m.setRecipient("rcpt@example.com");
        // A subject outside Latin-1 makes the greeting EHLO for both kinds.
        m.setSubject(kUtf8Subject);
        m.setMessage("Hello");
        const qint64 size =
            c.relay ? relayed.size()
                    : sendmail::EstimateMessageSize(m.ComposeDraft(), false, {}, {}).value();
        const QString offer =
            "S: 250 SIZE" + (c.limitOverSize ? " " + QString::number(size + *c.limitOverSize) : "");
        QStringList script{"S: 220 new", "C: EHLO example.com", "S: 250-new", offer};
        const bool tooLarge = c.limitOverSize && *c.limitOverSize < 0;
        if (tooLarge) {
            script << "C: QUIT"
                   << "S: 221 bye";
        } else {
            script += envelope(kPlainMailFrom + " SIZE=" + QString::number(size));
        }
        FakeServer server(script);
        m.setSMTPPort(server.port());
        QStringList failures;
        QObject::connect(&m, &clsSendMail::SendFailed, [&](const QString &e) { failures << e; });
        if (c.relay) {
            m.Relay("sender@example.com", {"rcpt@example.com"}, relayed);
        } else {
            m.Send();
        }
        EXPECT_TRUE(server.done()) << "script stopped at step " << server.position();
        EXPECT_EQ(server.errors(), QStringList());
        if (tooLarge) {
            EXPECT_EQ(failures, QStringList{QString("The message (%1 bytes) is larger than the "
                                                    "server accepts (%2 bytes)")
                                                .arg(size)
                                                .arg(size - 1)});
        } else {
            EXPECT_EQ(failures, QStringList());
        }
    }
}

} // namespace
