// Helpers for the resolver's tests: answer messages built from parts, a
// configuration whose every source is scripted, and a scripted UDP name
// server on 127.0.0.1.
#pragma once

#include "dns/mx_query.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace dnstest {

// Names the rows of a parameterized table by their `name` member.
template <class Row> std::string caseName(const ::testing::TestParamInfo<Row> &row) {
    return row.param.name;
}

// ---------------------------------------------------------------------------
// Message parts (big-endian fields, names as length-prefixed labels)

inline QByteArray u16(int v) {
    QByteArray b;
    b.append(static_cast<char>((v >> 8) & 0xFF));
    b.append(static_cast<char>(v & 0xFF));
    return b;
}

inline QByteArray labels(const QString &dotted) {
    QByteArray b;
    for (const QString &l : dotted.split(QLatin1Char('.'))) {
        b.append(static_cast<char>(l.size()));
        b.append(l.toLatin1());
    }
    return b;
}

inline QByteArray fullName(const QString &dotted) {
    return dotted.isEmpty() ? QByteArray(1, '\0') : labels(dotted) + QByteArray(1, '\0');
}

inline QByteArray ptr(int offset) {
    return QByteArray(1, static_cast<char>(0xC0 | (offset >> 8))) +
           QByteArray(1, static_cast<char>(offset & 0xFF));
}

inline QByteArray header(int answers, int id = modMXQuery::kQueryIdentifier) {
    return u16(id) + QByteArray("\x81\x80", 2) + u16(1) + u16(answers) + u16(0) + u16(0);
}

inline QByteArray question(const QString &domain) {
    return fullName(domain) + u16(15) + u16(1);
}

// One resource record: owner, type, class IN, a TTL, data length and data.
inline QByteArray record(const QByteArray &owner, int type, const QByteArray &data) {
    return owner + u16(type) + u16(1) + QByteArray("\x00\x00\x0e\x10", 4) + u16(data.size()) + data;
}

inline QByteArray mx(int preference, const QByteArray &exchange,
                     const QByteArray &owner = ptr(12)) {
    return record(owner, 15, u16(preference) + exchange);
}

// A whole answer for `domain` with the given records.
inline QByteArray answer(const QString &domain, const QList<QByteArray> &records,
                         int id = modMXQuery::kQueryIdentifier) {
    QByteArray m = header(static_cast<int>(records.size()), id) + question(domain);
    for (const QByteArray &r : records)
        m += r;
    return m;
}

// The question name of a query message, decoded (the query's bytes are ours,
// so a plain walk will do).
inline QString queriedName(const QByteArray &query) {
    int at = 12;
    QString name;
    if (!modMXQuery::ReadDomainName(query, at, name))
        return QStringLiteral("<undecodable>");
    return name;
}

// Runs `body` on a thread of its own inside a new, empty network namespace,
// where nothing can leave the machine (not even loopback is up). Returns
// false, without running it, when the namespace cannot be made.
inline bool runInPrivateNetwork(const std::function<void()> &body) {
    bool made = false;
    std::thread t([&] {
        // The namespace belongs to this thread only and ends with it.
        made = unshare(CLONE_NEWNET) == 0;
        if (made)
            body();
    });
    t.join();
    return made;
}

inline int openDescriptors() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}

// ---------------------------------------------------------------------------
// A configuration with scripted sources that counts what was asked.

struct FakeConfiguration : modMXQuery::SystemConfiguration {
    std::optional<modMXQuery::NetworkParameters> params;
    QMap<QString, QString> values; // "key|value name" -> text
    QMap<QString, QStringList> subkeys;
    QMap<quint32, QString> reverse; // address (network order) -> name
    int paramCalls = 0, valueReads = 0, reverseCalls = 0;

    std::optional<modMXQuery::NetworkParameters> GetNetworkParams() override {
        ++paramCalls;
        return params;
    }
    QString ReadRegistryString(const QString &key, const QString &value,
                               const QString &def) override {
        ++valueReads;
        return values.value(key + QLatin1Char('|') + value, def);
    }
    QStringList EnumRegistrySubkeys(const QString &key) override { return subkeys.value(key); }
    QString ReverseLookup(quint32 address) override {
        ++reverseCalls;
        return reverse.value(address);
    }
    QMap<QString, QString> reverse6; // "2001:db8::53" or "fe80::1%<scope id>" -> name
    QString ReverseLookupIPv6(const QByteArray &address, quint32 scopeId) override {
        ++reverseCalls;
        char text[INET6_ADDRSTRLEN] = {};
        inet_ntop(AF_INET6, address.constData(), text, sizeof text);
        QString key = QString::fromLatin1(text);
        if (scopeId != 0)
            key += QLatin1Char('%') + QString::number(scopeId);
        return reverse6.value(key);
    }
};

inline quint32 ipv4(const char *dotted) {
    return inet_addr(dotted);
}

// ---------------------------------------------------------------------------
// A scripted name server on 127.0.0.1. Each query it receives is recorded
// and handed to the responder, whose datagrams are sent back in order.

struct Datagram {
    QByteArray bytes;
    bool fromOtherPort = false; // sent from a second socket, not the server's
};
using Responder = std::function<QList<Datagram>(const QByteArray &query)>;

class ScriptedDnsServer {
public:
    // Binds port 53 (waiting a bounded time while another test run holds it).
    // Without the privilege for port 53 it takes a free port; the tests then
    // point the resolver at that port.
    ScriptedDnsServer() {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        other_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0 || other_ < 0)
            throw std::runtime_error("no socket for the scripted name server");
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (;;) {
            if (bindTo(fd_, modMXQuery::kDnsPort))
                break;
            if (errno == EACCES && bindTo(fd_, 0))
                break;
            if (errno != EADDRINUSE || std::chrono::steady_clock::now() > giveUp)
                throw std::runtime_error("cannot bind the scripted name server on 127.0.0.1");
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        if (!bindTo(other_, 0))
            throw std::runtime_error("cannot bind the second socket");
        sockaddr_in a{};
        socklen_t len = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~ScriptedDnsServer() {
        stop_ = true;
        thread_.join();
        close(fd_);
        close(other_);
    }
    ScriptedDnsServer(const ScriptedDnsServer &) = delete;
    ScriptedDnsServer &operator=(const ScriptedDnsServer &) = delete;

    quint16 port() const { return port_; }
    void respond(Responder r) {
        std::lock_guard lock(mutex_);
        responder_ = std::move(r);
    }
    QList<QByteArray> queries() const {
        std::lock_guard lock(mutex_);
        return queries_;
    }
    QStringList queriedNames() const {
        QStringList names;
        for (const QByteArray &q : queries())
            names << queriedName(q);
        return names;
    }

private:
    static bool bindTo(int fd, quint16 port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }

    void run() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            char buf[65536];
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n =
                recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
            if (n < 0)
                continue;
            QByteArray q(buf, static_cast<int>(n));
            Responder r;
            {
                std::lock_guard lock(mutex_);
                queries_ << q;
                r = responder_;
            }
            if (!r)
                continue;
            for (const Datagram &d : r(q))
                sendto(d.fromOtherPort ? other_ : fd_, d.bytes.constData(),
                       static_cast<size_t>(d.bytes.size()), 0, reinterpret_cast<sockaddr *>(&from),
                       len);
        }
    }

    int fd_ = -1, other_ = -1;
    quint16 port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    Responder responder_;
    QList<QByteArray> queries_;
    std::thread thread_;
};

} // namespace dnstest
