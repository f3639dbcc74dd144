#include "dns/system_configuration.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace modMXQuery {

namespace {

const QRegularExpression &blanks() {
    static const QRegularExpression re(QStringLiteral("[ \\t]+"));
    return re;
}

QStringList words(const QString &text) {
    return text.split(blanks(), Qt::SkipEmptyParts);
}

std::optional<QStringList> readLines(const QString &file) {
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return std::nullopt;
    // Configuration files are ASCII; Latin-1 keeps any stray byte as one character.
    return QString::fromLatin1(f.readAll()).split(QLatin1Char('\n'));
}

bool isIPv4(const QString &text) {
    in_addr a{};
    return inet_pton(AF_INET, text.toLatin1().constData(), &a) == 1;
}

// An IPv6 address, possibly with the zone that a link-local server needs
// ("fe80::1%eth0"), as the C library's resolver reads it.
bool isIPv6(const QString &text) {
    const QString address = text.section(QLatin1Char('%'), 0, 0);
    in6_addr a{};
    return !address.isEmpty() && text.size() < 64 && !text.endsWith(QLatin1Char('%')) &&
           inet_pton(AF_INET6, address.toLatin1().constData(), &a) == 1;
}

// The address of one server entry, or "" for anything else. The resolver
// daemons write "address", "address:port", "[address]:port" or any of these
// followed by "#tls-name"; the port is not kept.
QString serverAddress(QString entry) {
    entry = entry.section(QLatin1Char('#'), 0, 0);
    if (isIPv4(entry) || isIPv6(entry))
        return entry;
    if (entry.startsWith(QLatin1Char('['))) {
        const qsizetype close = entry.indexOf(QLatin1Char(']'));
        const QString rest = entry.mid(close + 1);
        const QString inner = entry.mid(1, close - 1);
        if (close > 1 && (rest.isEmpty() || rest.startsWith(QLatin1Char(':'))) && isIPv6(inner))
            return inner;
        return {};
    }
    int colon = entry.lastIndexOf(QLatin1Char(':'));
    if (colon > 0 && entry.indexOf(QLatin1Char(':')) == colon && isIPv4(entry.left(colon)))
        return entry.left(colon);
    return {};
}

QString joinServers(const QStringList &entries) {
    QStringList out;
    for (const QString &e : entries) {
        QString a = serverAddress(e);
        if (!a.isEmpty())
            out << a;
    }
    return out.join(QLatin1Char(' '));
}

// The first search domain of a list, skipping routing-only ("~") entries and
// the root; without its trailing ".".
QString firstDomain(const QStringList &entries) {
    for (QString d : entries) {
        if (d.startsWith(QLatin1Char('~')) || d == QLatin1String("."))
            continue;
        if (d.endsWith(QLatin1Char('.')))
            d.chop(1);
        if (!d.isEmpty())
            return d;
    }
    return {};
}

// resolv.conf as the C library reads it: keyword lines, comments starting
// with "#" or ";" in the first column.
std::optional<NetworkParameters> readResolvConf(const QString &file) {
    auto lines = readLines(file);
    if (!lines)
        return std::nullopt;
    NetworkParameters p;
    QString domainLine;
    QStringList search;
    for (const QString &raw : *lines) {
        if (raw.startsWith(QLatin1Char('#')) || raw.startsWith(QLatin1Char(';')))
            continue;
        QStringList w = words(raw.trimmed());
        if (w.size() < 2)
            continue;
        if (w[0] == QLatin1String("nameserver")) {
            if (isIPv4(w[1]) || isIPv6(w[1]))
                p.DnsServers << w[1];
        } else if (w[0] == QLatin1String("domain")) {
            domainLine = w[1];
        } else if (w[0] == QLatin1String("search")) {
            search = w.mid(1);
        }
    }
    p.DomainName = !domainLine.isEmpty() ? firstDomain({domainLine}) : firstDomain(search);
    return p;
}

// The [Resolve] section of resolved.conf: DNS= and Domains= accumulate over
// repeated lines, an empty assignment clears what came before.
struct ResolvedConf {
    QStringList dns, domains;
};

std::optional<ResolvedConf> readResolvedConf(const QString &file) {
    auto lines = readLines(file);
    if (!lines)
        return std::nullopt;
    ResolvedConf c;
    bool inResolve = false;
    for (QString line : *lines) {
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')) ||
            line.startsWith(QLatin1Char(';')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            inResolve = line == QLatin1String("[Resolve]");
            continue;
        }
        int eq = line.indexOf(QLatin1Char('='));
        if (!inResolve || eq < 0)
            continue;
        QString key = line.left(eq).trimmed();
        QStringList value = words(line.mid(eq + 1).trimmed());
        QStringList *target = key == QLatin1String("DNS")       ? &c.dns
                              : key == QLatin1String("Domains") ? &c.domains
                                                                : nullptr;
        if (!target)
            continue;
        if (value.isEmpty())
            target->clear();
        else
            *target << value;
    }
    return c;
}

// KEY=value lines of a per-link state file.
QString stateValue(const QString &file, const QString &key) {
    auto lines = readLines(file);
    if (!lines)
        return {};
    QString prefix = key + QLatin1Char('=');
    QString value;
    for (const QString &line : *lines)
        if (line.startsWith(prefix))
            value = line.mid(prefix.size()).trimmed();
    return value;
}

const QString kResolvConf = QStringLiteral("etc/resolv.conf");
const QString kResolvedConf = QStringLiteral("etc/systemd/resolved.conf");
const QString kUpstreamResolvConf = QStringLiteral("run/systemd/resolve/resolv.conf");
const QString kLinkStateDir = QStringLiteral("run/systemd/resolve/netif");

} // namespace

LinuxSystemConfiguration::LinuxSystemConfiguration(QString Root) : Root_(std::move(Root)) {}

QString LinuxSystemConfiguration::path(const QString &relative) const {
    return QDir(Root_).filePath(relative);
}

std::optional<NetworkParameters> LinuxSystemConfiguration::GetNetworkParams() {
    return readResolvConf(path(kResolvConf));
}

QString LinuxSystemConfiguration::ReadRegistryString(const QString &KeyPath,
                                                     const QString &ValueName,
                                                     const QString &Default) {
    QString value;
    if (KeyPath == kTcpipParametersKey) {
        if (ValueName == QLatin1String("NameServer") || ValueName == QLatin1String("Domain")) {
            if (auto c = readResolvedConf(path(kResolvedConf)))
                value = ValueName == QLatin1String("NameServer") ? joinServers(c->dns)
                                                                 : firstDomain(c->domains);
        } else if (ValueName == QLatin1String("DhcpNameServer") ||
                   ValueName == QLatin1String("DHCPDomain")) {
            if (auto p = readResolvConf(path(kUpstreamResolvConf)))
                value = ValueName == QLatin1String("DhcpNameServer") ? joinServers(p->DnsServers)
                                                                     : p->DomainName;
        }
    } else if (KeyPath.startsWith(kTcpipInterfacesKey + QLatin1Char('\\'))) {
        QString link = KeyPath.mid(kTcpipInterfacesKey.size() + 1);
        if (!link.isEmpty() && !link.contains(QLatin1Char('/')) &&
            !link.contains(QLatin1Char('\\'))) {
            QString file = path(kLinkStateDir + QLatin1Char('/') + link);
            if (ValueName == QLatin1String("NameServer"))
                value = joinServers(words(stateValue(file, QStringLiteral("SERVERS"))));
            else if (ValueName == QLatin1String("Domain"))
                value = firstDomain(words(stateValue(file, QStringLiteral("DOMAINS"))));
        }
    }
    return value.isEmpty() ? Default : value;
}

QStringList LinuxSystemConfiguration::EnumRegistrySubkeys(const QString &KeyPath) {
    if (KeyPath != kTcpipInterfacesKey)
        return {};
    QStringList links = QDir(path(kLinkStateDir)).entryList(QDir::Files);
    // Link indexes are numbers; list them in ascending index, not text order.
    std::stable_sort(links.begin(), links.end(), [](const QString &a, const QString &b) {
        bool okA = false, okB = false;
        qulonglong na = a.toULongLong(&okA), nb = b.toULongLong(&okB);
        if (okA && okB)
            return na < nb;
        if (okA != okB)
            return okA;
        return a < b;
    });
    return links;
}

QString LinuxSystemConfiguration::ReverseLookup(quint32 Address) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = Address;
    char host[NI_MAXHOST] = {};
    if (getnameinfo(reinterpret_cast<const sockaddr *>(&sa), sizeof sa, host, sizeof host, nullptr,
                    0, NI_NAMEREQD) != 0)
        return {};
    return QString::fromLatin1(host);
}

QString LinuxSystemConfiguration::ReverseLookupIPv6(const QByteArray &Address, quint32 ScopeId) {
    sockaddr_in6 sa{};
    if (Address.size() != sizeof sa.sin6_addr)
        return {};
    sa.sin6_family = AF_INET6;
    sa.sin6_scope_id = ScopeId;
    std::memcpy(&sa.sin6_addr, Address.constData(), sizeof sa.sin6_addr);
    char host[NI_MAXHOST] = {};
    if (getnameinfo(reinterpret_cast<const sockaddr *>(&sa), sizeof sa, host, sizeof host, nullptr,
                    0, NI_NAMEREQD) != 0)
        return {};
    return QString::fromLatin1(host);
}

StaticSystemConfiguration::StaticSystemConfiguration(QStringList Servers, QString Domain)
    : Parameters_{std::move(Servers), std::move(Domain)} {}

std::optional<NetworkParameters> StaticSystemConfiguration::GetNetworkParams() {
    return Parameters_;
}

QString StaticSystemConfiguration::ReadRegistryString(const QString &, const QString &,
                                                      const QString &Default) {
    return Default;
}

QStringList StaticSystemConfiguration::EnumRegistrySubkeys(const QString &) {
    return {};
}

QString StaticSystemConfiguration::ReverseLookup(quint32) {
    return {};
}

} // namespace modMXQuery
