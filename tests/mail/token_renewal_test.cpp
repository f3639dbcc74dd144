// The owner's renewal of a refused OAuth token (SetOAuthTokenProvider,
// ProvideOAuthToken) against a scripted server that refuses the first token
// the way Google and Dovecot do: a JSON challenge, its empty answer, 535.
// One renewal a send, on the same connection or a new one when the server
// hangs up; declined or without a provider, the send fails as it always did.
#include "aim.h"
#include "mail/send_mail.h"
#include "sasl/sasl_client.h"

#include "fake_server.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>

#include "qt_printers.h"

namespace {

enum class Answer { NoProvider, AtOnce, Later, Decline };

struct Row {
    const char *name;
    const char *mechanism;
    Answer answer;
    bool async;         // SendAsync, else Send
    bool hangUp;        // the server closes the connection after its 535
    bool secondRefused; // the fresh token is refused too
    int connections;
};

class TokenRenewal : public ::testing::TestWithParam<Row> {};

QString authLine(sasl::Mechanism mechanism, const QString &token, quint16 port) {
    sasl::Client client(mechanism, {"me@example.com", {}, token, "127.0.0.1", port});
    return "C: AUTH " + sasl::MechanismName(mechanism) + " " +
           QString::fromLatin1(client.initialResponse().value_or(QByteArray()).toBase64());
}

QStringList greeting() {
    return {"S: 220 fake", "C: EHLO example.com", "S: 250-fake", "S: 250 AUTH XOAUTH2 OAUTHBEARER"};
}

const QString kRefusal = "535 5.7.8 token refused";

TEST_P(TokenRenewal, OneRenewalASendAndTheClassicOutcomeOtherwise) {
    const Row &row = GetParam();
    const sasl::Mechanism mechanism = *sasl::MechanismFromName(row.mechanism);
    const QString challenge = QByteArray(R"({"status":"401","schemes":"bearer"})").toBase64();
    const QString answer = mechanism == sasl::Mechanism::XOAuth2 ? "C: " : "C: AQ==";
    // OAUTHBEARER names the port: the script is given once the server listens.
    FakeServer server({});
    ASSERT_TRUE(server.listening());
    const quint16 port = server.port();
    const auto refuse = [&](const QString &token) {
        return QStringList{authLine(mechanism, token, port), "S: 334 " + challenge, answer,
                           "S: " + kRefusal};
    };
    const bool renews = row.answer == Answer::AtOnce || row.answer == Answer::Later;
    QStringList script = greeting() + refuse("stale-secret");
    if (renews) {
        if (row.hangUp) {
            script << "X:"
                   << "A:" << greeting();
        }
        if (row.secondRefused) {
            script += refuse("fresh-secret");
        } else {
            script << authLine(mechanism, "fresh-secret", port) << "S: 235 ok"
                   << "C: MAIL FROM:<sender@example.com>"
                   << "S: 250 ok"
                   << "C: RCPT TO:<rcpt@example.com>"
                   << "S: 250 ok"
                   << "C: DATA"
                   << "S: 354 go"
                   << "D:"
                   << "S: 250 queued";
        }
    }
    script << "C: QUIT"
           << "S: 221 bye";
    server.setScript(script);

    clsSendMail m;
    testsupport::AimAtLoopback(m, port, "rcpt@example.com", 5);
    m.setUseAuthentication(true);
    m.setUsername("me@example.com");
    m.setAuthMechanism(row.mechanism);
    m.setOAuthToken("stale-secret");

    int asked = 0;
    QString refusal;
    if (row.answer != Answer::NoProvider) {
        m.SetOAuthTokenProvider([&](const QString &why) {
            ++asked;
            refusal = why;
            if (row.answer == Answer::Decline) {
                m.ProvideOAuthToken(QString());
            } else if (row.answer == Answer::AtOnce) {
                m.ProvideOAuthToken("fresh-secret");
            } else {
                QTimer::singleShot(100, &m, [&m] { m.ProvideOAuthToken("fresh-secret"); });
            }
        });
    }
    int successes = 0;
    QStringList failures, statuses, trace;
    QObject::connect(&m, &clsSendMail::SendSuccesful, [&] { ++successes; });
    QObject::connect(&m, &clsSendMail::SendFailed, [&](const QString &w) { failures << w; });
    QObject::connect(&m, &clsSendMail::status, [&](const QString &s) { statuses << s; });
    QObject::connect(&m, &clsSendMail::DebugPrint,
                     [&](const QVariant &t) { trace << t.toString(); });

    if (row.async) {
        m.SendAsync();
        QElapsedTimer t;
        t.start();
        while (successes + failures.size() == 0 && t.elapsed() < 15000) {
            QEventLoop loop;
            QTimer::singleShot(5, &loop, &QEventLoop::quit);
            loop.exec();
        }
    } else {
        m.Send();
    }
    // Late events would show a second outcome or a second request.
    QEventLoop settle;
    QTimer::singleShot(200, &settle, &QEventLoop::quit);
    settle.exec();

    EXPECT_TRUE(server.done()) << "stopped at step " << server.position() << "\n"
                               << trace.join('\n').toStdString();
    EXPECT_TRUE(server.errors().isEmpty()) << server.errors().join('\n').toStdString();
    EXPECT_EQ(server.connections(), row.connections);
    EXPECT_EQ(asked, row.answer == Answer::NoProvider ? 0 : 1);
    if (asked > 0) {
        EXPECT_EQ(refusal.trimmed(), kRefusal);
    }
    const bool delivered = renews && !row.secondRefused;
    EXPECT_EQ(successes, delivered ? 1 : 0);
    EXPECT_EQ(failures.size(), delivered ? 0 : 1);
    if (!delivered) {
        ASSERT_EQ(failures.size(), 1);
        EXPECT_EQ(failures[0].trimmed(), kRefusal);
        EXPECT_TRUE(m.LastOutcome().tokenRefused);
        EXPECT_EQ(m.LastOutcome().kind, sendmail::SmtpOutcome::Kind::Reply);
    }
    EXPECT_EQ(m.OAuthToken(), renews ? "fresh-secret" : "stale-secret");
    // Without a provider the texts are those the component always gave.
    EXPECT_EQ(statuses.contains("The server refused the access token; asking for a new one..."),
              row.answer != Answer::NoProvider);
    EXPECT_FALSE(trace.join('\n').contains("secret"));
    // An answer when nothing waits for one changes nothing.
    m.ProvideOAuthToken("late-secret");
    EXPECT_NE(m.OAuthToken(), "late-secret");
}

INSTANTIATE_TEST_SUITE_P(
    Table, TokenRenewal,
    ::testing::Values(
        Row{"NoProvider", "XOAUTH2", Answer::NoProvider, false, false, false, 1},
        Row{"AnsweredAtOnce", "XOAUTH2", Answer::AtOnce, false, false, false, 1},
        Row{"AnsweredLaterAsync", "OAUTHBEARER", Answer::Later, true, false, false, 1},
        Row{"AnsweredLaterBlocking", "XOAUTH2", Answer::Later, false, false, false, 1},
        Row{"ServerHangsUp", "OAUTHBEARER", Answer::AtOnce, true, true, false, 2},
        Row{"FreshTokenRefusedToo", "XOAUTH2", Answer::AtOnce, false, false, true, 1},
        Row{"Declined", "OAUTHBEARER", Answer::Decline, true, false, false, 1}),
    [](const ::testing::TestParamInfo<Row> &row) { return std::string(row.param.name); });

} // namespace
