// IPv6 address literals as host texts: which forms count, the brackets and
// the RFC 5321 form written in commands.
#include "net/host_text.h"

#include <gtest/gtest.h>

#include "qt_printers.h"

using namespace sendmail;

TEST(IPv6Literal, AcceptsTheTextualFormsAndNothingElse) {
    const struct {
        const char *text;
        bool valid;
    } cases[] = {
        {"::1", true},           {"2001:db8::25", true}, {"::ffff:192.0.2.1", true},
        {":::1", false},         {"2001:db8::g", false}, {"2001::db8::1", false},
        {"[::1]", false},        {"[::1", false},        {" ::1", false},
        {"fe80::1%eth0", false}, {"192.0.2.1", false},   {"", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(IsIPv6Literal(QString::fromLatin1(c.text)), c.valid) << c.text;
    // inet_pton would stop at the NUL and see "::1".
    EXPECT_FALSE(IsIPv6Literal(QStringLiteral("::1") + QChar(0) + QStringLiteral("x")));
    EXPECT_FALSE(IsIPv6Literal(QStringLiteral("::") + QChar(0x0661))) << "non-ASCII digit";
    // The IPv4 check stays IPv4-only.
    EXPECT_FALSE(IsDottedAddress(QStringLiteral("::ffff:192.0.2.1")));
}

TEST(IPv6Literal, BracketsComeOffOnlyAroundAnAddress) {
    const struct {
        const char *text, *stripped;
        bool form;
        const char *command;
    } cases[] = {
        {"[2001:db8::25]", "2001:db8::25", true, "[IPv6:2001:db8::25]"},
        {"2001:db8::25", "2001:db8::25", true, "[IPv6:2001:db8::25]"},
        {"[::1", "[::1", true, "[::1"},
        {"[mail.example.com]", "[mail.example.com]", true, "[mail.example.com]"},
        {"[IPv6:::1]", "[IPv6:::1]", true, "[IPv6:::1]"},
        {"mail.example.com:25", "mail.example.com:25", true, "mail.example.com:25"},
        {"192.0.2.1", "192.0.2.1", false, "192.0.2.1"},
    };
    for (const auto &c : cases) {
        const QString text = QString::fromLatin1(c.text);
        EXPECT_EQ(StripIPv6Brackets(text), QString::fromLatin1(c.stripped)) << c.text;
        EXPECT_EQ(IsIPv6Form(text), c.form) << c.text;
        EXPECT_EQ(SmtpAddressLiteral(text), QString::fromLatin1(c.command)) << c.text;
    }
}
