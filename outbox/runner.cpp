#include "outbox/runner.h"

#include <QBuffer>
#include <QFile>
#include <QSysInfo>

namespace outbox {

namespace {

bool Selected(const MessageRecord &record, const RunOptions &options, const QDateTime &now) {
    switch (options.selection) {
    case Selection::Due:
        return IsDue(record, now);
    case Selection::All:
    case Selection::Ids:
        return IsFlushable(record);
    }
    return false;
}

bool NoticePending(const MessageRecord &record, const Policy &policy) {
    MessageRecord copy = record;
    return !NoticeDue(copy, policy, false).isEmpty();
}

} // namespace

QString LogLine(const AttemptLog &entry) {
    QStringList to;
    for (const QString &r : entry.recipients) {
        to << "<" + r + ">";
    }
    QString reply = entry.reply;
    reply.replace('\r', ' ').replace('\n', ' ');
    return QString("%1 %2 %3 to=%4 %5")
        .arg(entry.time.toUTC().toString(Qt::ISODate), entry.id, entry.outcome, to.join(','),
             reply.trimmed());
}

Runner::Runner(QueueFolder &folder, DeliveryDriver &driver, const Policy &policy, QObject *parent)
    : QObject(parent), m_Folder(folder), m_Driver(driver), m_Policy(policy) {
    m_Limit.setSingleShot(true);
    m_Grace.setSingleShot(true);
    connect(&m_Limit, &QTimer::timeout, this, &Runner::onTimeout);
    connect(&m_Grace, &QTimer::timeout, this, [this] {
        AttemptOutcome outcome;
        outcome.kind = OutcomeKind::TimedOut;
        outcome.finalDotWritten = m_DotAhead;
        outcome.reply = "the attempt did not end when it was cancelled";
        // The driver that did not end may still read the message.
        m_Abandoned.push_back(std::move(m_Message));
        conclude(outcome);
    });
    connect(&m_Driver, &DeliveryDriver::recipientResult, this, &Runner::onRecipientResult);
    connect(&m_Driver, &DeliveryDriver::finalDotAhead, this, &Runner::onFinalDotAhead,
            Qt::DirectConnection);
    connect(&m_Driver, &DeliveryDriver::finished, this, &Runner::onFinished);
}

Runner::~Runner() {
    if (m_InAttempt) {
        // The record keeps in-flight set; the next runner recovers it.
        m_Driver.disconnect(this);
        m_Driver.cancel();
    }
}

bool Runner::start(const RunOptions &options) {
    if (m_Running) {
        return false;
    }
    m_Running = true;
    m_Cancelled = false;
    m_Options = options;
    m_Summary = {};
    m_RunTime.start();
    m_Folder.cleanup();
    m_Queue.clear();
    const QDateTime now = m_Folder.now();
    for (const QueueEntry &e : m_Folder.list()) {
        if (e.damaged) {
            m_Summary.damaged << e.id;
            continue;
        }
        const bool named = options.ids.contains(e.id);
        // A record left in flight is picked whatever its schedule: its
        // runner was killed, and only taking the lock shows it. So is one
        // whose notice could not be stored when it was due.
        const bool interrupted = e.record.inFlight != InFlight::None;
        if ((options.selection == Selection::Ids && named) ||
            (options.selection != Selection::Ids &&
             (interrupted || Selected(e.record, options, now) ||
              NoticePending(e.record, m_Policy)))) {
            m_Queue << e.id;
        }
    }
    QTimer::singleShot(0, this, &Runner::next);
    return true;
}

void Runner::cancel() {
    m_Cancelled = true;
    if (m_InAttempt) {
        m_Driver.cancel();
    }
}

void Runner::next() {
    const bool overBudget =
        m_Options.runBudget.count() > 0 && m_RunTime.elapsed() >= m_Options.runBudget.count();
    if (m_Cancelled || overBudget || m_Queue.isEmpty()) {
        finish();
        return;
    }
    beginMessage(m_Queue.takeFirst());
}

void Runner::beginMessage(const QString &id) {
    MessageReport report;
    report.id = id;
    switch (m_Folder.tryLock(id, m_Lock)) {
    case LockResult::Busy:
        m_Summary.busy << id;
        QTimer::singleShot(0, this, &Runner::next);
        return;
    case LockResult::Missing: // delivered or dropped since it was listed
        QTimer::singleShot(0, this, &Runner::next);
        return;
    case LockResult::Locked:
        break;
    }
    QueueEntry entry = m_Folder.load(id);
    if (entry.damaged) {
        m_Summary.damaged << id;
        endMessage({});
        return;
    }
    m_Record = entry.record;
    const QDateTime now = m_Folder.now();
    const bool interrupted = m_Record.inFlight != InFlight::None;
    if (interrupted) {
        const InFlight was = m_Record.inFlight;
        const AttemptEffect recovered = RecoverInterrupted(m_Record, now, m_Policy);
        if (was == InFlight::FinalDot) {
            log(recovered.uncertain, "uncertain", m_Record.lastError);
            log(recovered.failed, "failed", m_Record.lastError);
        }
        report.effect = recovered;
    }
    const bool named = m_Options.selection == Selection::Ids && m_Options.ids.contains(id);
    if (!(named ? IsFlushable(m_Record) : Selected(m_Record, m_Options, now))) {
        // Not to be tried now; but a recovered record is saved, and a
        // notice that could not be stored before is stored now.
        if (interrupted || NoticePending(m_Record, m_Policy)) {
            settle(report, false);
        } else {
            endMessage({});
        }
        return;
    }
    if (interrupted && !m_Folder.save(m_Record, &report.error)) {
        m_Summary.errors << report.error;
        endMessage(report);
        return;
    }

    auto message = std::make_unique<QFile>(m_Folder.messagePath(id));
    if (!message->open(QIODevice::ReadOnly)) {
        report.error = QString("cannot read %1: %2").arg(id, message->errorString());
        m_Summary.errors << report.error;
        endMessage(report);
        return;
    }
    BeginAttempt(m_Record, now);
    if (!m_Folder.save(m_Record, &report.error)) {
        m_Summary.errors << report.error;
        endMessage(report);
        return;
    }
    m_Message = std::move(message);
    m_Replies.clear();
    m_JobRecipients = DueRecipients(m_Record);
    m_TimedOut = false;
    m_DotAhead = false;
    m_InAttempt = true;
    ++m_Attempt;

    DeliveryJob job;
    job.id = id;
    job.account = m_Record.account;
    job.sender = m_Record.sender;
    job.recipients = m_JobRecipients;
    job.message = m_Message.get();
    job.size = m_Record.size;
    m_Limit.start(m_Options.attemptTimeout);
    m_Driver.start(job);
}

void Runner::onRecipientResult(const QString &address, int code, const QString &reply) {
    if (!m_InAttempt || !m_JobRecipients.contains(address, Qt::CaseInsensitive)) {
        return;
    }
    m_Replies.append({address, code, reply});
}

void Runner::onFinalDotAhead() {
    if (!m_InAttempt) {
        return;
    }
    MarkFinalDotAhead(m_Record, m_Replies);
    QString error;
    if (!m_Folder.save(m_Record, &error)) {
        // Without the record saying so, the server must not get the end of
        // the data: a runner killed next would send it again.
        m_Summary.errors << error;
        m_Record.inFlight = InFlight::Sending;
        m_Driver.cancel();
        return;
    }
    m_DotAhead = true;
}

void Runner::onFinished(const AttemptOutcome &outcome) {
    if (!m_InAttempt) {
        return;
    }
    // Never concluded inside the driver's own call: it may still be on the
    // stack, in start() or in a signal of its socket.
    const quint64 attempt = m_Attempt;
    QMetaObject::invokeMethod(
        this,
        [this, attempt, outcome] {
            if (m_InAttempt && attempt == m_Attempt) {
                conclude(outcome);
            }
        },
        Qt::QueuedConnection);
}

void Runner::onTimeout() {
    if (!m_InAttempt) {
        return;
    }
    m_TimedOut = true;
    m_Grace.start(m_Options.cancelGrace);
    m_Driver.cancel();
}

void Runner::conclude(AttemptOutcome outcome) {
    m_Limit.stop();
    m_Grace.stop();
    m_InAttempt = false;
    m_Message.reset();
    if (m_TimedOut && outcome.kind == OutcomeKind::Cancelled) {
        outcome.kind = OutcomeKind::TimedOut;
        const qint64 ms = m_Options.attemptTimeout.count();
        outcome.reply =
            QString("no end of the attempt within %1")
                .arg(ms % 1000 == 0 ? DurationText(Seconds(ms / 1000)) : QString("%1 ms").arg(ms));
    }
    // A driver that asked before the final "." and then lost its way is
    // taken at its word only when it says the "." was not written.
    outcome.finalDotWritten = outcome.finalDotWritten && m_DotAhead;

    MessageReport report;
    report.id = m_Record.id;
    const bool firstTry = m_Record.attempts == 1;
    report.effect = ApplyOutcome(m_Record, m_Replies, outcome, m_Folder.now(), m_Policy);
    report.state = StateOf(m_Record);
    log(report.effect.delivered, "delivered", outcome.reply);
    log(report.effect.uncertain, "uncertain", m_Record.lastError);
    for (const RecipientRecord &r : m_Record.recipients) {
        if (report.effect.deferred.contains(r.address)) {
            log({r.address}, "deferred", r.reply);
        } else if (report.effect.failed.contains(r.address)) {
            log({r.address}, "failed", r.reply);
        }
    }

    bool allRefused = report.effect.delivered.isEmpty();
    for (const RecipientRecord &r : m_Record.recipients) {
        allRefused = allRefused && r.state == RecipientState::Failed;
    }
    settle(report, m_Options.callerSeesOutcome && firstTry && allRefused);
}

void Runner::settle(MessageReport &report, bool callerToldOfAll) {
    report.state = StateOf(m_Record);
    const QStringList notice = NoticeDue(m_Record, m_Policy, callerToldOfAll);
    if (!notice.isEmpty()) {
        report.noticeId = storeNotice(notice);
        if (!report.noticeId.isEmpty()) {
            MarkNotified(m_Record, notice);
            ++m_Record.notices;
        }
    }
    const bool saved = report.effect.finished ? m_Folder.remove(m_Record.id, &report.error)
                                              : m_Folder.save(m_Record, &report.error);
    if (!saved) {
        m_Summary.errors << report.error;
    }
    endMessage(report);
}

QString Runner::storeNotice(const QStringList &failed) {
    QFile original(m_Folder.messagePath(m_Record.id));
    QByteArray headers;
    if (original.open(QIODevice::ReadOnly)) {
        headers = ReadHeaderBlock(original);
    }
    NoticeContext context;
    context.from = m_Options.noticeFrom;
    context.reportingHost =
        m_Options.reportingHost.isEmpty() ? QSysInfo::machineHostName() : m_Options.reportingHost;
    context.now = m_Folder.now();
    const QByteArray bytes = ComposeNotice(m_Record, headers, failed, context);

    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    StoreRequest request;
    request.account = m_Record.account;
    request.sender = m_Options.noticeSender;
    request.recipients = {m_Record.sender};
    request.isNotice = true;
    request.id = QString("%1-n%2").arg(m_Record.id).arg(m_Record.notices + 1);
    if (request.id.size() > 64) {
        request.id.clear();
    }
    const StoreResult stored = m_Folder.store(buffer, request);
    if (stored.ok() || stored.error == StoreError::Exists) {
        // Exists: a runner killed after storing it and before saying so.
        return request.id.isEmpty() ? stored.id : request.id;
    }
    m_Summary.errors
        << QString("cannot store the notice about %1: %2").arg(m_Record.id, stored.errorText);
    return {};
}

void Runner::endMessage(MessageReport report) {
    m_Lock = MessageLock();
    if (!report.id.isEmpty()) {
        m_Summary.messages << report;
    }
    QTimer::singleShot(0, this, &Runner::next);
}

void Runner::finish() {
    m_Running = false;
    const RunSummary summary = m_Summary;
    emit finished(summary);
}

void Runner::log(const QStringList &recipients, const QString &outcome, const QString &reply) {
    if (recipients.isEmpty()) {
        return;
    }
    AttemptLog entry;
    entry.time = m_Folder.now();
    entry.id = m_Record.id;
    entry.recipients = recipients;
    entry.outcome = outcome;
    entry.reply = reply;
    emit attemptLogged(entry);
}

} // namespace outbox
