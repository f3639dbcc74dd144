#include "mime/content_type.h"

#include <QFile>
#include <QHash>
#include <QRegularExpression>

#include <mutex>

namespace sendmail {

namespace {

const QString kSystemTable = QStringLiteral("/etc/mime.types");

using Table = QHash<QString, QString>; // lower-case extension -> type

struct Cache {
    std::mutex lock;
    QString path = kSystemTable;
    QHash<QString, Table> tables; // by path
};

Cache &TheCache() {
    static Cache cache;
    return cache;
}

Table ReadTable(const QString &path) {
    Table table;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return table;
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    while (!file.atEnd()) {
        QString line = QString::fromUtf8(file.readLine());
        const qsizetype hash = line.indexOf(QLatin1Char('#'));
        if (hash >= 0)
            line.truncate(hash);
        const QStringList fields = line.split(blanks, Qt::SkipEmptyParts);
        for (qsizetype i = 1; i < fields.size(); ++i) {
            const QString extension = fields[i].toLower();
            if (!table.contains(extension))
                table.insert(extension, fields[0]);
        }
    }
    return table;
}

} // namespace

QString GetContentType(const QString &strFile, const QString &strDefault) {
    const qsizetype dot = strFile.lastIndexOf(QLatin1Char('.'));
    if (dot < 0)
        return strDefault;
    const QString extension = strFile.mid(dot + 1).toLower();
    if (extension.isEmpty())
        return strDefault;

    Cache &cache = TheCache();
    std::lock_guard guard(cache.lock);
    auto it = cache.tables.find(cache.path);
    if (it == cache.tables.end())
        it = cache.tables.insert(cache.path, ReadTable(cache.path));
    const auto found = it->constFind(extension);
    return found == it->constEnd() ? strDefault : *found;
}

void SetMimeTypesPathForTesting(const QString &path) {
    Cache &cache = TheCache();
    std::lock_guard guard(cache.lock);
    cache.path = path.isEmpty() ? kSystemTable : path;
}

} // namespace sendmail
