#include "mime/content_type.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace sendmail;

namespace {

const char kTable[] = "# comment line: text/x-ignored ign\n"
                      "\n"
                      "application/pdf\t\t\t\tpdf\n"
                      "application/x-first    dup\n"
                      "text/x-second          dup\n"
                      "application/gzip       gz tgz   # trailing comment: text/x-no nope\n"
                      "application/no-extensions\n"
                      "  text/x-indented   ind\n"
                      "image/gif gif\n";

QString WriteTable(const QTemporaryDir &dir, const QString &name, const QByteArray &text) {
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        return {};
    return path;
}

class ContentType : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        path = WriteTable(dir, QStringLiteral("mime.types"), kTable);
        ASSERT_FALSE(path.isEmpty());
        SetMimeTypesPathForTesting(path);
    }
    void TearDown() override { SetMimeTypesPathForTesting(QString()); }

    QTemporaryDir dir;
    QString path;
};

struct Lookup {
    const char *name;
    const char *file;
    const char *expected;
};

class ContentTypeLookup : public ContentType, public ::testing::WithParamInterface<Lookup> {};

TEST_P(ContentTypeLookup, ByTheTextAfterTheLastDot) {
    EXPECT_EQ(GetContentType(QString::fromUtf8(GetParam().file), QStringLiteral("x/default")),
              QString::fromUtf8(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Table, ContentTypeLookup,
    ::testing::Values(Lookup{"Registered", "report.pdf", "application/pdf"},
                      Lookup{"LetterCaseIgnored", "REPORT.Pdf", "application/pdf"},
                      Lookup{"PathWithFolders", "/home/a/docs/report.pdf", "application/pdf"},
                      Lookup{"LastDotOnly", "backup.tar.gz", "application/gzip"},
                      Lookup{"SecondExtensionOfALine", "x.tgz", "application/gzip"},
                      Lookup{"FirstLineWinsForADuplicate", "a.dup", "application/x-first"},
                      Lookup{"IndentedLine", "a.ind", "text/x-indented"},
                      Lookup{"NoDot", "README", "x/default"},
                      Lookup{"EndsWithDot", "name.", "x/default"},
                      Lookup{"DotAlone", ".", "x/default"},
                      Lookup{"FolderDotCounts", "/srv/site.v2/README", "x/default"},
                      Lookup{"FolderDotBackslash", "C:\\x.pdf\\file", "x/default"},
                      Lookup{"CommentLineIgnored", "a.ign", "x/default"},
                      Lookup{"TrailingCommentIgnored", "a.nope", "x/default"},
                      Lookup{"TypeNameIsNoExtension", "a.pdf2", "x/default"},
                      Lookup{"Unregistered", "a.zzz", "x/default"},
                      Lookup{"HiddenFileName", ".gif", "image/gif"}),
    [](const ::testing::TestParamInfo<Lookup> &p) { return std::string(p.param.name); });

TEST_F(ContentType, DefaultArgumentAndEmptyDefault) {
    EXPECT_EQ(GetContentType(QStringLiteral("a.zzz")), QStringLiteral("application/octet-stream"));
    EXPECT_EQ(GetContentType(QStringLiteral("a.zzz"), QString()), QString());
    EXPECT_EQ(GetContentType(QStringLiteral("a.pdf"), QString()),
              QStringLiteral("application/pdf"));
}

TEST_F(ContentType, EachPathHasItsOwnTable) {
    const QString other =
        WriteTable(dir, QStringLiteral("other.types"), "application/x-other pdf\n");
    ASSERT_FALSE(other.isEmpty());
    SetMimeTypesPathForTesting(other);
    EXPECT_EQ(GetContentType(QStringLiteral("a.pdf")), QStringLiteral("application/x-other"));
    SetMimeTypesPathForTesting(path);
    EXPECT_EQ(GetContentType(QStringLiteral("a.pdf")), QStringLiteral("application/pdf"));
}

TEST_F(ContentType, MissingTableGivesTheDefault) {
    SetMimeTypesPathForTesting(dir.filePath(QStringLiteral("absent.types")));
    EXPECT_EQ(GetContentType(QStringLiteral("a.pdf"), QStringLiteral("x/d")),
              QStringLiteral("x/d"));
}

TEST(ContentTypeSystemTable, ReadsTheInstalledTable) {
    if (!QFile::exists(QStringLiteral("/etc/mime.types")))
        GTEST_SKIP() << "/etc/mime.types is missing (package media-types)";
    SetMimeTypesPathForTesting(QString());
    EXPECT_EQ(GetContentType(QStringLiteral("notes.TXT")), QStringLiteral("text/plain"));
    EXPECT_EQ(GetContentType(QStringLiteral("logo.gif")), QStringLiteral("image/gif"));
    EXPECT_EQ(GetContentType(QStringLiteral("page.html")), QStringLiteral("text/html"));
    EXPECT_EQ(GetContentType(QStringLiteral("x.no-such-extension")),
              QStringLiteral("application/octet-stream"));
}

} // namespace
