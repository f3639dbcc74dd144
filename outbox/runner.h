// Works the queue: picks the messages a run selects, takes each one's lock
// (a message another runner holds is skipped), hands it to the delivery
// driver, one at a time, applies the attempt's results with the policy and
// keeps the record on disk at every step that matters:
//
//   before the attempt     in-flight = sending, attempts + 1
//   before the final "."   in-flight = final-dot, the RCPT verdicts
//   after the outcome      the recipients' states, the next attempt; the
//                          message removed once every recipient is delivered
//
// A runner killed at any of these moments leaves a record that the next one
// reads right (see RecoverInterrupted). Every attempt has a time limit: when
// it passes, the driver is cancelled, and a driver that does not end even
// then is given up a few seconds later, so one hung server cannot stop the
// queue. When a recipient has failed for good, a notice to the sender is
// stored in the queue (through the same account) before the record says so;
// its id is fixed by the message's, so a runner killed in between stores it
// once.
//
// The runner never waits in a nested event loop: start() returns at once
// and finished() follows from the owner's event loop.
#pragma once

#include "outbox/delivery_driver.h"
#include "outbox/notice.h"
#include "outbox/policy.h"
#include "outbox/queue_folder.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <memory>
#include <vector>

namespace outbox {

enum class Selection {
    Due, // the messages whose next attempt has come
    All, // every message not failed and not held, now
    Ids, // the messages named, if due or not (not failed or held ones)
};

struct RunOptions {
    Selection selection = Selection::Due;
    QStringList ids = {};
    // The run that stored the message named in `ids` and tells its caller
    // the outcome through its exit status: when its first attempt refuses
    // every recipient, no notice follows.
    bool callerSeesOutcome = false;
    std::chrono::milliseconds attemptTimeout{10 * 60 * 1000};
    // How long a cancelled driver may take to end before it is given up.
    std::chrono::milliseconds cancelGrace{5000};
    // No new attempt starts once this much time has passed (0: no bound).
    std::chrono::milliseconds runBudget{0};
    // What a notice says of where it comes from; its envelope sender ("" for
    // <>, so that a notice that fails makes no notice of its own).
    QString noticeFrom = {};
    QString noticeSender = {};
    QString reportingHost = {};
};

// One line of the delivery log: one per attempt and outcome.
struct AttemptLog {
    QDateTime time;
    QString id;
    QStringList recipients;
    QString outcome; // delivered, deferred, failed, uncertain
    QString reply;
};

// The log's line for it: "<time> <id> <outcome> to=<a@x.org>,<b@x.org>
// <reply>", the time in ISO 8601 UTC, the reply on one line. It holds what
// the server answered and nothing of the login.
[[nodiscard]] QString LogLine(const AttemptLog &entry);

struct MessageReport {
    QString id;
    MessageState state = MessageState::Queued; // after the run
    AttemptEffect effect;
    QString noticeId; // a notice stored by this attempt
    QString error;    // the queue could not be read or written
};

struct RunSummary {
    QList<MessageReport> messages; // each message attempted or recovered, in order
    QStringList busy;              // skipped: another runner held them
    QStringList damaged;           // skipped: damaged
    QStringList errors;
};

class Runner : public QObject {
    Q_OBJECT
public:
    Runner(QueueFolder &folder, DeliveryDriver &driver, const Policy &policy,
           QObject *parent = nullptr);
    ~Runner() override;

    // Starts a run; false when one is already running.
    bool start(const RunOptions &options);
    // Stops after the attempt in progress (which is cancelled).
    void cancel();
    [[nodiscard]] bool running() const { return m_Running; }

signals:
    void attemptLogged(const outbox::AttemptLog &entry);
    void finished(const outbox::RunSummary &summary);

private:
    void next();
    void beginMessage(const QString &id);
    void onRecipientResult(const QString &address, int code, const QString &reply);
    void onFinalDotAhead();
    void onFinished(const AttemptOutcome &outcome);
    void onTimeout();
    void conclude(AttemptOutcome outcome);
    void settle(MessageReport &report, bool callerToldOfAll);
    void endMessage(MessageReport report);
    void finish();
    QString storeNotice(const QStringList &failed);
    void log(const QStringList &recipients, const QString &outcome, const QString &reply);

    QueueFolder &m_Folder;
    DeliveryDriver &m_Driver;
    Policy m_Policy;
    RunOptions m_Options;
    bool m_Running = false;
    bool m_Cancelled = false;
    QStringList m_Queue;
    RunSummary m_Summary;
    QElapsedTimer m_RunTime;

    // The attempt in progress.
    quint64 m_Attempt = 0;
    bool m_InAttempt = false;
    bool m_TimedOut = false;
    bool m_DotAhead = false;
    MessageLock m_Lock;
    MessageRecord m_Record;
    QList<RecipientReply> m_Replies;
    QStringList m_JobRecipients;
    std::unique_ptr<QIODevice> m_Message;
    std::vector<std::unique_ptr<QIODevice>> m_Abandoned;
    QTimer m_Limit;
    QTimer m_Grace;
};

} // namespace outbox
