// How server replies are assembled from the socket's pieces, and how a reply
// without end is cut once and the rest of it dropped.
#include "mail/reply_reader.h"

#include <gtest/gtest.h>

#include "cli/row_name.h"
#include "qt_printers.h"

namespace {

using sendmail::MaxReplyLength;
using sendmail::Reply;
using sendmail::ReplyCutMarker;
using sendmail::ReplyReader;

// What a reply that begins with `start` must look like once cut.
QString cut(const QString &start) {
    return start.left(MaxReplyLength) + ReplyCutMarker;
}

const QString Long = QString(70000, QLatin1Char('x'));

QString continuationLines(int count) {
    QString s;
    for (int i = 0; i < count; ++i) {
        s += "250-line " + QString::number(i) + "\r\n";
    }
    return s;
}

struct Case {
    const char *name;
    QStringList pieces;
    QStringList replies; // in order; a cut one as cut(...)
    bool dropping = false;
};

class Assembly : public ::testing::TestWithParam<Case> {};

TEST_P(Assembly, YieldsTheRepliesInOrder) {
    const Case &c = GetParam();
    ReplyReader reader;
    QStringList got;
    for (const QString &piece : c.pieces) {
        reader.append(piece);
        while (std::optional<Reply> r = reader.next()) {
            EXPECT_EQ(r->cut, r->text.endsWith(ReplyCutMarker));
            EXPECT_LE(r->text.size(), MaxReplyLength + ReplyCutMarker.size());
            got << r->text;
        }
    }
    EXPECT_EQ(got, c.replies);
    EXPECT_EQ(reader.dropping(), c.dropping);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, Assembly,
    ::testing::Values(
        Case{"SplitInsideALine", {"220 fa", "ke\r\n"}, {"220 fake\r\n"}},
        Case{"CrlfSplitAcrossPieces", {"250 ok\r", "\n"}, {"250 ok\r\n"}},
        Case{"TwoRepliesInOnePiece", {"220 a\r\n214 b\r\n"}, {"220 a\r\n", "214 b\r\n"}},
        Case{"MultiLineWaitsForItsLastLine", {"250-a\r\n", "250 b\r\n"}, {"250-a\r\n250 b\r\n"}},
        Case{"EndlessLineIsCutOnceAndDropped",
             {"220 " + Long, Long, Long},
             {cut("220 " + Long)},
             true},
        Case{"LongLineEndsAndTheNextReplyIsRead",
             {"5" + Long, "yyy\r\n250 next\r\n"},
             {cut("5" + Long), "250 next\r\n"}},
        Case{"EndlessContinuationLinesAreOneCutReply",
             {continuationLines(5000), continuationLines(5000), "250 end\r\n221 bye\r\n"},
             {cut(continuationLines(5000)), "221 bye\r\n"}},
        Case{"CompleteButTooLongReplyIsCut",
             {continuationLines(5000) + "250 end\r\n354 go\r\n"},
             {cut(continuationLines(5000)), "354 go\r\n"}},
        // While dropping, the head of a line can arrive a character at a time.
        Case{"LineHeadsAcrossPiecesWhileDropping",
             {"250-" + Long, "\r\n25", "0", "-more\r\n2", "50 last\r\n354 go\r\n"},
             {cut("250-" + Long), "354 go\r\n"}},
        Case{"CrAndLfInTwoPiecesEndTheDroppedLine",
             {"500 " + Long + "\r", "\n221 ok\r\n"},
             {cut("500 " + Long), "221 ok\r\n"}},
        // The line is "abc\ryyy...\n221 ok": one line, none of it a reply.
        Case{"CrKeptFromTheLineHeadDoesNotMeetALaterLf",
             {"abc\r" + Long, "\n221 ok\r\n"},
             {cut("abc\r" + Long)}},
        Case{"NulBytesAreText",
             {QString(1 << 20, QChar(0)), "\r\n221 bye\r\n"},
             {cut(QString(MaxReplyLength, QChar(0))), "221 bye\r\n"}}),
    RowName());

TEST(ReplyReader, ClearForgetsAReplyBeingDropped) {
    ReplyReader reader;
    reader.append("220 " + Long);
    ASSERT_TRUE(reader.next().has_value());
    ASSERT_TRUE(reader.dropping());
    reader.clear();
    reader.append("220 new connection\r\n");
    const std::optional<Reply> r = reader.next();
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->text, "220 new connection\r\n");
}

} // namespace
