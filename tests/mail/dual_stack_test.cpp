// The component on networks with IPv6, against aiosmtpd: a name with only an
// IPv6 address, a dual-stack name whose IPv6 path is dead, and a send to the
// mail exchanger found through a name server on ::1. Each case runs in a
// private network namespace with its own /etc/hosts and /etc/resolv.conf.
//
// The IPv6-only name uses 2001:db8::25 on the namespace's loopback, not ::1:
// the C library answers an IPv4 lookup of a hosts-file name for ::1 with
// 127.0.0.1, which would let the name pass as an IPv4 one.
#include "mail/send_mail.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <gtest/gtest.h>

#include "private_network.h"
#include "qt_printers.h"
#include "smtp_server.h"

using testsupport::InPrivateNetwork;
using testsupport::RunInPrivateNetwork;
using testsupport::SmtpServer;

namespace {

struct Outcome {
    int successes = 0;
    QStringList failures, statuses;
    qint64 ms = 0;
};

Outcome send(clsSendMail &m) {
    Outcome o;
    QObject::connect(&m, &clsSendMail::SendSuccesful, [&o] { ++o.successes; });
    QObject::connect(&m, &clsSendMail::SendFailed, [&o](const QString &e) { o.failures << e; });
    QObject::connect(&m, &clsSendMail::status, [&o](const QString &s) { o.statuses << s; });
    QElapsedTimer t;
    t.start();
    m.Send();
    o.ms = t.elapsed();
    return o;
}

void address(clsSendMail &m, quint16 port) {
    m.setSMTPPort(port);
    m.setFrom("sender@example.com");
    m.setRecipient("one@example.com");
    m.setSubject("Hi");
    m.setMessage("Hello");
}

} // namespace

TEST(DualStack, NameWithOnlyAnIPv6AddressPassesTheHostChecksAndGetsTheMessage) {
    if (!InPrivateNetwork()) {
        RunInPrivateNetwork(
            {.hosts = "2001:db8::25 v6only.test\n", .addresses = {"2001:db8::25/128"}});
        return;
    }
    SmtpServer server({"--bind", "2001:db8::25"});
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start on 2001:db8::25";

    clsSendMail m;
    // Level 2: the echo answers over ICMPv6 and the host is kept as the
    // address that answered.
    m.setSMTPHostValidation(2);
    m.setPOP3Host("v6only.test");
    EXPECT_EQ(m.POP3Host(), "2001:db8::25");
    m.setSMTPHostValidation(3);
    m.setSMTPHost(" v6only.test ");
    EXPECT_EQ(m.SMTPHost(), "v6only.test");
    EXPECT_TRUE(m.ErrorList().isEmpty()) << m.ErrorList().join('|').toStdString();

    address(m, server.port());
    const Outcome o = send(m);
    EXPECT_EQ(o.failures, QStringList{});
    EXPECT_EQ(o.successes, 1);
    EXPECT_TRUE(o.statuses.contains("Connecting to SMTP Server (v6only.test)..."));
    EXPECT_EQ(server.envelope(1)["to"].toArray().size(), 1);
}

TEST(DualStack, DeadIPv6PathFallsBackToIPv4WellBeforeTheConnectTimeout) {
    if (!InPrivateNetwork()) {
        RunInPrivateNetwork({.hosts = "::1 dual.test\n127.0.0.1 dual.test\n"});
        return;
    }
    SmtpServer server; // on 127.0.0.1 only
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    testsupport::DeadListener dead(server.port());
    ASSERT_TRUE(dead.ok()) << "could not make [::1]:" << server.port() << " drop connects";

    clsSendMail m;
    m.setSMTPHost("dual.test");
    EXPECT_TRUE(m.ErrorList().isEmpty());
    m.setConnectTimeout(30);
    address(m, server.port());
    const Outcome o = send(m);
    EXPECT_EQ(o.failures, QStringList{});
    EXPECT_EQ(o.successes, 1);
    EXPECT_LT(o.ms, 2000) << "the IPv4 address was not tried alongside the silent IPv6 one";
    EXPECT_EQ(server.envelope(1)["from"].toString(), "sender@example.com");
}

TEST(DualStack, MailExchangerFoundThroughAnIPv6NameServerIsReachedOverEitherFamily) {
    // The IPv4 name server listed second has nobody behind it: only a query
    // to the first, IPv6 one can be answered.
    if (!InPrivateNetwork()) {
        RunInPrivateNetwork(
            {.hosts = "::1 mx.example.test\n127.0.0.1 mx.example.test\n",
             .resolvConf = "nameserver ::1\nnameserver 127.0.0.1\ndomain example.test\n"});
        return;
    }
    QProcess dnsmasq;
    dnsmasq.setProcessChannelMode(QProcess::MergedChannels);
    dnsmasq.start("dnsmasq", {"--no-resolv", "--no-hosts", "--port=53", "--listen-address=::1",
                              "--bind-interfaces", "--keep-in-foreground", "--user=root",
                              "--group=root", "--conf-file=/dev/null", "--pid-file=",
                              "--log-facility=-", "--mx-host=example.test,mx.example.test,10"});
    ASSERT_TRUE(dnsmasq.waitForStarted(5000)) << "dnsmasq (package dnsmasq-base) did not start";
    QByteArray log;
    QElapsedTimer t;
    t.start();
    while (!log.contains("started") && t.elapsed() < 10000 &&
           dnsmasq.state() == QProcess::Running) {
        dnsmasq.waitForReadyRead(200);
        log += dnsmasq.readAll();
    }
    ASSERT_TRUE(log.contains("started")) << log.toStdString();

    SmtpServer server; // 127.0.0.1 only: the exchange's ::1 is refused first
    ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
    clsSendMail m;
    address(m, server.port());
    const Outcome o = send(m);
    dnsmasq.kill();
    dnsmasq.waitForFinished(5000);
    EXPECT_EQ(o.failures, QStringList{});
    EXPECT_EQ(o.successes, 1);
    EXPECT_TRUE(o.statuses.contains("Performing MX Query")) << o.statuses.join('|').toStdString();
    EXPECT_TRUE(o.statuses.contains("Connecting to SMTP Server (mx.example.test)..."))
        << o.statuses.join('|').toStdString();
}
