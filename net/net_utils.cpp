// ICMP echo as in RFC 792; checksum as in RFC 1071.
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
    RoundTripTime = QString::number(reply.RoundTripTime);
    Address = AddressToDotted(reply.Address);
    DataSize = QString::number(reply.DataSize) + QStringLiteral(" bytes");
    const auto nul = std::find(reply.Data.begin(), reply.Data.end(), uint8_t(0));
    if (nul != reply.Data.end() && nul != reply.Data.begin()) {
        const QString echoed = QString::fromLatin1(
            reinterpret_cast<const char *>(reply.Data.data()), nul - reply.Data.begin());
        DataMatch = echoed.compare(QString::fromLatin1(request), Qt::CaseInsensitive) == 0;
    }
    return reply.Status == kStatusSuccess && reply.Address == target;
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
    EchoSocket() = default;
    EchoSocket(const EchoSocket &) = delete;
    EchoSocket &operator=(const EchoSocket &) = delete;
    ~EchoSocket() {
        if (fd_ >= 0)
            ::close(fd_);
    }

    bool Open(icmp::SocketKind kind) {
        if (kind != icmp::SocketKind::Raw) {
            fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
            withIpHeader_ = false;
        }
        if (fd_ < 0 && kind != icmp::SocketKind::Datagram) {
            fd_ = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
            withIpHeader_ = true;
        }
        return fd_ >= 0;
    }

    icmp::EchoReply Exchange(uint32_t target, const QByteArray &payload);

private:
    int fd_ = -1;
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

icmp::EchoReply EchoSocket::Exchange(uint32_t target, const QByteArray &payload) {
    icmp::EchoReply reply;
    // A raw socket sees every ICMP packet of the machine, so its requests
    // carry our own identifier. On a datagram socket the kernel replaces the
    // identifier with the socket's local port and hands back only the
    // replies that carry it.
    uint16_t identifier = static_cast<uint16_t>(::getpid() & 0xFFFF);
    const uint16_t sequence = ++gSequence;
    const QByteArray request = icmp::BuildEchoRequest(identifier, sequence, payload);

    sockaddr_in to{};
    to.sin_family = AF_INET;
    const std::array<uint8_t, 4> bytes{uint8_t(target), uint8_t(target >> 8), uint8_t(target >> 16),
                                       uint8_t(target >> 24)};
    std::memcpy(&to.sin_addr, bytes.data(), bytes.size());

    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + std::chrono::milliseconds(icmp::kTimeoutMs);
    if (::sendto(fd_, request.constData(), size_t(request.size()), 0,
                 reinterpret_cast<const sockaddr *>(&to), sizeof to) < 0) {
        reply.Status = StatusOfErrno(errno);
        return reply;
    }
    if (!withIpHeader_) {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        if (::getsockname(fd_, reinterpret_cast<sockaddr *>(&local), &length) == 0)
            identifier = ntohs(local.sin_port);
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
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t received = ::recvfrom(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                            reinterpret_cast<sockaddr *>(&from), &fromLength);
        if (received < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                continue;
            reply.Status = StatusOfErrno(errno);
            return reply;
        }
        const uint32_t source =
            icmp::ReadAddress(reinterpret_cast<const uint8_t *>(&from.sin_addr));
        const auto parsed = icmp::ParseEchoPacket(QByteArray(buffer.data(), received),
                                                  withIpHeader_, source, identifier, sequence);
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

bool Ping(QString &Address, QString &RoundTripTime, QString &DataSize, bool &DataMatch) {
    try {
        const QString target = IsDottedAddress(Address) ? Address : GetIPAddress(Address);
        if (target.isEmpty())
            return false;
        if (!StartSocketLibrary())
            return false;
        LibraryStopper stopper;
        const QByteArray payload = icmp::BuildEchoPayload(RandomFraction);
        const uint32_t targetValue = DottedToAddress(target);
        EchoSocket socket;
        if (!socket.Open(icmp::gSocketKind.load()))
            return false;
        const icmp::EchoReply reply = socket.Exchange(targetValue, payload);
        return icmp::ApplyEchoReply(reply, payload, targetValue, Address, RoundTripTime, DataSize,
                                    DataMatch);
    } catch (...) {
        return false;
    }
}

} // namespace sendmail
