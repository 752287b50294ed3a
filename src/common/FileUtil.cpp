#include "common/FileUtil.h"

#include "common/TextUtil.h"
#include "platform/Background.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStorageInfo>
#include <unistd.h>

namespace {

void makeWritable(const QString &path)
{
    QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::WriteOwner);
}

// What the system would call a temporary name: short and unlikely to repeat.
QString generatedName()
{
    return QStringLiteral("tmp%1")
        .arg(QRandomGenerator::global()->bounded(0x10000u), 4, 16, QLatin1Char('0'))
        .toUpper();
}

} // namespace

qint64 FreeSpaceMB(const QString &path)
{
    if (path.startsWith(QLatin1String("\\\\")))
        return 101;
    // The folder may not exist yet: ask for the nearest one that does.
    QFileInfo info(path);
    while (!info.exists() && !info.isRoot() && info.absolutePath() != info.absoluteFilePath())
        info.setFile(info.absolutePath());
    const QStorageInfo storage(info.absoluteFilePath());
    if (!storage.isValid() || !storage.isReady())
        return 0;
    return RoundHalfEven(static_cast<double>(storage.bytesAvailable()) / 1048576.0);
}

bool HasFreeSpace(const QString &path, qint64 bytes)
{
    return static_cast<double>(bytes) / 1048576.0 <= static_cast<double>(FreeSpaceMB(path));
}

bool DeleteFileIfExists(const QString &path)
{
    if (QFileInfo::exists(path)) {
        makeWritable(path);
        QFile::remove(path);
    }
    return true;
}

bool DeleteFolderIfExists(const QString &path)
{
    const QFileInfo info(path);
    // A link planted in a shared folder must not get what it points to
    // emptied, nor another user's folder its contents: the link alone goes,
    // the foreign folder stays (and the caller sees it still there).
    if (info.isSymLink()) {
        QFile::remove(path);
        return true;
    }
    if (!info.isDir() || info.ownerId() != ::geteuid())
        return true;
    QDirIterator it(path, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString entry = it.next();
        if (!it.fileInfo().isSymLink())
            makeWritable(entry);
    }
    QDir(path).removeRecursively();
    return true;
}

bool CopyFileReplace(const QString &source, const QString &target)
{
    if (!QFileInfo::exists(source))
        return false;
    if (QFileInfo::exists(target)) {
        makeWritable(target);
        QFile::remove(target);
    }
    QFile::copy(source, target);
    return true;
}

bool MoveFileReplace(const QString &source, const QString &target)
{
    if (!QFileInfo::exists(source))
        return false;
    DeleteFileIfExists(target);
    QFile::rename(source, target);
    return true;
}

int RecreateFolder(const QString &path)
{
    const QFileInfo info(path);
    if (!QFileInfo(info.absolutePath()).isDir())
        return 1;
    const auto present = [&path] {
        const QFileInfo now(path);
        return now.exists() || now.isSymLink();
    };
    if (present()) {
        DeleteFolderIfExists(path);
        if (present())
            return 2;
    }
    // mkdir refuses a name taken meanwhile, link or not: the folder made is new.
    return QDir().mkdir(path) ? 0 : 3;
}

qint64 FileSizeBytes(const QString &path)
{
    const QFileInfo info(path);
    return info.isFile() ? info.size() : 0;
}

QString LastModifiedText(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return {};
    return info.lastModified().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

qint64 FolderSizeBytes(const QString &path)
{
    qint64 total = 0;
    QDirIterator it(path, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        total += it.fileInfo().size();
    }
    return total;
}

qint64 FileSizeKB(const QString &path)
{
    return RoundHalfEven(static_cast<double>(FileSizeBytes(path)) / 1024.0);
}

QString UniqueTempFolder(const QString &base, const QString &prefix)
{
    if (base.isEmpty() || !QFileInfo(base).isDir())
        return {};
    QString path;
    do {
        path = QDir(base).filePath(prefix + generatedName());
    } while (QFileInfo::exists(path));
    return path;
}

QString UniqueTempFile(const QString &base, const QString &extension, const QString &prefix)
{
    if (base.isEmpty() || !QFileInfo(base).isDir())
        return {};
    QString path;
    do {
        path = QDir(base).filePath(prefix + generatedName() + u'.' + extension);
    } while (QFileInfo::exists(path));
    return path;
}

QFuture<bool> CopyFileOffLoop(const QString &source, const QString &target)
{
    return offLoop([source, target] { return CopyFileReplace(source, target); });
}
