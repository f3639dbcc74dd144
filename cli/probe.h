// kelmsend probe: what a mail server offers, seen the way a send would see
// it, without sending mail. Connects to --server, performs implicit TLS or
// STARTTLS as the options ask (EffectiveTlsMode), and reports the greeting,
// the EHLO capabilities before and after TLS, the TLS protocol and cipher,
// the certificate (subject, issuer, validity, SHA-256 fingerprint) and the
// SASL mechanisms offered. Each step waits at most --timeout seconds.
#pragma once

#include "cli/options.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace kelmsend {

// Takes one complete SMTP reply (all its lines, without line ends) off the
// front of `buffer`; std::nullopt while the reply's last line ("NNN text")
// has not arrived.
[[nodiscard]] std::optional<QStringList> TakeReply(QString &buffer);

inline constexpr qsizetype kMaxProbeInbox = 1024 * 1024;

// Runs the probe. Every line of the report goes to `print` through
// PrintableText (cli/reporter.h: what the server sent is shown, never obeyed
// by the terminal); the reason it failed, if it did, to `fail`. Returns
// kExitSent when the server was reached and the TLS settings held, else
// kExitFailed. A server that sends more than kMaxProbeInbox characters
// without completing a reply fails the probe.
int RunProbe(const Options &options, const std::function<void(const QString &)> &print,
             const std::function<void(const QString &)> &fail);

} // namespace kelmsend
