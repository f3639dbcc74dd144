// The start-up window: shows the executable's name and the current
// directory, leaves the directory on the clipboard, and ends the process
// ten seconds after it was created.
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <QWidget>

class Kelm : public QWidget {
    Q_OBJECT
public:
    // Exit status when the timer ends the process, and when the clipboard
    // could not be taken (the window still shows and still ends on time).
    static constexpr int ExitNormal = 0;
    static constexpr int ExitClipboardFailed = 1;
    static constexpr int TimerInterval = 10000;

    explicit Kelm(QWidget *parent = nullptr);

    QLabel *Label1;
    QLineEdit *Text1;
    QLineEdit *Text2;
    QTimer *Timer1;

    // True when the load handler found its text on the clipboard afterwards.
    bool clipboardTaken() const { return ClipboardTaken; }

private:
    void Form_Load();
    void Timer1_Timer();

    bool ClipboardTaken = false;
};
