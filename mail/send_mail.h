// clsSendMail: an e-mail sender component for Qt programs.
//
// The owner creates an instance on the thread that owns its user interface,
// assigns properties, calls Send (or the utility methods) and listens to the
// five signals. Property assignments never fail: a bad address, host or port
// is recorded as a fixed text in the instance's error list and reported as
// one SendFailed when the owner sends. While Send, Relay, Connect and
// Disconnect wait for a server they dispatch the thread's Qt events, so the
// owner's handlers (and its user interface) run in the middle of them.
// SendAsync and RelayAsync start a send and return: its events then come from
// the owner's own event loop (see "Sending without blocking" in the README).
// The conversation itself is sendmail::SmtpSession's (mail/smtp_session.h).
//
// List properties (Recipient, RecipientDisplayName, CcRecipient,
// CcDisplayName, BccRecipient, Attachment) are exchanged as one text whose
// entries are separated by Delimiter (default ";").
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>

#include <cstdint>
#include <functional>

#include "mail/smtp_session.h"

#include <utility>
#include <vector>

class QEventLoop;
class QIODevice;
namespace sendmail {
struct MessageDraft;
class MessageSource;
} // namespace sendmail

class clsSendMail : public QObject {
    Q_OBJECT
    // Properties in interface order.
    Q_PROPERTY(bool AsHTML READ AsHTML WRITE setAsHTML)
    Q_PROPERTY(QString Attachment READ Attachment WRITE setAttachment)
    Q_PROPERTY(QString BccRecipient READ BccRecipient WRITE setBccRecipient)
    Q_PROPERTY(QString CcDisplayName READ CcDisplayName WRITE setCcDisplayName)
    Q_PROPERTY(QString CcRecipient READ CcRecipient WRITE setCcRecipient)
    Q_PROPERTY(int32_t ConnectRetry READ ConnectRetry WRITE setConnectRetry)
    Q_PROPERTY(int32_t ConnectTimeout READ ConnectTimeout WRITE setConnectTimeout)
    Q_PROPERTY(QString ContentBase READ ContentBase WRITE setContentBase)
    Q_PROPERTY(QString Delimiter READ Delimiter WRITE setDelimiter)
    Q_PROPERTY(
        int32_t EmailAddressValidation READ EmailAddressValidation WRITE setEmailAddressValidation)
    Q_PROPERTY(int32_t EncodeType READ EncodeType WRITE setEncodeType)
    Q_PROPERTY(QString from READ from WRITE setFrom)
    Q_PROPERTY(QString FromDisplayName READ FromDisplayName WRITE setFromDisplayName)
    Q_PROPERTY(QString Message READ Message WRITE setMessage)
    Q_PROPERTY(int32_t MessageTimeout READ MessageTimeout WRITE setMessageTimeout)
    Q_PROPERTY(QString Password READ Password WRITE setPassword)
    Q_PROPERTY(bool PersistentSettings READ PersistentSettings WRITE setPersistentSettings)
    Q_PROPERTY(int32_t Priority READ Priority WRITE setPriority)
    Q_PROPERTY(QString XMailer READ XMailer WRITE setXMailer)
    Q_PROPERTY(QString Hallo READ Hallo WRITE setHallo)
    Q_PROPERTY(bool Receipt READ Receipt WRITE setReceipt)
    Q_PROPERTY(QString Recipient READ Recipient WRITE setRecipient)
    Q_PROPERTY(QString RecipientDisplayName READ RecipientDisplayName WRITE setRecipientDisplayName)
    Q_PROPERTY(QString ReplyToAddress READ ReplyToAddress WRITE setReplyToAddress)
    Q_PROPERTY(QString POP3Host READ POP3Host WRITE setPOP3Host)
    Q_PROPERTY(QString SMTPHost READ SMTPHost WRITE setSMTPHost)
    Q_PROPERTY(int32_t SMTPHostValidation READ SMTPHostValidation WRITE setSMTPHostValidation)
    Q_PROPERTY(int32_t SMTPPort READ SMTPPort WRITE setSMTPPort)
    Q_PROPERTY(QString Subject READ Subject WRITE setSubject)
    Q_PROPERTY(bool UseAuthentication READ UseAuthentication WRITE setUseAuthentication)
    Q_PROPERTY(bool UsePopAuthentication READ UsePopAuthentication WRITE setUsePopAuthentication)
    Q_PROPERTY(QString Username READ Username WRITE setUsername)
    // Secure submission; the defaults keep clear-text SMTP and AUTH LOGIN.
    Q_PROPERTY(int32_t TLSMode READ TLSMode WRITE setTLSMode)
    Q_PROPERTY(bool TLSVerify READ TLSVerify WRITE setTLSVerify)
    Q_PROPERTY(QString TLSCAFile READ TLSCAFile WRITE setTLSCAFile)
    Q_PROPERTY(QString TLSFingerprint READ TLSFingerprint WRITE setTLSFingerprint)
    Q_PROPERTY(QString AuthMechanism READ AuthMechanism WRITE setAuthMechanism)
    Q_PROPERTY(QString OAuthToken READ OAuthToken WRITE setOAuthToken)
    Q_PROPERTY(bool Pipelining READ Pipelining WRITE setPipelining)
    Q_PROPERTY(bool PartialDelivery READ PartialDelivery WRITE setPartialDelivery)
    Q_PROPERTY(bool AllowPlaintextAuth READ AllowPlaintextAuth WRITE setAllowPlaintextAuth)

public:
    // Creation reads the per-user settings when persistence is on, builds the
    // fixed tables and creates the instance's session (with its own socket).
    explicit clsSendMail(QObject *parent = nullptr);
    // An open connection that no send is using is closed first (QUIT, up to
    // 2 seconds); a send in progress is dropped without the end of its data.
    ~clsSendMail() override;

    // Outcome of the last Send: false/"" at its start, true/"OK" on success,
    // false and the joined error texts on failure.
    bool MailResult = false;
    QString MailMessage;

    // --- Properties (read never fails; assignment never fails) -------------
    bool AsHTML() const { return m_AsHTML; }
    void setAsHTML(bool NewValue) { m_AsHTML = NewValue; }
    // File paths. A path without a file records "The file you tried to attach
    // does not exist" and stops checking the later paths.
    QString Attachment() const { return joined(m_Attachment); }
    void setAttachment(const QString &NewValue);
    QString BccRecipient() const { return joined(m_BccRecipient); }
    void setBccRecipient(const QString &NewValue);
    QString CcDisplayName() const { return joined(m_CcDisplayName); }
    void setCcDisplayName(const QString &NewValue);
    QString CcRecipient() const { return joined(m_CcRecipient); }
    void setCcRecipient(const QString &NewValue);
    // 1..20; other numbers are ignored (but stored when persistent).
    int32_t ConnectRetry() const { return m_ConnectRetry; }
    void setConnectRetry(int32_t NewValue);
    // Seconds, 1..120; other numbers are ignored (but stored when persistent).
    int32_t ConnectTimeout() const { return m_ConnectTimeout; }
    void setConnectTimeout(int32_t NewValue);
    // Normalised to "http://.../" ("\" becomes "/"); "" stays "".
    QString ContentBase() const { return m_ContentBase; }
    void setContentBase(const QString &NewValue);
    // At most one character: only the first character of the value is kept.
    QString Delimiter() const { return m_Delimiter; }
    void setDelimiter(const QString &NewValue);
    // 1: addresses are checked on assignment; any other number: not checked.
    int32_t EmailAddressValidation() const { return m_EmailAddressValidation; }
    void setEmailAddressValidation(int32_t NewValue);
    // 0: MIME message; 1: plain message with uuencoded attachments.
    int32_t EncodeType() const { return m_EncodeType; }
    void setEncodeType(int32_t NewValue);
    QString from() const { return m_from; }
    void setFrom(const QString &NewValue);
    QString FromDisplayName() const { return m_FromDisplayName; }
    void setFromDisplayName(const QString &NewValue);
    // Held as prepared for transmission: leading dots doubled, lines longer
    // than 998 characters broken. A text with a character outside ISO-8859-1
    // is held as given: it goes out as UTF-8, quoted-printable or Base64,
    // which carries it unchanged.
    QString Message() const { return m_Message; }
    void setMessage(const QString &NewValue);
    // Seconds; a negative number is held as its absolute value.
    int32_t MessageTimeout() const { return m_MessageTimeout; }
    void setMessageTimeout(int32_t NewValue);
    QString Password() const { return m_Password; }
    void setPassword(const QString &NewValue) { m_Password = NewValue; }
    // Whether the connection settings are read at creation and written on
    // every assignment (per user). The switch itself is always stored.
    bool PersistentSettings() const { return m_PersistentSettings != 0; }
    void setPersistentSettings(bool NewValue);
    // 1 High, 3 Normal, 5 Low; other numbers are kept but leave PriorityText.
    int32_t Priority() const { return m_Priority; }
    void setPriority(int32_t NewValue);
    QString XMailer() const { return m_XMailer; }
    void setXMailer(const QString &NewValue) { m_XMailer = NewValue; }
    // Name announced after EHLO/HELO; blank: the domain of `from`.
    QString Hallo() const { return m_Hallo; }
    void setHallo(const QString &NewValue) { m_Hallo = NewValue; }
    bool Receipt() const { return m_Receipt; }
    void setReceipt(bool NewValue) { m_Receipt = NewValue; }
    QString Recipient() const { return joined(m_Recipient); }
    void setRecipient(const QString &NewValue);
    QString RecipientDisplayName() const { return joined(m_RecipientDisplayName); }
    void setRecipientDisplayName(const QString &NewValue);
    QString ReplyToAddress() const { return m_ReplyToAddress; }
    void setReplyToAddress(const QString &NewValue);
    // Hosts are checked at the SMTPHostValidation level; a rejected host
    // keeps the previous value and records a message.
    QString POP3Host() const { return m_POP3Host; }
    void setPOP3Host(const QString &NewValue);
    QString SMTPHost() const { return m_SMTPHost; }
    void setSMTPHost(const QString &NewValue);
    // 1: by name; 2: by ICMP echo; 3: by address look-up; other: no check.
    // Levels 2 and 3 block the caller for the look-up or the echo.
    int32_t SMTPHostValidation() const { return m_SMTPHostValidation; }
    void setSMTPHostValidation(int32_t NewValue);
    // 1..65535; another number keeps the port and records "Invalid Remote Port".
    int32_t SMTPPort() const { return m_SMTPPort; }
    void setSMTPPort(int32_t NewValue);
    QString Subject() const { return m_Subject; }
    void setSubject(const QString &NewValue) { m_Subject = NewValue; }
    bool UseAuthentication() const { return m_UseAuthentication; }
    void setUseAuthentication(bool NewValue);
    bool UsePopAuthentication() const { return m_UsePopAuthentication; }
    void setUsePopAuthentication(bool NewValue);
    QString Username() const { return m_Username; }
    void setUsername(const QString &NewValue);

    // 0 no TLS; 1 STARTTLS when the server offers it; 2 STARTTLS or the
    // send fails before anything else is sent; 3 TLS from the first byte
    // (port 465). Other numbers are ignored (but stored when persistent). A
    // TLS failure never falls back to clear text.
    int32_t TLSMode() const { return m_TLSMode; }
    void setTLSMode(int32_t NewValue);
    // Verify the server's certificate chain (the system's trust store plus
    // TLSCAFile) and its name against the host connected to.
    bool TLSVerify() const { return m_TLSVerify; }
    void setTLSVerify(bool NewValue);
    // A PEM file of further trusted certificates; "" for none.
    QString TLSCAFile() const { return m_TLSCAFile; }
    void setTLSCAFile(const QString &NewValue);
    // The SHA-256 fingerprint of the server's certificate, hex, colons
    // optional, case ignored: a matching certificate is accepted whatever its
    // chain, any other refused. Text that is not such a fingerprint keeps
    // the previous value and records "Invalid TLS Fingerprint".
    QString TLSFingerprint() const { return m_TLSFingerprint; }
    void setTLSFingerprint(const QString &NewValue);
    // "": AUTH LOGIN when UseAuthentication is on; "AUTO": the strongest
    // mechanism the server offers (SCRAM-SHA-256, SCRAM-SHA-1, CRAM-MD5,
    // PLAIN, LOGIN; XOAUTH2 and OAUTHBEARER first when OAuthToken is set;
    // PLAIN, LOGIN and the token mechanisms only over TLS or to a loopback
    // address); a mechanism's name: that one, or the send fails naming it.
    QString AuthMechanism() const { return m_AuthMechanism; }
    void setAuthMechanism(const QString &NewValue);
    // The OAuth 2.0 bearer token for XOAUTH2 and OAUTHBEARER. Never stored.
    QString OAuthToken() const { return m_OAuthToken; }
    void setOAuthToken(const QString &NewValue) { m_OAuthToken = NewValue; }
    // Fewer round trips: the session greets with EHLO, and when the server
    // offers PIPELINING, MAIL FROM, every RCPT TO and DATA go out in one
    // write, and so do the message, its final "." and QUIT (unless Connect
    // keeps the session). The replies are judged in order with the texts,
    // status events and failures of the one-command-at-a-time dialogue; a
    // refused recipient closes the connection before any message text, so
    // nothing is delivered. Off: that dialogue exactly.
    bool Pipelining() const { return m_Pipelining; }
    void setPipelining(bool NewValue);
    // Off: one refused recipient fails the whole send, nothing is delivered.
    // On: the message goes to the recipients the server accepted, and the
    // send succeeds when it takes the message for them; RecipientResult has
    // told which were refused. Only when every one is refused does it fail.
    bool PartialDelivery() const { return m_PartialDelivery; }
    void setPartialDelivery(bool NewValue);
    // A login that would show the password or token to anyone reading the
    // connection (PLAIN, LOGIN, XOAUTH2, OAUTHBEARER, or AUTH LOGIN when
    // TLSMode asked for TLS) on a connection that is neither encrypted nor
    // to a loopback address is refused unless this is true. The classic
    // AUTH LOGIN (AuthMechanism "", TLSMode 0) is not affected.
    bool AllowPlaintextAuth() const { return m_AllowPlaintextAuth; }
    void setAllowPlaintextAuth(bool NewValue);

    // --- Methods in interface order ----------------------------------------
    // Empties the message fields (lists, sender, subject, body, attachments)
    // and keeps the connection settings and the error list. Returns false.
    Q_INVOKABLE bool Clear();
    // Opens a session that later sends reuse, until Disconnect. Returns
    // whether it is open; a failure has been reported through SendFailed
    // (except MessageTimeout/ConnectTimeout of 0, which end waits silently).
    //
    // Send, Connect and Disconnect dispatch events while they wait. A call of
    // any of the three from an event handler while one of them runs is
    // refused and leaves the running session alone: it raises status
    // ("Send refused: a send is in progress", likewise "Connect refused: ..."
    // and "Disconnect refused: ..."), Connect returns false, and no SendFailed
    // or SendSuccesful follows for the refused call.
    Q_INVOKABLE bool Connect();
    // Says QUIT and closes the session opened by Connect.
    Q_INVOKABLE void Disconnect();
    // Content type registered for the file's extension, or strDefault.
    Q_INVOKABLE QString GetContentType(const QString &strFile,
                                       const QString &strDefault = "application/octet-stream");
    // First IPv4 address of the host, or "". The argument comes back as the
    // name looked up: trimmed, or the local host name when it was "".
    Q_INVOKABLE QString GetIPAddress(QString &sHostName);
    QString GetIPAddress(const QString &sHostName);
    // The local host name, or "".
    Q_INVOKABLE QString GetIPHost();
    Q_INVOKABLE bool IsValidEmailAddress(const QString &AddressString);
    // Mail exchanger with the lowest preference for the domain ("" = the
    // machine's own), or "". Raises status with its progress and failures.
    Q_INVOKABLE QString MXQuery(const QString &IPDomain = QString());
    // One ICMP echo (255 ms). Address comes back as the replying address;
    // RoundTripTime ("12"), DataSize ("32 bytes") and DataMatch are outputs.
    Q_INVOKABLE bool Ping(QString &Address, QString &RoundTripTime, QString &DataSize,
                          bool &DataMatch);
    bool Ping(QString &Address, QString &RoundTripTime, QString &DataSize);
    bool Ping(QString &Address, QString &RoundTripTime);
    bool Ping(QString &Address);
    // Sends one message. Returns after exactly one SendSuccesful or
    // SendFailed in the ordinary case (a wait limit of 0 ends it without an
    // outcome); never throws. Opens and closes its own session unless Connect
    // opened one. To send a message composed elsewhere (a complete RFC 5322
    // message with its own headers) over the same session, see Relay below.
    Q_INVOKABLE void Send();
    // The message that Send would transmit after DATA, composed without a
    // server: the same preparation as Send (display-name lists paired with
    // their address lists, HTML references to attached files rewritten to
    // "cid:" references, which the instance keeps, as after a Send), the body
    // in its wire form and the current time. Neither ErrorList nor the
    // conditions Send checks before connecting are looked at. Pass the result
    // to sendmail::ComposeMessage (mail/compose.h); its attachment indexes
    // refer to the entries of Attachment.
    sendmail::MessageDraft ComposeDraft();
    // Does nothing.
    Q_INVOKABLE void Shutdown();
    Q_INVOKABLE QString DecodeBase64String(const QString &str2Decode);
    // Relays a message that the owner has already composed, headers and
    // body, as it is: MAIL FROM Sender, one RCPT TO per entry of Recipients
    // (in order; none of the message's headers is looked at), DATA, then the
    // bytes of Message read to its end. On the way every bare LF or CR
    // becomes CRLF, a line that begins with "." gets a second one, and CRLF
    // is added when the last line has none; nothing else is changed or
    // added. The bytes are read and sent in pieces while the socket drains,
    // so memory does not grow with the size of the message.
    //
    // Otherwise it behaves as Send: the same session (opened and closed
    // here unless Connect opened one; EHLO/HELO names the domain of Sender
    // when Hallo is blank), the same status texts and DebugPrint trace (the
    // data itself is traced once as "<<message>>"), the same outcome
    // (exactly one SendSuccesful or SendFailed, MailResult and MailMessage),
    // the same refusal while a send runs ("Relay refused: a send is in
    // progress"). Progress counts against the device's size when it has one
    // (a file, a buffer); for a pipe it stays at 0 until the final 100.
    //
    // Checked before connecting, each failure reported with the texts of
    // Send: a pending ErrorList; an empty Sender ("Missing or Invalid Sender
    // E-mail Address"); no recipient ("No Recipient E-mail Address
    // Specified"); more than 100 ("Too many recipients"); with
    // EmailAddressValidation 1, an address that IsValidEmailAddress refuses
    // (the sender's or the recipients' text); a line break or NUL in an
    // address ("Line break or NUL character in Sender" / "... in
    // Recipients"); a Message that is null or not open for reading ("The
    // message cannot be read"). A read error on the way fails the send with
    // "Cannot read the message". Message is read from its current position
    // and left open; it must deliver its bytes when read() is called (a
    // file, a buffer, standard input) and return 0 only at its end.
    Q_INVOKABLE void Relay(const QString &Sender, const QStringList &Recipients,
                           QIODevice *Message);
    void Relay(const QString &Sender, const QStringList &Recipients, const QByteArray &Message);

    // Send and Relay without waiting: the checks that need no server are made
    // at once (and a failure among them is reported through SendFailed from
    // the event loop, as every outcome), then the call returns. The send goes
    // on while the owner's event loop runs, with the events of Send; it ends
    // in exactly one SendSuccesful or SendFailed. Nothing dispatches events
    // on the owner's behalf. The device given to RelayAsync must stay open
    // until the outcome. While a send runs, another one is refused as with
    // Send; from the outcome's handler it is accepted. Changes of properties
    // (Clear included) meanwhile apply to the next send.
    Q_INVOKABLE void SendAsync();
    Q_INVOKABLE void RelayAsync(const QString &Sender, const QStringList &Recipients,
                                QIODevice *Message);
    void RelayAsync(const QString &Sender, const QStringList &Recipients,
                    const QByteArray &Message);
    // Ends the send in progress (Send or SendAsync): the connection closes
    // without the end of the data, so nothing is delivered, and one
    // SendFailed("Send cancelled") follows. Nothing when no send runs.
    Q_INVOKABLE void CancelSend();
    // What the last send ended with: its kind of failure, each recipient's
    // reply, whether the server may have the message after all.
    const sendmail::SmtpOutcome &LastOutcome() const { return m_LastOutcome; }

    // Renewing a refused OAuth token. When a provider is set and the server
    // refuses OAuthToken during a login by XOAUTH2 or OAUTHBEARER (its 535,
    // after the JSON challenge that the session has answered), the send
    // does not fail at once: status says "The server refused the access
    // token; asking for a new one...", and the provider is called with the
    // server's refusal (its reply text, no secret in it), from the event
    // loop: the nested one of Send, Relay and Connect, the owner's own for
    // SendAsync and RelayAsync. The provider answers with ProvideOAuthToken,
    // at once from inside the call or later (after a sign-in of its own;
    // the connection waits up to 5 minutes). A token becomes OAuthToken and
    // the session logs in once more with it: on the same connection when
    // the server kept it open, else on a new one. Only one renewal a send:
    // a second refusal, a declined or unanswered request, ends the send as
    // it would have ended without a provider (SendFailed with the server's
    // 535, LastOutcome().tokenRefused true). Without a provider (the
    // default) nothing of this happens. The provider may delete the
    // instance; it must not wait for the answer in a loop of its own when
    // the send was started by SendAsync.
    using OAuthTokenProvider = std::function<void(const QString &Refusal)>;
    void SetOAuthTokenProvider(OAuthTokenProvider Provider) {
        m_OAuthTokenProvider = std::move(Provider);
    }
    // The provider's answer: a fresh token, or "" to decline. Ignored when
    // no send is waiting for one.
    Q_INVOKABLE void ProvideOAuthToken(const QString &Token);

    // --- State that the owner may inspect ----------------------------------
    // Pending error texts in the order they were first added.
    const QStringList &ErrorList() const { return m_ErrorList; }
    // "High", "Normal", "Low", or "" until Priority is first assigned 1, 3 or 5.
    QString PriorityText() const { return m_PriorityText; }
    bool MessageIs8Bit() const { return m_MessageIs8Bit; }
    // Local offset from UTC at creation: a sign and four digits, "+0100".
    QString TimeZoneSuffix() const { return m_TimeZoneSuffix; }
    int32_t AttachmentCount() const { return m_AttachmentCount; }
    int32_t AttachmentTotalSize() const { return m_AttachmentTotalSize; }
    int32_t AttachmentNameLength() const { return m_AttachmentNameLength; }
    const QStringList &AttachmentFileName() const { return m_AttachmentFileName; }
    const QVector<bool> &AttachmentEmbedded() const { return m_AttachmentEmbedded; }
    const QStringList &DayNames() const { return m_DayNames; }
    const QStringList &MonthNames() const { return m_MonthNames; }

signals:
    void SendSuccesful();
    void SendFailed(const QString &Explanation);
    void status(const QString &status);
    void Progress(int PercentComplete);
    void DebugPrint(const QVariant &Txt);
    // After each RCPT TO reply: the address as sent, the three-digit code,
    // the whole reply (any enhanced status code included).
    void RecipientResult(const QString &Address, int Code, const QString &Reply);

private:
    QString joined(const QStringList &list) const { return list.join(m_Delimiter); }
    QStringList split(const QString &value) const;

    // --- Starting and waiting for the session -----------------------------
    // The run's number, or 0 when the send ended before it (reported).
    quint64 startSend(bool async);
    quint64 startRelay(const QString &sender, const QStringList &recipients, QIODevice *message,
                       const QByteArray *bytes, bool async);
    quint64 startRun(const QString &helloSender, qint64 totalBytes,
                     std::unique_ptr<sendmail::MessageSource> message, bool async);
    bool prepareConnection(bool async);
    sendmail::SmtpSettings sessionSettings(const QString &helloSender) const;
    void failEarly(bool async);
    void waitForRun(quint64 run);
    void onOutcome(const sendmail::SmtpOutcome &outcome);
    void onFinished(quint64 run);
    QStringList CheckCommandFields(bool envelope) const;

    sendmail::MessageDraft draft(bool hasEmbedded) const;
    sendmail::MessageDraft wireDraft(bool hasEmbedded) const;
    void pairDisplayNames();
    bool linkEmbeddedFiles();
    int32_t EstimateMessageSize() const;
    void AddError(const QString &message);
    void RemoveError(const QString &message);
    void ValidateAddressList(const QString &listText, const QString &message);
    void assignList(QStringList &list, const QString &NewValue);
    void assignHost(QString &host, const QString &NewValue, const QString &message,
                    const QString &key);
    void writeSetting(const QString &key, const QString &value);
    void readPersistedSettings();

    bool m_AsHTML = false;
    QStringList m_Attachment;
    QStringList m_BccRecipient;
    QStringList m_CcDisplayName;
    QStringList m_CcRecipient;
    int32_t m_ConnectRetry = 0;
    int32_t m_ConnectTimeout = 0;
    QString m_ContentBase;
    QString m_Delimiter;
    int32_t m_EmailAddressValidation = 0;
    int32_t m_EncodeType = 0;
    QString m_from;
    QString m_FromDisplayName;
    QString m_Message;
    int32_t m_MessageTimeout = 0;
    QString m_Password;
    int32_t m_PersistentSettings = 0;
    int32_t m_Priority = 0;
    QString m_XMailer;
    QString m_Hallo;
    bool m_Receipt = false;
    QStringList m_Recipient;
    QStringList m_RecipientDisplayName;
    QString m_ReplyToAddress;
    QString m_POP3Host;
    QString m_SMTPHost;
    int32_t m_SMTPHostValidation = 0;
    int32_t m_SMTPPort = 0;
    QString m_Subject;
    bool m_UseAuthentication = false;
    bool m_UsePopAuthentication = false;
    QString m_Username;
    int32_t m_TLSMode = 0;
    bool m_TLSVerify = true;
    QString m_TLSCAFile;
    QString m_TLSFingerprint;
    QString m_AuthMechanism;
    QString m_OAuthToken;
    bool m_Pipelining = false;
    bool m_PartialDelivery = false;
    bool m_AllowPlaintextAuth = false;

    QStringList m_ErrorList;
    QStringList m_AttachmentFileName;
    QVector<bool> m_AttachmentEmbedded;
    int32_t m_AttachmentCount = 0;
    int32_t m_AttachmentTotalSize = 0;
    int32_t m_AttachmentNameLength = 0;
    bool m_MessageIs8Bit = false;
    QString m_PriorityText;
    QString m_TimeZoneSuffix;
    QStringList m_DayNames;
    QStringList m_MonthNames;

    // The conversation with the servers; its signals become this instance's.
    sendmail::SmtpSession *m_Session = nullptr;
    // Connect keeps the session open for the sends that follow.
    bool m_KeepConnection = false;
    // A send or session opening runs and its outcome has not been told:
    // further calls are refused meanwhile.
    bool m_Busy = false;
    quint64 m_CurrentRun = 0;
    quint64 m_FinishedRun = 0;
    // The nested loops of Send, Relay, Connect and Disconnect, each with the
    // run it waits for; the destructor ends them all.
    std::vector<std::pair<quint64, QEventLoop *>> m_Waits;
    sendmail::SmtpOutcome m_LastOutcome;
    OAuthTokenProvider m_OAuthTokenProvider;
};
