// The decisions and plain-word explanations around TLS on a mail
// connection, kept apart from the socket so that tests drive them with
// bytes and certificates alone: the certificate fingerprint a user pins,
// what the first bytes from a server say about the mode it expects, and
// what a failed verification means.
#pragma once

#include <QByteArray>
#include <QList>
#include <QSslCertificate>
#include <QSslError>
#include <QString>

#include <optional>

namespace sendmail {

// How a connection uses TLS; the numbers are those of the TLSMode property.
enum class TlsMode {
    None = 0,          // clear text throughout
    Opportunistic = 1, // STARTTLS when the server offers it
    Required = 2,      // STARTTLS, or no send at all
    Implicit = 3,      // the handshake right after the TCP connect (port 465)
};

// A pinned SHA-256 fingerprint as users copy it: 64 hex digits, colons
// (and blanks) between them optional, letter case ignored. The 32 bytes,
// or std::nullopt when the text is not such a fingerprint.
[[nodiscard]] std::optional<QByteArray> ParseFingerprint(const QString &text);

// "AB:CD:..." for a digest, the form people compare by eye.
[[nodiscard]] QString FingerprintText(const QByteArray &digest);

// What the first bytes a server sent say about it.
enum class FirstBytes {
    Nothing,      // nothing arrived yet
    TlsHandshake, // a TLS record (handshake or alert): the server wants TLS now
    ClearText,    // anything else, such as "220 ready"
};
[[nodiscard]] FirstBytes ClassifyFirstBytes(const QByteArray &bytes);

// The two mix-ups of the submission ports, explained with the way out.
[[nodiscard]] QString ExpectsImplicitTlsText(quint16 port);
[[nodiscard]] QString AnswersInClearText(quint16 port);

// The reasons a certificate was refused, in plain words, for the host the
// connection was made to: "not trusted", "name mismatch" naming both names,
// "expired" with its date; other errors in Qt's own words. Each reason
// once, joined with "; ".
[[nodiscard]] QString DescribeCertificateErrors(const QList<QSslError> &errors,
                                                const QString &host);

// Whether `certificate` is for `host` (RFC 6125): an address (IPv4, IPv6,
// bare or in brackets) only by an IP address entry of its subject
// alternative names, a name only by a DNS entry, exactly (letter case and a
// final dot aside) or as "*.rest" standing for one whole label before
// "rest". The common name is not looked at: a certificate without
// alternative names is refused. Empty when the certificate is for the host;
// otherwise why not, in plain words ("name mismatch: ...").
[[nodiscard]] QString CertificateNameProblem(const QSslCertificate &certificate,
                                             const QString &host);

// The errors of a chain that only the trust in its issuer stands against:
// self-signed, unknown or untrusted issuer.
[[nodiscard]] bool OnlyTrustErrors(const QList<QSslError> &errors);

// A pinned fingerprint that the server's certificate does not have.
[[nodiscard]] QString FingerprintMismatchText(const QByteArray &expected, const QByteArray &actual);

} // namespace sendmail
