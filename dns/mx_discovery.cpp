// Finding the machine's name servers and DNS domain.
#include "dns/mx_internal.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>

namespace modMXQuery {

using internal::configuration;

QString TrimAtNull(const QString &Text) {
    qsizetype nul = Text.indexOf(QChar(0));
    if (nul < 0)
        return Text;
    return internal::trimSpaces(Text.left(nul));
}

QString GetHostNameByAddress(const QString &Address) {
    const QByteArray text = Address.toLatin1();
    in_addr_t address = inet_addr(text.constData());
    std::optional<sockaddr_in6> address6;
    if (address == INADDR_NONE && Address.contains(QLatin1Char(':'))) {
        // An IPv6 server, possibly link-local with its zone.
        addrinfo hints{};
        hints.ai_family = AF_INET6;
        hints.ai_flags = AI_NUMERICHOST;
        addrinfo *found = nullptr;
        if (getaddrinfo(text.constData(), nullptr, &hints, &found) == 0) {
            address6.emplace();
            std::memcpy(&*address6, found->ai_addr, sizeof *address6);
            freeaddrinfo(found);
        }
    }
    if (address == INADDR_NONE && !address6)
        return {};
    // The reverse lookup is a network use of its own and runs before the
    // exchange starts the socket library.
    internal::SocketLibrarySession library;
    if (!library.started())
        return {};
    // A host name is at most 256 characters, cut at its terminator.
    const QString name = address6
                             ? configuration().ReverseLookupIPv6(
                                   QByteArray(reinterpret_cast<const char *>(&address6->sin6_addr),
                                              sizeof address6->sin6_addr),
                                   address6->sin6_scope_id)
                             : configuration().ReverseLookup(address);
    return TrimAtNull(name.left(256));
}

void DiscoverNameServers() {
    SystemConfiguration &config = configuration();
    QString servers;
    QString domain;

    if (auto params = config.GetNetworkParams()) {
        // The parameters always carry a first server entry, empty when no
        // server is set, so a machine without servers yields ",".
        if (params->DnsServers.isEmpty())
            servers = QStringLiteral(",");
        for (const QString &server : params->DnsServers)
            servers += TrimAtNull(server) + QLatin1Char(',');
        domain = TrimAtNull(params->DomainName);
    }

    // The parameters' empty first entry (text ",") names no server: the
    // configuration keys are still worth reading then.
    const bool serversKnown = std::any_of(servers.cbegin(), servers.cend(),
                                          [](QChar c) { return c != QLatin1Char(','); });
    if (!serversKnown || domain.isEmpty()) {
        // Every non-empty value replaces what came before it: the last
        // source that names servers (or a domain) wins.
        auto readKey = [&](const QString &key, const QString &serverValue,
                           const QString &domainValue) {
            QString s = config.ReadRegistryString(key, serverValue, QString());
            if (!s.isEmpty())
                servers = s + QLatin1Char(',');
            QString d = config.ReadRegistryString(key, domainValue, QString());
            if (!d.isEmpty())
                domain = d;
        };
        const QString nameServer = QStringLiteral("NameServer");
        const QString domainName = QStringLiteral("Domain");
        readKey(kLegacyStackKey, nameServer, domainName);
        readKey(kTcpipParametersKey, nameServer, domainName);
        readKey(kTcpipParametersKey, QStringLiteral("DhcpNameServer"),
                QStringLiteral("DHCPDomain"));
        for (const QString &subkey : config.EnumRegistrySubkeys(kTcpipInterfacesKey))
            readKey(kTcpipInterfacesKey + QLatin1Char('\\') + subkey, nameServer, domainName);
    }

    // Lists may be separated by spaces or commas; only one trailing
    // separator is dropped, so "a," gives the entries "a" and "".
    servers.replace(QLatin1Char(' '), QLatin1Char(','));
    if (servers.endsWith(QLatin1Char(',')))
        servers.chop(1);
    NameServers = servers.isEmpty() ? QStringList() : servers.split(QLatin1Char(','));
    NameServerCount = static_cast<qint32>(NameServers.size());

    DefaultDomain = domain;
    if (domain.isEmpty() && NameServerCount > 0) {
        // No domain configured: take the first server's own domain. The base
        // domain is then taken from the server's full name.
        domain = GetHostNameByAddress(NameServers.at(0));
        qsizetype dot = domain.indexOf(QLatin1Char('.'));
        if (dot >= 0)
            DefaultDomain = domain.mid(dot + 1);
    }

    QStringList labels = domain.split(QLatin1Char('.'));
    if (domain.isEmpty() || labels.size() < 2)
        BaseDomain = domain;
    else
        BaseDomain = labels.at(labels.size() - 2) + QLatin1Char('.') + labels.last();
}

} // namespace modMXQuery
