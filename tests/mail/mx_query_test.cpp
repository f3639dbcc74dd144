// The component's MXQuery and the session's MX path, against a scripted name
// server on 127.0.0.1 and a substituted system configuration.
#include "dns/mx_query.h"
#include "mail/send_mail.h"
#include "net/net_utils.h"

#include "dns/dns_test_support.h"
#include "fake_server.h"
#include "qt_printers.h"

#include <gtest/gtest.h>

using namespace dnstest;

namespace {

// Points the resolver at the scripted server for one test.
struct ResolverOnLoopback {
    ScriptedDnsServer server;
    std::shared_ptr<FakeConfiguration> config = std::make_shared<FakeConfiguration>();

    explicit ResolverOnLoopback(const QString &domain = "example.com") {
        modMXQuery::ResetModuleState();
        modMXQuery::NetworkParameters p;
        p.DnsServers = {"127.0.0.1"};
        p.DomainName = domain;
        config->params = p;
        modMXQuery::SetSystemConfiguration(config);
        modMXQuery::SetServerPort(server.port());
        modMXQuery::SetAnswerTimeout(std::chrono::milliseconds(500));
    }
    ~ResolverOnLoopback() {
        modMXQuery::SetSystemConfiguration(nullptr);
        modMXQuery::SetServerPort(0);
        modMXQuery::SetAnswerTimeout(std::chrono::milliseconds(0));
        modMXQuery::ResetModuleState();
    }
};

QStringList statusesOf(clsSendMail &m, const std::function<void()> &call) {
    QStringList seen;
    auto link =
        QObject::connect(&m, &clsSendMail::status, [&seen](const QString &s) { seen << s; });
    call();
    QObject::disconnect(link);
    return seen;
}

} // namespace

TEST(ComponentMXQuery, TrimsTheDomainAndReportsIt) {
    ResolverOnLoopback resolver;
    resolver.server.respond([](const QByteArray &) {
        return QList<Datagram>{{answer("example.com", {mx(20, fullName("mx2.example.com")),
                                                       mx(10, fullName("mx1.example.com"))})}};
    });
    clsSendMail m;
    QString result;
    const int balance = sendmail::SocketLibraryBalanceForTesting();
    QStringList seen = statusesOf(m, [&] { result = m.MXQuery("  example.com  "); });
    EXPECT_EQ(result, "mx1.example.com");
    EXPECT_EQ(seen, QStringList{"Performing MX Query, Domain: example.com"});
    EXPECT_EQ(resolver.server.queriedNames(), QStringList{"example.com"});
    EXPECT_EQ(sendmail::SocketLibraryBalanceForTesting(), balance)
        << "every start of the socket library is paired with a stop";
}

TEST(ComponentMXQuery, NoArgumentQueriesTheMachinesDomain) {
    ResolverOnLoopback resolver("corp.example.org");
    resolver.server.respond([](const QByteArray &) {
        return QList<Datagram>{{answer("corp.example.org", {mx(5, fullName("mail.example.org"))})}};
    });
    clsSendMail m;
    QString result;
    QStringList seen = statusesOf(m, [&] { result = m.MXQuery(); });
    EXPECT_EQ(seen, QStringList{"Performing MX Query"});
    EXPECT_EQ(result, "mail.example.org");
    EXPECT_EQ(resolver.server.queriedNames(), QStringList{"corp.example.org"});
}

TEST(ComponentMXQuery, SilentServerReportsTheFailedReceive) {
    ResolverOnLoopback resolver;
    clsSendMail m;
    QString result = "unchanged";
    QStringList seen = statusesOf(m, [&] { result = m.MXQuery("example.com"); });
    EXPECT_EQ(result, "");
    EXPECT_EQ(seen, QStringList({"Performing MX Query, Domain: example.com",
                                 "Problem receiving MX query"}));
}

TEST(ComponentMXQuery, SessionWithoutHostUsesTheExchangeFound) {
    FakeServer smtp({"S: 220 ready", "C: HELO example.com", "S: 250 ok",
                     "C: MAIL FROM: <sender@example.com>", "S: 250 ok",
                     "C: RCPT TO: <rcpt@example.com>", "S: 250 ok", "C: DATA", "S: 354 go",
                     "D:", "S: 250 queued", "C: QUIT", "S: 221 bye"});
    ResolverOnLoopback resolver;
    // The exchange is named by address so that the connect needs no lookup.
    resolver.server.respond([](const QByteArray &) {
        return QList<Datagram>{{answer("example.com", {mx(10, fullName("127.0.0.1"))})}};
    });
    clsSendMail m;
    m.setSMTPPort(smtp.port());
    m.setFrom("sender@example.com");
    m.setRecipient("rcpt@example.com");
    m.setMessage("x");
    m.setConnectTimeout(2);
    m.setMessageTimeout(2);
    int successes = 0;
    QObject::connect(&m, &clsSendMail::SendSuccesful, [&] { ++successes; });
    QStringList seen = statusesOf(m, [&] { m.Send(); });
    EXPECT_EQ(successes, 1);
    EXPECT_EQ(m.SMTPHost(), "127.0.0.1");
    EXPECT_EQ(seen.first(), "Performing MX Query");
    EXPECT_TRUE(seen.contains("Connecting to SMTP Server (127.0.0.1)..."));
    EXPECT_TRUE(smtp.done());
}

TEST(ComponentMXQuery, NoHostAndNoExchangeFailsThisSendAtOnce) {
    ResolverOnLoopback resolver;
    resolver.server.respond(
        [](const QByteArray &) { return QList<Datagram>{{answer("example.com", {})}}; });
    clsSendMail m;
    m.setFrom("sender@example.com");
    m.setRecipient("rcpt@example.com");
    QStringList failures;
    QObject::connect(&m, &clsSendMail::SendFailed, [&](const QString &e) { failures << e; });
    m.Send();
    EXPECT_EQ(failures, QStringList{"Invalid or Missing SMTP Host Name"});
    EXPECT_TRUE(m.ErrorList().isEmpty()) << "nothing is left to fail the next send";
}
