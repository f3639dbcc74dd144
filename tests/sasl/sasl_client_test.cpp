// The mechanism choice, and whole exchanges of each password mechanism
// against GNU SASL's server side, which checks what the client computes
// (SCRAM proofs, the CRAM-MD5 digest) without a socket.
#include "sasl/sasl_client.h"

#include <gmock/gmock.h>
#include <gsasl.h>
#include <gtest/gtest.h>

using namespace sasl;

namespace {

TEST(SaslNames, OfferedMechanismsAreReadFromEveryAuthLine) {
    const QString reply = "250-mail.example.com\r\n250-PIPELINING\r\n"
                          "250-AUTH PLAIN login SCRAM-SHA-256\r\n250-AUTH=LOGIN CRAM-MD5\r\n"
                          "250 8BITMIME\r\n";
    EXPECT_EQ(OfferedMechanisms(reply),
              (QStringList{"PLAIN", "login", "SCRAM-SHA-256", "CRAM-MD5"}));
    EXPECT_TRUE(OfferedMechanisms("250-x\r\n250-AUTHORITY yes\r\n250 SIZE\r\n").isEmpty());
    EXPECT_EQ(MechanismFromName("scram-sha-1"), Mechanism::ScramSha1);
    EXPECT_EQ(MechanismFromName("GSSAPI"), std::nullopt);
}

struct Choice {
    const char *offered;
    bool token;
    bool clearAllowed;
    std::optional<Mechanism> chosen;
};

class SaslChoice : public ::testing::TestWithParam<Choice> {};

TEST_P(SaslChoice, PicksTheStrongestAllowed) {
    const Choice &c = GetParam();
    EXPECT_EQ(ChooseMechanism(QString(c.offered).split(u' ', Qt::SkipEmptyParts), c.token,
                              c.clearAllowed),
              c.chosen)
        << c.offered;
}

INSTANTIATE_TEST_SUITE_P(
    Table, SaslChoice,
    ::testing::Values(Choice{"PLAIN LOGIN CRAM-MD5 SCRAM-SHA-1 SCRAM-SHA-256", false, true,
                             Mechanism::ScramSha256},
                      Choice{"plain cram-md5 scram-sha-1", false, true, Mechanism::ScramSha1},
                      Choice{"PLAIN LOGIN CRAM-MD5", false, false, Mechanism::CramMd5},
                      Choice{"LOGIN PLAIN", false, true, Mechanism::Plain},
                      Choice{"LOGIN PLAIN", false, false, std::nullopt},
                      Choice{"XOAUTH2 OAUTHBEARER PLAIN", false, true, Mechanism::Plain},
                      Choice{"SCRAM-SHA-256 OAUTHBEARER XOAUTH2", true, true, Mechanism::XOAuth2},
                      Choice{"SCRAM-SHA-256 OAUTHBEARER", true, true, Mechanism::OAuthBearer},
                      Choice{"SCRAM-SHA-256 OAUTHBEARER", true, false, Mechanism::ScramSha256},
                      Choice{"GSSAPI NTLM", false, true, std::nullopt},
                      Choice{"", true, true, std::nullopt}));

// A GNU SASL server that knows one user.
int ServerCallback(Gsasl *, Gsasl_session *session, Gsasl_property prop) {
    if (prop == GSASL_PASSWORD) {
        const char *user = gsasl_property_fast(session, GSASL_AUTHID);
        if (user && QByteArray(user) == "jürgen")
            return gsasl_property_set(session, GSASL_PASSWORD, "pässwörd");
    }
    return GSASL_NO_CALLBACK;
}

struct Outcome {
    bool serverAccepted = false;
    bool clientFinished = false;
    int turns = 0;
};

// Plays the exchange as SMTP would carry it: the initial response on the
// AUTH line when the mechanism has one, else an empty first challenge.
// `tamper` may change each server message before the client sees it.
Outcome Exchange(Mechanism m, const QString &password,
                 const std::function<void(QByteArray &)> &tamper = {}) {
    Gsasl *ctx = nullptr;
    EXPECT_EQ(gsasl_init(&ctx), GSASL_OK);
    gsasl_callback_set(ctx, ServerCallback);
    Gsasl_session *server = nullptr;
    EXPECT_EQ(gsasl_server_start(ctx, MechanismName(m).toLatin1().constData(), &server), GSASL_OK);

    Client client(m, {"jürgen", password, {}, {}, 0});
    Outcome outcome;
    std::optional<QByteArray> toServer = client.initialResponse();
    QByteArray fromClient = toServer.value_or(QByteArray());
    for (int turn = 0; turn < 6; ++turn) {
        char *out = nullptr;
        size_t outLength = 0;
        const int rc = gsasl_step(server, fromClient.constData(),
                                  static_cast<size_t>(fromClient.size()), &out, &outLength);
        QByteArray challenge(out ? out : "", static_cast<qsizetype>(out ? outLength : 0));
        gsasl_free(out);
        if (rc == GSASL_OK && challenge.isEmpty()) {
            outcome.serverAccepted = true;
            break;
        }
        if (rc != GSASL_OK && rc != GSASL_NEEDS_MORE)
            break;
        if (tamper)
            tamper(challenge);
        ++outcome.turns;
        toServer = client.respond(challenge);
        if (!toServer)
            break;
        fromClient = *toServer;
        if (rc == GSASL_OK) {
            // SCRAM: the server has accepted and sent its signature; the
            // client's empty answer ends the exchange.
            outcome.serverAccepted = true;
            break;
        }
    }
    outcome.clientFinished = client.finished();
    gsasl_finish(server);
    gsasl_done(ctx);
    return outcome;
}

class SaslExchange : public ::testing::TestWithParam<Mechanism> {};

TEST_P(SaslExchange, TheRightPasswordIsAcceptedAndAWrongOneIsNot) {
    const Outcome good = Exchange(GetParam(), "pässwörd");
    EXPECT_TRUE(good.serverAccepted);
    EXPECT_TRUE(good.clientFinished);
    EXPECT_FALSE(Exchange(GetParam(), "wrong").serverAccepted);
}

INSTANTIATE_TEST_SUITE_P(Mechanisms, SaslExchange,
                         ::testing::Values(Mechanism::ScramSha256, Mechanism::ScramSha1,
                                           Mechanism::CramMd5, Mechanism::Plain, Mechanism::Login),
                         [](const auto &row) {
                             return MechanismName(row.param).remove(u'-').toStdString();
                         });

TEST(SaslExchange, ScramRefusesAServerThatCannotProveItKnowsThePassword) {
    int seen = 0;
    const Outcome forged = Exchange(Mechanism::ScramSha256, "pässwörd", [&](QByteArray &c) {
        if (++seen == 2) // the server-final message "v=<signature>"
            c = "v=AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";
    });
    EXPECT_FALSE(forged.clientFinished);
    EXPECT_EQ(seen, 2);
}

TEST(SaslExchange, ScramRefusesAnIterationCountAboveTheCap) {
    for (const QByteArray count : {"1000001", "2000000000", "99999999999999999999999"}) {
        SCOPED_TRACE(count.toStdString());
        Client client(Mechanism::ScramSha256, {"u", "p", {}, {}, 0});
        ASSERT_TRUE(client.initialResponse());
        EXPECT_EQ(client.respond("r=nonceFROMserver,s=QSXCR+Q6sek8bf92,i=" + count), std::nullopt);
        EXPECT_THAT(client.error().toStdString(),
                    ::testing::HasSubstr("SCRAM-SHA-256: the server asks for "));
        EXPECT_THAT(client.error().toStdString(), ::testing::HasSubstr("at most 1000000"));
    }
}

TEST(SaslBearer, LinesAndTheAnswerToAnErrorChallenge) {
    Client xo(Mechanism::XOAuth2, {"me@example.com", {}, "tok", {}, 0});
    EXPECT_EQ(xo.initialResponse(), QByteArray("user=me@example.com\x01"
                                               "auth=Bearer tok\x01\x01"));
    EXPECT_EQ(xo.respond("{\"status\":\"401\"}"), QByteArray());
    EXPECT_THAT(xo.error().toStdString(), ::testing::HasSubstr("401"));
    EXPECT_FALSE(xo.finished());

    // The example of RFC 7628 section 4.1.
    Client ob(Mechanism::OAuthBearer, {"user@example.com",
                                       {},
                                       "vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg==",
                                       "server.example.com",
                                       143});
    EXPECT_EQ(ob.respond({}), QByteArray("n,a=user@example.com,\x01host=server.example.com\x01"
                                         "port=143\x01"
                                         "auth=Bearer vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg=="
                                         "\x01\x01"));
    EXPECT_EQ(ob.respond("{\"status\":\"invalid_token\"}"), QByteArray("\x01"));
}

} // namespace
