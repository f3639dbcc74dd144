#include "net/tls_policy.h"

#include <QHostAddress>
#include <QMultiMap>
#include <QStringList>
#include <QUrl>

#include <algorithm>

namespace sendmail {

namespace {

// 0x16 starts a TLS handshake record and 0x15 an alert; the byte after is
// the major version, 3 for SSL 3.0 and every TLS.
constexpr char kHandshakeRecord = 0x16;
constexpr char kAlertRecord = 0x15;
constexpr char kRecordMajorVersion = 0x03;

QString Names(const QSslCertificate &certificate) {
    QStringList names = certificate.subjectAlternativeNames().values(QSsl::DnsEntry);
    for (const QString &ip : certificate.subjectAlternativeNames().values(QSsl::IpAddressEntry))
        names << ip;
    if (names.isEmpty())
        names = certificate.subjectInfo(QSslCertificate::CommonName);
    names.removeDuplicates();
    return names.isEmpty() ? QStringLiteral("no name") : names.join(QStringLiteral(", "));
}

QString Issuer(const QSslCertificate &certificate) {
    const QStringList cn = certificate.issuerInfo(QSslCertificate::CommonName);
    return cn.isEmpty() ? certificate.issuerDisplayName() : cn.join(QStringLiteral(", "));
}

bool IsTrustError(QSslError::SslError error) {
    switch (error) {
    case QSslError::SelfSignedCertificate:
    case QSslError::SelfSignedCertificateInChain:
    case QSslError::UnableToGetLocalIssuerCertificate:
    case QSslError::UnableToGetIssuerCertificate:
    case QSslError::UnableToVerifyFirstCertificate:
    case QSslError::CertificateUntrusted:
    case QSslError::CertificateRejected:
        return true;
    default:
        return false;
    }
}

// A DNS entry of a certificate against a host name, both in ASCII (IDNs as
// A-labels) and lower case, without a final dot.
bool DnsEntryMatches(const QString &entry, const QString &host) {
    if (entry == host)
        return true;
    if (!entry.startsWith(QLatin1StringView("*.")))
        return false;
    const QStringView rest = QStringView(entry).mid(1); // ".example.com"
    // The wildcard stands for one whole label, and what follows it must be
    // more than a top-level domain.
    if (!rest.mid(1).contains(u'.') || rest.contains(u'*'))
        return false;
    const qsizetype dot = host.indexOf(u'.');
    return dot > 0 && QStringView(host).mid(dot) == rest;
}

QString AsciiHostName(const QString &name) {
    QString n = name.trimmed();
    if (n.endsWith(u'.'))
        n.chop(1);
    const QByteArray ace = QUrl::toAce(n);
    return ace.isEmpty() ? n.toLower() : QString::fromLatin1(ace).toLower();
}

QString Describe(const QSslError &error, const QString &host) {
    const QSslCertificate c = error.certificate();
    switch (error.error()) {
    case QSslError::HostNameMismatch:
        return QStringLiteral("name mismatch: the certificate is for %1, not %2")
            .arg(Names(c), host);
    case QSslError::CertificateExpired:
        return QStringLiteral("the certificate expired on %1")
            .arg(c.expiryDate().toUTC().toString(Qt::ISODate));
    case QSslError::CertificateNotYetValid:
        return QStringLiteral("the certificate is not valid before %1")
            .arg(c.effectiveDate().toUTC().toString(Qt::ISODate));
    default:
        if (!IsTrustError(error.error()))
            return error.errorString();
        return c.isNull()
                   ? QStringLiteral("the certificate is not trusted")
                   : QStringLiteral("the certificate is not trusted (issued by %1)").arg(Issuer(c));
    }
}

} // namespace

std::optional<QByteArray> ParseFingerprint(const QString &text) {
    QString hex = text;
    hex.remove(u':').remove(u' ');
    if (hex.size() != 64)
        return std::nullopt;
    for (QChar c : hex)
        if (!c.isDigit() && !(c.toLower() >= u'a' && c.toLower() <= u'f'))
            return std::nullopt;
    return QByteArray::fromHex(hex.toLatin1());
}

QString FingerprintText(const QByteArray &digest) {
    return QString::fromLatin1(digest.toHex(':').toUpper());
}

FirstBytes ClassifyFirstBytes(const QByteArray &bytes) {
    if (bytes.isEmpty())
        return FirstBytes::Nothing;
    if ((bytes.at(0) == kHandshakeRecord || bytes.at(0) == kAlertRecord) &&
        (bytes.size() < 2 || bytes.at(1) == kRecordMajorVersion))
        return FirstBytes::TlsHandshake;
    return FirstBytes::ClearText;
}

QString ExpectsImplicitTlsText(quint16 port) {
    return QStringLiteral("the server on port %1 expects TLS from the first byte: use implicit TLS")
        .arg(port);
}

QString AnswersInClearText(quint16 port) {
    return QStringLiteral("the server on port %1 answers in clear text: use STARTTLS").arg(port);
}

QString DescribeCertificateErrors(const QList<QSslError> &errors, const QString &host) {
    QStringList reasons;
    for (const QSslError &e : errors) {
        const QString reason = Describe(e, host);
        if (!reasons.contains(reason))
            reasons << reason;
    }
    return reasons.join(QStringLiteral("; "));
}

QString CertificateNameProblem(const QSslCertificate &certificate, const QString &host) {
    const QMultiMap<QSsl::AlternativeNameEntryType, QString> entries =
        certificate.subjectAlternativeNames();
    if (entries.isEmpty()) {
        const QStringList cn = certificate.subjectInfo(QSslCertificate::CommonName);
        return cn.isEmpty()
                   ? QStringLiteral("the certificate names no server: it has no subject "
                                    "alternative name")
                   : QStringLiteral("the certificate names its server (%1) only in its common "
                                    "name, without a subject alternative name, which is no "
                                    "longer accepted")
                         .arg(cn.join(QStringLiteral(", ")));
    }
    QString bare = host.trimmed();
    if (bare.size() > 2 && bare.front() == u'[' && bare.back() == u']')
        bare = bare.mid(1, bare.size() - 2);
    if (QHostAddress address; address.setAddress(bare)) {
        for (const QString &ip : entries.values(QSsl::IpAddressEntry))
            if (QHostAddress(ip).isEqual(address, QHostAddress::StrictConversion))
                return {};
        QString text = QStringLiteral("name mismatch: the certificate is for %1, not %2")
                           .arg(Names(certificate), host);
        for (const QString &dns : entries.values(QSsl::DnsEntry))
            if (QHostAddress(dns).isEqual(address, QHostAddress::StrictConversion))
                return text + QStringLiteral(" (it lists the address as a DNS name, which does "
                                             "not count for an address)");
        return text;
    }
    const QString name = AsciiHostName(bare);
    for (const QString &dns : entries.values(QSsl::DnsEntry))
        if (DnsEntryMatches(AsciiHostName(dns), name))
            return {};
    return QStringLiteral("name mismatch: the certificate is for %1, not %2")
        .arg(Names(certificate), host);
}

bool OnlyTrustErrors(const QList<QSslError> &errors) {
    return !errors.isEmpty() && std::all_of(errors.begin(), errors.end(), [](const QSslError &e) {
        return IsTrustError(e.error());
    });
}

QString FingerprintMismatchText(const QByteArray &expected, const QByteArray &actual) {
    return QStringLiteral("fingerprint mismatch: the server's certificate has %1, expected %2")
        .arg(FingerprintText(actual), FingerprintText(expected));
}

} // namespace sendmail
