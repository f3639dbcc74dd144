// Name-server and domain discovery through a scripted configuration.
#include "dns_test_support.h"

#include <gtest/gtest.h>

using namespace modMXQuery;
using namespace dnstest;

namespace {

const QString P = kTcpipParametersKey;
const QString I = kTcpipInterfacesKey + QLatin1Char('\\');

QString nul(const char *text, int padding) {
    return QString::fromLatin1(text) + QString(padding, QChar(0));
}

struct DiscoveryCase {
    const char *name;
    std::optional<NetworkParameters> params;
    QMap<QString, QString> values;
    QStringList interfaces;
    QMap<quint32, QString> reverse;
    QStringList servers;
    QString defaultDomain;
    QString baseDomain;
    bool readsKeys;
};

void PrintTo(const DiscoveryCase &c, std::ostream *os) {
    *os << c.name;
}

class Discovery : public ::testing::TestWithParam<DiscoveryCase> {
protected:
    void SetUp() override { ResetModuleState(); }
    void TearDown() override {
        SetSystemConfiguration(nullptr);
        SetSocketLibraryHooks({});
        ResetModuleState();
    }
};

TEST_P(Discovery, FillsTheModuleState) {
    const DiscoveryCase &c = GetParam();
    auto config = std::make_shared<FakeConfiguration>();
    config->params = c.params;
    config->values = c.values;
    config->subkeys[kTcpipInterfacesKey] = c.interfaces;
    config->reverse = c.reverse;
    SetSystemConfiguration(config);

    DiscoverNameServers();

    EXPECT_EQ(NameServers, c.servers);
    EXPECT_EQ(NameServerCount, c.servers.size());
    EXPECT_EQ(DefaultDomain, c.defaultDomain);
    EXPECT_EQ(BaseDomain, c.baseDomain);
    EXPECT_EQ(config->valueReads > 0, c.readsKeys);
}

using NP = NetworkParameters;
const auto none = std::nullopt;

// Columns: network parameters; configuration values; interface subkeys;
// reverse names | expected servers, DefaultDomain, BaseDomain, keys read.
// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, Discovery, ::testing::Values(
    DiscoveryCase{"NetworkParametersAreEnough",
        NP{{"192.168.0.1", "192.168.0.2"}, "corp.example.com"},
        {{P + "|NameServer", "10.9.9.9"}, {P + "|Domain", "other.example"}}, {}, {},
        {"192.168.0.1", "192.168.0.2"}, "corp.example.com", "example.com", false},
    DiscoveryCase{"KeyListReplacesTheParameterList",
        NP{{"192.168.0.1"}, ""}, {{P + "|DhcpNameServer", "10.0.0.1 10.0.0.2"}}, {}, {},
        {"10.0.0.1", "10.0.0.2"}, "", "", true},
    DiscoveryCase{"CommaAndSpaceGiveAnEmptyEntry",
        none, {{P + "|NameServer", "10.0.0.1, 10.0.0.2"}, {P + "|Domain", "example.org"}}, {}, {},
        {"10.0.0.1", "", "10.0.0.2"}, "example.org", "example.org", true},
    DiscoveryCase{"OnlyOneTrailingSeparatorIsDropped",
        none, {{P + "|NameServer", "10.0.0.1,"}, {P + "|Domain", "example.org"}}, {}, {},
        {"10.0.0.1", ""}, "example.org", "example.org", true},
    DiscoveryCase{"InterfaceWithServersReplacesEarlierSources",
        none, {{kLegacyStackKey + "|NameServer", "10.5.5.5"}, {P + "|NameServer", "10.0.0.9"},
               {P + "|DhcpNameServer", "10.0.0.8"}, {I + "{A}|NameServer", "10.1.1.1"},
               {I + "{C}|Domain", "if.example.net"}},
        {"{A}", "{B}", "{C}"}, {},
        {"10.1.1.1"}, "if.example.net", "example.net", true},
    DiscoveryCase{"LastNonEmptyDomainWins",
        NP{{"10.0.0.1"}, ""},
        {{kLegacyStackKey + "|Domain", "legacy.example"}, {P + "|Domain", "static.example.com"}},
        {"{A}"}, {},
        {"10.0.0.1"}, "static.example.com", "example.com", true},
    DiscoveryCase{"DomainFromParametersServersFromKeys",
        NP{{}, "corp.example.com"}, {{P + "|NameServer", "10.0.0.1"}}, {}, {},
        {"10.0.0.1"}, "corp.example.com", "example.com", true},
    DiscoveryCase{"NothingFound", NP{{}, ""}, {}, {}, {}, {}, "", "", true},
    DiscoveryCase{"OneLabelDomain", NP{{"10.0.0.1"}, "local"}, {}, {}, {},
        {"10.0.0.1"}, "local", "local", false},
    DiscoveryCase{"NoDomainAndNoReverseName", NP{{"10.0.0.1"}, ""}, {}, {}, {},
        {"10.0.0.1"}, "", "", true},
    DiscoveryCase{"DomainOfTheFirstServersName", NP{{"10.0.0.1", "10.0.0.2"}, ""}, {}, {},
        {{ipv4("10.0.0.1"), "ns1.isp.example.net"}, {ipv4("10.0.0.2"), "ns2.other.example.org"}},
        {"10.0.0.1", "10.0.0.2"}, "isp.example.net", "example.net", true},
    DiscoveryCase{"BareReverseName", NP{{"10.0.0.1"}, ""}, {}, {}, {{ipv4("10.0.0.1"), "gateway"}},
        {"10.0.0.1"}, "", "gateway", true},
    DiscoveryCase{"FixedWidthTextsAreCutAtTheirTerminator",
        NP{{nul("192.168.0.1", 4), nul("", 15)}, nul("corp.example.com", 20)}, {}, {}, {},
        {"192.168.0.1", ""}, "corp.example.com", "example.com", false}),
    caseName<DiscoveryCase>);
// clang-format on

struct TrimCase {
    const char *name;
    QString text;
    QString expected;
};

void PrintTo(const TrimCase &c, std::ostream *os) {
    *os << c.name;
}

class TrimAtNullTable : public ::testing::TestWithParam<TrimCase> {};

TEST_P(TrimAtNullTable, CutsAtTheFirstNul) {
    EXPECT_EQ(TrimAtNull(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TrimAtNullTable,
    ::testing::Values(TrimCase{"NoNulIsNotTrimmed", " a b ", " a b "},
                      TrimCase{"NulFirst", nul("", 1) + "abc", ""},
                      TrimCase{"SpacesBeforeTheNulGo", nul("  ab ", 3) + "xyz", "ab"},
                      TrimCase{"OnlyTheFirstNulCounts", nul("ab", 1) + nul("cd", 1), "ab"},
                      TrimCase{"Empty", "", ""}),
    caseName<TrimCase>);

TEST(GetHostNameByAddress, AsksTheReverseLookupOnlyForAnAddress) {
    auto config = std::make_shared<FakeConfiguration>();
    config->reverse[ipv4("10.0.0.1")] = nul("host.example.com", 2) + "junk";
    config->reverse[ipv4("10.0.0.2")] = QString(300, QLatin1Char('n'));
    SetSystemConfiguration(config);
    int starts = 0, stops = 0;
    SetSocketLibraryHooks({[&] { return ++starts, true; }, [&] { ++stops; }});

    EXPECT_EQ(GetHostNameByAddress("10.0.0.1"), "host.example.com");
    EXPECT_EQ(GetHostNameByAddress("10.0.0.2"), QString(256, QLatin1Char('n')));
    EXPECT_EQ(GetHostNameByAddress("10.0.0.3"), "");
    EXPECT_EQ(config->reverseCalls, 3);
    EXPECT_EQ(starts, 3);
    EXPECT_EQ(stops, 3);

    // Not an address, or the all-ones value that means "no address".
    EXPECT_EQ(GetHostNameByAddress("ns1.example.com"), "");
    EXPECT_EQ(GetHostNameByAddress(""), "");
    EXPECT_EQ(GetHostNameByAddress("255.255.255.255"), "");
    EXPECT_EQ(GetHostNameByAddress(":::1"), "");
    EXPECT_EQ(config->reverseCalls, 3);

    // No socket library, no lookup and nothing to stop.
    SetSocketLibraryHooks({[&] { return ++starts, false; }, [&] { ++stops; }});
    EXPECT_EQ(GetHostNameByAddress("10.0.0.1"), "");
    EXPECT_EQ(config->reverseCalls, 3);
    EXPECT_EQ(stops, 3);

    SetSocketLibraryHooks({});

    // An IPv6 server, the zone of a link-local one as its interface index.
    config->reverse6["2001:db8::53"] = "ns1.isp.example.net";
    config->reverse6["fe80::1%1"] = "router.lan";
    EXPECT_EQ(GetHostNameByAddress("2001:DB8::53"), "ns1.isp.example.net");
    EXPECT_EQ(GetHostNameByAddress("fe80::1%lo"), "router.lan");
    EXPECT_EQ(GetHostNameByAddress("2001:db8::54"), "");
    EXPECT_EQ(config->reverseCalls, 6);
    SetSystemConfiguration(nullptr);
}

TEST(DiscoveryLifecycle, RunsAtEveryQueryUntilAServerIsFoundAndThenNeverAgain) {
    ResetModuleState();
    auto config = std::make_shared<FakeConfiguration>();
    config->params = NetworkParameters{{}, ""};
    SetSystemConfiguration(config);

    for (int query = 1; query <= 2; ++query) {
        EXPECT_EQ(ResolveMX("example.com"), "");
        EXPECT_EQ(config->paramCalls, query);
        ASSERT_TRUE(LastFailure.has_value());
        EXPECT_EQ(LastFailure->Number, 20000);
        EXPECT_EQ(LastFailure->Source, "MXQuery");
        EXPECT_EQ(LastFailure->Description, "No DNS entries found, MX Query cannot contine.");
    }

    // A server appears; the machine's domain is too short to query, so
    // nothing is sent, but the servers are now known for good.
    config->params = NetworkParameters{{"127.0.0.1"}, "a.bc"};
    EXPECT_EQ(ResolveMX(""), "");
    EXPECT_EQ(config->paramCalls, 3);
    ASSERT_TRUE(LastFailure.has_value());
    EXPECT_EQ(LastFailure->Description, "No Valid Domain Specified");
    config->params = NetworkParameters{{"10.9.9.9"}, "changed.example"};
    EXPECT_EQ(ResolveMX("a.bc"), "");
    EXPECT_EQ(config->paramCalls, 3);
    EXPECT_EQ(NameServers, QStringList{"127.0.0.1"});

    SetSystemConfiguration(nullptr);
    ResetModuleState();
}

} // namespace
