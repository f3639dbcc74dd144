// The component's facade: creation and destruction, the error list, Clear,
// the utility methods, and the sends: the checks that need no server, the
// snapshot of what a send uses, the start of the session's run and, for the
// classic calls, the wait for its end. Property assignments are in
// properties.cpp; the conversation is sendmail::SmtpSession's.
//
// SMTP: RFC 5321. Message format and encodings: see mime/compose.h.
#include "mail/send_mail.h"

#include "dns/mx_query.h"
#include "mail/clock.h"
#include "mail/error_texts.h"
#include "mail/message_source.h"
#include "mail/settings.h"
#include "mail/time_zone.h"
#include "mail/validation.h"
#include "mime/addresses.h"
#include "mime/compose.h"
#include "mime/content_type.h"
#include "mime/encoders.h"
#include "mime/message_text.h"
#include "net/net_utils.h"
#include "net/tls_policy.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QEventLoop>
#include <QIODevice>

#include <algorithm>
#include <exception>
#include <limits>
#include <stdexcept>

namespace {
const QString DefaultXMailer =
    QStringLiteral("Quorvex Emailer version 1.0 (http://www.quorvex.example/emailer/)");

const QString MsgNoRecipient = QStringLiteral("No Recipient E-mail Address Specified");

bool hasLineBreakOrNul(const QString &text) {
    return std::any_of(text.begin(), text.end(), [](QChar c) {
        return c == QLatin1Char('\r') || c == QLatin1Char('\n') || c == QChar(0);
    });
}
} // namespace

clsSendMail::clsSendMail(QObject *parent) : QObject(parent) {
    m_ErrorList.clear();
    using sendmail::SmtpSession;
    m_Session = new SmtpSession(this);
    // Each handler re-emits and touches nothing after that: the owner may
    // delete this instance from its handler.
    connect(m_Session, &SmtpSession::Status, this,
            [this](const QString &text) { emit status(text); });
    connect(m_Session, &SmtpSession::Trace, this,
            [this](const QString &text) { emit DebugPrint(QVariant(text)); });
    connect(m_Session, &SmtpSession::Progress, this,
            [this](int percent) { emit Progress(percent); });
    connect(m_Session, &SmtpSession::RecipientResult, this, &clsSendMail::RecipientResult);
    connect(m_Session, &SmtpSession::Outcome, this, &clsSendMail::onOutcome);
    connect(m_Session, &SmtpSession::TokenRefused, this, [this](const QString &refusal) {
        if (!m_OAuthTokenProvider) {
            m_Session->ProvideToken(QString());
            return;
        }
        // A copy: the provider may replace itself or delete this instance.
        const OAuthTokenProvider provider = m_OAuthTokenProvider;
        provider(refusal);
    });
    connect(m_Session, &SmtpSession::Finished, this, &clsSendMail::onFinished);

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
    // A Send waiting for its run returns without touching this instance.
    for (const auto &wait : std::exchange(m_Waits, {})) {
        wait.second->quit();
    }
    if (!m_Session->IsRunning() && m_Session->IsConnected() && QCoreApplication::instance()) {
        // The session kept by Connect says goodbye (QUIT, up to 2 seconds).
        QEventLoop loop;
        connect(m_Session, &sendmail::SmtpSession::Finished, &loop, &QEventLoop::quit);
        m_Session->Close();
        loop.exec();
    }
    // A run in progress ends with the session: the connection is dropped.
    delete std::exchange(m_Session, nullptr);
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
    m_PartialDelivery = SettingToBool(ReadSetting("PartialDelivery", "0"));
    m_AllowPlaintextAuth = SettingToBool(ReadSetting("AllowPlaintextAuth", "0"));
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

// ---- Sending -------------------------------------------------------------------

namespace {

// Raised while a send is prepared for a failure that ends it; its text
// becomes the explanation.
class SendError : public std::runtime_error {
public:
    explicit SendError(const QString &text) : std::runtime_error(text.toStdString()) {}
};

} // namespace

void clsSendMail::Send() {
    if (m_Busy) {
        // A call from an event handler in the middle of a send or session
        // opening would tear the running conversation apart.
        emit status(QStringLiteral("Send refused: a send is in progress"));
        return;
    }
    if (const quint64 run = startSend(false)) {
        waitForRun(run);
    }
}

void clsSendMail::SendAsync() {
    if (m_Busy) {
        emit status(QStringLiteral("Send refused: a send is in progress"));
        return;
    }
    startSend(true);
}

void clsSendMail::Relay(const QString &Sender, const QStringList &Recipients, QIODevice *Message) {
    if (m_Busy) {
        emit status(QStringLiteral("Relay refused: a send is in progress"));
        return;
    }
    if (const quint64 run = startRelay(Sender, Recipients, Message, nullptr, false)) {
        waitForRun(run);
    }
}

void clsSendMail::Relay(const QString &Sender, const QStringList &Recipients,
                        const QByteArray &Message) {
    QByteArray shared = Message; // a reference to the same bytes, not a copy
    QBuffer buffer(&shared);
    buffer.open(QIODevice::ReadOnly);
    Relay(Sender, Recipients, &buffer);
}

void clsSendMail::RelayAsync(const QString &Sender, const QStringList &Recipients,
                             QIODevice *Message) {
    if (m_Busy) {
        emit status(QStringLiteral("Relay refused: a send is in progress"));
        return;
    }
    startRelay(Sender, Recipients, Message, nullptr, true);
}

void clsSendMail::RelayAsync(const QString &Sender, const QStringList &Recipients,
                             const QByteArray &Message) {
    if (m_Busy) {
        emit status(QStringLiteral("Relay refused: a send is in progress"));
        return;
    }
    startRelay(Sender, Recipients, nullptr, &Message, true);
}

void clsSendMail::ProvideOAuthToken(const QString &Token) {
    if (!m_Session->WaitsForToken()) {
        return;
    }
    if (!Token.isEmpty()) {
        m_OAuthToken = Token;
    }
    m_Session->ProvideToken(Token);
}

void clsSendMail::CancelSend() {
    if (m_Busy) {
        m_Session->Cancel();
    }
}

bool clsSendMail::Connect() {
    if (m_Busy) {
        emit status(QStringLiteral("Connect refused: a send is in progress"));
        return false;
    }
    m_KeepConnection = true;
    if (m_Session->IsConnected()) {
        return true;
    }
    QPointer<clsSendMail> self(this);
    if (!prepareConnection(false)) {
        return false;
    }
    m_Busy = true;
    m_CurrentRun = m_Session->Open(sessionSettings(m_from));
    waitForRun(m_CurrentRun);
    return self && m_Session->IsConnected();
}

void clsSendMail::Disconnect() {
    if (m_Busy) {
        emit status(QStringLiteral("Disconnect refused: a send is in progress"));
        return;
    }
    m_KeepConnection = false;
    m_Busy = true;
    m_CurrentRun = m_Session->Close();
    waitForRun(m_CurrentRun);
}

void clsSendMail::waitForRun(quint64 run) {
    QPointer<clsSendMail> self(this);
    while (m_FinishedRun < run) {
        QEventLoop loop;
        m_Waits.emplace_back(run, &loop);
        loop.exec();
        if (!self) {
            return; // deleted meanwhile; its destructor ended this loop
        }
        std::erase_if(m_Waits, [&loop](const auto &wait) { return wait.second == &loop; });
        if (m_FinishedRun < run) {
            // The loop was ended from outside: the application is quitting.
            // The send is dropped without an outcome.
            if (run == m_CurrentRun) {
                m_Session->Abandon();
                m_Busy = false;
            }
            return;
        }
    }
}

void clsSendMail::onOutcome(const sendmail::SmtpOutcome &outcome) {
    m_LastOutcome = outcome;
    m_Busy = false;
    MailResult = outcome.delivered();
    MailMessage = MailResult ? QStringLiteral("OK") : outcome.explanation;
    if (MailResult) {
        emit SendSuccesful();
    } else {
        emit SendFailed(outcome.explanation);
    }
}

void clsSendMail::onFinished(quint64 run) {
    m_FinishedRun = std::max(m_FinishedRun, run);
    if (run == m_CurrentRun) {
        // A run without an outcome (Connect, Disconnect, a wait limit of 0).
        m_Busy = false;
    }
    for (const auto &wait : m_Waits) {
        if (wait.first <= run) {
            wait.second->quit();
        }
    }
}

void clsSendMail::failEarly(bool async) {
    const QString explanation = m_ErrorList.join(QString());
    m_ErrorList = QStringList();
    MailResult = false;
    MailMessage = explanation;
    m_LastOutcome = {};
    m_LastOutcome.kind = sendmail::SmtpOutcome::Kind::Message;
    m_LastOutcome.explanation = explanation;
    if (async) {
        // Told from the event loop, as every outcome of an asynchronous send.
        QMetaObject::invokeMethod(
            this, [this, explanation] { emit SendFailed(explanation); }, Qt::QueuedConnection);
    } else {
        emit SendFailed(explanation);
    }
}

QStringList clsSendMail::CheckCommandFields(bool envelope) const {
    QStringList problems;
    auto check = [&problems](const QString &field, const QString &value) {
        if (hasLineBreakOrNul(value)) {
            problems << "Line break or NUL character in " + field;
        }
    };
    check(QStringLiteral("from"), m_from);
    check(QStringLiteral("Hallo"), m_Hallo);
    if (m_UseAuthentication || m_UsePopAuthentication) {
        check(QStringLiteral("Username"), m_Username);
        check(QStringLiteral("Password"), m_Password);
    }
    if (envelope) {
        check(QStringLiteral("Recipient"), m_Recipient.join(QString()));
        check(QStringLiteral("CcRecipient"), m_CcRecipient.join(QString()));
        check(QStringLiteral("BccRecipient"), m_BccRecipient.join(QString()));
    }
    return problems;
}

bool clsSendMail::prepareConnection(bool async) {
    // Command texts that would let the caller's data speak the protocol are
    // refused before anything is sent.
    if (const QStringList problems = CheckCommandFields(false); !problems.isEmpty()) {
        for (const QString &problem : problems) {
            AddError(problem);
        }
        failEarly(async);
        return false;
    }
    if (m_SMTPHost.isEmpty()) {
        QPointer<clsSendMail> self(this);
        const QString exchanger = MXQuery(QString());
        if (!self) {
            return false;
        }
        m_SMTPHost = exchanger;
        if (m_SMTPHost.isEmpty()) {
            // Reported at once: left pending, it would fail the next,
            // unrelated send instead of this one.
            AddError(sendmail::MsgSMTPHost);
            failEarly(async);
            return false;
        }
    }
    return true;
}

sendmail::SmtpSettings clsSendMail::sessionSettings(const QString &helloSender) const {
    sendmail::SmtpSettings s;
    s.host = m_SMTPHost;
    s.port = m_SMTPPort;
    s.popBeforeSmtp = m_UsePopAuthentication;
    s.pop3Host = m_POP3Host;
    s.useAuthentication = m_UseAuthentication;
    s.authMechanism = m_AuthMechanism;
    s.username = m_Username;
    s.password = m_Password;
    s.oauthToken = m_OAuthToken;
    s.hallo = m_Hallo;
    s.helloSender = helloSender;
    // EHLO when the message needs an extension (text outside ISO-8859-1, an
    // address outside ASCII).
    s.wantsExtensions = sendmail::NeedsSmtpExtensions(draft(false));
    s.tlsMode = m_TLSMode;
    s.tlsVerify = m_TLSVerify;
    s.tlsCaFile = m_TLSCAFile;
    s.tlsFingerprint = sendmail::ParseFingerprint(m_TLSFingerprint).value_or(QByteArray());
    s.connectRetry = m_ConnectRetry;
    s.connectTimeout = m_ConnectTimeout;
    s.messageTimeout = m_MessageTimeout;
    s.pipelining = m_Pipelining;
    s.partialDelivery = m_PartialDelivery;
    s.allowPlaintextAuth = m_AllowPlaintextAuth;
    s.keepConnection = m_KeepConnection;
    s.renewToken = static_cast<bool>(m_OAuthTokenProvider);
    return s;
}

quint64 clsSendMail::startRun(const QString &helloSender, qint64 totalBytes,
                              std::unique_ptr<sendmail::MessageSource> message, bool async) {
    if (!m_Session->IsConnected()) {
        QPointer<clsSendMail> self(this);
        if (!prepareConnection(async) || !self) {
            return 0;
        }
    }
    sendmail::SmtpSettings settings = sessionSettings(helloSender);
    settings.totalBytes =
        static_cast<int32_t>(std::min<qint64>(totalBytes, std::numeric_limits<int32_t>::max()));
    m_Busy = true;
    m_LastOutcome = {};
    m_CurrentRun = m_Session->Send(settings, std::move(message));
    return m_CurrentRun;
}

quint64 clsSendMail::startSend(bool async) {
    MailResult = false;
    MailMessage.clear();
    const int32_t recipientCount =
        static_cast<int32_t>(m_Recipient.size() + m_CcRecipient.size() + m_BccRecipient.size());

    if (m_from.isEmpty()) {
        AddError(sendmail::MsgFrom);
    }
    if (m_AsHTML && m_EncodeType == 1) {
        AddError(QStringLiteral("Sending HTML requires MIME encoding"));
    }
    if (recipientCount == 0) {
        AddError(MsgNoRecipient);
    }
    if (recipientCount > 100) {
        AddError(QStringLiteral("Too many recipients"));
    }
    // Nothing the caller gave may carry a line break into a command.
    for (const QString &problem : CheckCommandFields(true)) {
        AddError(problem);
    }

    pairDisplayNames();
    if (!m_ErrorList.isEmpty()) {
        failEarly(async);
        return 0;
    }
    try {
        // What the send uses is taken now: later changes of the properties
        // apply to the next send.
        const bool hasEmbedded = linkEmbeddedFiles();
        const int32_t total = EstimateMessageSize();
        QStringList recipients = m_Recipient + m_CcRecipient + m_BccRecipient;
        auto message = std::make_unique<sendmail::ComposedMessage>(
            wireDraft(hasEmbedded), m_Attachment, std::move(recipients), total);
        return startRun(m_from, total, std::move(message), async);
    } catch (const std::exception &e) {
        AddError(QString::fromStdString(e.what()));
        failEarly(async);
        return 0;
    }
}

quint64 clsSendMail::startRelay(const QString &sender, const QStringList &recipients,
                                QIODevice *message, const QByteArray *bytes, bool async) {
    MailResult = false;
    MailMessage.clear();

    const bool check = m_EmailAddressValidation == 1;
    if (sender.isEmpty() || (check && !sendmail::IsValidEmailAddress(sender))) {
        AddError(sendmail::MsgFrom);
    }
    if (recipients.isEmpty()) {
        AddError(MsgNoRecipient);
    }
    if (recipients.size() > 100) {
        AddError(QStringLiteral("Too many recipients"));
    }
    if (check &&
        !std::all_of(recipients.begin(), recipients.end(), sendmail::IsValidEmailAddress)) {
        AddError(sendmail::MsgRecipient);
    }
    // Nothing the caller gave may carry a line break into a command.
    if (hasLineBreakOrNul(sender)) {
        AddError(QStringLiteral("Line break or NUL character in Sender"));
    }
    if (std::any_of(recipients.begin(), recipients.end(), hasLineBreakOrNul)) {
        AddError(QStringLiteral("Line break or NUL character in Recipients"));
    }
    if (!bytes && (!message || !message->isReadable())) {
        AddError(QStringLiteral("The message cannot be read"));
    }
    if (!m_ErrorList.isEmpty()) {
        failEarly(async);
        return 0;
    }

    // 100 percent: the envelope commands and the message as it stands.
    // Without a size (a pipe) there is nothing to count against.
    const qint64 size = bytes ? bytes->size() : message->size() - message->pos();
    qint64 total = 0;
    if (bytes || !message->isSequential()) {
        // "MAIL FROM: <" ">\r\n", "RCPT TO: <" ">\r\n" each, "DATA\r\n", ".\r\n".
        total = 15 + sender.size() + 6 + 3 + std::max<qint64>(0, size);
        for (const QString &address : recipients) {
            total += 13 + address.size();
        }
    }
    std::unique_ptr<sendmail::MessageSource> source =
        bytes ? std::make_unique<sendmail::RelayedMessage>(sender, recipients, *bytes)
              : std::make_unique<sendmail::RelayedMessage>(sender, recipients, message);
    return startRun(sender, total, std::move(source), async);
}

sendmail::MessageDraft clsSendMail::draft(bool hasEmbedded) const {
    sendmail::MessageDraft d;
    d.from = m_from;
    d.fromDisplayName = m_FromDisplayName;
    d.recipients = m_Recipient;
    d.recipientDisplayNames = m_RecipientDisplayName;
    d.ccRecipients = m_CcRecipient;
    d.ccDisplayNames = m_CcDisplayName;
    d.bccRecipients = m_BccRecipient;
    d.replyToAddress = m_ReplyToAddress;
    d.subject = m_Subject;
    d.message = m_Message;
    d.messageIs8Bit = m_MessageIs8Bit;
    d.asHtml = m_AsHTML;
    d.contentBase = m_ContentBase;
    d.priority = m_Priority;
    d.priorityText = m_PriorityText;
    d.receipt = m_Receipt;
    d.xMailer = m_XMailer;
    d.encodeType = m_EncodeType;
    d.attachmentFileNames = m_AttachmentFileName.mid(0, m_AttachmentCount);
    d.attachmentEmbedded = m_AttachmentEmbedded;
    d.hasEmbedded = hasEmbedded;
    d.attachmentTotalSize = m_AttachmentTotalSize;
    d.attachmentNameLength = m_AttachmentNameLength;
    d.timeZoneSuffix = m_TimeZoneSuffix;
    return d;
}

void clsSendMail::pairDisplayNames() {
    if (!m_Recipient.isEmpty()) {
        m_RecipientDisplayName.resize(m_Recipient.size());
    }
    if (!m_CcRecipient.isEmpty()) {
        m_CcDisplayName.resize(m_CcRecipient.size());
    }
}

bool clsSendMail::linkEmbeddedFiles() {
    if (m_AttachmentCount < 1) {
        return false;
    }
    return sendmail::LinkEmbeddedFiles(m_Message, m_AttachmentFileName, m_AttachmentEmbedded,
                                       m_AsHTML);
}

sendmail::MessageDraft clsSendMail::wireDraft(bool hasEmbedded) const {
    sendmail::MessageDraft message = draft(hasEmbedded);
    // On the wire every line break of the body is CRLF. A text outside
    // ISO-8859-1 is encoded whole by the composition, which does that itself.
    if (sendmail::FitsLatin1(m_Message)) {
        message.message = sendmail::ToWireText(m_Message);
    }
    message.now = sendmail::CurrentDateTime();
    return message;
}

sendmail::MessageDraft clsSendMail::ComposeDraft() {
    pairDisplayNames();
    return wireDraft(linkEmbeddedFiles());
}

int32_t clsSendMail::EstimateMessageSize() const {
    const std::optional<qint32> size =
        sendmail::EstimateMessageSize(draft(false), m_UseAuthentication, m_Username, m_Password);
    if (!size) {
        throw SendError(QStringLiteral("Overflow"));
    }
    return *size;
}
