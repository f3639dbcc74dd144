// One MX query over UDP (RFC 1035 section 4.2.1) to the first name server,
// IPv4 or IPv6, with the parent-domain retry, and the status-reporting entry
// point.
#include "dns/mx_internal.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace modMXQuery {

namespace {

using Clock = std::chrono::steady_clock;

class SocketCloser {
public:
    explicit SocketCloser(int fd) : fd_(fd) {}
    ~SocketCloser() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    SocketCloser(const SocketCloser &) = delete;
    SocketCloser &operator=(const SocketCloser &) = delete;

private:
    int fd_;
};

[[noreturn]] void fail(const QString &description) {
    throw MXQueryError{kMXQueryErrorNumber, kMXQuerySource, description};
}

struct Answer {
    QByteArray message; // the bytes received, nothing more
    quint16 count;      // the answer count of its header
};

// The socket address, port included, of a name-server text: an IPv6
// address (with its zone, if any) as it stands, anything else as
// GetServerAddress reads it.
std::optional<sockaddr_storage> serverSocketAddress(const QString &nameServer) {
    sockaddr_storage server{};
    if (nameServer.contains(QLatin1Char(':'))) {
        addrinfo hints{};
        hints.ai_family = AF_INET6;
        hints.ai_socktype = SOCK_DGRAM;
        hints.ai_flags = AI_NUMERICHOST; // an address only: no query for it
        addrinfo *found = nullptr;
        if (getaddrinfo(nameServer.toLatin1().constData(), nullptr, &hints, &found) != 0)
            return std::nullopt;
        std::memcpy(&server, found->ai_addr, std::min<size_t>(found->ai_addrlen, sizeof server));
        freeaddrinfo(found);
        reinterpret_cast<sockaddr_in6 *>(&server)->sin6_port = htons(internal::serverPort());
        return server;
    }
    const std::optional<quint32> address = GetServerAddress(nameServer);
    if (!address)
        return std::nullopt;
    auto *v4 = reinterpret_cast<sockaddr_in *>(&server);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(internal::serverPort());
    v4->sin_addr.s_addr = *address;
    return server;
}

socklen_t addressLength(const sockaddr_storage &a) {
    return a.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

// Whether a datagram's sender is the server: same family, address and port.
bool sameSender(const sockaddr_storage &from, const sockaddr_storage &server) {
    if (from.ss_family != server.ss_family)
        return false;
    if (server.ss_family == AF_INET6) {
        const auto &f = reinterpret_cast<const sockaddr_in6 &>(from);
        const auto &s = reinterpret_cast<const sockaddr_in6 &>(server);
        return f.sin6_port == s.sin6_port &&
               std::memcmp(&f.sin6_addr, &s.sin6_addr, sizeof f.sin6_addr) == 0;
    }
    const auto &f = reinterpret_cast<const sockaddr_in &>(from);
    const auto &s = reinterpret_cast<const sockaddr_in &>(server);
    return f.sin_port == s.sin_port && f.sin_addr.s_addr == s.sin_addr.s_addr;
}

// Sends the query for `domain` to the first name server and returns the
// answer datagram, or nullopt when the exchange cannot start (no socket
// library, no socket, no server address): the query then yields "" quietly.
// The socket is closed and the library stopped on every way out.
std::optional<Answer> exchange(const QString &domain) {
    internal::SocketLibrarySession library;
    if (!library.started())
        return std::nullopt;
    const std::optional<sockaddr_storage> server = serverSocketAddress(NameServers.at(0));
    const int fd = ::socket(server ? server->ss_family : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return std::nullopt;
    SocketCloser closer(fd);
    if (!server)
        return std::nullopt;
    const QByteArray query = BuildQueryMessage(domain);

    // Connecting the datagram socket makes the kernel drop datagrams from any
    // other address or port, and turns a closed port at the server into a
    // failed receive at once instead of a wait to the end of the bound.
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&*server), addressLength(*server)) != 0)
        fail(kSendFailedText);
    ssize_t sent;
    do {
        sent = ::send(fd, query.constData(), static_cast<size_t>(query.size()), 0);
    } while (sent < 0 && errno == EINTR);
    if (sent <= 0)
        fail(kSendFailedText);

    const auto deadline = Clock::now() + internal::answerTimeout();
    // One byte more than a receive may fill, zeroed before each receive, so
    // that header fields of a short answer read as 0.
    char buffer[kAnswerBufferSize + 1];
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            fail(kReceiveFailedText);
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR)
            fail(kReceiveFailedText);
        if (ready <= 0)
            continue;
        std::memset(buffer, 0, sizeof buffer);
        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        const ssize_t got = ::recvfrom(fd, buffer, kAnswerBufferSize, MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr *>(&from), &fromLength);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            fail(kReceiveFailedText);
        }
        const bool fromServer = sameSender(from, *server);
        // Only the server's datagram carrying this query's identifier is the
        // answer; anything else is ignored while the bound lasts.
        if (!fromServer || got < 2 || static_cast<uchar>(buffer[0]) != (kQueryIdentifier >> 8) ||
            static_cast<uchar>(buffer[1]) != (kQueryIdentifier & 0xFF))
            continue;
        return Answer{QByteArray(buffer, static_cast<int>(got)),
                      static_cast<quint16>((static_cast<uchar>(buffer[6]) << 8) |
                                           static_cast<uchar>(buffer[7]))};
    }
}

} // namespace

std::optional<quint32> GetServerAddress(const QString &NameServer) {
    // No host has an empty name; do not hand "" to the resolver.
    if (NameServer.isEmpty())
        return std::nullopt;
    const QByteArray text = NameServer.toLatin1();
    const in_addr_t numeric = inet_addr(text.constData());
    if (numeric != INADDR_NONE)
        return numeric;

    hostent host{};
    hostent *result = nullptr;
    int error = 0;
    std::vector<char> work(4096);
    int rc;
    while ((rc = gethostbyname_r(text.constData(), &host, work.data(), work.size(), &result,
                                 &error)) == ERANGE &&
           work.size() < 1024 * 1024)
        work.resize(work.size() * 2);
    if (rc != 0 || !result || result->h_addrtype != AF_INET || result->h_length != 4 ||
        !result->h_addr_list[0])
        return std::nullopt;
    quint32 first;
    std::memcpy(&first, result->h_addr_list[0], 4);
    // All bits set is the lookup's "no address" value, whatever its source.
    if (first == INADDR_NONE)
        return std::nullopt;
    return first;
}

QString ResolveMX(const QString &Domain) {
    LastFailure.reset();
    QString domain = Domain;
    // Each round is a complete query; the parent retry starts the next one
    // with a strictly shorter domain, so the rounds end.
    for (;;) {
        BestExchange.clear();
        if (NameServerCount == 0)
            DiscoverNameServers();
        if (NameServerCount == 0) {
            LastFailure = MXQueryError{kMXQueryErrorNumber, kMXQuerySource, kNoNameServerText};
            return {};
        }
        if (domain.isEmpty())
            domain = DefaultDomain;
        if (domain.size() < 5) {
            LastFailure = MXQueryError{kMXQueryErrorNumber, kMXQuerySource, kNoValidDomainText};
            return {};
        }
        QueryDomain = domain;

        std::optional<Answer> answer = exchange(QueryDomain);
        if (!answer)
            return {};
        if (answer->count != 0) {
            BestExchange = ParseMXAnswers(answer->message, 12, answer->count);
            return BestExchange;
        }

        // No records: ask the parent domain, as long as the query lies below
        // the machine's base domain. A domain without a dot has no parent.
        const qsizetype base = QueryDomain.indexOf(BaseDomain);
        const qsizetype dot = QueryDomain.indexOf(QLatin1Char('.'));
        if (base <= 0 || dot < 0)
            return {};
        domain = QueryDomain.mid(dot + 1);
    }
}

QString MXQuery(const QString &IPDomain, const std::function<void(const QString &)> &status) {
    auto report = [&status](const QString &text) {
        if (status)
            status(text);
    };
    try {
        const QString domain = internal::trimSpaces(IPDomain);
        report(domain.isEmpty() ? QStringLiteral("Performing MX Query")
                                : QStringLiteral("Performing MX Query, Domain: ") + domain);
        return ResolveMX(domain);
    } catch (const MXQueryError &e) {
        report(e.Description);
    } catch (const std::exception &e) {
        report(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        report(QStringLiteral("Unexpected failure during the MX query"));
    }
    return {};
}

} // namespace modMXQuery
