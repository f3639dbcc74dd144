// Where the MX resolver learns the machine's name servers and DNS domain.
//
// Discovery (DiscoverNameServers in dns/mx_query.h) asks a SystemConfiguration
// for four things: the network parameters (name-server addresses in order and
// the DNS domain), named string values of configuration keys, the subkeys of a
// configuration key, and the reverse lookup of an IPv4 address. The order of
// those sources and how their answers combine live in discovery; this
// interface only reads them, so tests and embedders can substitute every one.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace modMXQuery {

// What the network-parameters source reports.
struct NetworkParameters {
    QStringList DnsServers; // address texts, in the order the resolver uses them
    QString DomainName;     // the machine's DNS domain, "" when none is set
};

// The configuration keys and values discovery reads, all machine-wide.
inline const QString kLegacyStackKey =
    QStringLiteral("System\\CurrentControlSet\\Services\\VxD\\MSTCP");
inline const QString kTcpipParametersKey =
    QStringLiteral("SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters");
inline const QString kTcpipInterfacesKey =
    QStringLiteral("SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces");

class SystemConfiguration {
public:
    virtual ~SystemConfiguration() = default;

    // The network parameters, or nullopt when the machine has no such source
    // (discovery then goes straight to the configuration keys).
    virtual std::optional<NetworkParameters> GetNetworkParams() = 0;

    // The text of value `ValueName` of key `KeyPath`, or `Default` when the key
    // or the value does not exist or cannot be read.
    virtual QString ReadRegistryString(const QString &KeyPath, const QString &ValueName,
                                       const QString &Default) = 0;

    // The names of the direct subkeys of `KeyPath`, in the source's own order;
    // empty when the key does not exist.
    virtual QStringList EnumRegistrySubkeys(const QString &KeyPath) = 0;

    // The official name of the host with IPv4 address `Address` (network byte
    // order), or "" when it has none. May ask the machine's resolver.
    virtual QString ReverseLookup(quint32 Address) = 0;

    // The same for an IPv6 address (16 bytes, network order; a zone, if
    // any, as its interface index). A source without IPv6 knows no names.
    virtual QString ReverseLookupIPv6(const QByteArray &Address, quint32 ScopeId) {
        (void)Address;
        (void)ScopeId;
        return {};
    }
};

// The configuration of this Linux machine, read from files under `Root`
// ("/" normally; tests point it at a prepared folder). Mapping:
//
// - Network parameters: Root/etc/resolv.conf. Servers are the `nameserver`
//   lines in file order, IPv4 and IPv6 (a link-local one with its zone,
//   "fe80::1%eth0"); other entries are left out. The domain
//   is the `domain` line (the last one when repeated, as the C library reads
//   it), else the first entry of the `search` line; one trailing "." is
//   dropped. No readable file: nullopt.
// - VxD\MSTCP (NameServer, Domain): no equivalent, always absent.
// - Tcpip\Parameters NameServer / Domain, the statically configured global
//   settings: the DNS= and Domains= lines of Root/etc/systemd/resolved.conf.
// - Tcpip\Parameters DhcpNameServer / DHCPDomain, what the machine currently
//   learnt: the upstream servers and domain of systemd-resolved,
//   Root/run/systemd/resolve/resolv.conf (same reading as etc/resolv.conf).
// - Tcpip\Parameters\Interfaces: one subkey per network link for which
//   systemd-resolved keeps per-link state, Root/run/systemd/resolve/netif/<ifindex>,
//   in ascending link index; NameServer is its SERVERS= line, Domain the
//   first search domain of its DOMAINS= line.
//
// Server lists are returned as addresses, IPv4 and IPv6, separated by single
// spaces (entries written "address:port", "[address]:port" or "address#name"
// keep the address only). Domains skip routing-only entries ("~name") and
// "."; a list that yields nothing reads as absent. Any other key or value
// reads as absent. ReverseLookup and ReverseLookupIPv6 ask the C library
// (getnameinfo, name required), i.e. /etc/hosts and then the configured
// name server.
class LinuxSystemConfiguration : public SystemConfiguration {
public:
    explicit LinuxSystemConfiguration(QString Root = QStringLiteral("/"));

    std::optional<NetworkParameters> GetNetworkParams() override;
    QString ReadRegistryString(const QString &KeyPath, const QString &ValueName,
                               const QString &Default) override;
    QStringList EnumRegistrySubkeys(const QString &KeyPath) override;
    QString ReverseLookup(quint32 Address) override;
    QString ReverseLookupIPv6(const QByteArray &Address, quint32 ScopeId) override;

private:
    QString path(const QString &relative) const;
    QString Root_;
};

// A fixed configuration: the given servers and domain as network parameters,
// no configuration keys, and no reverse names. For tests and for owners that
// want the resolver to ask a particular server.
class StaticSystemConfiguration : public SystemConfiguration {
public:
    StaticSystemConfiguration(QStringList Servers, QString Domain);

    std::optional<NetworkParameters> GetNetworkParams() override;
    QString ReadRegistryString(const QString &KeyPath, const QString &ValueName,
                               const QString &Default) override;
    QStringList EnumRegistrySubkeys(const QString &KeyPath) override;
    QString ReverseLookup(quint32 Address) override;

private:
    NetworkParameters Parameters_;
};

} // namespace modMXQuery
