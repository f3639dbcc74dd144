#include "app/kelm.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QMimeData>

#include <cstdio>

namespace {
// The layout is given in twips; 15 twips make one pixel at 96 dpi.
constexpr int px(int twips) {
    return twips / 15;
}

// A clipboard keeper reacts to a new owner by taking the clipboard over,
// and a program that will not let go takes it back: the text is judged
// only after they have had this long to act. While it is missing the text
// is offered again, until the load handler gives up. The whole wait stays
// far below the timer's interval: the timer must not fire before the main
// event loop runs.
constexpr int ClipboardSettleMs = 250;
constexpr int ClipboardGiveUpMs = 2000;

void offerText(QClipboard *clipboard, const QString &text) {
    // Plain text only: no other format is offered, so nothing of what the
    // clipboard held before survives.
    auto *data = new QMimeData;
    data->setText(text);
    clipboard->setMimeData(data, QClipboard::Clipboard);
}

// Lets the keeper's requests and the display's events through for a while;
// the window is not shown yet, so no input can arrive.
void dispatchFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
}

// Places text on the clipboard and reports whether the clipboard serves it,
// whoever owns it by then.
//
// There is no separate clear before the text is set. On X11 a clear gives
// the selection up; a keeper such as xclipboard takes it back at once with
// the display's current time, and the toolkit's set that follows carries
// the time of the last event it saw, which is older, so the display ignores
// it. Offering the text alone already removes every earlier format.
//
// Success is judged by what the clipboard serves, not by who owns it: a
// keeper that took the text over serves the same text. An offer can still
// be ignored for the same reason as above when another program took the
// clipboard between the toolkit's last event and the offer; the events
// dispatched meanwhile bring the toolkit's time forward, so the next offer
// counts.
bool placeOnClipboard(const QString &text) {
    QClipboard *clipboard = QGuiApplication::clipboard();
    QElapsedTimer elapsed;
    elapsed.start();
    for (;;) {
        offerText(clipboard, text);
        dispatchFor(ClipboardSettleMs);
        if (clipboard->text(QClipboard::Clipboard) == text) {
            return true;
        }
        if (elapsed.hasExpired(ClipboardGiveUpMs)) {
            return false;
        }
    }
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

    ClipboardTaken = placeOnClipboard(QDir::currentPath());
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
