// Property assignments of clsSendMail: what each one checks, normalises,
// records in the error list and writes to the settings store.
#include "mail/send_mail.h"

#include "mail/error_texts.h"
#include "mail/settings.h"
#include "mail/validation.h"
#include "mime/encoders.h"
#include "mime/message_text.h"
#include "net/net_utils.h"
#include "net/tls_policy.h"

#include <QFileInfo>

#include <cstdlib>
#include <limits>

using sendmail::MsgAttachment;
using sendmail::MsgBcc;
using sendmail::MsgCc;
using sendmail::MsgFingerprint;
using sendmail::MsgFrom;
using sendmail::MsgPOP3Host;
using sendmail::MsgPort;
using sendmail::MsgRecipient;
using sendmail::MsgSMTPHost;

namespace {

QString numberText(int32_t n) {
    return sendmail::SettingNumberText(n);
}

} // namespace

QStringList clsSendMail::split(const QString &value) const {
    if (value.isEmpty()) {
        return {};
    }
    if (m_Delimiter.isEmpty()) {
        return {value};
    }
    return value.split(m_Delimiter);
}

void clsSendMail::assignList(QStringList &list, const QString &NewValue) {
    list = split(NewValue);
    sendmail::NormalizeAddressList(list);
}

void clsSendMail::ValidateAddressList(const QString &listText, const QString &message) {
    RemoveError(message);
    if (m_EmailAddressValidation != 1) {
        return;
    }
    for (const QString &entry : split(listText)) {
        if (!sendmail::IsValidEmailAddress(entry)) {
            AddError(message);
            return;
        }
    }
}

void clsSendMail::setRecipient(const QString &NewValue) {
    assignList(m_Recipient, NewValue);
    ValidateAddressList(NewValue, MsgRecipient);
}

void clsSendMail::setRecipientDisplayName(const QString &NewValue) {
    assignList(m_RecipientDisplayName, NewValue);
}

void clsSendMail::setCcRecipient(const QString &NewValue) {
    assignList(m_CcRecipient, NewValue);
    ValidateAddressList(NewValue, MsgCc);
}

void clsSendMail::setCcDisplayName(const QString &NewValue) {
    assignList(m_CcDisplayName, NewValue);
}

void clsSendMail::setBccRecipient(const QString &NewValue) {
    assignList(m_BccRecipient, NewValue);
    ValidateAddressList(NewValue, MsgBcc);
}

void clsSendMail::setFrom(const QString &NewValue) {
    m_from = sendmail::TrimBlanks(NewValue);
    ValidateAddressList(NewValue, MsgFrom);
    writeSetting("From", NewValue);
}

void clsSendMail::setFromDisplayName(const QString &NewValue) {
    m_FromDisplayName = sendmail::TrimBlanks(NewValue);
    writeSetting("FromDisplayName", NewValue);
}

void clsSendMail::setReplyToAddress(const QString &NewValue) {
    m_ReplyToAddress = sendmail::TrimBlanks(NewValue);
}

void clsSendMail::setAttachment(const QString &NewValue) {
    m_Attachment = split(NewValue);
    m_AttachmentCount = static_cast<int32_t>(m_Attachment.size());
    m_AttachmentTotalSize = 0;
    m_AttachmentNameLength = 0;
    RemoveError(MsgAttachment);
    if (m_AttachmentCount == 0) {
        return;
    }
    m_AttachmentFileName = QStringList(m_AttachmentCount, QString());
    m_AttachmentEmbedded = QVector<bool>(m_AttachmentCount, false);

    // Sizes are summed wide and held at the 32-bit limit: attachments beyond
    // 2 GiB in all are outside what the component can count.
    qint64 total = 0;
    qint64 nameLength = 0;
    for (qsizetype i = 0; i < m_Attachment.size(); ++i) {
        const QString &path = m_Attachment[i];
        // Wildcards are not expanded: an entry names one file, taken literally.
        QFileInfo info(path);
        if (!info.isFile()) {
            AddError(MsgAttachment);
            break;
        }
        // Paths are separated by "/" here; "\" is accepted too, so a path
        // written for another system still yields just the file's name.
        qsizetype slash =
            std::max(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\')));
        m_AttachmentFileName[i] = path.mid(slash + 1);
        total += info.size();
        nameLength += m_AttachmentFileName[i].size();
    }
    constexpr qint64 limit = std::numeric_limits<int32_t>::max();
    m_AttachmentTotalSize = static_cast<int32_t>(std::min(total, limit));
    m_AttachmentNameLength = static_cast<int32_t>(std::min(nameLength, limit));
}

void clsSendMail::setConnectRetry(int32_t NewValue) {
    if (NewValue >= 1 && NewValue <= 20) {
        m_ConnectRetry = NewValue;
    }
    writeSetting("ConnectRetry", numberText(NewValue));
}

void clsSendMail::setConnectTimeout(int32_t NewValue) {
    if (NewValue >= 1 && NewValue <= 120) {
        m_ConnectTimeout = NewValue;
    }
    writeSetting("ConnectTimeout", numberText(NewValue));
}

void clsSendMail::setMessageTimeout(int32_t NewValue) {
    // The most negative number has no positive twin in 32 bits: hold the
    // largest one instead of overflowing.
    m_MessageTimeout = NewValue == std::numeric_limits<int32_t>::min()
                           ? std::numeric_limits<int32_t>::max()
                           : std::abs(NewValue);
    writeSetting("MessageTimeout", numberText(NewValue));
}

void clsSendMail::setContentBase(const QString &NewValue) {
    if (NewValue.isEmpty()) {
        m_ContentBase.clear();
        return;
    }
    QString value = NewValue;
    value.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (!value.contains(QLatin1String("http://"), Qt::CaseInsensitive)) {
        value.prepend(QLatin1String("http://"));
    }
    if (!value.endsWith(QLatin1Char('/'))) {
        value.append(QLatin1Char('/'));
    }
    m_ContentBase = value;
}

void clsSendMail::setDelimiter(const QString &NewValue) {
    m_Delimiter = NewValue.left(1);
}

void clsSendMail::setEmailAddressValidation(int32_t NewValue) {
    m_EmailAddressValidation = NewValue;
    writeSetting("EmailValidation", numberText(NewValue));
}

void clsSendMail::setEncodeType(int32_t NewValue) {
    m_EncodeType = NewValue;
    writeSetting("EncodeType", numberText(NewValue));
}

void clsSendMail::setMessage(const QString &NewValue) {
    // Doubled dots and broken lines are for a text that goes out as it
    // stands. A text outside ISO-8859-1 goes out encoded (quoted-printable or
    // Base64), where either would change the text, so it is kept as given.
    m_Message = sendmail::FitsLatin1(NewValue) ? sendmail::PrepareMessageText(NewValue) : NewValue;
    m_MessageIs8Bit = sendmail::IsEightBit(m_Message);
}

void clsSendMail::setPersistentSettings(bool NewValue) {
    m_PersistentSettings = NewValue ? -1 : 0;
    // Written whatever the switch was, so that turning persistence off is
    // remembered as well as turning it on.
    sendmail::WriteSetting(true, "PersistentSettings", sendmail::SettingBoolText(NewValue));
}

void clsSendMail::setPriority(int32_t NewValue) {
    m_Priority = NewValue;
    switch (NewValue) {
    case 1:
        m_PriorityText = QStringLiteral("High");
        break;
    case 3:
        m_PriorityText = QStringLiteral("Normal");
        break;
    case 5:
        m_PriorityText = QStringLiteral("Low");
        break;
    default:
        break;
    }
}

void clsSendMail::assignHost(QString &host, const QString &NewValue, const QString &message,
                             const QString &key) {
    QString value = NewValue;
    value.remove(QChar(0));
    bool accepted = true;
    if (!value.isEmpty() && sendmail::IsIPv6Form(sendmail::TrimBlanks(value))) {
        // No host name holds ":" or brackets, so the text is an IPv6 address
        // at every level, valid or not, and never goes to the resolver. It
        // is kept bare: the socket and the trace show it without brackets.
        value = sendmail::StripIPv6Brackets(sendmail::TrimBlanks(value));
        accepted = sendmail::IsIPv6Literal(value);
        if (accepted && m_SMTPHostValidation == 2) {
            QString roundTrip, dataSize;
            bool dataMatch = false;
            accepted = sendmail::Ping(value, roundTrip, dataSize, dataMatch);
        }
    } else if (!value.isEmpty()) {
        switch (m_SMTPHostValidation) {
        case 1:
            accepted = sendmail::IsValidHostName(value);
            break;
        case 2: {
            // The echo rewrites the text to the address that answered.
            QString roundTrip, dataSize;
            bool dataMatch = false;
            accepted = sendmail::Ping(value, roundTrip, dataSize, dataMatch);
            break;
        }
        case 3:
            // Any address will do, IPv4 or IPv6; the look-up rewrites the
            // text trimmed.
            accepted = !sendmail::GetIPAddresses(value).isEmpty();
            break;
        default:
            break;
        }
    }
    if (!accepted) {
        AddError(message);
        return;
    }
    writeSetting(key, value);
    RemoveError(message);
    host = value;
}

void clsSendMail::setPOP3Host(const QString &NewValue) {
    assignHost(m_POP3Host, NewValue, MsgPOP3Host, "Pop3Host");
}

void clsSendMail::setSMTPHost(const QString &NewValue) {
    assignHost(m_SMTPHost, NewValue, MsgSMTPHost, "RemoteHost");
}

void clsSendMail::setSMTPHostValidation(int32_t NewValue) {
    m_SMTPHostValidation = NewValue;
    if (!m_SMTPHost.isEmpty()) {
        const QString current = m_SMTPHost;
        setSMTPHost(current);
    }
    writeSetting("SMTPHostValidation", numberText(NewValue));
}

void clsSendMail::setSMTPPort(int32_t NewValue) {
    if (NewValue >= 1 && NewValue <= 65535) {
        m_SMTPPort = NewValue;
        writeSetting("RemotePort", numberText(NewValue));
        RemoveError(MsgPort);
    } else {
        AddError(MsgPort);
    }
}

void clsSendMail::setUseAuthentication(bool NewValue) {
    m_UseAuthentication = NewValue;
    writeSetting("UseAuthentication", sendmail::SettingBoolText(NewValue));
}

void clsSendMail::setUsePopAuthentication(bool NewValue) {
    m_UsePopAuthentication = NewValue;
    writeSetting("UsePopAuthentication", sendmail::SettingBoolText(NewValue));
}

void clsSendMail::setUsername(const QString &NewValue) {
    m_Username = NewValue;
    writeSetting("Username", NewValue);
}

void clsSendMail::setTLSMode(int32_t NewValue) {
    if (NewValue >= 0 && NewValue <= 3)
        m_TLSMode = NewValue;
    writeSetting("TLSMode", numberText(NewValue));
}

void clsSendMail::setTLSVerify(bool NewValue) {
    m_TLSVerify = NewValue;
    writeSetting("TLSVerify", sendmail::SettingBoolText(NewValue));
}

void clsSendMail::setPipelining(bool NewValue) {
    m_Pipelining = NewValue;
    writeSetting("Pipelining", sendmail::SettingBoolText(NewValue));
}

void clsSendMail::setPartialDelivery(bool NewValue) {
    m_PartialDelivery = NewValue;
    writeSetting("PartialDelivery", sendmail::SettingBoolText(NewValue));
}

void clsSendMail::setTLSCAFile(const QString &NewValue) {
    m_TLSCAFile = NewValue;
    writeSetting("TLSCAFile", NewValue);
}

void clsSendMail::setTLSFingerprint(const QString &NewValue) {
    if (!NewValue.isEmpty() && !sendmail::ParseFingerprint(NewValue)) {
        AddError(MsgFingerprint);
        return;
    }
    RemoveError(MsgFingerprint);
    m_TLSFingerprint = NewValue;
    writeSetting("TLSFingerprint", NewValue);
}

void clsSendMail::setAuthMechanism(const QString &NewValue) {
    m_AuthMechanism = NewValue;
    writeSetting("AuthMechanism", NewValue);
}
