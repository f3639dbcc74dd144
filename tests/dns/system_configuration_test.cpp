// The Linux configuration sources, read from a prepared folder.
#include "dns_test_support.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace modMXQuery;
using namespace dnstest;

namespace {

class LinuxConfiguration : public ::testing::Test {
protected:
    void write(const QString &relative, const QByteArray &text) {
        const QString file = dir.filePath(relative);
        QDir().mkpath(QFileInfo(file).absolutePath());
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    }
    QString value(const QString &key, const QString &name) {
        return config.ReadRegistryString(key, name, QStringLiteral("<absent>"));
    }

    QTemporaryDir dir;
    LinuxSystemConfiguration config{dir.path()};
    const QString P = kTcpipParametersKey;
    const QString I = kTcpipInterfacesKey + QLatin1Char('\\');
};

TEST_F(LinuxConfiguration, ResolvConfGivesServersInOrderAndTheDomain) {
    EXPECT_FALSE(config.GetNetworkParams().has_value()) << "no file, no source";

    write("etc/resolv.conf", "# generated\n"
                             "; nameserver 10.9.9.9\n"
                             "search first.example.com second.example.com\n"
                             "nameserver 192.168.0.1\n"
                             "nameserver  fe80::1%eth0\n"
                             "\tnameserver\t192.168.0.2 # trailing words are ignored\n"
                             "nameserver not-an-address\n"
                             "options ndots:2\n");
    auto p = config.GetNetworkParams();
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(p->DnsServers, (QStringList{"192.168.0.1", "fe80::1%eth0", "192.168.0.2"}))
        << "IPv6 servers too, in the file's order";
    EXPECT_EQ(p->DomainName, "first.example.com") << "first search entry without a domain line";

    write("etc/resolv.conf",
          "domain corp.example.com.\nsearch other.example\ndomain last.example\n");
    p = config.GetNetworkParams();
    ASSERT_TRUE(p.has_value());
    EXPECT_TRUE(p->DnsServers.isEmpty());
    EXPECT_EQ(p->DomainName, "last.example") << "a domain line wins over search; the last one";

    write("etc/resolv.conf", "search .\n");
    EXPECT_EQ(config.GetNetworkParams()->DomainName, "");
}

TEST_F(LinuxConfiguration, KeysMapToTheResolverDaemonsFiles) {
    for (const char *name : {"NameServer", "Domain", "DhcpNameServer", "DHCPDomain"})
        EXPECT_EQ(value(P, name), "<absent>") << name;
    EXPECT_TRUE(config.EnumRegistrySubkeys(kTcpipInterfacesKey).isEmpty());

    write("etc/systemd/resolved.conf",
          "[Resolve]\n"
          "DNS=10.9.9.9\n"
          "DNS=\n"
          "DNS=10.0.0.1 2001:db8::1 10.0.0.2:5353 10.0.0.3#dns.example [2001:db8::2]:53 [::1\n"
          "Domains=~. ~corp.example static.example.com\n"
          "[Other]\n"
          "DNS=10.7.7.7\n");
    write("run/systemd/resolve/resolv.conf", "nameserver 172.16.0.1\n"
                                             "nameserver 172.16.0.2\n"
                                             "search dhcp.example.net\n");
    write("run/systemd/resolve/netif/10", "SERVERS=10.10.10.10\nDOMAINS=ten.example\n");
    write("run/systemd/resolve/netif/2", "# This is private data.\n"
                                         "LLMNR=yes\n"
                                         "SERVERS=::1 10.2.2.2\n"
                                         "DOMAINS=~routing.example two.example.\n");
    write("run/systemd/resolve/netif/3", "LLMNR=no\n");

    EXPECT_EQ(value(P, "NameServer"), "10.0.0.1 2001:db8::1 10.0.0.2 10.0.0.3 2001:db8::2");
    EXPECT_EQ(value(P, "Domain"), "static.example.com");
    EXPECT_EQ(value(P, "DhcpNameServer"), "172.16.0.1 172.16.0.2");
    EXPECT_EQ(value(P, "DHCPDomain"), "dhcp.example.net");
    EXPECT_EQ(value(kLegacyStackKey, "NameServer"), "<absent>");
    EXPECT_EQ(value(P, "Unknown"), "<absent>");

    EXPECT_EQ(config.EnumRegistrySubkeys(kTcpipInterfacesKey), (QStringList{"2", "3", "10"}));
    EXPECT_TRUE(config.EnumRegistrySubkeys(P).isEmpty());
    EXPECT_EQ(value(I + "2", "NameServer"), "::1 10.2.2.2");
    EXPECT_EQ(value(I + "2", "Domain"), "two.example");
    EXPECT_EQ(value(I + "3", "NameServer"), "<absent>");
    EXPECT_EQ(value(I + "10", "Domain"), "ten.example");
    EXPECT_EQ(value(I + "../../../../etc/resolv.conf", "NameServer"), "<absent>");
}

TEST_F(LinuxConfiguration, DiscoveryFallsBackToTheDaemonsUpstreamServers) {
    // The usual stub set-up without a stub: a search domain in resolv.conf,
    // the servers only in the daemon's own list.
    write("etc/resolv.conf", "search corp.example.com\n");
    write("run/systemd/resolve/resolv.conf", "nameserver 127.0.0.1\n");
    SetSystemConfiguration(std::make_shared<LinuxSystemConfiguration>(dir.path()));
    ResetModuleState();

    DiscoverNameServers();
    EXPECT_EQ(NameServers, QStringList{"127.0.0.1"});
    EXPECT_EQ(DefaultDomain, "corp.example.com");
    EXPECT_EQ(BaseDomain, "example.com");

    SetSystemConfiguration(nullptr);
    ResetModuleState();
}

TEST(StaticConfiguration, GivesItsServersAndNothingElse) {
    StaticSystemConfiguration config({"127.0.0.1"}, "example.com");
    auto p = config.GetNetworkParams();
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(p->DnsServers, QStringList{"127.0.0.1"});
    EXPECT_EQ(p->DomainName, "example.com");
    EXPECT_EQ(config.ReadRegistryString(kTcpipParametersKey, "NameServer", "d"), "d");
    EXPECT_TRUE(config.EnumRegistrySubkeys(kTcpipInterfacesKey).isEmpty());
    EXPECT_EQ(config.ReverseLookup(ipv4("127.0.0.1")), "");
}

TEST(SystemLookups, AnswerFromTheHostsFileInsideAPrivateNetwork) {
    // Inside an empty network namespace a lookup that reached for the
    // machine's name server could not leave; the hosts file answers these.
    QString reverse;
    std::optional<quint32> byName, numeric, broadcast, empty;
    const bool ran = runInPrivateNetwork([&] {
        reverse = LinuxSystemConfiguration().ReverseLookup(ipv4("127.0.0.1"));
        byName = GetServerAddress("localhost");
        numeric = GetServerAddress("10.1.2.3");
        broadcast = GetServerAddress("255.255.255.255");
        empty = GetServerAddress("");
    });
    if (!ran)
        GTEST_SKIP() << "needs a private network namespace (root)";
    EXPECT_FALSE(reverse.isEmpty()) << "127.0.0.1 is named in /etc/hosts";
    EXPECT_EQ(byName, std::optional<quint32>(ipv4("127.0.0.1")));
    EXPECT_EQ(numeric, std::optional<quint32>(ipv4("10.1.2.3")));
    EXPECT_EQ(broadcast, std::nullopt) << "all bits set is the no-address value";
    EXPECT_EQ(empty, std::nullopt);
}

} // namespace
