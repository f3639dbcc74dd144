#include "mime/message_text.h"

#include <QStringList>
#include <gtest/gtest.h>

#include "qt_printers.h"

using sendmail::MessageLineSeparator;
using sendmail::PrepareMessageText;

namespace {
QList<qsizetype> lengths(const QString &text, const QString &separator) {
    QList<qsizetype> out;
    for (const QString &line : text.split(separator)) {
        out << line.size();
    }
    return out;
}
} // namespace

TEST(PrepareMessageText, SeparatorIsCrlfElseCrElseLf) {
    EXPECT_EQ(MessageLineSeparator("a\r\nb\rc\nd"), "\r\n");
    EXPECT_EQ(MessageLineSeparator("a\rb\nc"), "\r");
    EXPECT_EQ(MessageLineSeparator("a\nb"), "\n");
    EXPECT_EQ(MessageLineSeparator("one line"), "");
}

TEST(PrepareMessageText, LeadingDotsAreDoubledOnEveryLine) {
    EXPECT_EQ(PrepareMessageText(""), "");
    EXPECT_EQ(PrepareMessageText("."), "..");
    EXPECT_EQ(PrepareMessageText(".a\r\nb.\r\n..c\r\n"), "..a\r\nb.\r\n...c\r\n");
    EXPECT_EQ(PrepareMessageText(".a\rb\r.c"), "..a\rb\r..c");
    EXPECT_EQ(PrepareMessageText(".a\n.b\nc"), "..a\n..b\nc") << "LF-only lines are lines too";
}

TEST(PrepareMessageText, LongLineWithoutSpacesBreaksAt998) {
    QString line(2000, 'x');
    QString out = PrepareMessageText("head\r\n" + line + "\r\ntail");
    EXPECT_EQ(lengths(out, "\r\n"), QList<qsizetype>({4, 998, 998, 4, 4}));

    // One line alone: broken with CRLF.
    out = PrepareMessageText(line);
    EXPECT_EQ(lengths(out, "\r\n"), QList<qsizetype>({998, 998, 4}));
}

TEST(PrepareMessageText, BreaksKeepTheSeparatorOfTheText) {
    QString line(1500, 'y');
    QString cr = PrepareMessageText("a\r" + line);
    EXPECT_EQ(lengths(cr, "\r"), QList<qsizetype>({1, 998, 502}));
    EXPECT_FALSE(cr.contains('\n'));

    QString lf = PrepareMessageText("a\n" + line);
    EXPECT_EQ(lengths(lf, "\n"), QList<qsizetype>({1, 998, 502}));
    EXPECT_FALSE(lf.contains('\r'));
}

TEST(PrepareMessageText, BreaksAtTheLastSpaceAndKeepsItOnThePiece) {
    // A space at index 900 and one at 1200: the first piece ends with the
    // space at 900; the rest (1099 chars) is broken again at index 1200-901.
    QString line(2000, 'z');
    line[900] = ' ';
    line[1200] = ' ';
    QStringList pieces = PrepareMessageText(line).split("\r\n");
    ASSERT_EQ(pieces.size(), 3);
    EXPECT_EQ(pieces[0].size(), 901);
    EXPECT_TRUE(pieces[0].endsWith(' '));
    EXPECT_EQ(pieces[1].size(), 300);
    EXPECT_TRUE(pieces[1].endsWith(' '));
    EXPECT_EQ(pieces[2].size(), 799);
    EXPECT_EQ(pieces.join(""), line) << "breaking loses nothing";
}

TEST(PrepareMessageText, DotDoublingHappensBeforeBreaking) {
    // 998 characters plus the doubled dot make 999: broken after 998; the
    // second piece is "." and is not doubled again.
    QString line = "." + QString(996, 'a') + ".";
    QString out = PrepareMessageText(line);
    QStringList pieces = out.split("\r\n");
    ASSERT_EQ(pieces.size(), 2);
    EXPECT_EQ(pieces[0].size(), 998);
    EXPECT_EQ(pieces[1], ".");
}

TEST(PrepareMessageText, ExactlyNineHundredNinetyEightIsNotBroken) {
    QString line(998, 'q');
    EXPECT_EQ(PrepareMessageText(line), line);
    QString longer(999, 'q');
    EXPECT_EQ(PrepareMessageText(longer), QString(998, 'q') + "\r\nq");
}

TEST(ToWireText, EveryLineBreakLeavesAsCrlfAndLoneBreaksGetTheirDotsDoubled) {
    using sendmail::ToWireText;
    EXPECT_EQ(ToWireText("a\r\nb"), "a\r\nb");
    EXPECT_EQ(ToWireText("a\nb\n..c"), "a\r\nb\r\n..c") << "LF separator: dots already doubled";
    EXPECT_EQ(ToWireText("a\rb"), "a\r\nb");
    // A lone LF inside a CRLF text is not a line of the text: the line it
    // starts was never dot-doubled, so the wire copy doubles it.
    EXPECT_EQ(ToWireText("a\r\nx\n.\r\ny"), "a\r\nx\r\n..\r\ny");
    EXPECT_EQ(ToWireText("a\r\nx\r.b"), "a\r\nx\r\n..b");
    EXPECT_EQ(ToWireText("a\r\r\nb"), "a\r\n\r\nb");
    EXPECT_EQ(ToWireText("one line"), "one line");
    EXPECT_EQ(ToWireText(""), "");
}
