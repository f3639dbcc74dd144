// How kelmsend delivers its queue: each message through the account stored
// with it, a run of the outbox's Runner to its end, and the delivery log.
//
// The account of a message is loaded as --account would load it, with what
// the run's own command line gives winning over the file, as for a send. Its
// password comes from its password source before each attempt; an OAuth
// account's token from its sign-in (cli/bearer_send.h), renewed once when
// the server refuses it. A failure to get either (an expired sign-in, a
// token endpoint that does not answer, a password command that fails)
// defers the message with that text as its reason: the queue keeps it
// until the account works again or its lifetime ends.
//
// The log (log-file, syslog) holds one line per recipient outcome of each
// attempt (outbox::LogLine): the time, the id, the outcome and the
// server's reply, never a password, token or the AUTH exchange.
#pragma once

#include "cli/bearer_send.h"
#include "cli/inputs.h"
#include "cli/options.h"
#include "cli/reporter.h"
#include "outbox/runner.h"
#include "outbox/smtp_driver.h"

#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace kelmsend {

// An account ready to send through, or why it is not.
struct AccountSetup {
    std::optional<Options> options;
    QString error;
    std::optional<QString> password; // fetched already (the storing run's own)
};
using AccountResolver = std::function<AccountSetup(const QString &account)>;

// The accounts as a run whose command line gave `commandLine` (before any
// account was applied) sees them; each loaded once.
[[nodiscard]] AccountResolver AccountsFor(const Options &commandLine, const EnvironmentLookup &env);

class AccountDriver : public outbox::DeliveryDriver {
    Q_OBJECT
public:
    AccountDriver(AccountResolver accounts, EnvironmentLookup env, QObject *parent = nullptr);
    ~AccountDriver() override;

    void start(const outbox::DeliveryJob &job) override;
    void cancel() override;

signals:
    // The session's trace (passwords masked by the session).
    void trace(const QString &text);

private:
    void onInnerFinished(const outbox::AttemptOutcome &outcome);
    void finishWith(outbox::OutcomeKind kind, const QString &reply);
    BearerTokens *tokensFor(const QString &account, const Options &options);

    AccountResolver m_Accounts;
    EnvironmentLookup m_Env;
    outbox::SmtpDriver m_Inner;
    std::map<QString, std::unique_ptr<BearerTokens>> m_Tokens;
    BearerTokens *m_CurrentTokens = nullptr;
    outbox::DeliveryJob m_Job;
    qint64 m_Start = 0;
    quint64 m_Serial = 0;
    bool m_Active = false;
    bool m_Cancelled = false;
    bool m_Retried = false;
};

// The delivery log of a run: the file of log-file, opened to append (made
// 0600 when missing), and syslog when asked for.
class DeliveryLog {
public:
    DeliveryLog() = default;
    ~DeliveryLog();
    DeliveryLog(const DeliveryLog &) = delete;
    DeliveryLog &operator=(const DeliveryLog &) = delete;

    // False, with the reason, when the file cannot be opened; syslog is
    // used all the same.
    [[nodiscard]] bool open(const Options &options, QString *error);
    void write(const outbox::AttemptLog &entry);

private:
    int m_Fd = -1;
    bool m_Syslog = false;
};

// What a run needs besides the folder.
struct QueueRunContext {
    const Options *options = nullptr; // the run's own, after its account
    AccountResolver accounts;
    EnvironmentLookup env;
    DeliveryLog *log = nullptr;
    Reporter *reporter = nullptr; // the session's trace with --trace
};

// The run's options: the notices come from the account's from, with the
// envelope sender <>.
[[nodiscard]] outbox::RunOptions QueueRunOptions(const Options &options,
                                                 outbox::Selection selection);

// One run of the Runner over `folder` to its end, in an event loop of its
// own.
[[nodiscard]] outbox::RunSummary RunQueue(outbox::QueueFolder &folder,
                                          const outbox::RunOptions &runOptions,
                                          const QueueRunContext &context);

// A line about one message of a run for people: "ID: delivered to a@x.org;
// deferred for b@x.org (451 ...), next try 2026-12-09T06:50:00Z; failed for
// c@x.org (550 ...), a notice goes to the sender". `record` is the message
// after the run (none when it left the queue).
[[nodiscard]] QString DescribeReport(const outbox::MessageReport &report,
                                     const std::optional<outbox::MessageRecord> &record);

} // namespace kelmsend

namespace kelmsend {

// What became of a message stored and then tried at once.
struct QueuedSend {
    enum class Result {
        Stored,    // in the queue (delivered, deferred, or some failed with a notice)
        Refused,   // every recipient refused for good on the first try: kept as failed
        NotStored, // the queue could not take it (nothing of it is left there)
        InputError // the message could not be read
    };
    Result result = Result::NotStored;
    QString id;
    QStringList failures; // Refused: the replies
};

// Stores `message` with `request` in the queue of `options` (the run's own,
// after its account), then delivers it through a run of its own
// (Selection::Ids, the caller sees the outcome, so no notice follows when
// every recipient is refused). Unless --quiet, a line on `err` names the id
// and what is pending when anything is. A run that delivered to someone
// then works the due messages of the queue for a few seconds.
// `password`: the run's own account's, fetched before the message was
// stored (a password source that fails is a configuration error the caller
// is told of at once).
[[nodiscard]] QueuedSend StoreAndTry(QIODevice &message, const outbox::StoreRequest &request,
                                     const Options &commandLine, const Options &options,
                                     const EnvironmentLookup &env, Reporter &reporter,
                                     const Reporter::Writer &err,
                                     const std::optional<QString> &password = std::nullopt);

// "kelmsend queue flush" and "sendmail -q": the due messages (all: every
// one not failed or held) of the queue at `path`, a line a message on
// `out` unless --quiet; warnings and errors on `err`.
struct FlushResult {
    bool folderError = false; // the folder could not be opened
    QStringList errors;       // records that could not be read or written, a damaged message
};
[[nodiscard]] FlushResult FlushQueueFolder(const QString &path, const Options &commandLine,
                                           const Options &options, bool all,
                                           const EnvironmentLookup &env,
                                           const Reporter::Writer &out,
                                           const Reporter::Writer &err);

} // namespace kelmsend
