// Creation, destruction, the error list, Clear and the utility methods of
// clsSendMail. Property assignments are in properties.cpp.
#include "mail/send_mail.h"

#include "sasl/sasl_client.h"

#include "dns/mx_query.h"
#include "mail/settings.h"
#include "mail/time_zone.h"
#include "mail/validation.h"
#include "mime/content_type.h"
#include "mime/encoders.h"
#include "net/net_utils.h"
#include "net/socket.h"
#include "net/tls_policy.h"

#include <sys/eventfd.h>
#include <unistd.h>

namespace {
const QString DefaultXMailer =
    QStringLiteral("Quorvex Emailer version 1.0 (http://www.quorvex.example/emailer/)");
} // namespace

clsSendMail::clsSendMail(QObject *parent) : QObject(parent) {
    m_ErrorList.clear();
    sckMail = frmSck::instance().NewSocket();
    connect(sckMail, &WinSck::ConnectEvent, this, &clsSendMail::sckMail_Connect);
    connect(sckMail, &WinSck::CloseEvent, this, &clsSendMail::sckMail_Close);
    connect(sckMail, &WinSck::DataArrival, this, &clsSendMail::sckMail_DataArrival);
    connect(sckMail, &WinSck::Error, this, &clsSendMail::sckMail_Error);
    connect(sckMail, &WinSck::SendProgress, this, &clsSendMail::sckMail_SendProgress);
    connect(sckMail, &WinSck::TlsReady, this, &clsSendMail::sckMail_TlsReady);
    connect(sckMail, &WinSck::TlsFailed, this, &clsSendMail::sckMail_TlsFailed);
    m_WakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);

    m_PersistentSettings = sendmail::SettingToInt(sendmail::ReadSetting("PersistentSettings", "0"));
    if (m_PersistentSettings != 0) {
        readPersistedSettings();
    } else {
        m_EncodeType = 0;
        m_AsHTML = false;
        m_SMTPPort = 25;
        m_SMTPHostValidation = 3;
        m_EmailAddressValidation = 1;
        m_ConnectTimeout = 30;
        m_MessageTimeout = 60;
        m_ConnectRetry = 4;
    }

    m_TimeZoneSuffix = sendmail::TimeZoneSuffixFromBias(sendmail::LocalBiasMinutes());

    m_Recipient.clear();
    m_RecipientDisplayName.clear();
    m_CcRecipient.clear();
    m_CcDisplayName.clear();
    m_BccRecipient.clear();
    m_Attachment.clear();
    m_Delimiter = QStringLiteral(";");
    m_Priority = 3;
    m_XMailer = DefaultXMailer;
    m_Hallo.clear();

    m_DayNames = QStringLiteral(",Sun,Mon,Tue,Wed,Thu,Fri,Sat").split(QLatin1Char(','));
    m_MonthNames =
        QStringLiteral(",Jan,Feb,Mar,Apr,May,Jun,Jul,Aug,Sep,Oct,Nov,Dec").split(QLatin1Char(','));
}

clsSendMail::~clsSendMail() {
    // The host form deletes its sockets when the application ends; an
    // instance that outlives the application finds its socket gone.
    if (sckMail && sckMail->State() != WinSck::sckClosed) {
        CloseConnection();
    }
    delete sckMail.data();
    if (m_WakeFd >= 0) {
        ::close(m_WakeFd);
    }
}

// Values from the store go straight into the properties: no range, address
// or host check, and no error-list change.
void clsSendMail::readPersistedSettings() {
    using sendmail::ReadSetting;
    using sendmail::SettingToBool;
    using sendmail::SettingToInt;
    m_from = ReadSetting("From", "");
    m_FromDisplayName = ReadSetting("FromDisplayName", "");
    m_POP3Host = ReadSetting("Pop3Host", "");
    m_SMTPHost = ReadSetting("RemoteHost", "");
    m_SMTPPort = SettingToInt(ReadSetting("RemotePort", "25"));
    m_SMTPHostValidation = SettingToInt(ReadSetting("SMTPHostValidation", "3"));
    m_EmailAddressValidation = SettingToInt(ReadSetting("EmailValidation", "1"));
    m_ConnectTimeout = SettingToInt(ReadSetting("ConnectTimeout", "30"));
    m_MessageTimeout = SettingToInt(ReadSetting("MessageTimeout", "60"));
    m_ConnectRetry = SettingToInt(ReadSetting("ConnectRetry", "4"));
    m_EncodeType = SettingToInt(ReadSetting("EncodeType", "0"));
    m_Username = ReadSetting("Username", "");
    m_UseAuthentication = SettingToBool(ReadSetting("UseAuthentication", "0"));
    m_UsePopAuthentication = SettingToBool(ReadSetting("UsePopAuthentication", "0"));
    const int32_t mode = SettingToInt(ReadSetting("TLSMode", "0"));
    m_TLSMode = mode >= 0 && mode <= 3 ? mode : 0;
    m_TLSVerify = SettingToBool(ReadSetting("TLSVerify", "-1"));
    m_TLSCAFile = ReadSetting("TLSCAFile", "");
    const QString fingerprint = ReadSetting("TLSFingerprint", "");
    if (fingerprint.isEmpty() || sendmail::ParseFingerprint(fingerprint))
        m_TLSFingerprint = fingerprint;
    m_AuthMechanism = ReadSetting("AuthMechanism", "");
    m_Pipelining = SettingToBool(ReadSetting("Pipelining", "0"));
}

void clsSendMail::writeSetting(const QString &key, const QString &value) {
    sendmail::WriteSetting(m_PersistentSettings != 0, key, value);
}

void clsSendMail::AddError(const QString &message) {
    if (!m_ErrorList.contains(message)) {
        m_ErrorList.append(message);
    }
}

void clsSendMail::RemoveError(const QString &message) {
    for (qsizetype i = 0; i < m_ErrorList.size(); ++i) {
        if (m_ErrorList[i].compare(message, Qt::CaseInsensitive) == 0) {
            m_ErrorList.removeAt(i);
            return;
        }
    }
}

bool clsSendMail::Clear() {
    m_Attachment.clear();
    m_AttachmentFileName.clear();
    m_BccRecipient.clear();
    m_CcRecipient.clear();
    m_CcDisplayName.clear();
    m_Recipient.clear();
    m_RecipientDisplayName.clear();
    m_from.clear();
    m_FromDisplayName.clear();
    m_Message.clear();
    m_ReplyToAddress.clear();
    m_Subject.clear();
    m_AttachmentCount = 0;
    m_AttachmentTotalSize = 0;
    m_AttachmentNameLength = 0;
    m_Priority = 3;
    m_Delimiter = QStringLiteral(";");
    return false;
}

QString clsSendMail::GetIPAddress(QString &sHostName) {
    return sendmail::GetIPAddress(sHostName);
}

QString clsSendMail::GetIPAddress(const QString &sHostName) {
    QString name = sHostName;
    return sendmail::GetIPAddress(name);
}

QString clsSendMail::GetIPHost() {
    return sendmail::GetIPHost();
}

bool clsSendMail::IsValidEmailAddress(const QString &AddressString) {
    return sendmail::IsValidEmailAddress(AddressString);
}

bool clsSendMail::Ping(QString &Address, QString &RoundTripTime, QString &DataSize,
                       bool &DataMatch) {
    return sendmail::Ping(Address, RoundTripTime, DataSize, DataMatch);
}

bool clsSendMail::Ping(QString &Address, QString &RoundTripTime, QString &DataSize) {
    bool DataMatch = false;
    return Ping(Address, RoundTripTime, DataSize, DataMatch);
}

bool clsSendMail::Ping(QString &Address, QString &RoundTripTime) {
    QString DataSize;
    return Ping(Address, RoundTripTime, DataSize);
}

bool clsSendMail::Ping(QString &Address) {
    QString RoundTripTime;
    return Ping(Address, RoundTripTime);
}

void clsSendMail::Shutdown() {}

QString clsSendMail::GetContentType(const QString &strFile, const QString &strDefault) {
    return sendmail::GetContentType(strFile, strDefault);
}

QString clsSendMail::DecodeBase64String(const QString &str2Decode) {
    return sendmail::DecodeBase64String(str2Decode);
}

QString clsSendMail::MXQuery(const QString &IPDomain) {
    // The resolver starts and stops the component's socket library, so the
    // pairing holds for the MX exchange as for every other network call.
    static const bool hooked = [] {
        modMXQuery::SetSocketLibraryHooks(
            {sendmail::StartSocketLibrary, sendmail::StopSocketLibrary});
        return true;
    }();
    Q_UNUSED(hooked);
    return modMXQuery::MXQuery(IPDomain, [this](const QString &text) { emit status(text); });
}
