#include "mail/validation.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QSet>

using namespace sendmail;

namespace {

struct TextCase {
    const char *text;
    bool valid;
    const char *why;
};

void PrintTo(const TextCase &c, std::ostream *os) {
    *os << '"' << c.text << "\" (" << c.why << ')';
}

class EmailAddress : public ::testing::TestWithParam<TextCase> {};

TEST_P(EmailAddress, IsJudgedByItsSingleAtAndItsDomain) {
    EXPECT_EQ(IsValidEmailAddress(QString::fromUtf8(GetParam().text)), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(
    Table, EmailAddress,
    ::testing::Values(TextCase{"anne@example.com", true, "generic code"},
                      TextCase{"ANNE@MAIL.EXAMPLE.CO.UK", true, "capitals, country code"},
                      TextCase{"anne@example.tv", true, "two-letter code"},
                      TextCase{"anne@10.0.0.1", true, "dotted address as domain"},
                      TextCase{"anne@example.info", true, "INFO is a TLD of today"},
                      TextCase{"anne@example.me", true, "ME is a TLD of today"},
                      TextCase{"anne@localhost", false, "single label"},
                      TextCase{"@example.com", true, "local part is not examined"},
                      TextCase{"a@b@example.com", false, "two @"},
                      TextCase{"anne.example.com", false, "no @"}, TextCase{"", false, "empty"},
                      TextCase{"anne@", false, "nothing after @"},
                      TextCase{"anne@   ", false, "only blanks after @"},
                      TextCase{"anne@example.", true, "empty last label"},
                      TextCase{"anne@example.c", true, "a letter that occurs in the list"},
                      TextCase{"anne@example.om", true, "fragment of a code"},
                      TextCase{"anne@example.m o", true, "fragment spanning a separator"},
                      TextCase{"anne@example.c0m", false, "digit never occurs in the list"},
                      TextCase{"anne@example.QQ", false, "letter pair not in the list"},
                      TextCase{"anne@240.0.0.1", false,
                               "first byte above 239, and 1 is not a code"},
                      TextCase{"anne@239.255.255.255", true, "highest first byte"},
                      TextCase{"anne@10.0.0.256", false, "byte above 255"},
                      TextCase{"anne@1.2.3", false, "three parts, and 3 is not a code"},
                      TextCase{"anne@-1.2.3.4", true, "negative numbers pass the upper bound"},
                      TextCase{" anne@example.com ", true, "blanks around the domain are trimmed"},
                      TextCase{"anne@example.com\t", false, "a tab is not trimmed"},
                      TextCase{"anne@example.com\r\n", false, "a line break is not trimmed"}));

// Besides the fixed list, the top-level domains of today: the ICANN section
// of the Public Suffix List, international ones in either form.
INSTANTIATE_TEST_SUITE_P(
    TodaysDomains, EmailAddress,
    ::testing::Values(TextCase{"me@company.dev", true, "DEV"},
                      TextCase{"x@startup.APP", true, "APP in capitals"},
                      TextCase{"ivan@\xd0\xbf\xd1\x80\xd0\xb8\xd0\xbc\xd0\xb5\xd1\x80."
                               "\xd1\x80\xd1\x84",
                               true, "Cyrillic domain and TLD"},
                      TextCase{"ivan@example.XN--P1AI", true, "the same TLD as an A-label"},
                      TextCase{"jose@b\xc3\xbc"
                               "cher.de",
                               true, "domain outside ASCII"},
                      TextCase{"x@printer.local", false, "LOCAL is no TLD"},
                      TextCase{"x@example.zz", false, "no TLD, not in the list"}));

class HostName : public ::testing::TestWithParam<TextCase> {};

TEST_P(HostName, IsDottedOrEndsInAKnownCode) {
    EXPECT_EQ(IsValidHostName(QString::fromUtf8(GetParam().text)), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(
    Table, HostName,
    ::testing::Values(TextCase{"mail.example.com", true, "plain"},
                      TextCase{"Mail.Example.Org", true, "mixed case"},
                      TextCase{"mailhost", false, "single label"}, TextCase{"", false, "empty"},
                      TextCase{"    ", false, "blanks only"},
                      TextCase{"  mail.example.net  ", true, "blanks trimmed"},
                      TextCase{".", true, "two empty labels, the last counts as occurring"},
                      TextCase{"mail.example.co.uk", true, "last label UK"},
                      TextCase{"mail.example.xyz", true, "TLD of today"},
                      TextCase{"mail.example.intranet", false, "long unknown code"},
                      TextCase{"127.0.0.1", true, "dotted"},
                      TextCase{"0.0.0.0", true, "dotted zeros"},
                      TextCase{"1.2.3.4.5", false, "five numeric labels, 5 is no code"},
                      TextCase{"mail.example.com\t", false, "tab stays in the last label"}));

class DottedAddress : public ::testing::TestWithParam<TextCase> {};

TEST_P(DottedAddress, NeedsFourNumericPiecesWithinTheirBounds) {
    EXPECT_EQ(IsDottedAddress(QString::fromUtf8(GetParam().text)), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DottedAddress,
    ::testing::Values(
        TextCase{"10.0.0.1", true, "plain"}, TextCase{"239.255.255.255", true, "upper bounds"},
        TextCase{"240.0.0.1", false, "first above 239"},
        TextCase{"1.256.0.0", false, "second above 255"},
        TextCase{"1.0.256.0", false, "third above 255"},
        TextCase{"10.0.0.256", false, "fourth above 255"}, TextCase{"1.2.3", false, "three pieces"},
        TextCase{"1.2.3.4.5", false, "five pieces"}, TextCase{"1..3.4", false, "empty piece"},
        TextCase{"1.2.3.", false, "empty last piece"},
        TextCase{"-1.2.3.4", true, "negative passes"},
        TextCase{"1.2.3.-999999999999999999999", true, "any negative passes"},
        TextCase{"+1.2.3.4", true, "explicit plus sign"},
        TextCase{"-.2.3.4", false, "sign without digits"},
        TextCase{"010.000.000.001", true, "leading zeros are decimal"},
        TextCase{"1.2.3.00000000000000000000255", true, "long but small"},
        TextCase{"1.2.3.99999999999999999999", false, "long and large, no overflow"},
        TextCase{" 1.2.3.4", false, "blank is not numeric"},
        TextCase{"1.2.3.4 ", false, "trailing blank is not numeric"},
        TextCase{"1.2.3.0x1", false, "hexadecimal"}, TextCase{"1.2.3.1e2", false, "exponent"},
        TextCase{"a.b.c.d", false, "letters"},
        TextCase{"\xd9\xa1.2.3.4", false, "non-ASCII digit"}));

TEST(TopLevelDomains, HoldsTheFixedListUnchanged) {
    EXPECT_EQ(TopLevelDomains.size(), 762);
    const QStringList codes = TopLevelDomains.split(u' ');
    EXPECT_EQ(codes.size(), 252);
    EXPECT_EQ(QSet<QString>(codes.begin(), codes.end()).size(), 252) << "a code appears twice";
    for (const QString &code : codes) {
        EXPECT_TRUE(code.size() == 2 || code.size() == 3) << code.toStdString();
        EXPECT_EQ(code, code.toUpper()) << code.toStdString();
    }
    EXPECT_EQ(codes.mid(0, 8).join(u' '), QStringLiteral("COM ORG NET EDU GOV MIL INT AF"));
    EXPECT_EQ(codes.last(), QStringLiteral("UK"));
    EXPECT_EQ(codes.indexOf(QStringLiteral("JO")), 120) << "a code moved";
    // Any edit, a swapped pair of codes included, changes the digest.
    EXPECT_EQ(
        QCryptographicHash::hash(TopLevelDomains.toLatin1(), QCryptographicHash::Sha256).toHex(),
        QByteArray("688a2af16c9e6a391e02d513191a1b5739460e7c6c5e3944a455f8beb3ba89cb"));
}

TEST(TopLevelDomains, EveryCodeIsAcceptedInAnyCase) {
    for (const QString &code : TopLevelDomains.split(u' ')) {
        EXPECT_TRUE(IsValidHostName(QStringLiteral("mail.example.") + code.toLower()))
            << code.toStdString();
    }
}

struct NormalizeCase {
    const char *entry;
    const char *expected;
};

class NormalizeAddress : public ::testing::TestWithParam<NormalizeCase> {};

TEST_P(NormalizeAddress, TrimsThenDropsCrLfThenTabs) {
    QStringList list{QString::fromUtf8(GetParam().entry)};
    NormalizeAddressList(list);
    ASSERT_EQ(list.size(), 1);
    EXPECT_EQ(list.first(), QString::fromUtf8(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Table, NormalizeAddress,
    ::testing::Values(NormalizeCase{" anne@example.com\r\n", "anne@example.com"},
                      NormalizeCase{"anne@example.com \r\n", "anne@example.com "},
                      NormalizeCase{"anne@example.com \t", "anne@example.com "},
                      NormalizeCase{"\tanne@example.com", "anne@example.com"},
                      NormalizeCase{"anne@ex\r\nample.com", "anne@example.com"},
                      NormalizeCase{"anne@example.com\r", "anne@example.com\r"},
                      NormalizeCase{"anne@example.com\n", "anne@example.com\n"},
                      NormalizeCase{"anne@example.com\n\r", "anne@example.com\n\r"},
                      NormalizeCase{"a\r\r\n\nb", "a\r\nb"}, NormalizeCase{"a\r\t\nb", "a\r\nb"},
                      NormalizeCase{"   ", ""}, NormalizeCase{"", ""}));

TEST(NormalizeAddressList, TreatsEveryEntryAndKeepsTheOrder) {
    QStringList list{QStringLiteral(" b@example.com"), QStringLiteral("a@example.com\t"),
                     QStringLiteral(""), QStringLiteral("c@example.com\r\n")};
    NormalizeAddressList(list);
    EXPECT_EQ(list, (QStringList{QStringLiteral("b@example.com"), QStringLiteral("a@example.com"),
                                 QStringLiteral(""), QStringLiteral("c@example.com")}));
}

TEST(TrimBlanks, RemovesSpacesOnly) {
    EXPECT_EQ(TrimBlanks(QStringLiteral("  a b  ")), QStringLiteral("a b"));
    EXPECT_EQ(TrimBlanks(QStringLiteral("\t a \n")), QStringLiteral("\t a \n"));
    EXPECT_EQ(TrimBlanks(QStringLiteral("    ")), QString());
    EXPECT_EQ(TrimBlanks(QString::fromUtf8("\u00a0a\u00a0")), QString::fromUtf8("\u00a0a\u00a0"));
}

} // namespace
