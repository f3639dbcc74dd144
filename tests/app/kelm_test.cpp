#include "app/kelm.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QMimeData>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

struct CwdGuard {
    QString saved = QDir::currentPath();
    ~CwdGuard() { QDir::setCurrent(saved); }
};

} // namespace

TEST(KelmWindow, LayoutCaptionsAndObjectNamesFollowTheTwipTable) {
    Kelm w;
    EXPECT_EQ(w.objectName(), "Kelm");
    EXPECT_EQ(w.windowTitle(), "Kelm Upload");
    EXPECT_EQ(w.size(), QSize(870, 213));

    struct Row {
        const char *name;
        QRect geometry;
    } rows[] = {
        {"Label1", QRect(8, 8, 57, 17)},
        {"Text1", QRect(80, 8, 761, 25)},
        {"Text2", QRect(80, 40, 761, 25)},
    };
    for (const Row &row : rows) {
        auto *child = w.findChild<QWidget *>(row.name);
        ASSERT_NE(child, nullptr) << row.name;
        EXPECT_EQ(child->geometry(), row.geometry) << row.name;
    }
    EXPECT_EQ(w.Label1->text(), "Parameters");
    EXPECT_EQ(w.Label1->focusPolicy(), Qt::NoFocus);
    EXPECT_EQ(w.Text1->nextInFocusChain(), w.Text2);

    ASSERT_NE(w.findChild<QTimer *>("Timer1"), nullptr);
    EXPECT_EQ(w.Timer1->interval(), 10000);
    EXPECT_EQ(w.Timer1->timerType(), Qt::PreciseTimer);
    EXPECT_TRUE(w.Timer1->isActive());
    EXPECT_TRUE(w.Timer1->isSingleShot());
}

TEST(KelmWindow, LoadShowsNameAndDirectoryAndReplacesTheClipboard) {
    CwdGuard guard;
    QTemporaryDir dir(QDir::tempPath() + "/kelm dir XXXXXX");
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    const QString cwd = QDir::currentPath();

    auto *before = new QMimeData;
    before->setHtml("<b>earlier</b>");
    before->setData("application/x-earlier", "bytes");
    QGuiApplication::clipboard()->setMimeData(before);

    Kelm w;
    EXPECT_EQ(w.Text1->text(),
              QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName());
    EXPECT_FALSE(w.Text1->text().contains('/'));
    // A renamed copy of this executable is run with the name it must show.
    if (qEnvironmentVariableIsSet("KELM_EXPECT_NAME")) {
        EXPECT_EQ(w.Text1->text(), qEnvironmentVariable("KELM_EXPECT_NAME"));
    }
    EXPECT_EQ(w.Text2->text(), cwd);
    EXPECT_TRUE(w.clipboardTaken());

    const QMimeData *now = QGuiApplication::clipboard()->mimeData();
    ASSERT_NE(now, nullptr);
    EXPECT_EQ(now->text(), cwd);
    EXPECT_FALSE(now->text().endsWith('\n'));
    EXPECT_FALSE(now->hasHtml());
    EXPECT_FALSE(now->hasFormat("application/x-earlier"));
}
