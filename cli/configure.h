// How kelmsend's options become the properties of its one clsSendMail.
#pragma once

#include "cli/inputs.h"
#include "cli/options.h"
#include "cli/reporter.h"

#include "mail/smtp_session.h"

#include <QChar>

#include <functional>

class clsSendMail;

namespace kelmsend {

// The component's Delimiter while kelmsend drives it. Lists (recipients,
// names, attachment paths) are handed over joined with it; a control
// character cannot clash with an address, a name or a file path (the
// option parser refuses entries that hold it).
inline constexpr QChar kListDelimiter = QChar(0x1F);

// Assigns every option to `mail`, in an order that lets each check see its
// switches: the delimiter and the validation levels before the values they
// govern. Host checks follow the component's default level (3: the name is
// looked up when it is assigned, so an unknown server fails before any
// connection) unless --no-validate turns them off. For --dry-run no host is
// assigned, so nothing is looked up.
void Configure(clsSendMail &mail, const Options &options, const Inputs &inputs);

// The session's settings as the options give them: the server (empty for
// the MX path, and for --dry-run), POP3, the port, the limits (the
// component's defaults when not given), the EHLO/HELO name, TLS, the login
// with `password` and `oauthToken`, pipelining unless --no-pipelining.
// ConfigureSession hands the same values to the component; the outbox's
// driver uses them as they are.
[[nodiscard]] sendmail::SmtpSettings SessionSettings(const Options &options,
                                                     const QString &password,
                                                     const QString &oauthToken = QString());

// The part of Configure that concerns the session, not the message: the
// delimiter, the validation levels, the server (unless --dry-run), POP3,
// the port, the limits, the EHLO/HELO name and the login.
// For a connection: the TLS mode (EffectiveTlsMode), verification, CA file
// and pinned fingerprint; with --auth the mechanism ("AUTO" unless named)
// and the OAuth token.
void ConfigureSession(clsSendMail &mail, const Options &options, const QString &password,
                      const QString &oauthToken = QString());

// Connects the component's signals to `reporter`, runs `send` (a call of
// Send or Relay) and returns kelmsend's exit status: kExitSent after
// SendSuccesful, kExitFailed (each explanation on standard error) after
// SendFailed or when the call ended without an outcome. `failures`, when
// given, receives the explanations.
[[nodiscard]] int Deliver(clsSendMail &mail, Reporter &reporter, const std::function<void()> &send,
                          QStringList *failures = nullptr);

// The two halves of Deliver, for a caller that looks at a run before it is
// reported (a refused token is tried once more): RunSend sends, with the
// component's status, trace and progress going to the reporter, and keeps the
// status texts, the explanations and whether SendSuccesful came; ReportSend
// reports that run as Deliver does and returns the exit status.
struct SendRun {
    QStringList statuses;
    QStringList failures;
    bool sent = false;
};
SendRun RunSend(clsSendMail &mail, Reporter &reporter, const std::function<void()> &send);
[[nodiscard]] int ReportSend(Reporter &reporter, const SendRun &run,
                             QStringList *failures = nullptr);

// Unless --no-validate is given, checks --from and every recipient the way
// the component checks them on assignment, and names the first address it
// refuses ("--cc: not a valid e-mail address: ..."); "" when all pass. The
// component itself would only report which list held a bad address.
[[nodiscard]] QString CheckAddresses(const Options &options);

} // namespace kelmsend
