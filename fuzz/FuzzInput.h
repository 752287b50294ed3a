#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QString>
#include <cstdint>

// The input as bytes, and as a file for the loaders that read one. The file
// is the same for every run of a process, so that runs stay fast.
inline QByteArray fuzzBytes(const std::uint8_t *data, std::size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
}

inline QString fuzzFile(const QByteArray &bytes, const QString &name)
{
    const QString dir =
        QDir::temp().filePath(QStringLiteral("clipferry-fuzz-%1").arg(QCoreApplication::applicationPid()));
    QDir().mkpath(dir);
    QFile file(QDir(dir).filePath(name));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
    return file.fileName();
}
