// ICMP echo as in RFC 792, ICMPv6 echo as in RFC 4443; checksum as in
// RFC 1071.
#include "net/net_utils.h"

#include "net/host_text.h"

#include <QStringList>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sendmail {

// --- The socket library -----------------------------------------------------

namespace {

std::atomic<bool> gLibraryFails{false};
std::atomic<int> gLibraryBalance{0};

// Stops the library when a call that started it leaves, by any path.
class LibraryStopper {
public:
    LibraryStopper() = default;
    LibraryStopper(const LibraryStopper &) = delete;
    LibraryStopper &operator=(const LibraryStopper &) = delete;
    ~LibraryStopper() { StopSocketLibrary(); }
};

} // namespace

bool StartSocketLibrary() {
    if (gLibraryFails.load())
        return false;
    ++gLibraryBalance;
    return true;
}

void StopSocketLibrary() {
    --gLibraryBalance;
}

void SetSocketLibraryFailsForTesting(bool fail) {
    gLibraryFails.store(fail);
}

int SocketLibraryBalanceForTesting() {
    return gLibraryBalance.load();
}

// --- Names and addresses ----------------------------------------------------

QString GetIPHost() {
    char name[256] = {};
    if (!StartSocketLibrary())
        return QString();
    LibraryStopper stopper;
    if (gethostname(name, sizeof name) != 0)
        return QString();
    // A name that fills the whole buffer has no terminator and is refused.
    const void *end = std::memchr(name, '\0', sizeof name);
    if (end == nullptr || end == name)
        return QString();
    return QString::fromLatin1(name, static_cast<const char *>(end) - name);
}

namespace {

// The first IPv4 address of `name`, in the resolver's order, as raw bytes.
std::optional<std::array<uint8_t, 4>> LookUpFirstAddress(const QByteArray &name) {
    hostent entry{};
    hostent *found = nullptr;
    int lookupError = 0;
    std::vector<char> scratch(1024);
    for (;;) {
        const int rc = gethostbyname_r(name.constData(), &entry, scratch.data(), scratch.size(),
                                       &found, &lookupError);
        // ERANGE: the scratch buffer is too small for the answer; a bounded
        // number of doublings covers any answer the resolver can hold.
        if (rc == ERANGE && scratch.size() < (1u << 20)) {
            scratch.resize(scratch.size() * 2);
            continue;
        }
        if (rc != 0 || found == nullptr)
            return std::nullopt;
        break;
    }
    if (found->h_addrtype != AF_INET || found->h_length < 4 || found->h_addr_list == nullptr ||
        found->h_addr_list[0] == nullptr)
        return std::nullopt;
    std::array<uint8_t, 4> bytes{};
    std::memcpy(bytes.data(), found->h_addr_list[0], bytes.size());
    return bytes;
}

} // namespace

QString GetIPAddress(QString &sHostName) {
    if (!StartSocketLibrary())
        return QString();
    LibraryStopper stopper;
    if (sHostName.isEmpty())
        sHostName = GetIPHost();
    sHostName = TrimBlanks(sHostName);
    // An empty name would mean "this host" to some resolvers and a query to
    // the name server to others; a NUL would cut the name short. Neither is
    // a name the caller can have meant.
    if (sHostName.isEmpty() || sHostName.contains(QChar(u'\0')))
        return QString();
    // Not a name: asking the resolver would only send it to a name server.
    if (IsIPv6Form(sHostName))
        return QString();
    const auto bytes = LookUpFirstAddress(sHostName.toLatin1());
    if (!bytes)
        return QString();
    return QStringLiteral("%1.%2.%3.%4")
        .arg((*bytes)[0])
        .arg((*bytes)[1])
        .arg((*bytes)[2])
        .arg((*bytes)[3]);
}

namespace {

QString AddressText(const sockaddr *address) {
    char text[INET6_ADDRSTRLEN] = {};
    const void *bytes =
        address->sa_family == AF_INET6
            ? static_cast<const void *>(&reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr)
            : static_cast<const void *>(&reinterpret_cast<const sockaddr_in *>(address)->sin_addr);
    if (inet_ntop(address->sa_family, bytes, text, sizeof text) == nullptr)
        return QString();
    return QString::fromLatin1(text);
}

QString Address6Text(const icmp::Address6 &address) {
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, address.data(), text, sizeof text);
    return QString::fromLatin1(text);
}

} // namespace

QStringList GetIPAddresses(QString &sHostName) {
    if (!StartSocketLibrary())
        return {};
    LibraryStopper stopper;
    if (sHostName.isEmpty())
        sHostName = GetIPHost();
    sHostName = StripIPv6Brackets(TrimBlanks(sHostName));
    if (sHostName.isEmpty() || sHostName.contains(QChar(u'\0')))
        return {};
    if (IsIPv6Form(sHostName) && !IsIPv6Literal(sHostName))
        return {};
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    // One entry per address instead of one per socket type.
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(sHostName.toLatin1().constData(), nullptr, &hints, &found) != 0)
        return {};
    QStringList addresses;
    for (const addrinfo *a = found; a != nullptr; a = a->ai_next) {
        if (a->ai_family != AF_INET && a->ai_family != AF_INET6)
            continue;
        const QString text = AddressText(a->ai_addr);
        if (!text.isEmpty() && !addresses.contains(text))
            addresses << text;
    }
    freeaddrinfo(found);
    return addresses;
}

namespace {

// The low 8 bits of the value of numeric text, for any length: the value is
// reduced modulo 256 digit by digit, and a negative value wraps as in two's
// complement (-1 gives 255).
uint8_t LowByteOf(QStringView number) {
    bool negative = false;
    if (number.front() == u'+' || number.front() == u'-') {
        negative = number.front() == u'-';
        number = number.mid(1);
    }
    unsigned value = 0;
    for (QChar c : number)
        value = (value * 10 + (c.unicode() - u'0')) % 256;
    return static_cast<uint8_t>(negative ? (256 - value) % 256 : value);
}

} // namespace

uint32_t DottedToAddress(const QString &text) {
    const QStringList parts = text.split(u'.');
    if (parts.size() != 4)
        return 0;
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        if (!IsNumericText(parts.at(i)))
            return 0;
        value |= uint32_t(LowByteOf(parts.at(i))) << (8 * i);
    }
    return value;
}

QString AddressToDotted(uint32_t address) {
    return QStringLiteral("%1.%2.%3.%4")
        .arg(address & 0xFF)
        .arg((address >> 8) & 0xFF)
        .arg((address >> 16) & 0xFF)
        .arg((address >> 24) & 0xFF);
}

// --- ICMP echo: the pure pieces ---------------------------------------------

namespace icmp {

namespace {

constexpr uint8_t kTypeEchoReply = 0;
constexpr uint8_t kTypeUnreachable = 3;
constexpr uint8_t kTypeSourceQuench = 4;
constexpr uint8_t kTypeEcho = 8;
constexpr uint8_t kTypeTimeExceeded = 11;
constexpr uint8_t kTypeParameterProblem = 12;
constexpr uint8_t kProtocolIcmp = 1;
constexpr int kIcmpHeaderSize = 8;
constexpr int kMinIpHeaderSize = 20;

uint16_t Read16(const uint8_t *p) {
    return uint16_t((p[0] << 8) | p[1]);
}

uint32_t ReadAddress(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The IPv4 header at `p` (size bytes available): its header length when it
// is a well-formed header of an ICMP packet, otherwise 0.
int IcmpInIpHeaderLength(const uint8_t *p, qsizetype size) {
    if (size < kMinIpHeaderSize || (p[0] >> 4) != 4)
        return 0;
    const int headerLength = (p[0] & 0x0F) * 4;
    if (headerLength < kMinIpHeaderSize || headerLength > size || p[9] != kProtocolIcmp)
        return 0;
    return headerLength;
}

uint32_t StatusOfError(uint8_t type, uint8_t code) {
    switch (type) {
    case kTypeUnreachable:
        switch (code) {
        case 0:
            return kStatusNetUnreachable;
        case 2:
            return kStatusProtocolUnreachable;
        case 3:
            return kStatusPortUnreachable;
        default:
            return kStatusHostUnreachable;
        }
    case kTypeTimeExceeded:
        return kStatusTtlExpired;
    default:
        return kStatusGeneralFailure;
    }
}

// Steps 8 to 11 of Ping, common to both families.
void WriteEchoOutputs(const EchoReply &reply, const QByteArray &request, const QString &from,
                      QString &Address, QString &RoundTripTime, QString &DataSize,
                      bool &DataMatch) {
    RoundTripTime = QString::number(reply.RoundTripTime);
    Address = from;
    DataSize = QString::number(reply.DataSize) + QStringLiteral(" bytes");
    const auto nul = std::find(reply.Data.begin(), reply.Data.end(), uint8_t(0));
    if (nul != reply.Data.end() && nul != reply.Data.begin()) {
        const QString echoed = QString::fromLatin1(
            reinterpret_cast<const char *>(reply.Data.data()), nul - reply.Data.begin());
        DataMatch = echoed.compare(QString::fromLatin1(request), Qt::CaseInsensitive) == 0;
    }
}

} // namespace

QByteArray BuildEchoPayload(const std::function<double()> &fraction) {
    QByteArray payload(kPayloadSize, '\0');
    for (char &byte : payload) {
        const long code = std::lround(fraction() * 254.0) + 1;
        byte = static_cast<char>(std::clamp(code, 1L, 255L));
    }
    return payload;
}

uint16_t InternetChecksum(const QByteArray &data) {
    const auto *p = reinterpret_cast<const uint8_t *>(data.constData());
    uint32_t sum = 0;
    qsizetype i = 0;
    for (; i + 1 < data.size(); i += 2)
        sum += Read16(p + i);
    if (i < data.size())
        sum += uint32_t(p[i]) << 8;
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

QByteArray BuildEchoRequest(uint16_t identifier, uint16_t sequence, const QByteArray &payload) {
    QByteArray packet(kIcmpHeaderSize, '\0');
    packet[0] = char(kTypeEcho);
    packet[4] = char(identifier >> 8);
    packet[5] = char(identifier & 0xFF);
    packet[6] = char(sequence >> 8);
    packet[7] = char(sequence & 0xFF);
    packet += payload;
    const uint16_t checksum = InternetChecksum(packet);
    packet[2] = char(checksum >> 8);
    packet[3] = char(checksum & 0xFF);
    return packet;
}

std::optional<EchoReply> ParseEchoPacket(const QByteArray &packet, bool withIpHeader,
                                         uint32_t source, uint16_t identifier, uint16_t sequence) {
    const auto *p = reinterpret_cast<const uint8_t *>(packet.constData());
    qsizetype size = packet.size();
    if (withIpHeader) {
        const int headerLength = IcmpInIpHeaderLength(p, size);
        if (headerLength == 0)
            return std::nullopt;
        // Trailing bytes beyond the datagram's own length are link padding.
        const qsizetype totalLength = Read16(p + 2);
        if (totalLength >= headerLength && totalLength < size)
            size = totalLength;
        source = ReadAddress(p + 12);
        p += headerLength;
        size -= headerLength;
    }
    if (size < kIcmpHeaderSize)
        return std::nullopt;
    if (InternetChecksum(QByteArray::fromRawData(reinterpret_cast<const char *>(p), size)) != 0)
        return std::nullopt;

    const uint8_t type = p[0];
    EchoReply reply;
    reply.Address = source;
    if (type == kTypeEchoReply) {
        if (Read16(p + 4) != identifier || Read16(p + 6) != sequence)
            return std::nullopt;
        const qsizetype dataSize = size - kIcmpHeaderSize;
        reply.Status = kStatusSuccess;
        reply.DataSize = uint32_t(std::min<qsizetype>(dataSize, 0xFFFF));
        std::copy_n(p + kIcmpHeaderSize, std::min<qsizetype>(dataSize, kReplyDataSize),
                    reply.Data.begin());
        return reply;
    }
    if (type == kTypeUnreachable || type == kTypeTimeExceeded || type == kTypeSourceQuench ||
        type == kTypeParameterProblem) {
        // The report quotes the IP header of our request and at least the
        // first 8 bytes of its ICMP message: enough to see whose it was.
        const uint8_t *quoted = p + kIcmpHeaderSize;
        const qsizetype quotedSize = size - kIcmpHeaderSize;
        const int quotedHeaderLength = IcmpInIpHeaderLength(quoted, quotedSize);
        if (quotedHeaderLength == 0 || quotedSize < quotedHeaderLength + kIcmpHeaderSize)
            return std::nullopt;
        const uint8_t *request = quoted + quotedHeaderLength;
        if (request[0] != kTypeEcho || Read16(request + 4) != identifier ||
            Read16(request + 6) != sequence)
            return std::nullopt;
        reply.Status = StatusOfError(type, p[1]);
        return reply;
    }
    return std::nullopt;
}

bool ApplyEchoReply(const EchoReply &reply, const QByteArray &request, uint32_t target,
                    QString &Address, QString &RoundTripTime, QString &DataSize, bool &DataMatch) {
    WriteEchoOutputs(reply, request, AddressToDotted(reply.Address), Address, RoundTripTime,
                     DataSize, DataMatch);
    return reply.Status == kStatusSuccess && reply.Address == target;
}

namespace {

constexpr uint8_t kType6Unreachable = 1;
constexpr uint8_t kType6PacketTooBig = 2;
constexpr uint8_t kType6TimeExceeded = 3;
constexpr uint8_t kType6ParameterProblem = 4;
constexpr uint8_t kType6Echo = 128;
constexpr uint8_t kType6EchoReply = 129;
constexpr uint8_t kNextHeaderIcmp6 = 58;
constexpr int kIpv6HeaderSize = 40;

uint32_t StatusOfError6(uint8_t type, uint8_t code) {
    switch (type) {
    case kType6Unreachable:
        switch (code) {
        case 0:
            return kStatusNetUnreachable;
        case 4:
            return kStatusPortUnreachable;
        default:
            return kStatusHostUnreachable;
        }
    case kType6TimeExceeded:
        return kStatusTtlExpired;
    default:
        return kStatusGeneralFailure;
    }
}

} // namespace

QByteArray BuildEcho6Request(uint16_t identifier, uint16_t sequence, const QByteArray &payload) {
    // The checksum stays 0: the kernel fills it in for every ICMPv6 socket,
    // since it covers the addresses of the IPv6 header.
    QByteArray packet(kIcmpHeaderSize, '\0');
    packet[0] = char(kType6Echo);
    packet[4] = char(identifier >> 8);
    packet[5] = char(identifier & 0xFF);
    packet[6] = char(sequence >> 8);
    packet[7] = char(sequence & 0xFF);
    return packet + payload;
}

std::optional<EchoReply> ParseEcho6Packet(const QByteArray &packet, const Address6 &source,
                                          uint16_t identifier, uint16_t sequence) {
    const auto *p = reinterpret_cast<const uint8_t *>(packet.constData());
    const qsizetype size = packet.size();
    if (size < kIcmpHeaderSize)
        return std::nullopt;
    EchoReply reply;
    reply.Address6 = source;
    const uint8_t type = p[0];
    if (type == kType6EchoReply) {
        if (Read16(p + 4) != identifier || Read16(p + 6) != sequence)
            return std::nullopt;
        const qsizetype dataSize = size - kIcmpHeaderSize;
        reply.DataSize = uint32_t(std::min<qsizetype>(dataSize, 0xFFFF));
        std::copy_n(p + kIcmpHeaderSize, std::min<qsizetype>(dataSize, kReplyDataSize),
                    reply.Data.begin());
        return reply;
    }
    if (type == kType6Unreachable || type == kType6PacketTooBig || type == kType6TimeExceeded ||
        type == kType6ParameterProblem) {
        // The report quotes as much of our request as fits: its IPv6 header,
        // then (our requests carry no extension headers) the echo request.
        const uint8_t *quoted = p + kIcmpHeaderSize;
        if (size < kIcmpHeaderSize + kIpv6HeaderSize + kIcmpHeaderSize || (quoted[0] >> 4) != 6 ||
            quoted[6] != kNextHeaderIcmp6)
            return std::nullopt;
        const uint8_t *request = quoted + kIpv6HeaderSize;
        if (request[0] != kType6Echo || Read16(request + 4) != identifier ||
            Read16(request + 6) != sequence)
            return std::nullopt;
        reply.Status = StatusOfError6(type, p[1]);
        return reply;
    }
    return std::nullopt;
}

bool ApplyEcho6Reply(const EchoReply &reply, const QByteArray &request, const Address6 &target,
                     QString &Address, QString &RoundTripTime, QString &DataSize, bool &DataMatch) {
    WriteEchoOutputs(reply, request, Address6Text(reply.Address6), Address, RoundTripTime, DataSize,
                     DataMatch);
    return reply.Status == kStatusSuccess && reply.Address6 == target;
}

namespace {
std::atomic<SocketKind> gSocketKind{SocketKind::Automatic};
} // namespace

void SetSocketKindForTesting(SocketKind kind) {
    gSocketKind.store(kind);
}

} // namespace icmp

// --- ICMP echo: the socket --------------------------------------------------

namespace {

using Clock = std::chrono::steady_clock;

class EchoSocket {
public:
    explicit EchoSocket(int family) : family_(family) {}
    EchoSocket(const EchoSocket &) = delete;
    EchoSocket &operator=(const EchoSocket &) = delete;
    ~EchoSocket() {
        if (fd_ >= 0)
            ::close(fd_);
    }

    bool Open(icmp::SocketKind kind) {
        const int protocol = family_ == AF_INET6 ? int(IPPROTO_ICMPV6) : int(IPPROTO_ICMP);
        if (kind != icmp::SocketKind::Raw) {
            fd_ = ::socket(family_, SOCK_DGRAM | SOCK_CLOEXEC, protocol);
            datagram_ = fd_ >= 0;
        }
        if (fd_ < 0 && kind != icmp::SocketKind::Datagram) {
            fd_ = ::socket(family_, SOCK_RAW | SOCK_CLOEXEC, protocol);
            // Raw IPv6 sockets hand over the ICMPv6 message alone.
            withIpHeader_ = family_ == AF_INET;
        }
        return fd_ >= 0;
    }

    // One echo to `target` (an address of this socket's family).
    icmp::EchoReply Exchange(const sockaddr_storage &target, const QByteArray &payload);

private:
    int family_;
    int fd_ = -1;
    bool datagram_ = false;
    bool withIpHeader_ = false;
};

uint32_t StatusOfErrno(int error) {
    switch (error) {
    case ENETUNREACH:
        return icmp::kStatusNetUnreachable;
    case EHOSTUNREACH:
        return icmp::kStatusHostUnreachable;
    default:
        return icmp::kStatusGeneralFailure;
    }
}

std::atomic<uint16_t> gSequence{0};

icmp::EchoReply EchoSocket::Exchange(const sockaddr_storage &target, const QByteArray &payload) {
    icmp::EchoReply reply;
    const bool v6 = family_ == AF_INET6;
    // A raw socket sees every ICMP packet of the machine, so its requests
    // carry our own identifier. On a datagram socket the kernel replaces the
    // identifier with the socket's local port and hands back only the
    // replies that carry it.
    uint16_t identifier = static_cast<uint16_t>(::getpid() & 0xFFFF);
    const uint16_t sequence = ++gSequence;
    const QByteArray request = v6 ? icmp::BuildEcho6Request(identifier, sequence, payload)
                                  : icmp::BuildEchoRequest(identifier, sequence, payload);
    const socklen_t targetLength = v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);

    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + std::chrono::milliseconds(icmp::kTimeoutMs);
    if (::sendto(fd_, request.constData(), size_t(request.size()), 0,
                 reinterpret_cast<const sockaddr *>(&target), targetLength) < 0) {
        reply.Status = StatusOfErrno(errno);
        return reply;
    }
    if (datagram_) {
        sockaddr_storage local{};
        socklen_t length = sizeof local;
        if (::getsockname(fd_, reinterpret_cast<sockaddr *>(&local), &length) == 0)
            identifier = ntohs(v6 ? reinterpret_cast<const sockaddr_in6 *>(&local)->sin6_port
                                  : reinterpret_cast<const sockaddr_in *>(&local)->sin_port);
    }

    std::vector<char> buffer(65536);
    for (;;) {
        const auto remaining =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (remaining <= 0) {
            reply.Status = icmp::kStatusTimedOut;
            return reply;
        }
        pollfd waitFor{fd_, POLLIN, 0};
        const int ready = ::poll(&waitFor, 1, int(remaining));
        if (ready < 0 && errno != EINTR) {
            reply.Status = icmp::kStatusGeneralFailure;
            return reply;
        }
        if (ready <= 0)
            continue;
        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        const ssize_t received = ::recvfrom(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                            reinterpret_cast<sockaddr *>(&from), &fromLength);
        if (received < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                continue;
            reply.Status = StatusOfErrno(errno);
            return reply;
        }
        const QByteArray packet(buffer.data(), received);
        std::optional<icmp::EchoReply> parsed;
        if (v6) {
            icmp::Address6 source{};
            std::memcpy(source.data(), &reinterpret_cast<const sockaddr_in6 *>(&from)->sin6_addr,
                        source.size());
            parsed = icmp::ParseEcho6Packet(packet, source, identifier, sequence);
        } else {
            const uint32_t source = icmp::ReadAddress(reinterpret_cast<const uint8_t *>(
                &reinterpret_cast<const sockaddr_in *>(&from)->sin_addr));
            parsed = icmp::ParseEchoPacket(packet, withIpHeader_, source, identifier, sequence);
        }
        if (!parsed)
            continue; // not ours: keep listening until the deadline
        reply = *parsed;
        reply.RoundTripTime = uint32_t(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
        return reply;
    }
}

double RandomFraction() {
    // Deliberately not seeded: the payload only has to be recognisable in
    // the echo, not unpredictable.
    static std::minstd_rand generator;
    return std::generate_canonical<double, 32>(generator);
}

} // namespace

namespace {

// One echo to an IPv6 literal.
bool Ping6(const QString &target, QString &Address, QString &RoundTripTime, QString &DataSize,
           bool &DataMatch) {
    if (!StartSocketLibrary())
        return false;
    LibraryStopper stopper;
    sockaddr_storage to{};
    auto *to6 = reinterpret_cast<sockaddr_in6 *>(&to);
    to6->sin6_family = AF_INET6;
    if (inet_pton(AF_INET6, target.toLatin1().constData(), &to6->sin6_addr) != 1)
        return false;
    icmp::Address6 targetBytes{};
    std::memcpy(targetBytes.data(), &to6->sin6_addr, targetBytes.size());
    const QByteArray payload = icmp::BuildEchoPayload(RandomFraction);
    EchoSocket socket(AF_INET6);
    if (!socket.Open(icmp::gSocketKind.load()))
        return false;
    const icmp::EchoReply reply = socket.Exchange(to, payload);
    return icmp::ApplyEcho6Reply(reply, payload, targetBytes, Address, RoundTripTime, DataSize,
                                 DataMatch);
}

} // namespace

bool Ping(QString &Address, QString &RoundTripTime, QString &DataSize, bool &DataMatch) {
    try {
        const QString literal6 = StripIPv6Brackets(Address);
        if (IsIPv6Literal(literal6))
            return Ping6(literal6, Address, RoundTripTime, DataSize, DataMatch);
        const QString target = IsDottedAddress(Address) ? Address : GetIPAddress(Address);
        if (target.isEmpty()) {
            // A name without an IPv4 address may still have IPv6 ones; the
            // first lookup has already rewritten Address to the bare name.
            if (Address.isEmpty() || IsDottedAddress(Address) || IsIPv6Form(Address))
                return false;
            for (const QString &address : GetIPAddresses(Address))
                if (IsIPv6Literal(address))
                    return Ping6(address, Address, RoundTripTime, DataSize, DataMatch);
            return false;
        }
        if (!StartSocketLibrary())
            return false;
        LibraryStopper stopper;
        const QByteArray payload = icmp::BuildEchoPayload(RandomFraction);
        const uint32_t targetValue = DottedToAddress(target);
        sockaddr_storage to{};
        auto *to4 = reinterpret_cast<sockaddr_in *>(&to);
        to4->sin_family = AF_INET;
        const std::array<uint8_t, 4> bytes{uint8_t(targetValue), uint8_t(targetValue >> 8),
                                           uint8_t(targetValue >> 16), uint8_t(targetValue >> 24)};
        std::memcpy(&to4->sin_addr, bytes.data(), bytes.size());
        EchoSocket socket(AF_INET);
        if (!socket.Open(icmp::gSocketKind.load()))
            return false;
        const icmp::EchoReply reply = socket.Exchange(to, payload);
        return icmp::ApplyEchoReply(reply, payload, targetValue, Address, RoundTripTime, DataSize,
                                    DataMatch);
    } catch (...) {
        return false;
    }
}

} // namespace sendmail
