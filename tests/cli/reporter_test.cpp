// What kelmsend writes on standard error for each verbosity, on a terminal
// and elsewhere, with a scripted clock.
#include "cli/probe.h"
#include "cli/reporter.h"

#include <gtest/gtest.h>

#include "fake_server.h"
#include "qt_printers.h"
#include "row_name.h"

using namespace kelmsend;

namespace {

struct Sink {
    QByteArray out;
    qint64 now = 0;
    Reporter make(Verbosity v, bool terminal) {
        return Reporter(
            v, terminal, [this](const QByteArray &b) { out += b; }, [this] { return now; });
    }
};

// One short send: status texts, a reply, progress, done.
void playShortSend(Reporter &r) {
    r.Status("Connecting to SMTP Server (127.0.0.1)...");
    r.Trace(QVariant(QString("220 ready\r\n")));
    r.Progress(50);
    r.Progress(100);
    r.Status("Transmission Complete...");
    r.Finish();
}

struct Policy {
    const char *name;
    Verbosity verbosity;
    bool terminal;
    QByteArray expected;
};

class PolicyCase : public ::testing::TestWithParam<Policy> {};

TEST_P(PolicyCase, ShortSend) {
    Sink s;
    Reporter r = s.make(GetParam().verbosity, GetParam().terminal);
    playShortSend(r);
    r.Error("550 rejected\r\n");
    EXPECT_EQ(s.out, GetParam().expected);
}

const QByteArray kStatus = "Connecting to SMTP Server (127.0.0.1)...\nTransmission Complete...\n";
const QByteArray kError = "kelmsend: 550 rejected\n";

INSTANTIATE_TEST_SUITE_P(
    Table, PolicyCase,
    ::testing::Values(Policy{"PipeIsQuietButForErrors", Verbosity::Default, false, kError},
                      Policy{"TerminalShowsStatus", Verbosity::Default, true, kStatus + kError},
                      Policy{"QuietTerminal", Verbosity::Quiet, true, kError},
                      Policy{"VerbosePipe", Verbosity::Verbose, false, kStatus + kError},
                      Policy{"TracePipe", Verbosity::Trace, false,
                             "Connecting to SMTP Server (127.0.0.1)...\n220 ready\nTransmission "
                             "Complete...\n" +
                                 kError}),
    RowName());

TEST(ProgressBar, DrawnOnlyOnATerminalOnceTheSendIsLong) {
    Sink s;
    Reporter r = s.make(Verbosity::Default, true);
    r.Progress(10); // too early: no bar
    EXPECT_EQ(s.out, "");
    s.now = kProgressDelayMs;
    r.Progress(20);
    const QByteArray bar20 = "\r\x1b[K" + RenderProgressBar(20, kProgressBarWidth).toUtf8();
    EXPECT_EQ(s.out, bar20);
    // A status text clears the bar's line and draws the bar again below it.
    s.out.clear();
    r.Status("Sending Attachment, big.bin...");
    EXPECT_EQ(s.out, "\r\x1b[KSending Attachment, big.bin...\n" + bar20);
    s.out.clear();
    r.Progress(20); // unchanged: nothing drawn
    EXPECT_EQ(s.out, "");
    r.Finish();
    EXPECT_EQ(s.out, "\r\x1b[K");
    s.out.clear();
    r.Finish();
    EXPECT_EQ(s.out, "");

    Sink pipe;
    Reporter p = pipe.make(Verbosity::Verbose, false);
    pipe.now = 10 * kProgressDelayMs;
    p.Progress(40);
    EXPECT_EQ(pipe.out, "");
}

TEST(ProgressBar, Rendering) {
    EXPECT_EQ(RenderProgressBar(0, 10), "[          ]   0%");
    EXPECT_EQ(RenderProgressBar(55, 10), "[#####     ]  55%");
    EXPECT_EQ(RenderProgressBar(100, 10), "[##########] 100%");
    EXPECT_EQ(RenderProgressBar(140, 10), "[##########] 100%");
    EXPECT_EQ(RenderProgressBar(-5, 4), "[    ]   0%");
}

TEST(Reporter, MultiLineRepliesShowOneLineEach) {
    Sink s;
    Reporter r = s.make(Verbosity::Trace, false);
    r.Trace(QVariant(QString("250-localhost\r\n250-AUTH LOGIN\r\n250 HELP\r\n")));
    r.Trace(QVariant(QString("QUIT")));
    EXPECT_EQ(s.out, "250-localhost\n250-AUTH LOGIN\n250 HELP\nQUIT\n");
}

// What a server says reaches the terminal as text, never as commands, and
// never more than kMaxPrintedChars of it.
TEST(Reporter, ServerTextIsShownNotObeyed) {
    Sink s;
    Reporter r = s.make(Verbosity::Trace, false);
    r.Error("550 \x1b]0;owned\x07\x1b[2J\tdone\x7f" + QString(QChar(0x9b)) + "\r\n");
    r.Trace(QVariant(QString("250-a\x01\r\n250 b\r\n")));
    EXPECT_EQ(s.out, "kelmsend: 550 \\x1b]0;owned\\x07\\x1b[2J\tdone\\x7f\\x9b\n"
                     "250-a\\x01\n250 b\n");
    s.out.clear();
    const QString cut = "550 " + QString(64 * 1024, QLatin1Char('x'));
    r.Error(cut);
    EXPECT_EQ(s.out, "kelmsend: " + (cut.left(kMaxPrintedChars - 10) + " [... " +
                                     QString::number(cut.size() - kMaxPrintedChars + 10) +
                                     " more characters]\n")
                                        .toUtf8());
}

// The probe prints what the server sent through the same filter.
TEST(Probe, ReportsTheServersTextMadePrintable) {
    FakeServer server({"S: 220 \x1b]0;owned\x07 ready", "C: EHLO localhost",
                       "S: 250-x.example \x1b[2J", "S: 250 AUTH PLAIN", "C: QUIT", "S: 221 bye"});
    ASSERT_TRUE(server.listening());
    const ParseResult parsed = ParseArguments(
        {"probe", "--server", "127.0.0.1:" + QString::number(server.port()), "--tls", "none"});
    ASSERT_TRUE(parsed.options) << parsed.error.toStdString();
    QStringList printed;
    QString failure;
    EXPECT_EQ(RunProbe(
                  *parsed.options, [&](const QString &line) { printed << line; },
                  [&](const QString &why) { failure = why; }),
              kExitSent)
        << failure.toStdString();
    EXPECT_TRUE(printed.contains("  220 \\x1b]0;owned\\x07 ready"))
        << printed.join("\n").toStdString();
    EXPECT_TRUE(printed.contains("  250-x.example \\x1b[2J"));
    EXPECT_TRUE(server.done());
    EXPECT_EQ(server.errors(), QStringList());
}

} // namespace
