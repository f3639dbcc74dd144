// The DNS MX resolver: finds the machine's name servers and DNS domain, sends
// one MX query over UDP to the first name server, walks the answer and returns
// the mail exchanger with the lowest preference. No resolver library is used
// for the exchange itself; the messages follow RFC 1035 (section 4: header,
// question, resource records and name compression) and the MX record of
// RFC 1035 section 3.3.9.
//
// Everything here runs synchronously on the caller's thread and blocks it for
// the whole exchange (at most the answer bound, 5 seconds by default, plus any
// host-name lookups). The module state is one per process and not locked:
// queries are expected from one thread at a time.
#pragma once

#include "dns/system_configuration.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace modMXQuery {

// ---------------------------------------------------------------------------
// Failures

inline constexpr int kMXQueryErrorNumber = 20000;
inline const QString kMXQuerySource = QStringLiteral("MXQuery");

inline const QString kNoNameServerText =
    QStringLiteral("No DNS entries found, MX Query cannot contine.");
inline const QString kNoValidDomainText = QStringLiteral("No Valid Domain Specified");
inline const QString kSendFailedText = QStringLiteral("Problem sending MX query");
inline const QString kReceiveFailedText = QStringLiteral("Problem receiving MX query");

// Thrown by ResolveMX for a failed send or receive: Number 20000, Source
// "MXQuery" and one of the two texts above as Description.
struct MXQueryError {
    int Number = kMXQueryErrorNumber;
    QString Source = kMXQuerySource;
    QString Description;
};

// ---------------------------------------------------------------------------
// Module state (one per process)

extern QStringList NameServers; // name servers in the order found; entry 0 is asked
extern qint32 NameServerCount;  // entries in NameServers; 0: discovery runs again
extern QString DefaultDomain;   // the machine's DNS domain, "" when unknown
extern QString BaseDomain;      // last two labels of the domain: where the parent retry stops
extern QString QueryDomain;     // the domain of the last (or current) query
extern QString BestExchange;    // the result of the last answer walk
// The last failure that ResolveMX recorded without raising it: no name
// server (kNoNameServerText) or no valid domain (kNoValidDomainText). Cleared
// at the start of every ResolveMX.
extern std::optional<MXQueryError> LastFailure;

// Empties the module state, as at process start (the substitutions below are
// left as they are).
void ResetModuleState();

// ---------------------------------------------------------------------------
// Substitutions for tests and embedders. Each setter called with an empty
// value restores the default.

// The configuration discovery reads; by default LinuxSystemConfiguration("/").
void SetSystemConfiguration(std::shared_ptr<SystemConfiguration> Configuration);

// The UDP port the query goes to; 53 by default.
void SetServerPort(quint16 Port);
inline constexpr quint16 kDnsPort = 53;

// How long the exchange waits for the answer; 5 seconds by default. An
// expired wait is a failed receive.
void SetAnswerTimeout(std::chrono::milliseconds Timeout);
inline constexpr std::chrono::milliseconds kDefaultAnswerTimeout{5000};

// The socket library's start and stop routines. Each network use of the
// module runs Start once and, when Start gave true, Stop exactly once on every
// path out. On Linux there is nothing to start: the defaults are no-ops and
// Start always succeeds. Tests install counters, or a failing Start.
struct SocketLibraryHooks {
    std::function<bool()> Start;
    std::function<void()> Stop;
};
void SetSocketLibraryHooks(SocketLibraryHooks Hooks);

// ---------------------------------------------------------------------------
// Discovery

// Fills NameServers, NameServerCount, DefaultDomain and BaseDomain from the
// installed configuration: the network parameters first; then, unless both
// servers (at least one) and domain are known, the configuration keys in a
// fixed order (see system_configuration.h), the
// last non-empty server list and domain winning; spaces become separators
// and one trailing separator is dropped; with no domain but a server, the
// domain is derived from the first server's reverse name. Never fails.
void DiscoverNameServers();

// The text before its first NUL, trimmed of spaces; "" when the NUL comes
// first; the text unchanged (not trimmed) when it holds no NUL.
QString TrimAtNull(const QString &Text);

// The official name of the host at the dotted IPv4 address `Address` (or at
// an IPv6 address, with its zone if it has one), through the installed
// configuration's reverse lookup; "" when the text is not an address or the
// host has no name.
QString GetHostNameByAddress(const QString &Address);

// ---------------------------------------------------------------------------
// The exchange

inline constexpr quint16 kQueryIdentifier = 0x11DF; // the same for every query
inline constexpr quint16 kTypeMX = 15;
inline constexpr int kAnswerBufferSize = 2048;    // one receive keeps at most this much
inline constexpr int kMaxQueryMessageSize = 4001; // positions 0..4000 of the assembly buffer

// The question name of `Domain` without its closing zero byte: each
// "."-separated piece (empty ones included) preceded by a byte holding its
// length; characters as Latin-1 ("?" above U+00FF). Throws
// std::invalid_argument for a piece longer than 255 characters.
QByteArray EncodeQueryName(const QString &Domain);

// The whole query message for `Domain`: identifier 0x11DF, only the
// recursion-desired flag, one question (the encoded name, a zero byte, type
// MX, class Internet). Throws std::invalid_argument when the name cannot be
// encoded or the message would exceed kMaxQueryMessageSize bytes.
QByteArray BuildQueryMessage(const QString &Domain);

// The IPv4 address (network byte order) of a name-server text: a dotted
// address, else a host name looked up through the C library (first address).
// nullopt when there is none (also for "" and for 255.255.255.255, whose
// value is the lookup's own "no address").
std::optional<quint32> GetServerAddress(const QString &NameServer);

// Decodes one DNS name of `Message` at `Position` into `Name` (appended;
// labels joined by ".", the root name gives ""), following compression
// pointers, and leaves `Position` after the name's encoding at that place.
// Returns false when the name reaches beyond the message or its pointers
// loop; Position and Name then hold whatever was read before the stop.
[[nodiscard]] bool ReadDomainName(const QByteArray &Message, int &Position, QString &Name);

// Walks an answer message: skips the question at `Position` (12 normally),
// then up to `Count` answer records, stopping at the first record that is not
// of type MX. Returns the exchange with the lowest preference (the first one
// among equals), ignoring exchanges that are empty after trimming spaces; ""
// when there is none. A record that reaches beyond the message ends the walk
// with what was found before it. Reads nothing outside `Message`.
QString ParseMXAnswers(const QByteArray &Message, int Position, int Count);

// Looks up the best mail exchanger of `Domain` ("" queries DefaultDomain).
// Runs discovery while NameServerCount is 0. The first name server may be
// an IPv4 address, an IPv6 address (with its zone, if link-local) or a host
// name (its first IPv4 address). Returns "" without sending
// anything when there is no name server or the domain has fewer than 5
// characters (both recorded in LastFailure), or when the socket library,
// the socket or the first name server's address is not available. Sends one
// query to the first name server, waits up to the answer bound for a
// datagram from that server's address and port carrying the query's
// identifier (others are ignored), and walks it. When the answer holds no
// records and QueryDomain contains BaseDomain after its first character,
// the query is repeated for the text after QueryDomain's first "." (down to
// BaseDomain). Throws MXQueryError with kSendFailedText or
// kReceiveFailedText (receive covers the expired wait), and
// std::invalid_argument for a domain that cannot be encoded. The socket is
// closed and the socket library stopped before any result or exception leaves.
QString ResolveMX(const QString &Domain);

// Everything the component's public MXQuery does, with its events delivered
// through `status`: trims spaces around `IPDomain`; reports
// "Performing MX Query, Domain: " + the domain, or "Performing MX Query" when
// it is ""; returns ResolveMX of the domain. Never throws a failure of the
// query: on one it reports the failure's description ("Problem sending MX
// query", "Problem receiving MX query", or the text of any other failure)
// through `status` and returns "". The other texts are "Domain label longer
// than 255 characters" and "Domain name too long for an MX query". The early
// "" results of ResolveMX (no name server, short domain, no socket) report
// nothing beyond the first text. `status` runs synchronously on the calling
// thread; an empty `status` reports nothing. The component's method is:
//
//   QString clsSendMail::MXQuery(const QString &IPDomain) {
//       return modMXQuery::MXQuery(IPDomain, [this](const QString &s) { emit status(s); });
//   }
QString MXQuery(const QString &IPDomain, const std::function<void(const QString &)> &status);

} // namespace modMXQuery
