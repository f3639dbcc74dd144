// A process for the outbox tests to run, race and kill:
//   outbox_helper store DIR SENDER RCPT...     stores standard input; prints the id
//                                               (exit 0), or the error (exit 73)
//   outbox_helper deliver DIR LOG STEP_MS [hold]
//                                               runs the due messages through a
//                                               scripted driver that accepts all,
//                                               pausing STEP_MS between steps;
//                                               deliveries are appended to LOG
#include "outbox/queue_folder.h"
#include "outbox/runner.h"
#include "scripted_driver.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() < 3) {
        std::fputs("usage: outbox_helper store|deliver DIR ...\n", stderr);
        return 64;
    }
    outbox::QueueFolder folder(args[1]);
    QString error;
    if (!folder.open(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 73;
    }
    if (args[0] == "store") {
        QFile in;
        if (!in.open(stdin, QIODevice::ReadOnly)) {
            return 74;
        }
        const outbox::StoreResult stored = folder.store(in, {"", args[2], args.mid(3)});
        if (!stored.ok()) {
            std::fprintf(stderr, "%s: %s\n", qPrintable(outbox::StoreErrorName(stored.error)),
                         qPrintable(stored.errorText));
            return 73;
        }
        std::printf("%s\n", qPrintable(stored.id));
        return 0;
    }
    if (args[0] == "deliver" && args.size() >= 4) {
        outboxtest::ScriptedDriver driver;
        driver.serverLog = args[2];
        outboxtest::Script script;
        script.stepMs = args[3].toInt();
        driver.scripts = {script};
        outbox::Policy policy;
        policy.holdUncertain = args.value(4) == "hold";
        outbox::Runner runner(folder, driver, policy);
        QObject::connect(&runner, &outbox::Runner::finished, &app,
                         [&app](const outbox::RunSummary &summary) {
                             app.exit(summary.errors.isEmpty() ? 0 : 1);
                         });
        runner.start({});
        // The test that kills this process counts its moments from here.
        std::puts("started");
        std::fflush(stdout);
        return app.exec();
    }
    return 64;
}
