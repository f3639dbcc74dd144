// The query bytes and the answer walk, without any socket.
#include "dns_test_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

using namespace modMXQuery;
using namespace dnstest;

TEST(QueryMessage, ExampleComIsTheExact29Bytes) {
    const QByteArray expected("\x11\xDF\x01\x00"
                              "\x00\x01\x00\x00\x00\x00\x00\x00"
                              "\x07"
                              "example"
                              "\x03"
                              "com"
                              "\x00"
                              "\x00\x0F\x00\x01",
                              29);
    EXPECT_EQ(BuildQueryMessage(QStringLiteral("example.com")).toHex(' '), expected.toHex(' '));
}

struct EncodeCase {
    const char *name;
    QString domain;
    QByteArray expected;
};
void PrintTo(const EncodeCase &c, std::ostream *os) {
    *os << c.name;
}

class EncodeQueryNameTable : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeQueryNameTable, EncodesEachPieceWithItsLength) {
    EXPECT_EQ(EncodeQueryName(GetParam().domain).toHex(' '), GetParam().expected.toHex(' '));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EncodeQueryNameTable,
    ::testing::Values(EncodeCase{"TwoLabels", "mail.example.org",
                                 QByteArray("\x04mail\x07"
                                            "example\x03org")},
                      EncodeCase{"EmptyPiecesStay", "a..b",
                                 QByteArray("\x01"
                                            "a\x00\x01"
                                            "b",
                                            5)},
                      EncodeCase{"TrailingDotGivesAnEmptyLastPiece", "ab.",
                                 QByteArray("\x02"
                                            "ab\x00",
                                            4)},
                      EncodeCase{"Latin1CharacterIsOneByte", QString::fromUtf8("\xC3\xA9.de"),
                                 QByteArray("\x01\xE9\x02"
                                            "de")},
                      EncodeCase{"CharacterOutsideLatin1BecomesQuestionMark",
                                 QString::fromUtf8("\xE2\x82\xAC.de"),
                                 QByteArray("\x01?\x02"
                                            "de")},
                      EncodeCase{"LongestLabel", QString(255, QLatin1Char('x')),
                                 QByteArray(1, '\xFF') + QByteArray(255, 'x')}),
    caseName<EncodeCase>);

TEST(QueryMessage, LabelLongerThan255CharactersCannotBeEncoded) {
    EXPECT_THROW(EncodeQueryName(QString(256, QLatin1Char('x')) + QStringLiteral(".com")),
                 std::invalid_argument);
}

TEST(QueryMessage, MessageMayFillTheAssemblyBufferButNotExceedIt) {
    // Fifteen 255-character labels (256 bytes each) and one more label: the
    // message is 12 + 3840 + (1 + last) + 1 + 4 bytes.
    QStringList pieces(15, QString(255, QLatin1Char('a')));
    QString fits = (pieces + QStringList{QString(143, QLatin1Char('b'))}).join(QLatin1Char('.'));
    QString tooLong = (pieces + QStringList{QString(144, QLatin1Char('b'))}).join(QLatin1Char('.'));
    EXPECT_EQ(BuildQueryMessage(fits).size(), kMaxQueryMessageSize);
    EXPECT_THROW(BuildQueryMessage(tooLong), std::invalid_argument);
}

// ---------------------------------------------------------------------------
// Names

struct NameCase {
    const char *name;
    QByteArray message;
    int start;
    bool ok;
    QString text;
    int end; // position after the name (when ok)
};
void PrintTo(const NameCase &c, std::ostream *os) {
    *os << c.name;
}

class ReadDomainNameTable : public ::testing::TestWithParam<NameCase> {};

TEST_P(ReadDomainNameTable, DecodesAndAdvances) {
    const NameCase &c = GetParam();
    int at = c.start;
    QString text;
    ASSERT_EQ(ReadDomainName(c.message, at, text), c.ok);
    if (c.ok) {
        EXPECT_EQ(text, c.text);
        EXPECT_EQ(at, c.end);
    }
}

// "example.com" written out at offset 0, then names that refer to it.
const QByteArray kBase = fullName(QStringLiteral("example.com")); // 13 bytes

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadDomainNameTable,
    ::testing::Values(NameCase{"Root", QByteArray(1, '\0'), 0, true, "", 1},
                      NameCase{"WrittenOut", kBase, 0, true, "example.com", 13},
                      NameCase{"PointerOnly", kBase + ptr(0), 13, true, "example.com", 15},
                      NameCase{"LabelThenPointer", kBase + labels("mx1") + ptr(0) + "tail", 13,
                               true, "mx1.example.com", 19},
                      NameCase{"PointerToAPointer", kBase + ptr(0) + ptr(13), 15, true,
                               "example.com", 17},
                      NameCase{"LabelPastTheEnd",
                               QByteArray("\x05"
                                          "ab",
                                          3),
                               0, false, "", 0},
                      NameCase{"MissingTerminator", labels("ab"), 0, false, "", 0},
                      NameCase{"HalfAPointer", kBase + QByteArray(1, '\xC0'), 13, false, "", 0},
                      NameCase{"PointerPastTheEnd", kBase + ptr(500), 13, false, "", 0},
                      NameCase{"PointerToItself", kBase + ptr(13), 13, false, "", 0},
                      NameCase{"TwoPointersInALoop", kBase + ptr(15) + ptr(13), 13, false, "", 0},
                      NameCase{"LabelsInALoop", kBase + labels("ab") + ptr(13), 13, false, "", 0},
                      NameCase{"StartPastTheEnd", kBase, 13, false, "", 0}),
    caseName<NameCase>);

// ---------------------------------------------------------------------------
// The answer walk

struct WalkCase {
    const char *name;
    QByteArray message;
    QString best;
};
void PrintTo(const WalkCase &c, std::ostream *os) {
    *os << c.name;
}

class ParseMXAnswersTable : public ::testing::TestWithParam<WalkCase> {};

TEST_P(ParseMXAnswersTable, FindsTheBestExchange) {
    const QByteArray &m = GetParam().message;
    // Walk a copy of exactly the message's size, so that a read beyond it
    // is caught by the address sanitizer.
    auto exact = std::make_unique<char[]>(static_cast<size_t>(m.size()));
    std::memcpy(exact.get(), m.constData(), static_cast<size_t>(m.size()));
    const QByteArray raw = QByteArray::fromRawData(exact.get(), m.size());
    const int count =
        m.size() >= 8 ? (static_cast<uchar>(m[6]) << 8 | static_cast<uchar>(m[7])) : 0;
    EXPECT_EQ(ParseMXAnswers(raw, 12, count), GetParam().best);
}

const QString kDomain = QStringLiteral("example.com");
const QByteArray kMx1 = fullName(QStringLiteral("mx1.example.com"));
const QByteArray kMx2 = fullName(QStringLiteral("mx2.example.com"));
const QByteArray kMx3 = fullName(QStringLiteral("mx3.example.com"));
// Where a second record starts after header, question and mx(…, kMx1):
// a record is 14 bytes (owner pointer, fixed fields, preference) plus its name.
const int kSecondRecord = 12 + 17 + 14 + static_cast<int>(kMx1.size());
// An alias record (type 5) whose data would read as an MX of preference 1
// to a walk that ignored the type.
const QByteArray kCname = record(ptr(12), 5, u16(1) + kMx3);

// A message whose second exchange refers to text above offset 255.
WalkCase pointerAbove255() {
    QStringList parts;
    for (char c : {'a', 'b', 'c', 'd'})
        parts << QString(60, QLatin1Char(c));
    const QString longName = (parts << kDomain).join(QLatin1Char('.'));
    QByteArray first = mx(20, fullName(longName));
    QByteArray head = header(2) + question(kDomain);
    const int target = static_cast<int>(head.size() + first.indexOf(labels(kDomain)));
    EXPECT_GT(target, 255);
    return {"PointerAboveOffset255", head + first + mx(10, labels("mx1") + ptr(target)),
            "mx1.example.com"};
}

QByteArray withCount(QByteArray m, int count) {
    m[6] = static_cast<char>(count >> 8);
    m[7] = static_cast<char>(count & 0xFF);
    return m;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseMXAnswersTable,
    ::testing::Values(
        WalkCase{"LowerPreferenceWins", answer(kDomain, {mx(20, kMx2), mx(10, kMx1)}),
                 "mx1.example.com"},
        WalkCase{"FirstOfEqualsWins", answer(kDomain, {mx(10, kMx2), mx(10, kMx1), mx(30, kMx3)}),
                 "mx2.example.com"},
        WalkCase{"PreferenceIsUnsigned", answer(kDomain, {mx(0x8000, kMx2), mx(0x7FFF, kMx1)}),
                 "mx1.example.com"},
        WalkCase{"WrittenOutNamesThenMoreRecords",
                 answer(kDomain, {mx(30, kMx3), mx(20, kMx2), mx(5, labels("mx1") + ptr(12))}),
                 "mx1.example.com"},
        WalkCase{
            "WrittenOutOwnerNames",
            answer(kDomain, {mx(20, kMx2, fullName(kDomain)), mx(10, kMx1, fullName(kDomain))}),
            "mx1.example.com"},
        pointerAbove255(),
        WalkCase{"AliasFirstGivesNothing", answer(kDomain, {kCname, mx(10, kMx1)}), ""},
        WalkCase{"RecordsBeforeAnAliasCount", answer(kDomain, {mx(20, kMx2), kCname, mx(10, kMx1)}),
                 "mx2.example.com"},
        WalkCase{"NullMXIsNoCandidate", answer(kDomain, {mx(0, fullName(""))}), ""},
        WalkCase{"NullMXDoesNotBeatARealOne", answer(kDomain, {mx(20, kMx2), mx(0, fullName(""))}),
                 "mx2.example.com"},
        WalkCase{"SpacesOnlyIsNoCandidate", answer(kDomain, {mx(0, fullName("  ")), mx(9, kMx1)}),
                 "mx1.example.com"},
        WalkCase{"CountLimitsTheWalk", withCount(answer(kDomain, {mx(20, kMx2), mx(10, kMx1)}), 1),
                 "mx2.example.com"},
        WalkCase{"CountBeyondTheRecordsEndsAtTheData",
                 withCount(answer(kDomain, {mx(20, kMx2)}), 40), "mx2.example.com"},
        WalkCase{"CutInsideTheSecondRecord",
                 answer(kDomain, {mx(20, kMx2), mx(10, kMx1)}).chopped(5), "mx2.example.com"},
        WalkCase{"CutInsideTheFirstExchange", answer(kDomain, {mx(20, kMx2)}).chopped(3), ""},
        WalkCase{"CutInsideThePreference", answer(kDomain, {mx(20, kMx2)}).chopped(kMx2.size() + 1),
                 ""},
        WalkCase{"CutInsideTheQuestion", answer(kDomain, {mx(20, kMx2)}).left(20), ""},
        WalkCase{"HeaderOnly", header(3), ""},
        WalkCase{"ExchangePointsAtItself",
                 answer(kDomain, {mx(10, kMx1), mx(5, ptr(kSecondRecord + 14))}),
                 "mx1.example.com"},
        WalkCase{"OwnerPointerLoop",
                 answer(kDomain, {mx(10, kMx1), mx(5, kMx2, ptr(kSecondRecord))}),
                 "mx1.example.com"}),
    caseName<WalkCase>);

TEST(ParseMXAnswers, BytesAfterTheReceivedLengthAreNotRead) {
    // The buffer holds a better record after the received bytes; the walk
    // must stop at the received length and never see it.
    QByteArray full = answer(kDomain, {mx(20, kMx2), mx(10, kMx1)});
    const int received = static_cast<int>(full.size() - mx(10, kMx1).size() + 4);
    EXPECT_EQ(ParseMXAnswers(QByteArray::fromRawData(full.constData(), received), 12, 2),
              "mx2.example.com");
}
