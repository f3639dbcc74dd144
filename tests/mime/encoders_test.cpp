#include "mime/encoders.h"

#include "mail/mail_tools.h"

#include <QRandomGenerator>
#include <gtest/gtest.h>

using namespace sendmail;

namespace {

struct CaseName {
    template <class Info> std::string operator()(const Info &param) const {
        return param.param.name;
    }
};

QString L1(const char *latin1) {
    return QString::fromLatin1(latin1);
}

QStringList SplitLines(const QByteArray &out) {
    QStringList lines = QString::fromLatin1(out).split(QStringLiteral("\r\n"));
    return lines;
}

// ---------------------------------------------------------------- Base64

struct B64Case {
    const char *in;
    const char *out;
};

class Base64KnownValues : public ::testing::TestWithParam<B64Case> {};

TEST_P(Base64KnownValues, EncodesWithFillAndClosingLineBreak) {
    EXPECT_EQ(EncodeBase64String(L1(GetParam().in)), L1(GetParam().out));
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, Base64KnownValues,
    ::testing::Values(B64Case{"", ""}, B64Case{"f", "Zg==\r\n"}, B64Case{"fo", "Zm8=\r\n"},
                      B64Case{"foo", "Zm9v\r\n"}, B64Case{"foob", "Zm9vYg==\r\n"},
                      B64Case{"fooba", "Zm9vYmE=\r\n"}, B64Case{"foobar", "Zm9vYmFy\r\n"},
                      B64Case{"\xff\xfe\xfd", "//79\r\n"}, B64Case{"\xe9", "6Q==\r\n"}));

// Line layout for sizes around the line and chunk limits: every line but
// the last is exactly 76 characters, the fill matches the missing bytes.
class Base64Layout : public ::testing::TestWithParam<int> {};

TEST_P(Base64Layout, FullLinesOf76AndAShortLastLine) {
    const int n = GetParam();
    QByteArray data(n, 'x');
    const QByteArray out = EncodeBase64Bytes(data);
    ASSERT_TRUE(out.endsWith("\r\n"));
    QStringList lines = SplitLines(out);
    lines.removeLast(); // after the final CRLF
    const int groups = (n + 2) / 3;
    ASSERT_EQ(lines.size(), (groups + 18) / 19);
    for (int i = 0; i + 1 < lines.size(); ++i)
        EXPECT_EQ(lines[i].size(), 76) << "line " << i;
    EXPECT_EQ(lines.last().size(), (groups - 1) % 19 * 4 + 4);
    const int fill = (3 - n % 3) % 3;
    EXPECT_EQ(lines.last().endsWith(QString(fill, QLatin1Char('='))), true);
    EXPECT_FALSE(lines.last().endsWith(QString(fill + 1, QLatin1Char('='))));
    EXPECT_EQ(data.size(), groups * 3) << "caller's array lengthened to a multiple of 3";
}

INSTANTIATE_TEST_SUITE_P(Sizes, Base64Layout,
                         ::testing::Values(1, 2, 3, 4, 56, 57, 58, 59, 113, 114, 115, 11399, 11400,
                                           11401));

TEST(Base64, Lines57And58BytesAsLaidDown) {
    QByteArray b57(57, '\0');
    EXPECT_EQ(EncodeBase64Bytes(b57), QByteArray(76, 'A') + "\r\n");
    QByteArray b58(58, '\0');
    EXPECT_EQ(EncodeBase64Bytes(b58), QByteArray(76, 'A') + "\r\nAA==\r\n");
}

TEST(Base64, ChunkOf11400BytesIsExactly200FullLines) {
    QByteArray chunk(11400, '\x5a');
    const QByteArray out = EncodeBase64Bytes(chunk);
    EXPECT_EQ(out.size(), 200 * 78);
    EXPECT_EQ(out.count("\r\n"), 200);
    EXPECT_FALSE(out.contains('='));
}

TEST(Base64, LengthensTheCallersArrayWithZeroBytes) {
    QByteArray data("0123456789");
    const QByteArray before = data;
    (void)EncodeBase64Bytes(data);
    EXPECT_EQ(data.size(), 12);
    EXPECT_TRUE(data.startsWith(before));
    EXPECT_EQ(data.mid(10), QByteArray(2, '\0'));

    QByteArray exact("012345678");
    (void)EncodeBase64Bytes(exact);
    EXPECT_EQ(exact, QByteArray("012345678"));

    QByteArray empty;
    EXPECT_TRUE(EncodeBase64Bytes(empty).isEmpty());
    EXPECT_TRUE(empty.isEmpty());
}

// Random binary data, encoded the way file streaming does it (11400-byte
// chunks whose outputs are joined), decoded by Python's strict decoder.
TEST(Base64, RandomDataRoundTripsThroughAnIndependentDecoder) {
    QRandomGenerator rng(20260712);
    for (int size : {1, 2, 3, 57, 1000, 11400, 11401, 34201}) {
        QByteArray data(size, Qt::Uninitialized);
        for (char &c : data)
            c = static_cast<char>(rng.bounded(256));
        QByteArray encoded;
        for (qsizetype at = 0; at < data.size(); at += 11400) {
            QByteArray chunk = data.mid(at, 11400);
            encoded += EncodeBase64Bytes(chunk);
        }
        const mailtest::ToolResult r =
            mailtest::RunMailTool({QStringLiteral("b64decode")}, encoded);
        ASSERT_TRUE(r.ok()) << "size " << size << ": " << r.err.constData();
        EXPECT_EQ(r.out, data) << "size " << size;
    }
}

// ---------------------------------------------------------------- decoder

struct DecodeCase {
    const char *name;
    QString in;
    QByteArray out;
};

class Base64Decode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Base64Decode, FollowsTheGroupRules) {
    EXPECT_EQ(DecodeBase64String(GetParam().in), QString::fromLatin1(GetParam().out));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Base64Decode,
    ::testing::Values(DecodeCase{"OneGroup", "QUJD", "ABC"}, DecodeCase{"TwoFill", "QQ==", "A"},
                      DecodeCase{"OneFill", "QUI=", "AB"},
                      DecodeCase{"TwoGroups", "QUJDREVG", "ABCDEF"},
                      DecodeCase{"LineBreakAfterGroup", "QUJD\r\n", ""},
                      DecodeCase{"SpaceInside", "QUJD QUJD", ""},
                      DecodeCase{"TwoCharsNoFillReadAsA", "QQ", QByteArray("A\0\0", 3)},
                      DecodeCase{"ThreeCharsNoFill", "QUJ", "AB@"},
                      DecodeCase{"LowBitsOfShortTailKept", "QR", QByteArray("A\x10\0", 3)},
                      DecodeCase{"BlocksEachWithFill", "QQ==Qg==", "AB"},
                      DecodeCase{"FillGroupThenMore", "QUI=QUJD", "ABABC"},
                      DecodeCase{"FillFirstSkipsItsGroup", "=QUJQUJD", "ABC"},
                      DecodeCase{"FillAfterOneDigit", "Q===QUJD", "ABC"},
                      DecodeCase{"CaseMatters", "qujd", "\xaa\xe8\xdd"},
                      DecodeCase{"Empty", "", ""},
                      DecodeCase{"InvalidLateDropsEarlierOutput", "QUJDQUJD!", ""},
                      DecodeCase{"CharAbove255", QStringLiteral("QUJ\u20ac"), ""},
                      DecodeCase{"Latin1Letter", QStringLiteral("QUJ\u00e9"), ""},
                      DecodeCase{"AllBits", "//79", "\xff\xfe\xfd"}),
    CaseName());

TEST(Base64Decode, InvertsTheEncoderForEveryByteValue) {
    QString all;
    for (int c = 0; c < 256; ++c)
        all += QChar(c);
    for (qsizetype len : {qsizetype(1), qsizetype(2), qsizetype(3), all.size()}) {
        const QString text = all.right(len);
        const QString encoded = EncodeBase64String(text).remove(QStringLiteral("\r\n"));
        EXPECT_EQ(DecodeBase64String(encoded), text) << len;
    }
}

// ---------------------------------------------------------------- uuencode

struct UUCase {
    const char *name;
    QByteArray in;
    QByteArray out;
};

class UUEncode : public ::testing::TestWithParam<UUCase> {};

TEST_P(UUEncode, LengthCharacterGroupsAndFill) {
    EXPECT_EQ(UUEncodeLine(GetParam().in), GetParam().out);
    EXPECT_EQ(UUEncodeLine(QString::fromLatin1(GetParam().in)),
              QString::fromLatin1(GetParam().out));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UUEncode,
    ::testing::Values(UUCase{"ThreeBytes", "abc", "#86)C"}, UUCase{"OneByte", "a", "!80=="},
                      UUCase{"TwoBytes", "ab", "\"86(="}, UUCase{"FourBytes", "abca", "$86)C80=="},
                      UUCase{"ZeroValuesAreBackticks", QByteArray(3, '\0'), "#````"},
                      UUCase{"HighBytes", "\xff\xff\xff", "#____"}, UUCase{"Empty", "", "`"},
                      UUCase{"TooLong", QByteArray(64, 'a'), ""}),
    CaseName());

TEST(UUEncode, FullLineOf45BytesStartsWithM) {
    const QByteArray line = UUEncodeLine(QByteArray(45, 'q'));
    ASSERT_EQ(line.size(), 61);
    EXPECT_EQ(line[0], 'M');
    EXPECT_EQ(UUEncodeLine(QByteArray(63, 'q')).size(), 1 + 21 * 4);
}

// ---------------------------------------------------------------- header text

TEST(EncodeHeaderText, PlainTextIsQuotedOnlyWhenAsked) {
    EXPECT_EQ(EncodeHeaderText(L1("Ann Lee"), true), L1("\"Ann Lee\""));
    EXPECT_EQ(EncodeHeaderText(L1("Ann Lee"), false), L1("Ann Lee"));
    EXPECT_EQ(EncodeHeaderText(L1("say \"hi\""), true), L1("\"say \"hi\"\""));
    EXPECT_EQ(EncodeHeaderText(QString(), true), L1("\"\""));
    EXPECT_EQ(EncodeHeaderText(QString(), false), QString());
    EXPECT_EQ(EncodeHeaderText(L1("tab\there~"), false), L1("tab\there~"));
}

TEST(EncodeHeaderText, LineBreaksInPlainTextBecomeSpaces) {
    EXPECT_EQ(EncodeHeaderText(L1("Hi\r\nBcc: victim@example.com"), false),
              L1("Hi  Bcc: victim@example.com"));
    EXPECT_EQ(EncodeHeaderText(L1("a\nb\rc"), true), L1("\"a b c\""));
}

TEST(EncodeHeaderText, QFormEscapesOnlyEqualsQuestionUnderscoreAndNonPrintables) {
    EXPECT_EQ(EncodeHeaderText(L1("Caf\xe9 = \"bar\"? <a@b>, x_yz"), false),
              L1("=?ISO-8859-1?Q?Caf=E9_=3D_\"bar\"=3F_<a@b>,_x=5Fyz?="));
    EXPECT_EQ(EncodeHeaderText(L1("\x7f\x01 abcdefghijklmnopqrstuv"), true),
              L1("=?ISO-8859-1?Q?=7F=01_abcdefghijklmnopqrstuv?="));
}

TEST(EncodeHeaderText, EqualLengthsChooseB) {
    // Q and B are both 49 characters here.
    EXPECT_EQ(EncodeHeaderText(L1("Caf\xe9 = \"bar\"? <a@b>, x_y"), false),
              L1("=?ISO-8859-1?B?Q2Fm6SA9ICJiYXIiPyA8YUBiPiwgeF95?="));
    EXPECT_EQ(EncodeHeaderText(L1("\xe9"
                                  "a"),
                               true),
              L1("=?ISO-8859-1?B?6WE=?="));
}

TEST(EncodeHeaderText, FortyTwoHighCharactersMakeOneBWord) {
    const QString text(42, QChar(0xe9));
    const QString out = EncodeHeaderText(text, true);
    EXPECT_EQ(out.size(), 73);
    EXPECT_TRUE(out.startsWith(L1("=?ISO-8859-1?B?")));
    EXPECT_FALSE(out.contains(QLatin1Char('"')));
    const QString twoWords = EncodeHeaderText(QString(43, QChar(0xe9)), false);
    EXPECT_EQ(twoWords, out + L1("\r\n\t=?ISO-8859-1?B?6Q==?="));
}

// Long Q subjects: words of 54 to 56 encoded characters, joined by CRLF TAB.
TEST(EncodeHeaderText, LongQTextFoldsIntoWordsOf54To56) {
    QString text;
    for (int i = 0; i < 20; ++i)
        text += L1("word ");
    text += QChar(0xe9);
    const QString out = EncodeHeaderText(text, false);
    const QStringList words = out.split(L1("\r\n\t"));
    ASSERT_EQ(words.size(), 2);
    for (qsizetype i = 0; i < words.size(); ++i) {
        const QString &w = words[i];
        ASSERT_TRUE(w.startsWith(L1("=?ISO-8859-1?Q?")) && w.endsWith(L1("?="))) << i;
        const qsizetype encoded = w.size() - 17;
        if (i + 1 < words.size()) {
            EXPECT_GE(encoded, 54);
            EXPECT_LE(encoded, 56);
        }
        EXPECT_FALSE(w.mid(15, encoded).contains(QLatin1Char(' ')));
    }
    EXPECT_TRUE(out.contains(L1("=E9")));
}

TEST(EncodeHeaderText, ChunkCompletedByTheLastCharacterEndsWithoutFold) {
    // 3 + 50 + 1 = 54 encoded characters, the 54th from the last character.
    const QString text = QChar(0xe9) + QString(50, QLatin1Char('a')) + QLatin1Char('b');
    const QString out = EncodeHeaderText(text, false);
    EXPECT_EQ(out, L1("=?ISO-8859-1?Q?=E9") + QString(50, QLatin1Char('a')) + L1("b?="));
    // An escape that takes the chunk from 53 to 56 closes it as well.
    const QString escaped = QString(50, QLatin1Char('a')) + QChar(0xe9) + QChar(0xe9);
    EXPECT_EQ(EncodeHeaderText(escaped, false),
              L1("=?ISO-8859-1?Q?") + QString(50, QLatin1Char('a')) + L1("=E9=E9?="));
    // One more character opens a second word.
    EXPECT_EQ(EncodeHeaderText(text + QLatin1Char('c'), false),
              L1("=?ISO-8859-1?Q?=E9") + QString(50, QLatin1Char('a')) +
                  L1("b?=\r\n\t=?ISO-8859-1?Q?c?="));
}

// Python's RFC 2047 decoder gives back the original text for both forms.
TEST(EncodeHeaderText, IndependentDecoderRecoversTheText) {
    const QString texts[] = {
        L1("Gr\xfc\xdf"
           "e aus K\xf6ln, ein l\xe4ngerer Betreff mit vielen Worten und "
           "Zeichen = ? _ am Ende \xe9"),
        QString(100, QChar(0xe4)),
        L1("\xa9 2026"),
    };
    for (const QString &text : texts) {
        const QString out = EncodeHeaderText(text, false);
        ASSERT_NE(out, text);
        const mailtest::ToolResult r =
            mailtest::RunMailTool({QStringLiteral("header")}, out.toLatin1());
        ASSERT_TRUE(r.ok()) << r.err.constData();
        EXPECT_EQ(QString::fromUtf8(r.out), text) << out.toStdString();
    }
}

} // namespace
