// Fingerprints as users write them, the first bytes of the two kinds of
// server, and the plain words for refused certificates (made here with
// tests/support/make_certificate.py: one for another name, one expired).
#include "net/tls_policy.h"

#include <QProcess>
#include <QSslCertificate>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace sendmail;

namespace {

const QString kHex = "ab:CD:ef:01:23:45:67:89:ab:cd:ef:01:23:45:67:89:"
                     "ab:cd:ef:01:23:45:67:89:ab:cd:ef:01:23:45:67:89";

TEST(TlsPolicy, FingerprintsAreReadWithOrWithoutColonsInAnyCase) {
    const std::optional<QByteArray> pinned = ParseFingerprint(kHex);
    ASSERT_TRUE(pinned);
    EXPECT_EQ(pinned->size(), 32);
    EXPECT_EQ(ParseFingerprint(QString(kHex).remove(u':').toUpper()), pinned);
    EXPECT_EQ(FingerprintText(*pinned), kHex.toUpper());
    for (const QString &bad :
         {QString(), kHex.left(kHex.size() - 3), kHex + ":00", QString(kHex).replace(u'a', u'g')})
        EXPECT_EQ(ParseFingerprint(bad), std::nullopt) << bad.toStdString();
}

TEST(TlsPolicy, FirstBytesTellATlsServerFromAClearOne) {
    EXPECT_EQ(ClassifyFirstBytes({}), FirstBytes::Nothing);
    EXPECT_EQ(ClassifyFirstBytes(QByteArray("\x16\x03\x03\x00\x7a", 5)), FirstBytes::TlsHandshake);
    EXPECT_EQ(ClassifyFirstBytes(QByteArray("\x15\x03\x01\x00\x02\x02\x46", 7)),
              FirstBytes::TlsHandshake);
    EXPECT_EQ(ClassifyFirstBytes("220 mail.example.com ESMTP\r\n"), FirstBytes::ClearText);
    EXPECT_EQ(ClassifyFirstBytes(QByteArray("\x16 not tls", 9)), FirstBytes::ClearText);
    EXPECT_EQ(ExpectsImplicitTlsText(465),
              "the server on port 465 expects TLS from the first byte: use implicit TLS");
    EXPECT_EQ(AnswersInClearText(587),
              "the server on port 587 answers in clear text: use STARTTLS");
}

// A self-signed certificate for `name`, valid from `from` days to `to`
// days after today (negative: in the past); `alt` as make_certificate.py
// takes it (empty: the name as its DNS entry).
QSslCertificate MakeCertificate(const QTemporaryDir &dir, const QString &name, int from, int to,
                                const QString &alt = {}) {
    QProcess p;
    const QString pem = dir.filePath(name + QString::number(qHash(alt)) + ".pem");
    QStringList args{qEnvironmentVariable("KELM_SOURCE_DIR") + "/tests/support/make_certificate.py",
                     pem, name, QString::number(from), QString::number(to)};
    if (!alt.isEmpty())
        args << alt;
    p.start("/usr/bin/python3", args);
    if (!p.waitForFinished(30000) || p.exitCode() != 0)
        return QSslCertificate();
    const QList<QSslCertificate> certs = QSslCertificate::fromPath(pem);
    return certs.isEmpty() ? QSslCertificate() : certs.first();
}

TEST(TlsPolicy, RefusedCertificatesAreExplainedInPlainWords) {
    QTemporaryDir dir;
    const QSslCertificate other = MakeCertificate(dir, "other.example.net", -1, 30);
    const QSslCertificate old = MakeCertificate(dir, "mail.example.com", -40, -10);
    ASSERT_FALSE(other.isNull());
    ASSERT_FALSE(old.isNull());

    EXPECT_EQ(DescribeCertificateErrors({QSslError(QSslError::HostNameMismatch, other)},
                                        "mail.example.com"),
              "name mismatch: the certificate is for other.example.net, not mail.example.com");
    EXPECT_EQ(DescribeCertificateErrors({QSslError(QSslError::SelfSignedCertificate, other),
                                         QSslError(QSslError::CertificateUntrusted, other)},
                                        "other.example.net"),
              "the certificate is not trusted (issued by other.example.net)");
    EXPECT_EQ(DescribeCertificateErrors({QSslError(QSslError::CertificateExpired, old)}, "x"),
              "the certificate expired on " + old.expiryDate().toUTC().toString(Qt::ISODate));

    const QByteArray actual = old.digest(QCryptographicHash::Sha256);
    const QString mismatch = FingerprintMismatchText(*ParseFingerprint(kHex), actual);
    EXPECT_TRUE(mismatch.contains(FingerprintText(actual))) << mismatch.toStdString();
    EXPECT_TRUE(mismatch.contains(kHex.toUpper())) << mismatch.toStdString();
}

TEST(TlsPolicy, AddressesMatchOnlyAddressEntriesAndACertificateWithoutAltNamesIsRefused) {
    QTemporaryDir dir;
    const struct {
        const char *cn;
        const char *alt; // make_certificate.py's ALT_NAMES
        const char *host;
        const char *problem; // empty: accepted; otherwise what the refusal says
    } rows[] = {
        {"mail.example.com", "dns:mail.example.com", "MAIL.example.com.", ""},
        {"x", "dns:*.example.com", "mail.example.com", ""},
        {"x", "dns:*.example.com", "a.mail.example.com", "name mismatch"},
        {"x", "dns:*.example.com", "example.com", "name mismatch"},
        {"x", "dns:*.com", "example.com", "name mismatch"},
        {"x", "dns:m*.example.com", "mail.example.com", "name mismatch"},
        {"x", "ip:127.0.0.1", "127.0.0.1", ""},
        {"x", "ip:::1", "[::1]", ""},
        {"x", "ip:127.0.0.1", "localhost", "name mismatch"},
        {"127.0.0.1", "dns:127.0.0.1", "127.0.0.1", "lists the address as a DNS name"},
        {"x", "dns:localhost,ip:127.0.0.2", "127.0.0.1", "not 127.0.0.1"},
        {"mail.example.com", "none", "mail.example.com",
         "(mail.example.com) only in its common name"},
        {"127.0.0.1", "none", "127.0.0.1", "without a subject alternative name"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::string(r.alt) + " for " + r.host);
        const QSslCertificate c = MakeCertificate(dir, r.cn, -1, 30, r.alt);
        ASSERT_FALSE(c.isNull());
        const QString problem = CertificateNameProblem(c, r.host);
        if (*r.problem == 0)
            EXPECT_EQ(problem, "");
        else
            EXPECT_TRUE(problem.contains(r.problem)) << problem.toStdString();
    }
}

} // namespace
