// Relay: a finished message over the session of Send. The wire form of the
// data (line ends, dot doubling) as a table over every split of the input,
// then dialogues against the scripted server.
#include "mail/data_stream.h"
#include "mail/send_mail.h"

#include "fake_server.h"

#include <QBuffer>
#include <QTemporaryFile>
#include <gtest/gtest.h>

#include "cli/row_name.h"
#include "qt_printers.h"

namespace {

struct Wire {
    const char *name;
    QByteArray in;
    QByteArray out; // what follows DATA, without the final "." line
};

class DataStufferTable : public ::testing::TestWithParam<Wire> {};

// The same bytes cut into two pieces at every position give the same wire
// bytes: a CR at the end of one piece and the LF at the start of the next
// are one line break, and a "." after a break in the previous piece is
// still at the start of a line.
TEST_P(DataStufferTable, GivesTheWireFormWhereverThePiecesAreCut) {
    const Wire &w = GetParam();
    for (qsizetype cut = 0; cut <= w.in.size(); ++cut) {
        sendmail::DataStuffer stuffer;
        QByteArray out;
        stuffer.Feed(QByteArrayView(w.in).first(cut), out);
        stuffer.Feed(QByteArrayView(w.in).sliced(cut), out);
        out += stuffer.Finish();
        EXPECT_EQ(out, w.out) << "cut at " << cut;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, DataStufferTable,
    ::testing::Values(Wire{"Empty", "", ""}, Wire{"OneLineWithoutBreak", "abc", "abc\r\n"},
                      Wire{"CrlfKept", "a\r\nb\r\n", "a\r\nb\r\n"},
                      Wire{"BareLfAndCrBecomeCrlf", "a\nb\rc", "a\r\nb\r\nc\r\n"},
                      Wire{"CrBeforeCrlfIsTwoBreaks", "a\r\r\nb", "a\r\n\r\nb\r\n"},
                      Wire{"TrailingCr", "a\r", "a\r\n"},
                      Wire{"DotLinesDoubled", ".\n.x\n..\nx.\n", "..\r\n..x\r\n...\r\nx.\r\n"},
                      Wire{"DotAfterEachKindOfBreak", ".a\r.b\n.c\r\n.d",
                           "..a\r\n..b\r\n..c\r\n..d\r\n"},
                      Wire{"EmptyLinesKept", "\n\n.", "\r\n\r\n..\r\n"}),
    RowName());

// Everything the component tells its owner, in order.
struct Events {
    QStringList all;
    QStringList failures;
    QStringList trace;
    QList<QMetaObject::Connection> links;
    explicit Events(clsSendMail &m) {
        links << QObject::connect(&m, &clsSendMail::SendSuccesful, [this] { all << "success"; });
        links << QObject::connect(&m, &clsSendMail::SendFailed, [this](const QString &e) {
            failures << e;
            all << "failed:" + e;
        });
        links << QObject::connect(&m, &clsSendMail::status,
                                  [this](const QString &s) { all << "status:" + s; });
        links << QObject::connect(&m, &clsSendMail::Progress,
                                  [this](int p) { all << "progress:" + QString::number(p); });
        links << QObject::connect(&m, &clsSendMail::DebugPrint,
                                  [this](const QVariant &t) { trace << t.toString(); });
    }
    ~Events() {
        for (const auto &link : links) {
            QObject::disconnect(link);
        }
    }
};

void aim(clsSendMail &m, const FakeServer &server) {
    m.setSMTPHostValidation(0);
    m.setSMTPHost("127.0.0.1");
    m.setSMTPPort(server.port());
    m.setConnectTimeout(2);
    m.setMessageTimeout(5);
    m.setConnectRetry(1);
}

QStringList dialogue(const QString &sender, const QStringList &rcpts) {
    QStringList s{"S: 220 ready", "C: HELO " + sender.mid(sender.indexOf('@') + 1), "S: 250 fake",
                  "C: MAIL FROM: <" + sender + ">", "S: 250 ok"};
    for (const QString &r : rcpts) {
        s << "C: RCPT TO: <" + r + ">"
          << "S: 250 ok";
    }
    return s << "C: DATA"
             << "S: 354 go ahead"
             << "D:"
             << "S: 250 queued"
             << "C: QUIT"
             << "S: 221 bye";
}

void expectPlayed(const FakeServer &server) {
    EXPECT_TRUE(server.done()) << "script stopped at step " << server.position();
    EXPECT_TRUE(server.errors().isEmpty()) << server.errors().join("\n").toStdString();
}

TEST(Relay, SendsTheMessageAsItIsWithTheEventsOfSend) {
    const QStringList rcpts{"a@example.org", "b@example.net"};
    FakeServer server(dialogue("relay@example.com", rcpts));
    ASSERT_TRUE(server.listening());
    clsSendMail m;
    aim(m, server);
    // The property is neither needed nor used: EHLO/HELO and MAIL FROM take
    // the relay's sender.
    m.setFrom("property@other.com");
    Events ev(m);
    m.Relay("relay@example.com", rcpts,
            QByteArray("Subject: as composed\nX-Kept: 1\n\nbody\n.\n.x\nlast line"));
    expectPlayed(server);
    EXPECT_EQ(server.data(), (QStringList{"Subject: as composed", "X-Kept: 1", "", "body", "..",
                                          "..x", "last line"}));
    EXPECT_TRUE(m.MailResult);
    EXPECT_EQ(m.MailMessage, "OK");
    EXPECT_EQ(m.from(), "property@other.com");
    ASSERT_GE(ev.all.size(), 4);
    EXPECT_EQ(ev.all.mid(ev.all.size() - 4),
              (QStringList{"progress:100", "status:Transmission Complete...",
                           "status:Closing Connection...", "success"}));
    EXPECT_TRUE(ev.trace.contains("<<message>>"));
    EXPECT_FALSE(ev.trace.contains("body")) << "the data itself is not traced";
}

TEST(Relay, AFileLargerThanTheSocketQueueArrivesWhole) {
    // 3 MiB: reading has to wait for the socket to drain several times.
    QTemporaryFile file;
    ASSERT_TRUE(file.open());
    QStringList lines; // as the server receives them, dots doubled
    for (int i = 0; file.size() < 3 * 1024 * 1024; ++i) {
        const QByteArray line = (i % 7 == 0 ? "." : "") + QByteArray::number(i).repeated(20);
        lines << QString::fromLatin1(i % 7 == 0 ? "." + line : line);
        file.write(line + "\n");
    }
    file.seek(0);
    FakeServer server(dialogue("relay@example.com", {"a@example.org"}));
    clsSendMail m;
    aim(m, server);
    QList<int> progress;
    QObject::connect(&m, &clsSendMail::Progress, [&](int p) { progress << p; });
    m.Relay("relay@example.com", {"a@example.org"}, &file);
    expectPlayed(server);
    EXPECT_TRUE(m.MailResult) << m.MailMessage.toStdString();
    EXPECT_EQ(server.data(), lines);
    // A file has a size, so the percentage climbs on the way.
    EXPECT_GT(progress.size(), 3);
    EXPECT_EQ(progress.last(), 100);
}

TEST(Relay, ARefusedRecipientFailsWithTheServersTextAndNoData) {
    FakeServer server({"S: 220 ready", "C: HELO example.com", "S: 250 fake",
                       "C: MAIL FROM: <s@example.com>", "S: 250 ok",
                       "C: RCPT TO: <bad@example.org>", "S: 550 no such user", "C: QUIT",
                       "S: 221 bye"});
    clsSendMail m;
    aim(m, server);
    Events ev(m);
    m.Relay("s@example.com", {"bad@example.org"}, QByteArray("x\n"));
    expectPlayed(server);
    EXPECT_EQ(ev.failures, QStringList{"550 no such user\r\n"});
    EXPECT_FALSE(m.MailResult);
}

struct Refused {
    const char *name;
    QString sender;
    QStringList recipients;
    bool openDevice;
    QString failure;
};

class RelayRefused : public ::testing::TestWithParam<Refused> {};

TEST_P(RelayRefused, BeforeConnecting) {
    FakeServer server({});
    clsSendMail m;
    aim(m, server);
    Events ev(m);
    QBuffer message;
    message.setData("Subject: x\n\nx\n");
    if (GetParam().openDevice) {
        message.open(QIODevice::ReadOnly);
    }
    m.Relay(GetParam().sender, GetParam().recipients, &message);
    EXPECT_EQ(ev.failures, QStringList{GetParam().failure});
    EXPECT_EQ(m.MailMessage, GetParam().failure);
    EXPECT_EQ(server.connections(), 0);
}

QStringList many(int n) {
    QStringList list;
    for (int i = 0; i < n; ++i) {
        list << "r" + QString::number(i) + "@example.org";
    }
    return list;
}

INSTANTIATE_TEST_SUITE_P(Table, RelayRefused,
                         ::testing::Values(Refused{"NoSenderNoRecipient",
                                                   "",
                                                   {},
                                                   true,
                                                   "Missing or Invalid Sender E-mail Address"
                                                   "No Recipient E-mail Address Specified"},
                                           Refused{"InvalidRecipient",
                                                   "s@example.com",
                                                   {"a@example.org", "nobody"},
                                                   true,
                                                   "Missing or Invalid Recipient E-mail Address"},
                                           Refused{"TooMany", "s@example.com", many(101), true,
                                                   "Too many recipients"},
                                           Refused{"LineBreakInAnAddress",
                                                   "s@example.com\r\nRSET",
                                                   {"a@example.org"},
                                                   true,
                                                   "Missing or Invalid Sender E-mail Address"
                                                   "Line break or NUL character in Sender"},
                                           Refused{"DeviceNotOpen",
                                                   "s@example.com",
                                                   {"a@example.org"},
                                                   false,
                                                   "The message cannot be read"}),
                         RowName());

TEST(Relay, AfterConnectARelayAndASendShareTheSession) {
    FakeServer server({"S: 220 ready",  "C: HELO example.com",
                       "S: 250 fake",   "C: MAIL FROM: <r@example.com>",
                       "S: 250 ok",     "C: RCPT TO: <a@example.org>",
                       "S: 250 ok",     "C: DATA",
                       "S: 354 go",     "D:",
                       "S: 250 queued", "C: MAIL FROM: <p@example.com>",
                       "S: 250 ok",     "C: RCPT TO: <b@example.org>",
                       "S: 250 ok",     "C: DATA",
                       "S: 354 go",     "D:",
                       "S: 250 queued", "C: QUIT",
                       "S: 221 bye"});
    clsSendMail m;
    aim(m, server);
    m.setFrom("p@example.com");
    m.setRecipient("b@example.org");
    ASSERT_TRUE(m.Connect());
    m.Relay("r@example.com", {"a@example.org"}, QByteArray("Subject: one\n\n1\n"));
    EXPECT_TRUE(m.MailResult) << m.MailMessage.toStdString();
    m.Send();
    EXPECT_TRUE(m.MailResult) << m.MailMessage.toStdString();
    m.Disconnect();
    expectPlayed(server);
    EXPECT_EQ(server.connections(), 1);
}

} // namespace
