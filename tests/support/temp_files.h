// Files that tests create in a temporary folder.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <gtest/gtest.h>

// Writes `bytes` to `name` inside `dir` and returns the full path.
inline QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &bytes) {
    QString path = dir.filePath(name);
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
    EXPECT_EQ(f.write(bytes), bytes.size()) << path.toStdString();
    return path;
}
