// The outbox's pure core: the record format, the policy of an attempt's
// results, the back-off and lifetime, the notice rules, the listings and
// the notice's text.
#include "outbox/listing.h"
#include "outbox/notice.h"
#include "outbox/policy.h"
#include "outbox/record.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

using namespace outbox;

namespace {

const QDateTime kT0 = QDateTime::fromString("2026-12-09T02:00:00Z", Qt::ISODate);

MessageRecord Message(const QStringList &recipients, const QString &sender = "ann@example.org") {
    MessageRecord r;
    r.id = "20261209-020000-abcdef";
    r.sender = sender;
    r.messageId = "<m1@example.org>";
    r.created = r.since = kT0;
    r.size = 120;
    for (const QString &a : recipients) {
        RecipientRecord rcpt;
        rcpt.address = a;
        r.recipients << rcpt;
    }
    return r;
}

QString States(const MessageRecord &r) {
    QStringList s;
    for (const RecipientRecord &rcpt : r.recipients) {
        s << RecipientStateName(rcpt.state);
    }
    return s.join(",");
}

AttemptOutcome Outcome(OutcomeKind kind, bool dot, int code = 0, const QString &reply = {}) {
    return {kind, dot, code, reply};
}

AttemptEffect Attempt(MessageRecord &r, const QList<RecipientReply> &replies,
                      const AttemptOutcome &outcome, const QDateTime &now,
                      const Policy &policy = {}) {
    BeginAttempt(r, now);
    return ApplyOutcome(r, replies, outcome, now, policy);
}

TEST(Record, RoundTripsEveryField) {
    MessageRecord r = Message({"b@example.net", "c d@example.net"});
    r.account = "work 100%41 ü\t<x>";
    r.lastAttempt = kT0.addSecs(10);
    r.nextAttempt = kT0.addSecs(310);
    r.attempts = 3;
    r.uncertain = r.held = r.isNotice = true;
    r.notices = 2;
    r.inFlight = InFlight::FinalDot;
    r.lastError = "451 4.3.0 line one\r\n451 line two";
    r.recipients[0] = {"b@example.net", RecipientState::Failed, 550, "550 5.1.1 no", true, false};
    r.recipients[1].acceptedInFlight = true;
    const ParsedRecord parsed = ParseRecord(EncodeRecord(r));
    ASSERT_TRUE(parsed.ok) << parsed.error.toStdString();
    EXPECT_EQ(parsed.record, r);
}

TEST(Record, DamagedFilesAreRejectedWithAReason) {
    const QByteArray good = EncodeRecord(Message({"b@example.net"}));
    const struct {
        const char *name;
        QByteArray bytes;
        const char *error;
    } rows[] = {
        {"later version", QByteArray(good).replace("kelm-outbox 1", "kelm-outbox 2"), "version"},
        {"other file", "From: x\n\nbody\n", "not an outbox record"},
        {"cut off", good.left(good.size() - 4), "end"},
        {"unknown key", QByteArray(good).replace("held 0\n", "held 0\ncolour red\n"), "notice"},
        {"bad time", QByteArray(good).replace("created 2026", "created x2026"), "time"},
        {"bad state", QByteArray(good).replace("rcpt pending", "rcpt lost"), "rcpt"},
        {"no recipient",
         QByteArray(good).replace(QByteArray("rcpt pending 0 - b@example.net \n"), ""),
         "no recipient"},
        {"empty", "", "not an outbox record"},
        {"binary", QByteArray(300, '\xff'), "not an outbox record"},
    };
    for (const auto &row : rows) {
        const ParsedRecord parsed = ParseRecord(row.bytes);
        EXPECT_FALSE(parsed.ok) << row.name;
        EXPECT_TRUE(parsed.error.contains(row.error))
            << row.name << ": " << parsed.error.toStdString();
    }
}

// One attempt to three recipients: RCPT codes, then the outcome.
TEST(Policy, AnAttemptDecidesEachRecipientByItsReplyAndTheOutcome) {
    const QStringList rcpts{"a@x.org", "b@x.org", "c@x.org"};
    auto replies = [&](int a, int b, int c) {
        return QList<RecipientReply>{{rcpts[0], a, QString("%1 a").arg(a)},
                                     {rcpts[1], b, QString("%1 b").arg(b)},
                                     {rcpts[2], c, QString("%1 c").arg(c)}};
    };
    const struct {
        const char *name;
        QList<RecipientReply> replies;
        AttemptOutcome outcome;
        const char *states;
        MessageState state;
    } rows[] = {
        {"all accepted", replies(250, 250, 250), Outcome(OutcomeKind::Ok, true, 250, "250 ok"),
         "delivered,delivered,delivered", MessageState::Delivered},
        {"one refused, one later", replies(250, 550, 451),
         Outcome(OutcomeKind::Ok, true, 250, "250 ok"), "delivered,failed,deferred",
         MessageState::Deferred},
        {"connection refused",
         {},
         Outcome(OutcomeKind::ConnectionRefused, false),
         "deferred,deferred,deferred",
         MessageState::Deferred},
        {"login 535 is no verdict on recipients",
         {},
         Outcome(OutcomeKind::Login, false, 535, "535 5.7.8 bad credentials"),
         "deferred,deferred,deferred",
         MessageState::Deferred},
        {"token, TLS, DNS alike",
         {},
         Outcome(OutcomeKind::Tls, false, 0, "handshake failed"),
         "deferred,deferred,deferred",
         MessageState::Deferred},
        {"sender refused 550",
         {},
         Outcome(OutcomeKind::Refused, false, 550, "550 5.7.1 not you"),
         "failed,failed,failed",
         MessageState::Failed},
        {"MAIL 451",
         {},
         Outcome(OutcomeKind::Refused, false, 451, "451 busy"),
         "deferred,deferred,deferred",
         MessageState::Deferred},
        {"lost before the dot", replies(250, 250, 550), Outcome(OutcomeKind::ConnectionLost, false),
         "deferred,deferred,failed", MessageState::Deferred},
        {"lost after the dot", replies(250, 250, 550), Outcome(OutcomeKind::ConnectionLost, true),
         "deferred,deferred,failed", MessageState::Uncertain},
        {"timed out after the dot", replies(250, 250, 250), Outcome(OutcomeKind::TimedOut, true),
         "deferred,deferred,deferred", MessageState::Uncertain},
        {"dot refused 554", replies(250, 250, 250),
         Outcome(OutcomeKind::Refused, true, 554, "554 no"), "failed,failed,failed",
         MessageState::Failed},
        {"dot deferred 452", replies(250, 451, 250),
         Outcome(OutcomeKind::Refused, true, 452, "452 full"), "deferred,deferred,deferred",
         MessageState::Deferred},
        {"a reply the driver left out stays due", replies(250, 250, 250).mid(0, 2),
         Outcome(OutcomeKind::Ok, true, 250, "250 ok"), "delivered,delivered,deferred",
         MessageState::Deferred},
    };
    for (const auto &row : rows) {
        MessageRecord r = Message(rcpts);
        const AttemptEffect effect = Attempt(r, row.replies, row.outcome, kT0.addSecs(60));
        EXPECT_EQ(States(r).toStdString(), row.states) << row.name;
        EXPECT_EQ(StateOf(r), row.state) << row.name;
        EXPECT_EQ(r.inFlight, InFlight::None) << row.name;
        EXPECT_EQ(effect.finished, row.state == MessageState::Delivered) << row.name;
        const bool due =
            row.state == MessageState::Deferred || row.state == MessageState::Uncertain;
        EXPECT_EQ(r.nextAttempt, due ? kT0.addSecs(60 + 300) : QDateTime()) << row.name;
        EXPECT_EQ(r.lastError.isEmpty(), row.state == MessageState::Delivered) << row.name;
    }
}

TEST(Policy, DeliveredRecipientsAreNeverSentAgain) {
    MessageRecord r = Message({"a@x.org", "b@x.org"});
    Attempt(r, {{"a@x.org", 250, "250"}, {"b@x.org", 451, "451 later"}},
            Outcome(OutcomeKind::Ok, true, 250, "250 first"), kT0);
    EXPECT_EQ(DueRecipients(r), QStringList{"b@x.org"});
    // Even a driver that reports the delivered one again does not change it.
    Attempt(r, {{"a@x.org", 550, "550"}, {"b@x.org", 250, "250"}},
            Outcome(OutcomeKind::Ok, true, 250, "250 second"), kT0.addSecs(400));
    EXPECT_EQ(r.recipients[0].reply, "250 first");
    EXPECT_EQ(StateOf(r), MessageState::Delivered);
}

TEST(Policy, BackoffDoublesUpToItsBoundAndTheLifetimeEndsIt) {
    Policy policy;
    QList<qint64> minutes;
    for (int n = 1; n <= 7; ++n) {
        minutes << Backoff(policy, n).count() / 60;
    }
    EXPECT_EQ(minutes, (QList<qint64>{5, 10, 20, 40, 60, 60, 60}));
    ASSERT_TRUE(ParseBackoff("1m,4m", policy));
    EXPECT_EQ(Backoff(policy, 1).count(), 60);
    EXPECT_EQ(Backoff(policy, 5).count(), 240);
    for (const char *bad : {"", "5x", "10m,1m", "1m,2m,3m", "0"}) {
        EXPECT_FALSE(ParseBackoff(bad, policy)) << bad;
    }

    MessageRecord r = Message({"a@x.org"});
    QDateTime now = kT0;
    int attempts = 0;
    while (StateOf(r) != MessageState::Failed && attempts < 200) {
        Attempt(r, {{"a@x.org", 451, "451 4.7.1 greylisted"}}, Outcome(OutcomeKind::Ok, true), now);
        ASSERT_TRUE(r.nextAttempt.isValid() || StateOf(r) == MessageState::Failed);
        // The last try falls on the end of the lifetime, never after it.
        EXPECT_LE(r.nextAttempt, kT0.addDays(5));
        now = r.nextAttempt.isValid() ? r.nextAttempt : now;
        ++attempts;
    }
    EXPECT_EQ(r.recipients[0].reply, "gave up after 5 days: 451 4.7.1 greylisted");
    EXPECT_EQ(now, kT0.addDays(5));
    EXPECT_EQ(attempts, 5 + 119); // 5+10+20+40 minutes, then hourly to 120 h, and the last
}

TEST(Policy, UncertainWaitsForARetryWhenHeldAndIsDueOtherwise) {
    for (const bool hold : {false, true}) {
        Policy policy;
        policy.holdUncertain = hold;
        MessageRecord r = Message({"a@x.org"});
        Attempt(r, {{"a@x.org", 250, "250"}}, Outcome(OutcomeKind::TimedOut, true), kT0, policy);
        EXPECT_EQ(StateOf(r), MessageState::Uncertain);
        EXPECT_EQ(IsDue(r, kT0.addDays(1)), !hold) << hold;
        EXPECT_EQ(IsFlushable(r), !hold) << hold;
        EXPECT_EQ(NextAttempt(r).has_value(), !hold);
        ASSERT_TRUE(Retry(r, kT0.addSecs(10)));
        EXPECT_TRUE(IsDue(r, kT0.addSecs(10)));
        EXPECT_EQ(StateOf(r), MessageState::Deferred);
    }
    MessageRecord queued = Message({"a@x.org"});
    EXPECT_FALSE(Retry(queued, kT0)) << "nothing to retry";
}

TEST(Policy, AKilledAttemptIsRecoveredByWhereItStopped) {
    MessageRecord r = Message({"a@x.org", "b@x.org"});
    BeginAttempt(r, kT0);
    const MessageRecord sending = r;
    RecoverInterrupted(r, kT0.addSecs(5), {});
    EXPECT_EQ(StateOf(r), MessageState::Queued);
    EXPECT_EQ(States(r), "pending,pending");
    EXPECT_TRUE(IsDue(r, kT0.addSecs(5)));

    r = sending;
    MarkFinalDotAhead(r, {{"a@x.org", 250, "250"}, {"b@x.org", 550, "550 no"}});
    const MessageRecord onDisk = ParseRecord(EncodeRecord(r)).record;
    r = onDisk;
    const AttemptEffect effect = RecoverInterrupted(r, kT0.addSecs(5), {});
    EXPECT_EQ(StateOf(r), MessageState::Uncertain);
    EXPECT_EQ(States(r), "deferred,failed");
    EXPECT_EQ(effect.uncertain, QStringList{"a@x.org"});
}

TEST(Policy, NoticesAreDueOnceAndNeverForNullSendersNoticesOrRefusalsTheCallerSaw) {
    auto failedOne = [](const QString &sender) {
        MessageRecord r = Message({"a@x.org", "b@x.org"}, sender);
        Attempt(r, {{"a@x.org", 250, "250"}, {"b@x.org", 550, "550 5.1.1 no"}},
                Outcome(OutcomeKind::Ok, true, 250, "250"), kT0);
        return r;
    };
    MessageRecord r = failedOne("ann@example.org");
    EXPECT_EQ(NoticeDue(r, {}, false), QStringList{"b@x.org"});
    MarkNotified(r, {"b@x.org"});
    EXPECT_TRUE(NoticeDue(r, {}, false).isEmpty()) << "once";

    MessageRecord null = failedOne("");
    EXPECT_TRUE(NoticeDue(null, {}, false).isEmpty());
    MessageRecord notice = failedOne("ann@example.org");
    notice.isNotice = true;
    EXPECT_TRUE(NoticeDue(notice, {}, false).isEmpty());
    MessageRecord off = failedOne("ann@example.org");
    Policy quiet;
    quiet.notify = false;
    EXPECT_TRUE(NoticeDue(off, quiet, false).isEmpty());
    MessageRecord told = failedOne("ann@example.org");
    EXPECT_TRUE(NoticeDue(told, {}, true).isEmpty());
    // What was not reported is not reported later either.
    EXPECT_TRUE(told.recipients[1].notified);
}

TEST(Listing, ALineAndJsonNameEveryRecipientAndTheNextTry) {
    MessageRecord r = Message({"a@x.org", "b@x.org"});
    Attempt(r, {{"a@x.org", 250, "250"}, {"b@x.org", 451, "451 4.3.0 try\r\nlater"}},
            Outcome(OutcomeKind::Ok, true, 250, "250 2.0.0 ok"), kT0.addSecs(30));
    const QueueEntry entry{r.id, false, {}, r};
    const QueueEntry damaged{"20261209-010000-000001", true, "unknown format version \"2\"", {}};
    const QDateTime now = kT0.addSecs(2 * 3600 + 5);

    EXPECT_EQ(ListLine(entry, now),
              "20261209-020000-abcdef  2h  120  ann@example.org  deferred  next "
              "2026-12-09T02:05:30Z  a@x.org delivered \"250 2.0.0 ok\"; b@x.org deferred \"451 "
              "4.3.0 try  later\"");
    EXPECT_EQ(ListLine(damaged, now),
              "20261209-010000-000001  damaged: unknown format version \"2\"");

    const QJsonArray array = QJsonDocument::fromJson(ListJson({entry, damaged}, now)).array();
    ASSERT_EQ(array.size(), 2);
    const QJsonObject o = array[0].toObject();
    EXPECT_EQ(o["state"].toString(), "deferred");
    EXPECT_EQ(o["sender"].toString(), "ann@example.org");
    EXPECT_EQ(o["attempts"].toInt(), 1);
    EXPECT_EQ(o["next_attempt"].toString(), "2026-12-09T02:05:30Z");
    EXPECT_EQ(o["last_error"].toString(), "451 4.3.0 try\r\nlater");
    const QJsonArray rcpts = o["recipients"].toArray();
    ASSERT_EQ(rcpts.size(), 2);
    EXPECT_EQ(rcpts[1].toObject()["address"].toString(), "b@x.org");
    EXPECT_EQ(rcpts[1].toObject()["state"].toString(), "deferred");
    EXPECT_EQ(rcpts[0].toObject()["reply"].toString(), "250 2.0.0 ok");
    EXPECT_EQ(array[1].toObject()["state"].toString(), "damaged");

    MessageRecord failed = Message({"a@x.org"}, "");
    Attempt(failed, {{"a@x.org", 550, "550"}}, Outcome(OutcomeKind::Ok, true), kT0);
    const QJsonObject f = QJsonDocument::fromJson(ListJson({{failed.id, false, {}, failed}}, now))
                              .array()[0]
                              .toObject();
    EXPECT_TRUE(f["next_attempt"].isNull());
    EXPECT_EQ(f["state"].toString(), "failed");
    EXPECT_TRUE(ListLine({failed.id, false, {}, failed}, now).contains("  <>  failed  next -"));
}

TEST(Notice, IsAMultipartReportWithTheFailedRecipientsAndTheOriginalHeaders) {
    MessageRecord r = Message({"a@x.org", "b@x.org", "c@x.org"});
    Attempt(r,
            {{"a@x.org", 250, "250"},
             {"b@x.org", 550, "550 5.1.1 <b@x.org>: no such user"},
             {"c@x.org", 451, "451 later"}},
            Outcome(OutcomeKind::Ok, true, 250, "250"), kT0);
    r.recipients[2].state = RecipientState::Failed;
    r.recipients[2].reply = "gave up after 5 days: 451 later";
    const QByteArray notice =
        ComposeNotice(r, "Subject: hello\nTo: a@x.org, b@x.org\n", {"b@x.org", "c@x.org"},
                      {"me@example.org", "host.example.org", kT0});

    const qsizetype b = notice.indexOf("boundary=\"") + 10;
    const QByteArray boundary = "--" + notice.mid(b, notice.indexOf('"', b) - b);
    EXPECT_TRUE(notice.startsWith("From: Mail Delivery System <me@example.org>\r\nTo: "
                                  "<ann@example.org>\r\n"));
    EXPECT_TRUE(notice.contains("Auto-Submitted: auto-replied\r\n"));
    EXPECT_TRUE(notice.contains("Content-Type: multipart/report; report-type=delivery-status;"));
    EXPECT_EQ(notice.count(boundary + "\r\n"), 3);
    EXPECT_TRUE(notice.endsWith(boundary + "--\r\n"));
    const QByteArray status = notice.mid(notice.indexOf("Content-Type: message/delivery-status"));
    EXPECT_TRUE(status.contains("Reporting-MTA: dns; host.example.org\r\n"));
    EXPECT_TRUE(
        status.contains("Final-Recipient: rfc822; b@x.org\r\nAction: failed\r\nStatus: "
                        "5.1.1\r\nDiagnostic-Code: smtp; 550 5.1.1 <b@x.org>: no such user"));
    EXPECT_TRUE(
        status.contains("Final-Recipient: rfc822; c@x.org\r\nAction: failed\r\nStatus: 4.4.7"));
    EXPECT_FALSE(status.contains("Final-Recipient: rfc822; a@x.org"));
    EXPECT_TRUE(notice.contains("Content-Type: text/rfc822-headers\r\nContent-Transfer-Encoding: "
                                "7bit\r\n\r\nSubject: hello\r\nTo: a@x.org, b@x.org\r\n"));
    EXPECT_EQ(notice.count('\n'), notice.count("\r\n")) << "CRLF only";
}

} // namespace
