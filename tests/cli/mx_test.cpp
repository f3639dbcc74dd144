// kelmsend's MX lookups against a real name server: dnsmasq on 127.0.0.1 on
// a free port, serving only its own MX records, reached through
// KELMSEND_NAMESERVER.
#include "dns/mx_query.h"
#include "kelmsend_support.h"
#include "private_network.h"

#include <QFileInfo>

#include "qt_printers.h"

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace clitest;
using namespace std::chrono_literals;

namespace {

const QString kDnsmasq = QStringLiteral("/usr/sbin/dnsmasq");

quint16 freeUdpPort() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    quint16 port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length) == 0) {
        port = ntohs(a.sin_port);
    }
    close(fd);
    return port;
}

// True once the server on 127.0.0.1:port answers the test's own MX query
// with a record: that server is the test's dnsmasq, not whatever else had
// the port a moment before.
bool answers(quint16 port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const QByteArray probe = modMXQuery::BuildQueryMessage("example.test");
    bool ok = false;
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        send(fd, probe.constData(), static_cast<size_t>(probe.size()), 0) == probe.size()) {
        pollfd p{fd, POLLIN, 0};
        unsigned char buf[512];
        ok = poll(&p, 1, 200) == 1 && recv(fd, buf, sizeof buf, 0) >= 12 && (buf[6] | buf[7]) != 0;
    }
    close(fd);
    return ok;
}

class KelmsendMx : public ::testing::Test {
protected:
    // Each test runs again in a network namespace of its own, where no
    // other program's socket can take or answer dnsmasq's port.
    void SetUp() override {
        if (!testsupport::InPrivateNetwork()) {
            outside = true;
            testsupport::RunInPrivateNetwork({});
            return;
        }
        if (!QFileInfo(kDnsmasq).isExecutable()) {
            GTEST_SKIP() << "dnsmasq is not installed (package dnsmasq-base)";
        }
        const auto giveUp = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < giveUp) {
            port = freeUdpPort();
            server.start(kDnsmasq, {"--no-resolv", "--no-hosts", "--port=" + QString::number(port),
                                    "--listen-address=127.0.0.1", "--bind-interfaces",
                                    "--keep-in-foreground", "--user=root", "--group=root",
                                    "--conf-file=/dev/null", "--pid-file=", "--log-facility=-",
                                    "--mx-host=example.test,mx2.example.test,20",
                                    "--mx-host=example.test,mx1.example.test,10",
                                    // Mail for this domain goes to the test's own server.
                                    "--mx-host=local.test,127.0.0.1,10"});
            ASSERT_TRUE(server.waitForStarted(5000)) << server.errorString().toStdString();
            while (std::chrono::steady_clock::now() < giveUp &&
                   server.state() == QProcess::Running && !answers(port)) {
            }
            if (server.state() == QProcess::Running) {
                break;
            }
            server.waitForFinished(1000);
        }
        ASSERT_EQ(server.state(), QProcess::Running)
            << "dnsmasq did not start: " << server.readAllStandardError().toStdString();
    }
    void TearDown() override {
        if (outside) {
            return;
        }
        if (!IsSkipped()) {
            EXPECT_EQ(server.state(), QProcess::Running)
                << "dnsmasq ended during the test: " << server.readAllStandardError().toStdString();
        }
        if (server.state() != QProcess::NotRunning) {
            server.kill();
            server.waitForFinished(5000);
        }
    }
    std::map<QString, QString> nameServer(const QString &domain = {}) const {
        return {{"KELMSEND_NAMESERVER", "127.0.0.1:" + QString::number(port)},
                {"KELMSEND_DOMAIN", domain}};
    }

    QProcess server;
    quint16 port = 0;
    bool outside = false; // the test ran in its namespace, from SetUp
};

TEST_F(KelmsendMx, PrintsTheExchangeWithTheLowestPreference) {
    if (outside)
        return;
    const Finished r = RunKelmsend({"mx", "example.test"}, {}, nameServer());
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_EQ(r.out, "mx1.example.test\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(KelmsendMx, WithoutADomainAsksForTheMachinesDomain) {
    if (outside)
        return;
    const Finished r = RunKelmsend({"mx", "-v"}, {}, nameServer("example.test"));
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_EQ(r.out, "mx1.example.test\n");
    EXPECT_EQ(r.err, "Performing MX Query\n");
}

TEST_F(KelmsendMx, NoExchangeExitsOne) {
    if (outside)
        return;
    const Finished r = RunKelmsend({"mx", "nothing.invalid"}, {}, nameServer());
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kelmsend: no mail exchanger found for nothing.invalid\n");
}

TEST_F(KelmsendMx, AServerThatDoesNotAnswerIsNamedInTheError) {
    if (outside)
        return;
    // A socket that takes the query and never answers: the wait for the
    // answer runs out (5 seconds).
    const int silent = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(getsockname(silent, reinterpret_cast<sockaddr *>(&a), &length), 0);
    std::map<QString, QString> env = nameServer();
    env["KELMSEND_NAMESERVER"] = "127.0.0.1:" + QString::number(ntohs(a.sin_port));
    const Finished r = RunKelmsend({"mx", "example.test"}, {}, env);
    close(silent);
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_EQ(r.err, "kelmsend: no mail exchanger found for example.test (Problem receiving MX "
                     "query)\n");
}

TEST_F(KelmsendMx, WithoutServerTheMessageGoesToTheExchangeOfTheDomain) {
    if (outside)
        return;
    SmtpServer smtp;
    ASSERT_NE(smtp.port(), 0) << "aiosmtpd did not start";
    const Finished r = RunKelmsend({"--from", "me@example.com", "--to", "you@example.com", "--port",
                                    QString::number(smtp.port()), "--body", "via MX", "-v"},
                                   {}, nameServer("local.test"));
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_TRUE(r.err.startsWith("Performing MX Query\nConnecting to SMTP Server (127.0.0.1)...\n"))
        << r.describe();
    EXPECT_TRUE(smtp.messageBytes(1).contains("\r\n\r\nvia MX"));
}

} // namespace
