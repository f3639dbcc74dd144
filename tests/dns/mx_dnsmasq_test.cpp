// The MX query against a real name server: dnsmasq on 127.0.0.1 port 53,
// serving only its own MX records and forwarding nothing anywhere.
#include "dns_test_support.h"

#include <QFileInfo>
#include <QProcess>
#include <gtest/gtest.h>

using namespace modMXQuery;
using namespace dnstest;
using namespace std::chrono_literals;

namespace {

const QString kDnsmasq = QStringLiteral("/usr/sbin/dnsmasq");

// True once dnsmasq itself answers on 127.0.0.1:53: the probe name has an
// MX record that only our dnsmasq serves, so another test run's server that
// holds the port for a moment is not mistaken for it.
bool answers() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kDnsPort);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const QByteArray probe = BuildQueryMessage("ready.probe");
    bool ok = false;
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        send(fd, probe.constData(), static_cast<size_t>(probe.size()), 0) == probe.size()) {
        pollfd p{fd, POLLIN, 0};
        char buf[512];
        ssize_t n = poll(&p, 1, 200) == 1 ? recv(fd, buf, sizeof buf, 0) : -1;
        if (n >= 12) {
            const QByteArray reply(buf, static_cast<int>(n));
            ok = ParseMXAnswers(reply, 12,
                                static_cast<uchar>(buf[6]) << 8 | static_cast<uchar>(buf[7])) ==
                 "dnsmasq.ready.probe";
        }
    }
    close(fd);
    return ok;
}

class Dnsmasq : public ::testing::Test {
protected:
    void SetUp() override {
        if (!QFileInfo(kDnsmasq).isExecutable())
            GTEST_SKIP() << "dnsmasq is not installed (package dnsmasq-base)";
        const QStringList args{"--no-resolv",
                               "--no-hosts",
                               "--port=53",
                               "--listen-address=127.0.0.1",
                               "--bind-interfaces",
                               "--keep-in-foreground",
                               "--user=root",
                               "--group=root",
                               "--conf-file=/dev/null",
                               "--pid-file=",
                               "--log-queries",
                               "--log-facility=-",
                               "--mx-host=example.test,mx2.example.test,20",
                               "--mx-host=example.test,mx1.example.test,10",
                               "--mx-host=other.test,mx.other.test,5",
                               "--mx-host=ready.probe,dnsmasq.ready.probe,1"};
        // Another test run may hold port 53 for a moment: dnsmasq then ends
        // at once, and is started again within the bound.
        const auto giveUp = std::chrono::steady_clock::now() + 30s;
        bool ready = false;
        while (!ready && std::chrono::steady_clock::now() < giveUp) {
            server.start(kDnsmasq, args);
            ASSERT_TRUE(server.waitForStarted(5000)) << server.errorString().toStdString();
            while (!ready && std::chrono::steady_clock::now() < giveUp &&
                   !server.waitForFinished(100))
                ready = answers();
            if (!ready) {
                server.kill();
                server.waitForFinished(5000);
                log += server.readAllStandardError();
            }
        }
        ASSERT_TRUE(ready) << "dnsmasq did not start:\n" << log.toStdString();

        ResetModuleState();
        SetSystemConfiguration(
            std::make_shared<StaticSystemConfiguration>(QStringList{"127.0.0.1"}, "example.test"));
    }
    void TearDown() override {
        if (server.state() != QProcess::NotRunning) {
            server.kill();
            server.waitForFinished(5000);
        }
        SetSystemConfiguration(nullptr);
        ResetModuleState();
    }

    // The names dnsmasq was asked for, in order (its own query log).
    QStringList askedFor() {
        server.terminate();
        server.waitForFinished(5000);
        log += server.readAllStandardError();
        QStringList names;
        for (const QByteArray &line : log.split('\n')) {
            const int at = static_cast<int>(line.indexOf("query[MX] "));
            if (at >= 0 && !line.contains("ready.probe"))
                names << QString::fromLatin1(line.mid(at + 10)).section(' ', 0, 0);
        }
        return names;
    }

    QProcess server;
    QByteArray log;
};

TEST_F(Dnsmasq, AnswersWithTheLowestPreference) {
    QStringList statuses;
    EXPECT_EQ(MXQuery("example.test", [&](const QString &s) { statuses << s; }),
              "mx1.example.test");
    EXPECT_EQ(statuses, QStringList{"Performing MX Query, Domain: example.test"});
    EXPECT_EQ(MXQuery("other.test", {}), "mx.other.test");
    EXPECT_EQ(askedFor(), (QStringList{"example.test", "other.test"}));
}

TEST_F(Dnsmasq, ParentDomainRetryReachesTheDomainWithRecords) {
    EXPECT_EQ(MXQuery("host.sub.example.test", {}), "mx1.example.test");
    EXPECT_EQ(QueryDomain, "example.test");
    // A name outside the machine's domain is asked once.
    EXPECT_EQ(MXQuery("host.nothing.invalid", {}), "");
    EXPECT_EQ(askedFor(), (QStringList{"host.sub.example.test", "sub.example.test", "example.test",
                                       "host.nothing.invalid"}));
}

} // namespace
