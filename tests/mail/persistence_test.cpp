// Connection settings that the component remembers per user, seen through
// new instances and the store's file.
#include "mail/send_mail.h"
#include "mail/settings.h"

#include "qt_printers.h"

#include <QFile>
#include <QSettings>
#include <gtest/gtest.h>

namespace {

QByteArray storeText() {
    QFile f(sendmail::SettingsFileName());
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

class Persistence : public ::testing::Test {
protected:
    void SetUp() override {
        // Each case starts from an empty store.
        QSettings(sendmail::SettingsFileName(), QSettings::IniFormat).clear();
    }
};

} // namespace

TEST_F(Persistence, EmptyStoreMeansDefaultsAndNothingWritten) {
    clsSendMail m;
    EXPECT_FALSE(m.PersistentSettings());
    m.setSMTPPort(2525);
    m.setUsername("someone");
    m.setConnectRetry(7);
    EXPECT_FALSE(storeText().contains("RemotePort"));
    EXPECT_FALSE(storeText().contains("Username"));
    clsSendMail next;
    EXPECT_EQ(next.SMTPPort(), 25);
    EXPECT_EQ(next.Username(), "");
    EXPECT_EQ(next.ConnectRetry(), 4);
}

TEST_F(Persistence, AssignmentsAfterSwitchingOnReachTheNextInstance) {
    {
        clsSendMail m;
        m.setSMTPHostValidation(1);
        m.setSMTPHost("early.example.com"); // before the switch: not stored
        m.setPersistentSettings(true);
        m.setSMTPHostValidation(1);
        m.setSMTPHost("mail.example.com");
        m.setSMTPPort(2525);
        m.setSMTPPort(70000);  // rejected: the stored port stays
        m.setConnectRetry(50); // not applied, but stored
        m.setFrom(" me@example.com ");
        m.setMessageTimeout(-90);
        m.setUseAuthentication(true);
        EXPECT_EQ(m.ConnectRetry(), 4);
        EXPECT_EQ(m.from(), "me@example.com");
        EXPECT_EQ(m.MessageTimeout(), 90);
    }
    const QByteArray text = storeText();
    EXPECT_TRUE(text.contains("[Settings]")) << text.constData();
    EXPECT_TRUE(text.contains("PersistentSettings=-1")) << text.constData();
    EXPECT_TRUE(text.contains("RemotePort=\" 2525\"")) << text.constData();
    EXPECT_TRUE(text.contains("ConnectRetry=\" 50\"")) << text.constData();
    EXPECT_TRUE(text.contains("MessageTimeout=-90")) << text.constData();
    EXPECT_TRUE(text.contains("UseAuthentication=-1")) << text.constData();
    EXPECT_FALSE(text.contains("early.example.com"));

    clsSendMail next;
    EXPECT_TRUE(next.PersistentSettings());
    EXPECT_EQ(next.SMTPHostValidation(), 1);
    EXPECT_EQ(next.SMTPHost(), "mail.example.com");
    EXPECT_EQ(next.SMTPPort(), 2525);
    EXPECT_EQ(next.ConnectRetry(), 50) << "stored numbers are not range-checked";
    EXPECT_EQ(next.from(), " me@example.com ") << "the store holds the text as assigned";
    EXPECT_EQ(next.MessageTimeout(), -90);
    EXPECT_TRUE(next.UseAuthentication());
    EXPECT_FALSE(next.UsePopAuthentication()) << "an absent key reads as false";
    EXPECT_TRUE(next.ErrorList().isEmpty());
}

TEST_F(Persistence, TlsAndMechanismAreStoredButTheTokenNever) {
    {
        clsSendMail m;
        m.setPersistentSettings(true);
        m.setTLSMode(2);
        m.setTLSVerify(false);
        m.setTLSCAFile("/etc/ssl/company.pem");
        m.setTLSFingerprint(QString("ab").repeated(32));
        m.setAuthMechanism("AUTO");
        m.setOAuthToken("secret-token");
        m.setPipelining(true);
        m.setPartialDelivery(true);
    }
    const QByteArray text = storeText();
    EXPECT_TRUE(text.contains("TLSMode=\" 2\"")) << text.constData();
    EXPECT_TRUE(text.contains("TLSVerify=0")) << text.constData();
    EXPECT_TRUE(text.contains("AuthMechanism=AUTO")) << text.constData();
    EXPECT_TRUE(text.contains("Pipelining=-1")) << text.constData();
    EXPECT_TRUE(text.contains("PartialDelivery=-1")) << text.constData();
    EXPECT_FALSE(text.contains("secret-token"));
    clsSendMail next;
    EXPECT_EQ(next.TLSMode(), 2);
    EXPECT_FALSE(next.TLSVerify());
    EXPECT_EQ(next.TLSCAFile(), "/etc/ssl/company.pem");
    EXPECT_EQ(next.TLSFingerprint(), QString("ab").repeated(32));
    EXPECT_EQ(next.AuthMechanism(), "AUTO");
    EXPECT_EQ(next.OAuthToken(), "");
    EXPECT_TRUE(next.Pipelining());
    EXPECT_TRUE(next.PartialDelivery());
}

TEST_F(Persistence, SwitchingOffIsRememberedAndTheOtherKeysAreIgnored) {
    {
        clsSendMail m;
        m.setPersistentSettings(true);
        m.setSMTPPort(2525);
        m.setPersistentSettings(false);
        m.setSMTPPort(2626); // persistence off: not written
    }
    EXPECT_TRUE(storeText().contains("PersistentSettings=0"));
    EXPECT_TRUE(storeText().contains("RemotePort=\" 2525\""));
    clsSendMail next;
    EXPECT_FALSE(next.PersistentSettings());
    EXPECT_EQ(next.SMTPPort(), 25);
}

TEST_F(Persistence, StoredHostIsTakenWithoutACheck) {
    {
        QSettings s(sendmail::SettingsFileName(), QSettings::IniFormat);
        s.beginGroup("Settings");
        s.setValue("PersistentSettings", "-1");
        s.setValue("RemoteHost", "mailhost");
        s.setValue("SMTPHostValidation", " 1");
    }
    clsSendMail m;
    EXPECT_EQ(m.SMTPHost(), "mailhost");
    EXPECT_EQ(m.SMTPHostValidation(), 1);
    EXPECT_TRUE(m.ErrorList().isEmpty());
}
