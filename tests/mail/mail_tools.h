#pragma once

// Runs the independent decoders of mail_tools.py (and other outside
// programs) for the mail tests, each with a bounded wait.

#include "qt_printers.h"
#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <ostream>

namespace mailtest {

struct ToolResult {
    bool finished = false;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    bool ok() const { return finished && exitCode == 0; }
};

inline ToolResult RunProgram(const QString &program, const QStringList &args,
                             const QByteArray &input = {}) {
    ToolResult result;
    QProcess process;
    process.start(program, args);
    if (!process.waitForStarted(10000)) {
        result.err = "could not start " + program.toUtf8();
        return result;
    }
    process.write(input);
    process.closeWriteChannel();
    result.finished =
        process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit;
    if (!result.finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    result.exitCode = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

inline QString ToolsScript() {
    return qEnvironmentVariable("KELM_SOURCE_DIR") + QStringLiteral("/tests/mail/mail_tools.py");
}

inline ToolResult RunMailTool(const QStringList &args, const QByteArray &input = {}) {
    return RunProgram(QStringLiteral("/usr/bin/python3"), QStringList{ToolsScript()} + args, input);
}

} // namespace mailtest

// Lets GoogleTest print bytes in failure messages.
inline void PrintTo(const QByteArray &bytes, std::ostream *os) {
    *os << '"' << bytes.left(200).toPercentEncoding(" \"<>=:;,./@-_()'!").constData()
        << (bytes.size() > 200 ? "\"..." : "\"");
}
