// The MX query against a scripted name server on 127.0.0.1 port 53.
#include "dns_test_support.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

using namespace modMXQuery;
using namespace dnstest;
using namespace std::chrono_literals;

namespace {

const QString kPerforming = QStringLiteral("Performing MX Query");
QString performing(const QString &domain) {
    return QStringLiteral("Performing MX Query, Domain: ") + domain;
}

const QByteArray kMx1 = fullName(QStringLiteral("mx1.example.com"));
const QByteArray kMx2 = fullName(QStringLiteral("mx2.example.com"));

class MXExchange : public ::testing::Test {
protected:
    void SetUp() override {
        ResetModuleState();
        configure({"127.0.0.1"}, "example.com");
        SetServerPort(server.port());
        SetAnswerTimeout(2s);
        SetSocketLibraryHooks({[this] { return ++starts, true; }, [this] { ++stops; }});
        descriptors = openDescriptors();
    }
    void TearDown() override {
        EXPECT_EQ(openDescriptors(), descriptors) << "a socket was left open";
        EXPECT_EQ(stops, starts) << "the socket library was not stopped once per start";
        SetSystemConfiguration(nullptr);
        SetServerPort(0);
        SetAnswerTimeout(0ms);
        SetSocketLibraryHooks({});
        ResetModuleState();
    }

    void configure(const QStringList &servers, const QString &domain) {
        config = std::make_shared<FakeConfiguration>();
        config->params = NetworkParameters{servers, domain};
        SetSystemConfiguration(config);
    }
    // Answers every query with the records listed for its name (none for
    // names not listed).
    void answerFrom(const QMap<QString, QList<QByteArray>> &records) {
        server.respond([records](const QByteArray &q) {
            const QString name = queriedName(q);
            return QList<Datagram>{{answer(name, records.value(name))}};
        });
    }
    QString query(const QString &domain) {
        statuses.clear();
        return MXQuery(domain, [this](const QString &s) { statuses << s; });
    }

    ScriptedDnsServer server;
    std::shared_ptr<FakeConfiguration> config;
    QStringList statuses;
    int starts = 0, stops = 0, descriptors = 0;
};

TEST_F(MXExchange, SendsTheExactQueryBytesToPort53) {
    if (server.port() != kDnsPort)
        GTEST_SKIP() << "port 53 needs root; the other cases use a free port";
    answerFrom({{"example.com", {mx(10, kMx1)}}});
    SetServerPort(0); // the default, 53
    EXPECT_EQ(query("example.com"), "mx1.example.com");
    ASSERT_EQ(server.queries().size(), 1);
    EXPECT_EQ(server.queries().at(0), BuildQueryMessage("example.com"));
    EXPECT_EQ(server.queries().at(0).size(), 29);
}

struct ExchangeCase {
    const char *name;
    QString ipDomain;
    QMap<QString, QList<QByteArray>> records;
    QString expected;
    QStringList queried;
    QStringList statuses;
    QString machineDomain = QStringLiteral("example.com");
    QStringList servers = {QStringLiteral("127.0.0.1")};
};

void PrintTo(const ExchangeCase &c, std::ostream *os) {
    *os << c.name;
}

class MXExchangeTable : public MXExchange, public ::testing::WithParamInterface<ExchangeCase> {};

TEST_P(MXExchangeTable, QueriesAndReports) {
    const ExchangeCase &c = GetParam();
    configure(c.servers, c.machineDomain);
    answerFrom(c.records);
    EXPECT_EQ(query(c.ipDomain), c.expected);
    EXPECT_EQ(server.queriedNames(), c.queried);
    EXPECT_EQ(statuses, c.statuses);
}

// Columns: IPDomain; records served per queried name (none for others) |
// result, names queried, status texts; then the machine's domain and
// servers where they differ from example.com and 127.0.0.1.
// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, MXExchangeTable, ::testing::Values(
    ExchangeCase{"SpacesAroundTheDomain", "  example.com  ",
        {{"example.com", {mx(20, kMx2), mx(10, kMx1)}}},
        "mx1.example.com", {"example.com"}, {performing("example.com")}},
    ExchangeCase{"NoDomainQueriesTheMachinesDomain", "", {{"corp.example.net", {mx(10, kMx1)}}},
        "mx1.example.com", {"corp.example.net"}, {kPerforming}, "corp.example.net"},
    ExchangeCase{"FourCharactersAreNotQueried", "a.bc", {{"a.bc", {mx(10, kMx1)}}},
        "", {}, {performing("a.bc")}},
    ExchangeCase{"FiveCharactersAreQueried", "ab.cd", {{"ab.cd", {mx(10, kMx1)}}},
        "mx1.example.com", {"ab.cd"}, {performing("ab.cd")}},
    ExchangeCase{"NoNameServer", "example.com", {},
        "", {}, {performing("example.com")}, "example.com", {}},
    ExchangeCase{"OnlyTheFirstServerIsAsked", "example.com", {{"example.com", {mx(10, kMx1)}}},
        "", {}, {performing("example.com")}, "example.com", {"255.255.255.255", "127.0.0.1"}},
    ExchangeCase{"ParentRetryStopsAtTheBaseDomain", "host.sub.example.com", {{"com", {mx(10, kMx1)}}},
        "", {"host.sub.example.com", "sub.example.com", "example.com"},
        {performing("host.sub.example.com")}},
    ExchangeCase{"ParentRetryNeverGoesAboveTheBaseDomain", "host.example.museum",
        {{"museum", {mx(10, kMx1)}}},
        "", {"host.example.museum", "example.museum"}, {performing("host.example.museum")},
        "corp.example.museum"},
    ExchangeCase{"ParentRetryFindsTheParentsExchange", "host.sub.example.com",
        {{"sub.example.com", {mx(10, kMx1)}}},
        "mx1.example.com", {"host.sub.example.com", "sub.example.com"},
        {performing("host.sub.example.com")}},
    ExchangeCase{"OutsideTheBaseDomainOneQuery", "mail.example.org",
        {{"example.org", {mx(10, kMx1)}}},
        "", {"mail.example.org"}, {performing("mail.example.org")}},
    ExchangeCase{"AliasFirstMeansNoRetry", "host.sub.example.com",
        {{"host.sub.example.com", {record(ptr(12), 5, fullName("sub.example.com"))}},
         {"sub.example.com", {mx(10, kMx1)}}},
        "", {"host.sub.example.com"}, {performing("host.sub.example.com")}},
    ExchangeCase{"BaseDomainInsideALabelWithoutParent", "xlocal", {},
        "", {"xlocal"}, {performing("xlocal")}, "local"}),
    caseName<ExchangeCase>);
// clang-format on

TEST_F(MXExchange, ServerThatNeverAnswersEndsAtTheBound) {
    SetAnswerTimeout(0ms); // the default bound
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(query("example.com"), "");
    EXPECT_GE(std::chrono::steady_clock::now() - start, kDefaultAnswerTimeout);
    EXPECT_EQ(statuses, (QStringList{performing("example.com"), "Problem receiving MX query"}));
    EXPECT_EQ(server.queries().size(), 1);
}

TEST_F(MXExchange, FailedReceiveIsRaisedAsFailure20000) {
    SetAnswerTimeout(300ms);
    try {
        (void)ResolveMX("example.com");
        FAIL() << "no failure raised";
    } catch (const MXQueryError &e) {
        EXPECT_EQ(e.Number, 20000);
        EXPECT_EQ(e.Source, "MXQuery");
        EXPECT_EQ(e.Description, "Problem receiving MX query");
    }
    EXPECT_EQ(QueryDomain, "example.com");
}

TEST_F(MXExchange, OnlyTheServersAnswerToThisQueryCounts) {
    server.respond([](const QByteArray &) {
        const QByteArray better = answer("example.com", {mx(1, kMx2)});
        return QList<Datagram>{{answer("example.com", {mx(1, kMx2)}, 0x12DF)},
                               {answer("example.com", {mx(1, kMx2)}, 0x11DE)},
                               {better, /*fromOtherPort=*/true},
                               {QByteArray(1, '\x11')},
                               {answer("example.com", {mx(10, kMx1)})}};
    });
    EXPECT_EQ(query("example.com"), "mx1.example.com");

    // Nothing but strays: the wait runs out.
    SetAnswerTimeout(500ms);
    server.respond([](const QByteArray &) {
        return QList<Datagram>{{answer("example.com", {mx(1, kMx2)}, 0x1234)},
                               {answer("example.com", {mx(1, kMx2)}), true}};
    });
    EXPECT_EQ(query("example.com"), "");
    EXPECT_EQ(statuses.value(1), "Problem receiving MX query");
}

TEST_F(MXExchange, TruncatedAndLoopingAnswersEndTheWalkSafely) {
    const QByteArray cut = answer("example.com", {mx(20, kMx2), mx(10, kMx1)}).chopped(6);
    // The second exchange points at itself (12 + 17 header and question,
    // 31 bytes of the first record, 14 bytes before the exchange).
    const QByteArray loop = answer("example.com", {mx(20, kMx2), mx(10, ptr(12 + 17 + 31 + 14))});
    for (const auto &[message, expected] :
         {std::pair{cut, QString("mx2.example.com")}, std::pair{loop, QString("mx2.example.com")},
          std::pair{header(5), QString()}}) {
        server.respond([m = message](const QByteArray &) { return QList<Datagram>{{m}}; });
        EXPECT_EQ(query("example.com"), expected);
        EXPECT_EQ(statuses.size(), 1) << "a damaged answer is no failure";
    }
}

TEST_F(MXExchange, OnlyTheFirst2048BytesOfAnAnswerAreUsed) {
    // MX records of preference 50 with long names fill the first 2048
    // bytes; the best record lies beyond them.
    QList<QByteArray> records{mx(20, kMx2)};
    QByteArray filler = fullName(QString(150, QLatin1Char('f')) + ".example.com");
    while (answer("example.com", records).size() < 2048)
        records << mx(50, filler);
    records << mx(1, kMx1);
    answerFrom({{"example.com", records}});
    EXPECT_EQ(query("example.com"), "mx2.example.com");
}

TEST_F(MXExchange, NoSocketLibraryMeansNoQuery) {
    SetSocketLibraryHooks({[this] { return ++starts, false; }, [this] { ++stops; }});
    EXPECT_EQ(query("example.com"), "");
    EXPECT_EQ(starts, 1);
    EXPECT_EQ(stops, 0);
    starts = 0; // balanced for the tear-down check
    EXPECT_TRUE(server.queries().isEmpty());
    EXPECT_EQ(statuses.size(), 1);
}

TEST_F(MXExchange, NoSocketMeansNoQuery) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit none = saved;
    none.rlim_cur = 0;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
    const QString result = ResolveMX("example.com");
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(result, "");
    EXPECT_EQ(starts, 1);
    EXPECT_TRUE(server.queries().isEmpty());
}

TEST_F(MXExchange, UnencodableDomainIsReportedAndCleanedUp) {
    const QString domain = QString(256, QLatin1Char('x')) + ".com";
    EXPECT_EQ(query(domain), "");
    EXPECT_EQ(statuses,
              (QStringList{performing(domain), "Domain label longer than 255 characters"}));
    EXPECT_EQ(starts, 1);
    EXPECT_TRUE(server.queries().isEmpty());
}

TEST_F(MXExchange, ClosedPortFailsTheReceiveWithoutWaitingTheBound) {
    const int probe = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    getsockname(probe, reinterpret_cast<sockaddr *>(&a), &len);
    close(probe);
    SetServerPort(ntohs(a.sin_port));
    SetAnswerTimeout(60s);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(query("example.com"), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
    EXPECT_EQ(statuses.value(1), "Problem receiving MX query");
}

TEST_F(MXExchange, UnreachableServerFailsTheSend) {
    QString result = "unset";
    QStringList seen;
    const bool ran = runInPrivateNetwork(
        [&] { result = MXQuery("example.com", [&](const QString &s) { seen << s; }); });
    if (!ran)
        GTEST_SKIP() << "needs a private network namespace (root)";
    EXPECT_EQ(result, "");
    EXPECT_EQ(seen, (QStringList{performing("example.com"), "Problem sending MX query"}));
}

} // namespace
