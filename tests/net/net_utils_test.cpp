#include "net/net_utils.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTcpServer>

#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <unistd.h>

using namespace sendmail;
using namespace sendmail::icmp;
using Clock = std::chrono::steady_clock;

namespace {

qint64 MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

uint32_t Addr(const char *dotted) {
    return DottedToAddress(QString::fromLatin1(dotted));
}

// --- Packets for the parser cases --------------------------------------------

// An IPv4 header from `source` for `payloadSize` bytes of `protocol`.
QByteArray IpHeader(const char *source, int payloadSize, int optionWords = 0, int protocol = 1) {
    const int length = 20 + 4 * optionWords;
    QByteArray h(length, '\0');
    h[0] = char(0x40 | length / 4);
    h[2] = char((length + payloadSize) >> 8);
    h[3] = char((length + payloadSize) & 0xFF);
    h[9] = char(protocol);
    for (int i = 0; i < 4; ++i)
        h[12 + i] = char(Addr(source) >> (8 * i));
    return h;
}

// An ICMP message with a correct checksum.
QByteArray Icmp(int type, int code, uint16_t id, uint16_t seq, const QByteArray &body) {
    QByteArray m = QByteArray(1, char(type)) + char(code) + QByteArray(2, '\0') + char(id >> 8) +
                   char(id & 0xFF) + char(seq >> 8) + char(seq & 0xFF) + body;
    const uint16_t sum = InternetChecksum(m);
    m[2] = char(sum >> 8);
    m[3] = char(sum & 0xFF);
    return m;
}

QByteArray Raw(const char *source, const QByteArray &icmp, int optionWords = 0) {
    return IpHeader(source, int(icmp.size()), optionWords) + icmp;
}

QByteArray Payload() {
    QByteArray p;
    for (int i = 1; i <= kPayloadSize; ++i)
        p += char('A' + i % 26);
    return p;
}

const uint16_t kId = 0x1234, kSeq = 7;

QByteArray Reply(uint16_t id = kId, uint16_t seq = kSeq, const QByteArray &data = Payload()) {
    return Icmp(0, 0, id, seq, data);
}

// An error report from `router` quoting `quotedBytes` of an echo request.
QByteArray ErrorReport(int type, int code, uint16_t id, int quotedBytes = 8) {
    const QByteArray request = BuildEchoRequest(id, kSeq, Payload());
    return Raw("192.0.2.1",
               Icmp(type, code, 0, 0, IpHeader("127.0.0.1", 40) + request.left(quotedBytes)));
}

QByteArray FlipLastBit(QByteArray packet) {
    packet[packet.size() - 1] = char(packet[packet.size() - 1] ^ 0x01);
    return packet;
}

// --- Pure pieces ------------------------------------------------------------

struct DottedCase {
    const char *text;
    uint32_t value;
};

class DottedToAddressTable : public ::testing::TestWithParam<DottedCase> {};

TEST_P(DottedToAddressTable, PutsTheFirstPartInTheLowestByte) {
    EXPECT_EQ(DottedToAddress(QString::fromLatin1(GetParam().text)), GetParam().value);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, DottedToAddressTable, ::testing::Values(
    DottedCase{"192.168.0.1", 0x0100A8C0u},
    DottedCase{"255.255.255.255", 0xFFFFFFFFu},
    DottedCase{"10.0.0", 0},
    DottedCase{"1.2.3.4.5", 0},
    DottedCase{"1.2.3.300", 0x2C030201u},
    DottedCase{"-1.2.3.4", 0x040302FFu},
    DottedCase{"-256.0.0.1", 0x01000000u},
    DottedCase{"+1.0.0.0", 0x1u},
    DottedCase{"1.2.3.100000000000000000001", 0x01030201u},
    DottedCase{"", 0},
    DottedCase{"a.b.c.d", 0},
    DottedCase{"1..2.3", 0},
    DottedCase{"1.2.3. 4", 0}));
// clang-format on

TEST(InternetChecksum, MatchesKnownSums) {
    // The worked example of RFC 1071, section 3.
    EXPECT_EQ(InternetChecksum(QByteArray::fromHex("0001f203f4f5f6f7")), 0x220D);
    EXPECT_EQ(InternetChecksum(QByteArray::fromHex("01")), 0xFEFF) << "odd length pads a zero";
}

TEST(BuildEchoRequest, HasTheEchoHeaderAndAValidChecksum) {
    QByteArray payload;
    for (int i = 1; i <= 32; ++i)
        payload += char(i);
    const QByteArray packet = BuildEchoRequest(0x1234, 1, payload);
    // The same request as built independently by another program.
    EXPECT_EQ(packet.left(8).toHex(), QByteArray("0800e4b912340001"));
    EXPECT_EQ(packet.mid(8), payload);
}

TEST(BuildEchoPayload, HoldsThirtyTwoBytesFromOneTo255) {
    const double fractions[] = {0.0, 0.001, 0.002, 0.5, 0.9979, 0.999999, 1.0, -0.5};
    const uint8_t expected[] = {1, 1, 2, 128, 254, 255, 255, 1};
    size_t next = 0;
    const QByteArray payload = BuildEchoPayload([&] { return fractions[next++ % 8]; });
    ASSERT_EQ(payload.size(), kPayloadSize);
    for (int i = 0; i < kPayloadSize; ++i)
        EXPECT_EQ(uint8_t(payload[i]), expected[i % 8]) << "byte " << i;
}

struct ParseCase {
    const char *name;
    QByteArray packet;
    bool withIpHeader;
    bool matches;
    uint32_t status = 0;
    const char *address = "";
    uint32_t dataSize = 0;
};

void PrintTo(const ParseCase &c, std::ostream *os) {
    *os << c.name;
}

class ParseEchoPacketTable : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseEchoPacketTable, KeepsOnlyWhatAnswersOurRequest) {
    const ParseCase &c = GetParam();
    const auto reply = ParseEchoPacket(c.packet, c.withIpHeader, Addr("10.1.2.3"), kId, kSeq);
    ASSERT_EQ(reply.has_value(), c.matches);
    if (!reply)
        return;
    EXPECT_EQ(reply->Status, c.status);
    EXPECT_EQ(AddressToDotted(reply->Address), QString::fromLatin1(c.address));
    EXPECT_EQ(reply->DataSize, c.dataSize);
    const qsizetype copied = std::min<qsizetype>(c.dataSize, kReplyDataSize);
    const qsizetype dataAt = (c.withIpHeader ? (c.packet[0] & 0x0F) * 4 : 0) + 8;
    if (c.status == kStatusSuccess) {
        EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(reply->Data.data()), copied),
                  c.packet.mid(dataAt, copied));
    }
    for (qsizetype i = copied; i < kReplyDataSize; ++i)
        ASSERT_EQ(reply->Data[size_t(i)], 0) << "byte " << i << " not zero";
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, ParseEchoPacketTable, ::testing::Values(
    ParseCase{"RawReply", Raw("127.0.0.1", Reply()), true, true, 0, "127.0.0.1", 32},
    ParseCase{"DatagramReplyTakesTheSourceGiven", Reply(), false, true, 0, "10.1.2.3", 32},
    ParseCase{"ReplyWithIpOptions", Raw("127.0.0.2", Reply(), 2), true, true, 0, "127.0.0.2", 32},
    ParseCase{"LongReplyKeeps250Bytes", Raw("127.0.0.1", Reply(kId, kSeq, QByteArray(300, 'x'))), true, true, 0, "127.0.0.1", 300},
    ParseCase{"LinkPaddingIsIgnored", Raw("127.0.0.1", Reply()) + QByteArray(6, '\0'), true, true, 0, "127.0.0.1", 32},
    ParseCase{"OurOwnRequestSeenOnLoopback", Raw("127.0.0.1", Icmp(8, 0, kId, kSeq, Payload())), true, false},
    ParseCase{"OtherIdentifier", Raw("127.0.0.1", Reply(kId + 1)), true, false},
    ParseCase{"OtherSequence", Raw("127.0.0.1", Reply(kId, kSeq + 1)), true, false},
    ParseCase{"BadChecksum", FlipLastBit(Raw("127.0.0.1", Reply())), true, false},
    ParseCase{"NotIcmp", IpHeader("127.0.0.1", 40, 0, 17) + Reply(), true, false},
    ParseCase{"ShorterThanAnIpHeader", QByteArray::fromHex("4500001c"), true, false},
    ParseCase{"HeaderLengthBeyondThePacket", QByteArray::fromHex("4f00001c000000004001000000000000000000000000"), true, false},
    ParseCase{"IcmpShorterThanItsHeader", Reply().left(6), false, false},
    ParseCase{"HostUnreachable", ErrorReport(3, 1, kId), true, true, kStatusHostUnreachable, "192.0.2.1"},
    ParseCase{"NetUnreachable", ErrorReport(3, 0, kId), true, true, kStatusNetUnreachable, "192.0.2.1"},
    ParseCase{"TimeExceeded", ErrorReport(11, 0, kId), true, true, kStatusTtlExpired, "192.0.2.1"},
    ParseCase{"ErrorAboutSomeoneElsesRequest", ErrorReport(3, 1, kId + 1), true, false},
    ParseCase{"ErrorQuotingTooLittle", ErrorReport(3, 1, kId, 4), true, false}));
// clang-format on

struct ApplyCase {
    const char *name;
    EchoReply reply;
    const char *target;
    bool dataMatchBefore;
    bool result;
    const char *address;
    const char *roundTrip;
    const char *dataSize;
    bool dataMatchAfter;
};

void PrintTo(const ApplyCase &c, std::ostream *os) {
    *os << c.name;
}

EchoReply Echoed(const char *from, const QByteArray &data, uint32_t status = kStatusSuccess) {
    EchoReply r;
    r.Address = Addr(from);
    r.Status = status;
    r.RoundTripTime = 3;
    r.DataSize = uint32_t(data.size());
    std::copy_n(data.constData(), std::min<qsizetype>(data.size(), kReplyDataSize),
                reinterpret_cast<char *>(r.Data.data()));
    return r;
}

EchoReply NothingCameBack() {
    EchoReply r;
    r.Status = kStatusTimedOut;
    return r;
}

class ApplyEchoReplyTable : public ::testing::TestWithParam<ApplyCase> {};

TEST_P(ApplyEchoReplyTable, WritesTheOutputsFromTheRecord) {
    const ApplyCase &c = GetParam();
    QString address = QStringLiteral("given"), roundTrip = QStringLiteral("x"),
            dataSize = QStringLiteral("y");
    bool dataMatch = c.dataMatchBefore;
    EXPECT_EQ(
        ApplyEchoReply(c.reply, Payload(), Addr(c.target), address, roundTrip, dataSize, dataMatch),
        c.result);
    EXPECT_EQ(address, QString::fromLatin1(c.address));
    EXPECT_EQ(roundTrip, QString::fromLatin1(c.roundTrip));
    EXPECT_EQ(dataSize, QString::fromLatin1(c.dataSize));
    EXPECT_EQ(dataMatch, c.dataMatchAfter);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, ApplyEchoReplyTable, ::testing::Values(
    ApplyCase{"Success", Echoed("127.0.0.1", Payload()), "127.0.0.1", false, true, "127.0.0.1", "3", "32 bytes", true},
    ApplyCase{"ReplyFromAnotherAddress", Echoed("127.0.0.2", Payload()), "127.0.0.1", false, false, "127.0.0.2", "3", "32 bytes", true},
    ApplyCase{"ErrorStatus", Echoed("192.0.2.1", {}, kStatusHostUnreachable), "192.0.2.1", true, false, "192.0.2.1", "3", "0 bytes", true},
    ApplyCase{"NothingCameBack", NothingCameBack(), "10.255.255.1", true, false, "0.0.0.0", "0", "0 bytes", true},
    ApplyCase{"NothingCameBackIsNoSuccessForAddressZero", NothingCameBack(), "0.0.0.0", false, false, "0.0.0.0", "0", "0 bytes", false},
    ApplyCase{"OtherData", Echoed("127.0.0.1", QByteArray(32, 'z')), "127.0.0.1", true, true, "127.0.0.1", "3", "32 bytes", false},
    ApplyCase{"DataDiffersOnlyInLetterCase", Echoed("127.0.0.1", Payload().toLower()), "127.0.0.1", false, true, "127.0.0.1", "3", "32 bytes", true},
    ApplyCase{"DataCutShortByANul", Echoed("127.0.0.1", Payload().left(5) + '\0' + Payload().mid(6)), "127.0.0.1", true, true, "127.0.0.1", "3", "32 bytes", false},
    ApplyCase{"DataFillingTheWholeAreaLeavesDataMatch", Echoed("127.0.0.1", QByteArray(300, 'q')), "127.0.0.1", true, true, "127.0.0.1", "3", "300 bytes", true}));
// clang-format on

// --- ICMPv6 --------------------------------------------------------------

Address6 Ip6(const char *text) {
    Address6 a{};
    EXPECT_EQ(inet_pton(AF_INET6, text, a.data()), 1) << text;
    return a;
}

// An ICMPv6 message (the kernel checks the checksum, the parser does not).
QByteArray Icmp6(int type, int code, uint16_t id, uint16_t seq, const QByteArray &body) {
    return QByteArray(1, char(type)) + char(code) + QByteArray(2, '\0') + char(id >> 8) +
           char(id & 0xFF) + char(seq >> 8) + char(seq & 0xFF) + body;
}

// An error report quoting `quotedBytes` of our request behind an IPv6
// header whose next header is `nextHeader`.
QByteArray ErrorReport6(int type, int code, uint16_t id, int quotedBytes = 40,
                        int nextHeader = 58) {
    QByteArray header(40, '\0');
    header[0] = char(0x60);
    header[6] = char(nextHeader);
    return Icmp6(type, code, 0, 0,
                 header + BuildEcho6Request(id, kSeq, Payload()).left(quotedBytes));
}

TEST(Echo6, ParserKeepsOnlyWhatAnswersOurRequest) {
    const struct {
        const char *name;
        QByteArray packet;
        bool matches;
        uint32_t status = kStatusSuccess;
        uint32_t dataSize = 0;
    } cases[] = {
        {"reply", Icmp6(129, 0, kId, kSeq, Payload()), true, kStatusSuccess, 32},
        {"our own request", BuildEcho6Request(kId, kSeq, Payload()), false},
        {"other identifier", Icmp6(129, 0, kId + 1, kSeq, Payload()), false},
        {"other sequence", Icmp6(129, 0, kId, kSeq + 1, Payload()), false},
        {"too short", Icmp6(129, 0, kId, kSeq, {}).left(7), false},
        {"no route", ErrorReport6(1, 0, kId), true, kStatusNetUnreachable},
        {"address unreachable", ErrorReport6(1, 3, kId), true, kStatusHostUnreachable},
        {"port unreachable", ErrorReport6(1, 4, kId), true, kStatusPortUnreachable},
        {"hop limit", ErrorReport6(3, 0, kId), true, kStatusTtlExpired},
        {"packet too big", ErrorReport6(2, 0, kId), true, kStatusGeneralFailure},
        {"about another request", ErrorReport6(1, 3, kId + 1), false},
        {"quoting too little", ErrorReport6(1, 3, kId, 4), false},
        {"quoting another protocol", ErrorReport6(1, 3, kId, 40, 17), false},
    };
    for (const auto &c : cases) {
        const auto reply = ParseEcho6Packet(c.packet, Ip6("2001:db8::1"), kId, kSeq);
        ASSERT_EQ(reply.has_value(), c.matches) << c.name;
        if (!reply)
            continue;
        EXPECT_EQ(reply->Status, c.status) << c.name;
        EXPECT_EQ(reply->DataSize, c.dataSize) << c.name;
        EXPECT_TRUE(reply->Address6 == Ip6("2001:db8::1")) << c.name;
    }
}

TEST(Echo6, OutputsNameTheReplyingAddressInShortForm) {
    EchoReply r;
    r.Address6 = Ip6("2001:db8:0:0::1");
    r.DataSize = 32;
    std::copy_n(Payload().constData(), kPayloadSize, reinterpret_cast<char *>(r.Data.data()));
    QString address, roundTrip, dataSize;
    bool dataMatch = false;
    EXPECT_TRUE(
        ApplyEcho6Reply(r, Payload(), Ip6("2001:db8::1"), address, roundTrip, dataSize, dataMatch));
    EXPECT_EQ(address, "2001:db8::1");
    EXPECT_EQ(dataSize, "32 bytes");
    EXPECT_TRUE(dataMatch);
    EXPECT_FALSE(
        ApplyEcho6Reply(r, Payload(), Ip6("2001:db8::2"), address, roundTrip, dataSize, dataMatch))
        << "a reply from another address";
    EXPECT_FALSE(ApplyEcho6Reply(EchoReply{.Status = kStatusTimedOut}, Payload(), Ip6("::"),
                                 address, roundTrip, dataSize, dataMatch));
    EXPECT_EQ(address, "::") << "nothing came back";
}

// --- The socket library pairing -----------------------------------------------

struct LibraryFailure {
    LibraryFailure() { SetSocketLibraryFailsForTesting(true); }
    ~LibraryFailure() { SetSocketLibraryFailsForTesting(false); }
};

TEST(SocketLibrary, ThatDoesNotStartMakesEveryCallFailWithoutTouchingItsArguments) {
    const int balance = SocketLibraryBalanceForTesting();
    LibraryFailure failure;
    EXPECT_EQ(GetIPHost(), QString());
    QString host = QStringLiteral(" localhost ");
    EXPECT_EQ(GetIPAddress(host), QString());
    EXPECT_EQ(host, QStringLiteral(" localhost ")) << "left as it was";
    QString address = QStringLiteral("127.0.0.1"), roundTrip = QStringLiteral("rt"),
            dataSize = QStringLiteral("ds");
    bool dataMatch = true;
    EXPECT_FALSE(Ping(address, roundTrip, dataSize, dataMatch));
    EXPECT_EQ(address, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(roundTrip, QStringLiteral("rt"));
    EXPECT_EQ(dataSize, QStringLiteral("ds"));
    EXPECT_TRUE(dataMatch);
    EXPECT_EQ(SocketLibraryBalanceForTesting(), balance);
}

// --- Loopback and local names ----------------------------------------------

// The first IPv4 address /etc/hosts lists for `name`, or "" when the name is
// not there or the resolver would ask DNS before the file.
QString HostsFileAddress(const QString &name, QString *why) {
    QFile nsswitch(QStringLiteral("/etc/nsswitch.conf"));
    if (nsswitch.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : nsswitch.readAll().split('\n')) {
            if (!line.trimmed().startsWith("hosts:"))
                continue;
            const QByteArray sources = line.mid(line.indexOf(':') + 1);
            const qsizetype files = sources.indexOf("files");
            const qsizetype dns = sources.indexOf("dns");
            if (files < 0 || (dns >= 0 && dns < files)) {
                *why = QStringLiteral("the resolver asks DNS before /etc/hosts");
                return QString();
            }
        }
    }
    QFile hosts(QStringLiteral("/etc/hosts"));
    if (!hosts.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("/etc/hosts cannot be read");
        return QString();
    }
    for (const QByteArray &raw : hosts.readAll().split('\n')) {
        const QString line =
            QString::fromLatin1(raw.left(raw.indexOf('#') < 0 ? raw.size() : raw.indexOf('#')));
        const QStringList fields =
            line.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
        if (fields.size() < 2 || DottedToAddress(fields[0]) == 0 || fields[0].count(u'.') != 3)
            continue;
        for (qsizetype i = 1; i < fields.size(); ++i)
            if (fields[i].compare(name, Qt::CaseInsensitive) == 0)
                return fields[0];
    }
    *why = QStringLiteral("%1 is not in /etc/hosts; resolving it would need DNS").arg(name);
    return QString();
}

TEST(GetIPHost, GivesTheMachinesHostName) {
    const int balance = SocketLibraryBalanceForTesting();
    EXPECT_EQ(GetIPHost(), QSysInfo::machineHostName());
    EXPECT_FALSE(GetIPHost().isEmpty());
    EXPECT_EQ(SocketLibraryBalanceForTesting(), balance);
}

TEST(GetIPAddress, OfNothingResolvesTheLocalNameAndLeavesItInTheArgument) {
    const QString localName = QSysInfo::machineHostName();
    QString why;
    const QString expected = HostsFileAddress(localName, &why);
    if (expected.isEmpty())
        GTEST_SKIP() << why.toStdString();
    const int balance = SocketLibraryBalanceForTesting();
    QString host;
    EXPECT_EQ(GetIPAddress(host), expected);
    EXPECT_EQ(host, localName);
    EXPECT_EQ(SocketLibraryBalanceForTesting(), balance);
}

TEST(GetIPAddress, TrimsTheNameAndResolvesIt) {
    QString why;
    const QString expected = HostsFileAddress(QStringLiteral("localhost"), &why);
    if (expected.isEmpty())
        GTEST_SKIP() << why.toStdString();
    const int balance = SocketLibraryBalanceForTesting();
    QString host = QStringLiteral("  localhost ");
    EXPECT_EQ(GetIPAddress(host), expected);
    EXPECT_EQ(host, QStringLiteral("localhost"));
    host = QStringLiteral("localhost");
    EXPECT_EQ(GetIPAddress(host), expected);
    EXPECT_EQ(SocketLibraryBalanceForTesting(), balance);
}

TEST(GetIPAddress, OfADottedAddressIsThatAddress) {
    QString host = QStringLiteral("127.0.0.1");
    EXPECT_EQ(GetIPAddress(host), QStringLiteral("127.0.0.1"));
    host = QStringLiteral(" 127.0.0.9 ");
    EXPECT_EQ(GetIPAddress(host), QStringLiteral("127.0.0.9"));
    EXPECT_EQ(host, QStringLiteral("127.0.0.9"));
}

TEST(GetIPAddress, DoesNotLookUpABlankOrBrokenName) {
    const int balance = SocketLibraryBalanceForTesting();
    QString host = QStringLiteral("    ");
    EXPECT_EQ(GetIPAddress(host), QString());
    EXPECT_EQ(host, QString());
    host = QStringLiteral("localhost") + QChar(u'\0') + QStringLiteral("x");
    EXPECT_EQ(GetIPAddress(host), QString());
    EXPECT_EQ(SocketLibraryBalanceForTesting(), balance);
}

TEST(GetIPAddresses, LiteralsGiveThemselvesAndBrokenOnesNothing) {
    const struct {
        const char *given, *rewritten;
        QStringList addresses;
    } cases[] = {
        {" 127.0.0.1 ", "127.0.0.1", {"127.0.0.1"}},
        {" [::1] ", "::1", {"::1"}},
        {"0:0::1", "0:0::1", {"::1"}},
        {":::1", ":::1", {}},
        {"[::1", "[::1", {}},
        {"2001:db8::g", "2001:db8::g", {}},
        {"   ", "", {}},
    };
    const int balance = SocketLibraryBalanceForTesting();
    for (const auto &c : cases) {
        QString host = QString::fromLatin1(c.given);
        EXPECT_EQ(GetIPAddresses(host), c.addresses) << c.given;
        EXPECT_EQ(host, QString::fromLatin1(c.rewritten)) << c.given;
        // No IPv4 address, and no question to a name server about it.
        host = QString::fromLatin1(c.given);
        if (host.contains(u':')) {
            EXPECT_EQ(GetIPAddress(host), QString()) << c.given;
        }
    }
    EXPECT_EQ(SocketLibraryBalanceForTesting(), balance);
}

// Whether this process may open an ICMP socket at all.
bool MayPing(QString *why) {
    if (::geteuid() == 0)
        return true;
    QFile range(QStringLiteral("/proc/sys/net/ipv4/ping_group_range"));
    if (range.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> bounds = range.readAll().simplified().split(' ');
        if (bounds.size() == 2 && bounds[0].toLongLong() <= ::getegid() &&
            ::getegid() <= bounds[1].toLongLong())
            return true;
    }
    *why = QStringLiteral("no ICMP socket: not root and our group is outside "
                          "net.ipv4.ping_group_range");
    return false;
}

struct KindGuard {
    explicit KindGuard(SocketKind kind) { SetSocketKindForTesting(kind); }
    ~KindGuard() { SetSocketKindForTesting(SocketKind::Automatic); }
};

void ExpectLoopbackEcho(const QString &given) {
    const int balance = SocketLibraryBalanceForTesting();
    QString address = given, roundTrip, dataSize;
    bool dataMatch = false;
    const auto start = Clock::now();
    EXPECT_TRUE(Ping(address, roundTrip, dataSize, dataMatch));
    EXPECT_LT(MsSince(start), 5000);
    EXPECT_EQ(address, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(dataSize, QStringLiteral("32 bytes"));
    EXPECT_TRUE(dataMatch);
    bool numeric = false;
    const uint ms = roundTrip.toUInt(&numeric);
    EXPECT_TRUE(numeric) << roundTrip.toStdString();
    EXPECT_LE(ms, 255u);
    EXPECT_EQ(SocketLibraryBalanceForTesting(), balance);
}

TEST(Ping, LoopbackAnswers) {
    QString why;
    if (!MayPing(&why))
        GTEST_SKIP() << why.toStdString();
    ExpectLoopbackEcho(QStringLiteral("127.0.0.1"));
    // Twice in a row: each call must match its own reply.
    ExpectLoopbackEcho(QStringLiteral("127.0.0.1"));
}

TEST(Ping, IPv6LoopbackAnswersOverICMPv6) {
    QString why;
    if (!MayPing(&why))
        GTEST_SKIP() << why.toStdString();
    if (QTcpServer probe; !probe.listen(QHostAddress::LocalHostIPv6, 0))
        GTEST_SKIP() << "no IPv6 loopback here";
    for (SocketKind kind : {SocketKind::Automatic, SocketKind::Raw}) {
        if (kind == SocketKind::Raw && ::geteuid() != 0)
            continue;
        KindGuard guard(kind);
        for (const QString given : {"::1", "[::1]", "0:0::1"}) {
            QString address = given, roundTrip, dataSize;
            bool dataMatch = false;
            EXPECT_TRUE(Ping(address, roundTrip, dataSize, dataMatch)) << given.toStdString();
            EXPECT_EQ(address, "::1");
            EXPECT_EQ(dataSize, "32 bytes");
            EXPECT_TRUE(dataMatch);
        }
    }
}

TEST(Ping, RawSocketSkipsOurOwnRequestAndFindsTheReply) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "a raw ICMP socket needs root";
    KindGuard raw(SocketKind::Raw);
    ExpectLoopbackEcho(QStringLiteral("127.0.0.1"));
}

TEST(Ping, OfANameReportsTheAddressThatAnswered) {
    QString why;
    if (!MayPing(&why) ||
        HostsFileAddress(QStringLiteral("localhost"), &why) != QStringLiteral("127.0.0.1"))
        GTEST_SKIP() << why.toStdString();
    ExpectLoopbackEcho(QStringLiteral("localhost"));
    ExpectLoopbackEcho(QStringLiteral(" 127.0.0.1 ")); // not dotted as given: looked up
}

TEST(Ping, OfABlankNameFailsAndLeavesTheOutputs) {
    const int balance = SocketLibraryBalanceForTesting();
    QString address = QStringLiteral("   "), roundTrip = QStringLiteral("rt"),
            dataSize = QStringLiteral("ds");
    bool dataMatch = true;
    EXPECT_FALSE(Ping(address, roundTrip, dataSize, dataMatch));
    EXPECT_EQ(address, QString()) << "trimmed by the lookup";
    EXPECT_EQ(roundTrip, QStringLiteral("rt"));
    EXPECT_EQ(dataSize, QStringLiteral("ds"));
    EXPECT_TRUE(dataMatch);
    EXPECT_EQ(SocketLibraryBalanceForTesting(), balance);
}

// --- Inside a private network namespace ------------------------------------
//
// Each case runs in a child process of this test started under `unshare -n`,
// where the only interface is loopback and nothing can leave the machine.
// The child cases are disabled in an ordinary run; the NetNs tests start
// them.

const char *const kNetNsChild = "KELM_NETNS_CHILD";

// The interfaces of this process's network namespace (/proc/net is per
// namespace; /sys/class/net would show the namespace that mounted sysfs).
QStringList Interfaces() {
    QFile dev(QStringLiteral("/proc/net/dev"));
    QStringList names;
    if (!dev.open(QIODevice::ReadOnly))
        return {QStringLiteral("<unreadable>")};
    for (const QByteArray &line : dev.readAll().split('\n'))
        if (line.contains(':'))
            names << QString::fromLatin1(line.left(line.indexOf(':')).trimmed());
    return names;
}

class NetNsChild : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::getenv(kNetNsChild) == nullptr)
            GTEST_SKIP() << "runs only when a NetNs test starts it";
        // The addresses used below must never reach a real network.
        ASSERT_EQ(Interfaces(), QStringList{QStringLiteral("lo")})
            << "not inside a private network namespace";
    }
};

struct PingOutputs {
    QString address, roundTrip = QStringLiteral("rt"), dataSize = QStringLiteral("ds");
    bool dataMatch = false;
    bool result = true;
    qint64 ms = 0;
};

PingOutputs PingOnce(const QString &address, bool dataMatch) {
    PingOutputs o;
    o.address = address;
    o.dataMatch = dataMatch;
    const auto start = Clock::now();
    o.result = Ping(o.address, o.roundTrip, o.dataSize, o.dataMatch);
    o.ms = MsSince(start);
    return o;
}

void ExpectEmptyRecordWritten(const PingOutputs &o, bool dataMatchBefore) {
    EXPECT_FALSE(o.result);
    EXPECT_EQ(o.address, QStringLiteral("0.0.0.0"));
    EXPECT_EQ(o.roundTrip, QStringLiteral("0"));
    EXPECT_EQ(o.dataSize, QStringLiteral("0 bytes"));
    EXPECT_EQ(o.dataMatch, dataMatchBefore);
}

// Only loopback is up: there is no route to the address at all.
TEST_F(NetNsChild, DISABLED_NoRoute) {
    for (bool before : {true, false}) {
        const PingOutputs o = PingOnce(QStringLiteral("10.255.255.1"), before);
        ExpectEmptyRecordWritten(o, before);
        EXPECT_LT(o.ms, 2000);
    }
    // A name that does not resolve: the resolver cannot reach any server
    // from here, so the lookup fails without traffic.
    const int balance = SocketLibraryBalanceForTesting();
    const PingOutputs o = PingOnce(QStringLiteral(" mail.unresolvable.invalid "), true);
    EXPECT_FALSE(o.result);
    EXPECT_EQ(o.address, QStringLiteral("mail.unresolvable.invalid"));
    EXPECT_EQ(o.roundTrip, QStringLiteral("rt"));
    EXPECT_EQ(o.dataSize, QStringLiteral("ds"));
    EXPECT_TRUE(o.dataMatch);
    EXPECT_EQ(SocketLibraryBalanceForTesting(), balance);
}

// A route exists but nobody answers: the echo waits out its time-out.
TEST_F(NetNsChild, DISABLED_SilentRoute) {
    const PingOutputs o = PingOnce(QStringLiteral("10.255.255.1"), true);
    ExpectEmptyRecordWritten(o, true);
    EXPECT_GE(o.ms, kTimeoutMs - 5) << "gave up before the time-out";
    EXPECT_LT(o.ms, 2000) << "the time-out did not bound the wait";
}

// The unprivileged datagram socket, allowed for every group in here.
TEST_F(NetNsChild, DISABLED_DatagramSocket) {
    KindGuard datagram(SocketKind::Datagram);
    ExpectLoopbackEcho(QStringLiteral("127.0.0.1"));
    // ICMPv6 datagram sockets obey the same range.
    QString address = QStringLiteral("::1"), roundTrip, dataSize;
    bool dataMatch = false;
    EXPECT_TRUE(Ping(address, roundTrip, dataSize, dataMatch));
    EXPECT_EQ(address, QStringLiteral("::1"));
    EXPECT_TRUE(dataMatch);
}

// Runs NetNsChild.<test> in a new network namespace after `setup` (shell
// commands). Skips the calling test when namespaces are not permitted.
void RunInNetNs(const char *test, const QString &setup) {
    QProcess probe;
    probe.start(QStringLiteral("unshare"), {QStringLiteral("-n"), QStringLiteral("true")});
    if (!probe.waitForFinished(10000) || probe.exitStatus() != QProcess::NormalExit ||
        probe.exitCode() != 0) {
        probe.kill();
        GTEST_SKIP() << "unshare -n is not permitted here: "
                     << probe.readAllStandardError().toStdString();
    }
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(kNetNsChild), QStringLiteral("1"));
    env.insert(QStringLiteral("PATH"),
               env.value(QStringLiteral("PATH")) + QStringLiteral(":/usr/sbin:/sbin"));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    const QString script = QStringLiteral("{ %1; } >/dev/null 2>&1 || { echo NETNS-SETUP-FAILED; "
                                          "exit 77; }; exec \"$0\" \"$@\"")
                               .arg(setup);
    child.start(
        QStringLiteral("unshare"),
        {QStringLiteral("-n"), QStringLiteral("/bin/sh"), QStringLiteral("-c"), script,
         QCoreApplication::applicationFilePath(), QStringLiteral("--gtest_also_run_disabled_tests"),
         QStringLiteral("--gtest_filter=NetNsChild.DISABLED_") + QString::fromLatin1(test)});
    const bool finished = child.waitForFinished(60000);
    if (!finished)
        child.kill();
    const QString output = QString::fromLocal8Bit(child.readAll());
    ASSERT_TRUE(finished) << test << " did not end in time";
    if (child.exitCode() == 77 && output.contains(QStringLiteral("NETNS-SETUP-FAILED")))
        GTEST_SKIP() << "cannot prepare the namespace: " << setup.toStdString();
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains(QStringLiteral("[  PASSED  ] 1 test.")) &&
                !output.contains(QStringLiteral("[  SKIPPED ]")))
        << output.toStdString();
}

TEST(NetNs, PingWithoutARouteFailsAtOnceAndWritesTheEmptyRecord) {
    RunInNetNs("NoRoute", QStringLiteral("ip link set lo up"));
}

TEST(NetNs, PingThatNobodyAnswersEndsAfterTheTimeOut) {
    RunInNetNs("SilentRoute",
               QStringLiteral("ip link set lo up && ip route add 10.255.255.0/24 dev lo"));
}

TEST(NetNs, PingThroughTheUnprivilegedDatagramSocket) {
    RunInNetNs("DatagramSocket", QStringLiteral("ip link set lo up && echo '0 2147483647' > "
                                                "/proc/sys/net/ipv4/ping_group_range"));
}

} // namespace
