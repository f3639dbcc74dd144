#include "app/kelm.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFileInfo>
#include <QMimeData>

#include <cstdio>

namespace {
// The layout is given in twips; 15 twips make one pixel at 96 dpi.
constexpr int px(int twips) {
    return twips / 15;
}
} // namespace

Kelm::Kelm(QWidget *parent) : QWidget(parent) {
    setObjectName("Kelm");
    setWindowTitle("Kelm Upload");
    resize(px(13050), px(3195));

    Label1 = new QLabel("Parameters", this);
    Label1->setObjectName("Label1");
    Label1->setGeometry(px(120), px(120), px(855), px(255));

    Text1 = new QLineEdit("Text1", this);
    Text1->setObjectName("Text1");
    Text1->setGeometry(px(1200), px(120), px(11415), px(375));

    Text2 = new QLineEdit("Text2", this);
    Text2->setObjectName("Text2");
    Text2->setGeometry(px(1200), px(600), px(11415), px(375));

    // The label takes no focus; the text boxes follow it in this order.
    Label1->setFocusPolicy(Qt::NoFocus);
    QWidget::setTabOrder(Text1, Text2);

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    // Qt's default coarse timer may fire up to 5 % early.
    Timer1->setTimerType(Qt::PreciseTimer);
    Timer1->setSingleShot(true);
    Timer1->setInterval(TimerInterval);
    connect(Timer1, &QTimer::timeout, this, &Kelm::Timer1_Timer);
    Timer1->start();

    Form_Load();
}

void Kelm::Form_Load() {
    Text1->setText(QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName());
    Text2->setText(QDir::currentPath());

    QClipboard *clipboard = QGuiApplication::clipboard();
    clipboard->clear(QClipboard::Clipboard);
    // Plain text only: no other format is offered, so nothing of what the
    // clipboard held before survives.
    const QString dir = QDir::currentPath();
    auto *data = new QMimeData;
    data->setText(dir);
    clipboard->setMimeData(data, QClipboard::Clipboard);

    ClipboardTaken = clipboard->text(QClipboard::Clipboard) == dir;
    if (!ClipboardTaken) {
        std::fprintf(stderr,
                     "KelmUpload: could not place the current directory on the clipboard\n");
    }
}

void Kelm::Timer1_Timer() {
    // Leaving the event loop (rather than ending the process on the spot)
    // lets the application hand the clipboard text to a running clipboard
    // manager on its way out, so the text outlives the process. No window
    // gets a close event: closing would run the owner's close handling.
    QCoreApplication::exit(ClipboardTaken ? ExitNormal : ExitClipboardFailed);
}
