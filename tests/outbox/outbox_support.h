// What the outbox's process tests share: the helper executable, started,
// fed and killed with bounded waits, and a look into a queue folder.
#pragma once

#include "outbox/queue_folder.h"
#include "qt_printers.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>

namespace outboxtest {

inline QString Helper() {
    return QStringLiteral(KELM_OUTBOX_HELPER);
}

inline std::unique_ptr<QProcess> StartHelper(const QStringList &args) {
    auto process = std::make_unique<QProcess>();
    process->setProgram(Helper());
    process->setArguments(args);
    process->start();
    EXPECT_TRUE(process->waitForStarted(10000)) << process->errorString().toStdString();
    return process;
}

struct HelperRun {
    int exitCode = -1;
    QByteArray out, err;
};

// Runs the helper to its end (at most `ms`), `input` on its standard input.
inline HelperRun RunHelper(const QStringList &args, const QByteArray &input = {}, int ms = 60000) {
    std::unique_ptr<QProcess> p = StartHelper(args);
    p->write(input);
    p->closeWriteChannel();
    HelperRun run;
    if (!p->waitForFinished(ms)) {
        p->kill();
        p->waitForFinished(5000);
        ADD_FAILURE() << "helper did not end: " << args.join(' ').toStdString();
        return run;
    }
    run.exitCode = p->exitStatus() == QProcess::NormalExit ? p->exitCode() : -1;
    run.out = p->readAllStandardOutput();
    run.err = p->readAllStandardError();
    return run;
}

// A message of `size` bytes whose every byte depends on `seed` and its
// place, so a cut or a mixed-up file never matches.
inline QByteArray Body(int seed, qsizetype size) {
    QByteArray bytes = QByteArray("Subject: m") + QByteArray::number(seed) + "\r\nMessage-ID: <m" +
                       QByteArray::number(seed) + "@example.org>\r\n\r\n";
    while (bytes.size() < size) {
        bytes += QByteArray::number(seed) + ":" + QByteArray::number(bytes.size()) + "\r\n";
    }
    return bytes;
}

inline QStringList FilesIn(const QString &dir) {
    return QDir(dir).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

} // namespace outboxtest
