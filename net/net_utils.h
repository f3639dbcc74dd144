// Network utilities of the mail component: the local host name, forward
// lookups of a host name (its first IPv4 address, or all its addresses of
// both families), and one ICMP or ICMPv6 echo.
//
// All of them run synchronously on the caller's thread and dispatch no
// events while they block: the look-ups for as long as the system resolver
// takes, Ping for at most 255 ms in the echo itself.
//
// The echo goes out through an unprivileged ICMP datagram socket
// (SOCK_DGRAM/IPPROTO_ICMP) when the kernel allows it for our group
// (net.ipv4.ping_group_range), otherwise through a raw ICMP socket, which
// needs root or CAP_NET_RAW. ICMPv6 echoes (RFC 4443) take the same two ways.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>

namespace sendmail {

// --- The socket library -----------------------------------------------------
//
// Each network call starts the socket library for its own duration and stops
// it again, one stop for every start that succeeded. On Linux there is
// nothing to start; the pair is kept so that the pairing stays visible and a
// failing start can be simulated.

// True when the library is ready; false only while a test makes it fail.
bool StartSocketLibrary();
// Stops it once; call exactly once for each start that returned true.
void StopSocketLibrary();

// While `fail` is true, StartSocketLibrary returns false (and counts nothing).
void SetSocketLibraryFailsForTesting(bool fail);
// Successful starts minus stops since the process began.
int SocketLibraryBalanceForTesting();

// --- Names and addresses ----------------------------------------------------

// The local machine's host name, or "" on any failure.
QString GetIPHost();

// The first IPv4 address of a host, in dotted decimal ("192.0.2.10"), in the
// order the system resolver lists them (/etc/hosts, then DNS as
// nsswitch.conf says), or "" when the name does not resolve or the socket
// library does not start.
//
// sHostName is rewritten to the name that was looked up: the local host name
// when it was "", and in every case without leading and trailing spaces.
// When the library does not start it is left as it was. A name that is empty
// after trimming, or that holds a NUL character, is not looked up and gives
// "". A dotted address resolves to itself without asking a name server; an
// IPv6 address (IsIPv6Form) has no IPv4 address and gives "" unasked.
QString GetIPAddress(QString &sHostName);

// Every address of a host, IPv4 and IPv6, in the order the system resolver
// lists them (getaddrinfo, RFC 6724 ordering), each once: dotted IPv4 or
// compressed IPv6 text ("2001:db8::25"). The name is treated as in
// GetIPAddress (rewritten trimmed, the local host name when ""), and an IPv6
// literal in brackets is rewritten without them. An IPv4 or IPv6 literal
// gives itself without a query; a text in IPv6 form that is not a valid
// literal, a name that does not resolve, or a library that does not start
// gives an empty list.
QStringList GetIPAddresses(QString &sHostName);

// The 32-bit value of a dotted IPv4 text whose bytes, lowest first, are the
// four parts, so that stored in memory on this (little-endian) machine it is
// the address in network byte order: 192.168.0.1 gives 0x0100A8C0. Each part
// contributes the low 8 bits of its value (300 gives 0x2C, -1 gives 0xFF).
// Text that does not split at "." into exactly four numeric parts (see
// IsNumericText) gives 0.
uint32_t DottedToAddress(const QString &text);

// The dotted text of such a value: AddressToDotted(0x0100A8C0) is
// "192.168.0.1".
QString AddressToDotted(uint32_t address);

// --- ICMP echo --------------------------------------------------------------

// Sends one ICMP echo to Address and reports the reply.
//
// Address is used as given when it is a dotted address (IsDottedAddress) or
// an IPv6 literal, bare or in brackets (IsIPv6Literal; the echo is then an
// ICMPv6 one). Otherwise it is resolved with GetIPAddress, which rewrites it
// (trimmed, or the local host name when empty); a name without an IPv4
// address is echoed at its first IPv6 address (GetIPAddresses). When it
// does not resolve, or the socket library does not start, or no ICMP socket
// can be opened, Ping returns false and leaves RoundTripTime, DataSize and
// DataMatch untouched.
//
// Otherwise one echo request with 32 pseudo-random payload bytes (each 1 to
// 255) is sent and a reply awaited for at most 255 ms, and the outputs are
// written from the reply record (all zero when nothing came back):
//   RoundTripTime  the round trip in whole milliseconds ("0" on loopback);
//   Address        the replying address, "0.0.0.0" ("::" for IPv6) when
//                  nothing came back;
//   DataSize       the echoed byte count followed by " bytes" ("32 bytes");
//   DataMatch      whether the echoed data equals the request's, compared as
//                  text without regard to letter case; left as it was when
//                  no data came back.
// Returns true only when a successful echo reply came from the target
// address itself. Nothing escapes: every failure gives false.
bool Ping(QString &Address, QString &RoundTripTime, QString &DataSize, bool &DataMatch);

// The pieces of Ping, pure so that they can be checked without a socket.
namespace icmp {

inline constexpr int kPayloadSize = 32;
inline constexpr int kTimeoutMs = 255;
inline constexpr int kReplyDataSize = 250;

// Status values of the reply record.
inline constexpr uint32_t kStatusSuccess = 0;
inline constexpr uint32_t kStatusNetUnreachable = 11002;
inline constexpr uint32_t kStatusHostUnreachable = 11003;
inline constexpr uint32_t kStatusProtocolUnreachable = 11004;
inline constexpr uint32_t kStatusPortUnreachable = 11005;
inline constexpr uint32_t kStatusTimedOut = 11010;
inline constexpr uint32_t kStatusTtlExpired = 11013;
inline constexpr uint32_t kStatusGeneralFailure = 11050;

// What came back for one echo request. Starts all zero; a request that got
// no answer leaves everything zero except Status, which then tells why, so
// that an empty record can never read as success.
struct EchoReply {
    uint32_t Address = 0;               // replying host, in DottedToAddress form
    std::array<uint8_t, 16> Address6{}; // replying host of an ICMPv6 echo, network order
    uint32_t Status = kStatusSuccess;
    uint32_t RoundTripTime = 0;                 // milliseconds
    uint32_t DataSize = 0;                      // echoed bytes (16 bits used, 16 reserved)
    std::array<uint8_t, kReplyDataSize> Data{}; // echoed bytes, zero-padded
};

// 32 payload bytes, each round(fraction() * 254) + 1 for a fraction in
// [0, 1), so every byte lies in 1..255 and the payload holds no NUL.
QByteArray BuildEchoPayload(const std::function<double()> &fraction);

// The RFC 1071 one's-complement checksum of `data`.
uint16_t InternetChecksum(const QByteArray &data);

// An ICMP echo request (type 8, code 0) with its checksum filled in.
QByteArray BuildEchoRequest(uint16_t identifier, uint16_t sequence, const QByteArray &payload);

// Reads one packet received on an ICMP socket. `withIpHeader` is true for a
// raw socket, whose packets start with the IPv4 header; a datagram socket
// delivers the ICMP message alone and `source` then is the sender from
// recvfrom. Returns the reply record when the packet answers the request
// with this identifier and sequence number: an echo reply (Status 0, the
// echoed data) or an error report that quotes our request (unreachable, time
// exceeded: the reporting router's address and a non-zero Status). Anything
// else (our own request seen on loopback, other programs' traffic, truncated
// or malformed packets) gives nothing. RoundTripTime is left 0 for the caller.
std::optional<EchoReply> ParseEchoPacket(const QByteArray &packet, bool withIpHeader,
                                         uint32_t source, uint16_t identifier, uint16_t sequence);

// Steps 8 to 12 of Ping: writes the outputs from the record and returns
// whether it reports success from `target`. `request` is the payload sent.
bool ApplyEchoReply(const EchoReply &reply, const QByteArray &request, uint32_t target,
                    QString &Address, QString &RoundTripTime, QString &DataSize, bool &DataMatch);

// The same for ICMPv6 (RFC 4443). An ICMPv6 socket delivers the message
// without the IPv6 header, raw or not, and the kernel has checked its
// checksum, which covers a pseudo-header this side cannot see. Returns an
// echo reply (type 129) or an error report (types 1 to 4) that quotes our
// request, with `source` as Address6; anything else gives nothing.
using Address6 = std::array<uint8_t, 16>;
QByteArray BuildEcho6Request(uint16_t identifier, uint16_t sequence, const QByteArray &payload);
std::optional<EchoReply> ParseEcho6Packet(const QByteArray &packet, const Address6 &source,
                                          uint16_t identifier, uint16_t sequence);
// Address is written in compressed IPv6 text ("::" when nothing came back).
bool ApplyEcho6Reply(const EchoReply &reply, const QByteArray &request, const Address6 &target,
                     QString &Address, QString &RoundTripTime, QString &DataSize, bool &DataMatch);

// Which ICMP socket Ping opens; Automatic tries the datagram socket first.
enum class SocketKind { Automatic, Datagram, Raw };
void SetSocketKindForTesting(SocketKind kind);

} // namespace icmp

} // namespace sendmail
