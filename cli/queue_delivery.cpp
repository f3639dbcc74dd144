#include "cli/queue_delivery.h"

#include "cli/account.h"
#include "cli/configure.h"
#include "cli/queue_command.h"
#include "mail/send_mail.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

namespace kelmsend {

namespace {

QString Errno(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

AccountResolver AccountsFor(const Options &commandLine, const EnvironmentLookup &env) {
    auto cache = std::make_shared<std::map<QString, AccountSetup>>();
    return [commandLine, env, cache](const QString &account) {
        if (const auto found = cache->find(account); found != cache->end()) {
            return found->second;
        }
        Options o = commandLine;
        o.account = account;
        AccountSetup setup;
        setup.error = LoadAccountToRelay(o, env);
        if (setup.error.isEmpty()) {
            setup.options = o;
        }
        cache->emplace(account, setup);
        return setup;
    };
}

AccountDriver::AccountDriver(AccountResolver accounts, EnvironmentLookup env, QObject *parent)
    : DeliveryDriver(parent), m_Accounts(std::move(accounts)), m_Env(std::move(env)),
      m_Inner(sendmail::SmtpSettings{}) {
    connect(&m_Inner, &outbox::DeliveryDriver::recipientResult, this,
            &outbox::DeliveryDriver::recipientResult);
    // Synchronous all the way: the runner records before the "." goes out.
    connect(
        &m_Inner, &outbox::DeliveryDriver::finalDotAhead, this, [this] { emit finalDotAhead(); },
        Qt::DirectConnection);
    connect(&m_Inner, &outbox::DeliveryDriver::finished, this, &AccountDriver::onInnerFinished);
    connect(&m_Inner, &outbox::SmtpDriver::trace, this, &AccountDriver::trace);
}

AccountDriver::~AccountDriver() = default;

BearerTokens *AccountDriver::tokensFor(const QString &account, const Options &o) {
    auto &tokens = m_Tokens[account];
    if (!tokens) {
        tokens = std::make_unique<BearerTokens>(o, m_Env);
    }
    return tokens.get();
}

void AccountDriver::start(const outbox::DeliveryJob &job) {
    ++m_Serial;
    m_Job = job;
    m_Active = true;
    m_Cancelled = false;
    m_Retried = false;
    m_CurrentTokens = nullptr;
    m_Start = job.message ? job.message->pos() : 0;

    const AccountSetup setup = m_Accounts(job.account);
    if (!setup.options) {
        finishWith(outbox::OutcomeKind::Local, setup.error);
        return;
    }
    const Options &o = *setup.options;
    QString password = setup.password.value_or(QString());
    if (o.needsPassword() && !setup.password) {
        if (const QString problem = LoadPassword(o, password, m_Env); !problem.isEmpty()) {
            finishWith(outbox::OutcomeKind::Login, problem);
            return;
        }
    }
    QString token;
    if (o.auth && o.hasOAuthToken()) {
        if (o.signsIn() || !o.oauthTokenCommand.isEmpty()) {
            m_CurrentTokens = tokensFor(job.account, o);
            // The sign-in may wait for its endpoint in an event loop of its
            // own; a cancel meanwhile is noted and taken after it.
            const TokenFetch fetched = m_CurrentTokens->fetch(false);
            if (!fetched.error.isEmpty()) {
                finishWith(outbox::OutcomeKind::Token, fetched.error);
                return;
            }
            token = fetched.token;
        } else if (const QString problem = LoadOAuthToken(o, token, m_Env); !problem.isEmpty()) {
            finishWith(outbox::OutcomeKind::Token, problem);
            return;
        }
    }
    if (m_Cancelled) {
        finishWith(outbox::OutcomeKind::Cancelled, QStringLiteral("cancelled"));
        return;
    }
    sendmail::SmtpSettings settings = SessionSettings(o, password, token);
    if (settings.host.isEmpty()) {
        // As the component does: the mail exchanger of this machine's domain.
        clsSendMail lookup;
        settings.host = lookup.MXQuery(QString());
        if (settings.host.isEmpty()) {
            finishWith(outbox::OutcomeKind::Dns,
                       QStringLiteral("no mail exchanger found for this machine's domain; set "
                                      "server in the account"));
            return;
        }
    }
    m_Inner.setSettings(settings);
    m_Inner.start(job);
}

void AccountDriver::cancel() {
    if (!m_Active) {
        return;
    }
    m_Cancelled = true;
    m_Inner.cancel();
}

void AccountDriver::onInnerFinished(const outbox::AttemptOutcome &outcome) {
    if (!m_Active) {
        return;
    }
    const bool again = outcome.kind == outbox::OutcomeKind::Token && !outcome.finalDotWritten &&
                       !m_Retried && !m_Cancelled && m_CurrentTokens &&
                       m_CurrentTokens->renewable();
    if (!again) {
        m_Active = false;
        emit finished(outcome);
        return;
    }
    // The server refused the token: one new token, one more try.
    m_Retried = true;
    const quint64 serial = m_Serial;
    QTimer::singleShot(0, this, [this, serial] {
        if (!m_Active || serial != m_Serial) {
            return;
        }
        const TokenFetch fetched = m_CurrentTokens->fetch(true);
        if (!fetched.error.isEmpty()) {
            finishWith(outbox::OutcomeKind::Token, fetched.error);
            return;
        }
        if (m_Cancelled) {
            finishWith(outbox::OutcomeKind::Cancelled, QStringLiteral("cancelled"));
            return;
        }
        sendmail::SmtpSettings settings = m_Inner.settings();
        settings.oauthToken = fetched.token;
        m_Inner.setSettings(settings);
        if (m_Job.message && !m_Job.message->seek(m_Start)) {
            finishWith(outbox::OutcomeKind::Local, QStringLiteral("the message cannot be read"));
            return;
        }
        m_Inner.start(m_Job);
    });
}

void AccountDriver::finishWith(outbox::OutcomeKind kind, const QString &reply) {
    // Never from inside start(): the runner is told from the event loop.
    const quint64 serial = m_Serial;
    QTimer::singleShot(0, this, [this, serial, kind, reply] {
        if (!m_Active || serial != m_Serial) {
            return;
        }
        m_Active = false;
        outbox::AttemptOutcome outcome;
        outcome.kind = kind;
        outcome.reply = reply;
        emit finished(outcome);
    });
}

DeliveryLog::~DeliveryLog() {
    if (m_Fd >= 0) {
        ::close(m_Fd);
    }
    if (m_Syslog) {
        ::closelog();
    }
}

bool DeliveryLog::open(const Options &o, QString *error) {
    if (o.syslog && !m_Syslog) {
        ::openlog("kelmsend", LOG_PID, LOG_MAIL);
        m_Syslog = true;
    }
    if (o.logFile.isEmpty() || m_Fd >= 0) {
        return true;
    }
    const QByteArray path = o.logFile.toLocal8Bit();
    m_Fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
    if (m_Fd < 0) {
        *error = "cannot open the log file " + o.logFile + ": " + Errno(errno);
        return false;
    }
    return true;
}

void DeliveryLog::write(const outbox::AttemptLog &entry) {
    const QByteArray line = outbox::LogLine(entry).toUtf8();
    if (m_Fd >= 0) {
        // One write a line: lines of runs at once never interleave.
        const QByteArray bytes = line + '\n';
        (void)!::write(m_Fd, bytes.constData(), static_cast<size_t>(bytes.size()));
    }
    if (m_Syslog) {
        ::syslog(LOG_INFO, "%s", line.constData());
    }
}

outbox::RunOptions QueueRunOptions(const Options &o, outbox::Selection selection) {
    outbox::RunOptions r;
    r.selection = selection;
    r.noticeFrom = o.from;
    r.noticeSender = QString();
    return r;
}

outbox::RunSummary RunQueue(outbox::QueueFolder &folder, const outbox::RunOptions &runOptions,
                            const QueueRunContext &context) {
    AccountDriver driver(context.accounts, context.env);
    if (context.reporter) {
        QObject::connect(&driver, &AccountDriver::trace,
                         [reporter = context.reporter](const QString &t) { reporter->Trace(t); });
    }
    outbox::Runner runner(folder, driver, context.options->queuePolicy);
    if (context.log) {
        QObject::connect(&runner, &outbox::Runner::attemptLogged,
                         [log = context.log](const outbox::AttemptLog &e) { log->write(e); });
    }
    QEventLoop loop;
    std::optional<outbox::RunSummary> summary;
    QObject::connect(&runner, &outbox::Runner::finished, &loop, [&](const outbox::RunSummary &s) {
        summary = s;
        loop.quit();
    });
    if (!runner.start(runOptions)) {
        return {};
    }
    if (!summary) {
        loop.exec();
    }
    return summary.value_or(outbox::RunSummary{});
}

namespace {

QString ReplyOf(const std::optional<outbox::MessageRecord> &record, const QString &address) {
    if (!record) {
        return {};
    }
    for (const outbox::RecipientRecord &r : record->recipients) {
        if (r.address.compare(address, Qt::CaseInsensitive) == 0) {
            return r.reply.simplified();
        }
    }
    return {};
}

QString WithReplies(const QStringList &addresses,
                    const std::optional<outbox::MessageRecord> &record) {
    QStringList parts;
    for (const QString &a : addresses) {
        const QString reply = ReplyOf(record, a);
        parts << (reply.isEmpty() ? a : a + " (" + reply + ")");
    }
    return parts.join(QStringLiteral(", "));
}

} // namespace

QString DescribeReport(const outbox::MessageReport &report,
                       const std::optional<outbox::MessageRecord> &record) {
    QStringList parts;
    const outbox::AttemptEffect &e = report.effect;
    if (!e.delivered.isEmpty()) {
        parts << "delivered to " + e.delivered.join(QStringLiteral(", "));
    }
    if (!e.uncertain.isEmpty()) {
        parts << "uncertain for " + WithReplies(e.uncertain, record) + ", the server may have it";
    }
    if (!e.deferred.isEmpty()) {
        parts << "deferred for " + WithReplies(e.deferred, record);
    }
    if (!e.failed.isEmpty()) {
        parts << "failed for " + WithReplies(e.failed, record) +
                     (report.noticeId.isEmpty() ? QString()
                                                : QStringLiteral(", a notice goes to the sender"));
    }
    if (record) {
        if (record->held) {
            parts << QStringLiteral("held until kelmsend queue retry");
        } else if (const std::optional<QDateTime> next = outbox::NextAttempt(*record)) {
            parts << "next try " + (next->isValid() ? next->toUTC().toString(Qt::ISODate)
                                                    : QStringLiteral("at the next flush"));
        }
    }
    if (!report.error.isEmpty()) {
        parts << report.error;
    }
    if (parts.isEmpty()) {
        parts << outbox::MessageStateName(report.state);
    }
    return report.id + ": " + parts.join(QStringLiteral("; "));
}

} // namespace kelmsend

namespace kelmsend {

namespace {

// The record of `id` after a run, none when it left the queue.
std::optional<outbox::MessageRecord> RecordAfter(const outbox::QueueFolder &folder,
                                                 const QString &id) {
    if (!QFile::exists(folder.messagePath(id))) {
        return std::nullopt;
    }
    const outbox::QueueEntry e = folder.load(id);
    if (e.damaged) {
        return std::nullopt;
    }
    return e.record;
}

// How long the flush after a run's own message may start new attempts, and
// how long each of those may take.
constexpr std::chrono::milliseconds kFollowOnBudget{5000};
constexpr std::chrono::milliseconds kFollowOnAttempt{30000};

} // namespace

QueuedSend StoreAndTry(QIODevice &message, const outbox::StoreRequest &request,
                       const Options &commandLine, const Options &o, const EnvironmentLookup &env,
                       Reporter &reporter, const Reporter::Writer &err,
                       const std::optional<QString> &password) {
    QueuedSend result;
    const auto fail = [&](const QString &text, QueuedSend::Result r) {
        reporter.Error("cannot store the message: " + text);
        result.result = r;
        return result;
    };
    QString error;
    const QString path = QueueFolderPath(o, env, &error);
    if (path.isEmpty()) {
        return fail(error, QueuedSend::Result::NotStored);
    }
    outbox::QueueFolder folder(path);
    if (!folder.open(&error)) {
        return fail(error, QueuedSend::Result::NotStored);
    }
    const outbox::StoreResult stored = folder.store(message, request);
    if (!stored.ok()) {
        return fail(stored.errorText, stored.error == outbox::StoreError::ReadError
                                          ? QueuedSend::Result::InputError
                                          : QueuedSend::Result::NotStored);
    }
    result.id = stored.id;
    result.result = QueuedSend::Result::Stored;
    reporter.Status("stored in the queue as " + stored.id);

    // From here on the message is safe: nothing below changes the status
    // but the first try's own refusal.
    DeliveryLog log;
    if (!log.open(o, &error)) {
        reporter.Error(error);
    }
    AccountResolver accounts = AccountsFor(commandLine, env);
    if (password) {
        accounts = [accounts, own = request.account, password](const QString &account) {
            AccountSetup setup = accounts(account);
            if (account == own) {
                setup.password = password;
            }
            return setup;
        };
    }
    const QueueRunContext context{&o, accounts, env, &log, &reporter};
    outbox::RunOptions own = QueueRunOptions(o, outbox::Selection::Ids);
    own.ids = {stored.id};
    own.callerSeesOutcome = true;
    const outbox::RunSummary summary = RunQueue(folder, own, context);
    reporter.Finish();

    const outbox::MessageReport *report = nullptr;
    for (const outbox::MessageReport &r : summary.messages) {
        if (r.id == stored.id) {
            report = &r;
        }
    }
    const std::optional<outbox::MessageRecord> record = RecordAfter(folder, stored.id);
    const bool quiet = o.verbosity == Verbosity::Quiet;
    if (!report) {
        if (!quiet) {
            err(("kelmsend: queued as " + stored.id + ", not tried yet" +
                 (summary.errors.isEmpty() ? QString() : ": " + summary.errors.join("; ")) + "\n")
                    .toUtf8());
        }
        return result;
    }
    bool allRefused = record && report->effect.delivered.isEmpty() && record->attempts == 1 &&
                      report->noticeId.isEmpty();
    if (record) {
        for (const outbox::RecipientRecord &r : record->recipients) {
            allRefused = allRefused && r.state == outbox::RecipientState::Failed;
            result.failures << r.reply;
        }
    }
    if (allRefused) {
        result.result = QueuedSend::Result::Refused;
        for (const QString &reply : result.failures) {
            reporter.Error(reply);
        }
        reporter.Error("nothing was sent; the message stays in the queue as failed: " + stored.id +
                       " (kelmsend queue drop " + stored.id + ")");
        return result;
    }
    result.failures.clear();
    if (record && !quiet) {
        err(("kelmsend: queued as " + DescribeReport(*report, record) + "\n").toUtf8());
    }

    if (!report->effect.delivered.isEmpty()) {
        outbox::RunOptions rest = QueueRunOptions(o, outbox::Selection::Due);
        rest.runBudget = kFollowOnBudget;
        rest.attemptTimeout = kFollowOnAttempt;
        (void)RunQueue(folder, rest, {&o, context.accounts, env, &log, nullptr});
    }
    return result;
}

FlushResult FlushQueueFolder(const QString &path, const Options &commandLine, const Options &o,
                             bool all, const EnvironmentLookup &env, const Reporter::Writer &out,
                             const Reporter::Writer &err) {
    FlushResult result;
    const auto warn = [&err](const QString &text) { err(("kelmsend: " + text + "\n").toUtf8()); };
    if (!QFileInfo::exists(path)) {
        return result; // an empty queue
    }
    outbox::QueueFolder folder(path);
    QString error;
    if (!folder.open(&error)) {
        warn(error);
        result.folderError = true;
        return result;
    }
    DeliveryLog log;
    if (!log.open(o, &error)) {
        warn(error);
        result.errors << error;
    }
    QElapsedTimer clock;
    clock.start();
    Reporter reporter(o.verbosity, false, err, [&clock] { return clock.elapsed(); });
    const QueueRunContext context{&o, AccountsFor(commandLine, env), env, &log, &reporter};
    const outbox::RunSummary summary = RunQueue(
        folder, QueueRunOptions(o, all ? outbox::Selection::All : outbox::Selection::Due), context);
    const bool quiet = o.verbosity == Verbosity::Quiet;
    for (const outbox::MessageReport &r : summary.messages) {
        if (!quiet) {
            out((DescribeReport(r, RecordAfter(folder, r.id)) + "\n").toUtf8());
        }
    }
    for (const QString &id : summary.busy) {
        if (!quiet) {
            out((id + ": skipped, another run is delivering it\n").toUtf8());
        }
    }
    for (const QString &id : summary.damaged) {
        const QString text = id + ": damaged, skipped (kelmsend queue list shows why)";
        warn(text);
        result.errors << text;
    }
    for (const QString &e : summary.errors) {
        warn(e);
        result.errors << e;
    }
    return result;
}

} // namespace kelmsend
