#include "mime/encoders.h"

#include "header_words.h"
#include "mail/mail_tools.h"

#include <QRandomGenerator>
#include <QUrl>
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
    EXPECT_EQ(EncodeHeaderText(L1("say \"hi\" \\o/"), true), L1("\"say \\\"hi\\\" \\\\o/\""));
    // In a phrase a Q word escapes what could end it.
    EXPECT_EQ(EncodeHeaderText(L1("Ren\xe9"
                                  "e Lee, the \"Big Boss\" of Sales"),
                               true),
              L1("=?ISO-8859-1?Q?Ren=E9e_Lee=2C_the_=22Big_Boss=22_of_Sales?="));
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

// ---------------------------------------------------------------- UTF-8 text

struct Utf8WordCase {
    const char *name;
    const char *utf8;
    bool quote;
    const char *expected;
};

class Utf8Words : public ::testing::TestWithParam<Utf8WordCase> {};

TEST_P(Utf8Words, ShorterOfQAndB) {
    EXPECT_EQ(EncodeHeaderText(QString::fromUtf8(GetParam().utf8), GetParam().quote, {9, 0}),
              QString::fromLatin1(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf8Words,
    ::testing::Values(
        Utf8WordCase{"BShorter", "\xce\xa9mega", false, "=?UTF-8?B?zqltZWdh?="},
        Utf8WordCase{"QShorter", "Hello \xce\xa9 world", false, "=?UTF-8?Q?Hello_=CE=A9_world?="},
        // In a display name the specials are escaped too: the Q form is
        // longer there and B is taken; in a subject Q keeps them.
        Utf8WordCase{"PhraseEscapesSpecials", "Zo\xc3\xab, \xce\xa9 <x> and more words", true,
                     "=?UTF-8?B?Wm/DqywgzqkgPHg+IGFuZCBtb3JlIHdvcmRz?="},
        Utf8WordCase{"SubjectKeepsSpecials", "Zo\xc3\xab, \xce\xa9 <x> and more words", false,
                     "=?UTF-8?Q?Zo=C3=AB,_=CE=A9_<x>_and_more_words?="},
        Utf8WordCase{"Latin1KeepsItsCharset", "Caf\xc3\xa9", false, "=?ISO-8859-1?Q?Caf=E9?="}),
    CaseName());

// Texts mixing scripts, combining marks and characters outside the BMP, at
// several places on the line: every word holds whole characters (decodes
// on its own as strict UTF-8) and is at most 75 characters, every line
// stays within 78, and the words give back the text.
TEST(Utf8Words, FoldWithinTheLineAndDecodeWordByWord) {
    const QString texts[] = {
        QString::fromUtf8("\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82 \xe6\x97\xa5\xe6\x9c"
                          "\xac\xe8\xaa\x9e e\xcc\x81 \xf0\x9f\x98\x80 ")
            .repeated(6),
        QString::fromUtf8("\xf0\x9f\x98\x80").repeated(40),
        QStringLiteral("plain words ").repeated(8) + QString::fromUtf8("\xe2\x9c\x93"),
    };
    for (const QString &text : texts) {
        for (bool quote : {false, true}) {
            for (int column : {0, 4, 9, 29}) {
                SCOPED_TRACE(QStringLiteral("%1 %2 %3")
                                 .arg(text.left(8))
                                 .arg(quote)
                                 .arg(column)
                                 .toStdString());
                const QString out = EncodeHeaderText(text, quote, {column, 1});
                EXPECT_EQ(testsupport::DecodeHeaderValue(out.toLatin1()), text);
                const QStringList lines = out.split(QStringLiteral("\r\n"));
                ASSERT_GT(lines.size(), 1);
                for (qsizetype i = 0; i < lines.size(); ++i) {
                    EXPECT_LE((i == 0 ? column : 0) + lines[i].size() + 1, 78) << i;
                    const QString word = lines[i].trimmed();
                    EXPECT_LE(word.size(), 75);
                    EXPECT_TRUE(word.startsWith(QStringLiteral("=?UTF-8?")));
                    EXPECT_TRUE(testsupport::DecodeHeaderValue(word.toLatin1())) << i;
                }
            }
        }
    }
}

TEST(Utf8Words, Latin1TextIgnoresThePlace) {
    const QString text = QString(60, QChar(0xe9));
    EXPECT_EQ(EncodeHeaderText(text, true, {29, 1}), EncodeHeaderText(text, true));
    EXPECT_EQ(EncodeHeaderText(QStringLiteral("Ann"), true, {29, 1}), QStringLiteral("\"Ann\""));
}

struct QPCase {
    const char *name;
    QByteArray in;
    QByteArray out;
};

class QuotedPrintable : public ::testing::TestWithParam<QPCase> {};

TEST_P(QuotedPrintable, EncodesLinesExactly) {
    EXPECT_EQ(EncodeQuotedPrintable(GetParam().in), GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QuotedPrintable,
    ::testing::Values(QPCase{"Empty", "", ""},
                      QPCase{"EqualsAndTrailingSpace", "a=b \r\nx\r\n", "a=3Db=20\r\nx\r\n"},
                      QPCase{"NoFinalBreakEndsSoft", "caf\xc3\xa9", "caf=C3=A9=\r\n"},
                      QPCase{"LeadingDot", ".x\r\n.\r\n", "=2Ex\r\n=2E\r\n"},
                      QPCase{"LoneLineFeedIsAByte", "a\nb\r\n", "a=0Ab\r\n"},
                      QPCase{"SeventySixFit", QByteArray(76, 'x') + "\r\n",
                             QByteArray(76, 'x') + "\r\n"},
                      QPCase{"SeventySevenBreakSoftly", QByteArray(77, 'x') + "\r\n",
                             QByteArray(75, 'x') + "=\r\nxx\r\n"},
                      QPCase{"EscapeNeverSplit", QByteArray(74, 'x') + "\xc3\xa9\r\n",
                             QByteArray(74, 'x') + "=\r\n=C3=A9\r\n"},
                      QPCase{"DotAfterASoftBreak", QByteArray(75, 'x') + ".y\r\n",
                             QByteArray(75, 'x') + "=\r\n=2Ey\r\n"}),
    CaseName());

TEST(ExtendedParameter, OneOrContinuedPiecesOfWholeCharacters) {
    EXPECT_EQ(EncodeExtendedParameter(QStringLiteral("filename"),
                                      QString::fromUtf8("\xd1\x84 a*b.txt"), 76),
              QStringList{QStringLiteral("filename*=UTF-8''%D1%84%20a%2Ab.txt")});
    const QString longName = QString::fromUtf8("\xe6\x97\xa5").repeated(30) + ".pdf";
    const QStringList pieces = EncodeExtendedParameter(QStringLiteral("filename"), longName, 76);
    ASSERT_GT(pieces.size(), 1);
    QString joined;
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        const QString head = QStringLiteral("filename*%1*=").arg(i) +
                             (i == 0 ? QStringLiteral("UTF-8''") : QString());
        ASSERT_TRUE(pieces[i].startsWith(head)) << pieces[i].toStdString();
        EXPECT_LE(pieces[i].size(), 76);
        // Each character is three escapes (9 characters), ".pdf" ends the
        // last piece: no piece ends inside a character.
        const qsizetype tail = i + 1 == pieces.size() ? 4 : 0;
        EXPECT_EQ((pieces[i].size() - head.size() - tail) % 9, 0) << i;
        joined += pieces[i].mid(head.size());
    }
    EXPECT_EQ(QUrl::fromPercentEncoding(joined.toLatin1()), longName);
}

} // namespace
