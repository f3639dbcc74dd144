#include "mail/settings.h"

#include "mail/validation.h"

#include <QSettings>
#include <QStringList>
#include <QVariant>

namespace sendmail {

namespace {

const QString kOrganisation = QStringLiteral("Marrowpost");
const QString kApplication = QStringLiteral("Marrowpost");
const QString kSection = QStringLiteral("Settings");

QString KeyPath(const QString &key) {
    return kSection + u'/' + key;
}

} // namespace

QString SettingsFileName() {
    QSettings store(QSettings::IniFormat, QSettings::UserScope, kOrganisation, kApplication);
    return store.fileName();
}

QString ReadSetting(const QString &key, const QString &defaultValue) {
    QSettings store(QSettings::IniFormat, QSettings::UserScope, kOrganisation, kApplication);
    if (store.status() != QSettings::NoError)
        return defaultValue;
    const QVariant value = store.value(KeyPath(key));
    if (!value.isValid())
        return defaultValue;
    // Values we write are quoted where needed and come back as text. A value
    // edited by hand with bare commas comes back as a list; give it back as
    // the text it most likely was.
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QStringLiteral(", "));
    return value.toString();
}

void WriteSetting(bool persistent, const QString &key, const QString &value) {
    if (!persistent)
        return;
    QSettings store(QSettings::IniFormat, QSettings::UserScope, kOrganisation, kApplication);
    // A store that cannot be read cannot be rewritten without losing the
    // keys it holds; leave it as it is.
    if (store.status() != QSettings::NoError)
        return;
    // Stored as a QString so that the file holds the text itself, never a
    // number or a typed variant.
    store.setValue(KeyPath(key), QVariant(value));
    store.sync();
}

QString SettingNumberText(int32_t n) {
    const QString digits = QString::number(n);
    return n < 0 ? digits : u' ' + digits;
}

QString SettingBoolText(bool b) {
    return b ? QStringLiteral("-1") : QStringLiteral("0");
}

int32_t SettingToInt(const QString &text) {
    const QString number = TrimBlanks(text);
    if (!IsNumericText(number))
        return 0;
    bool ok = false;
    const int32_t value = number.toInt(&ok, 10);
    return ok ? value : 0;
}

bool SettingToBool(const QString &text) {
    const QString word = TrimBlanks(text);
    if (word.compare(QStringLiteral("true"), Qt::CaseInsensitive) == 0)
        return true;
    if (!IsNumericText(word))
        return false;
    // Any non-zero digit makes the number non-zero, however long it is.
    for (QChar c : word)
        if (c >= u'1' && c <= u'9')
            return true;
    return false;
}

} // namespace sendmail
