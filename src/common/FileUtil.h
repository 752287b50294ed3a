#pragma once

#include <QFuture>
#include <QString>

// Disk space and file housekeeping. All paths are full paths. Deleting "by
// force" means read-only files go too.

// Free megabytes where `path` lives; 101 for a network path ("\\server\..."),
// 0 when the disk cannot be asked.
qint64 FreeSpaceMB(const QString &path);
// Whether `bytes` fit in the free space where `path` lives.
bool HasFreeSpace(const QString &path, qint64 bytes);

bool DeleteFileIfExists(const QString &path);
// A symbolic link is removed itself, and a folder of another user is left alone.
bool DeleteFolderIfExists(const QString &path);
bool CopyFileReplace(const QString &source, const QString &target);
// The same on the thread pool, for files large enough to hold up the window.
// Keep the future in a variable before awaiting it (GCC 12 and co_await).
QFuture<bool> CopyFileOffLoop(const QString &source, const QString &target);
bool MoveFileReplace(const QString &source, const QString &target);
// 0 done, 1 parent missing, 2 the old folder could not be deleted, 3 the new
// one could not be made.
int RecreateFolder(const QString &path);
qint64 FileSizeBytes(const QString &path);
// The file's last-modified time as the queue records it, "yyyy-MM-dd HH:mm:ss"
// in local time; empty when the file is missing. Two texts differ exactly
// when the times differ by a second or more.
QString LastModifiedText(const QString &path);
// The bytes of every file below a folder.
qint64 FolderSizeBytes(const QString &path);
// Kilobytes, a half rounded to the even neighbour.
qint64 FileSizeKB(const QString &path);
// base/prefix + a generated name, not yet taken; empty when base is missing.
QString UniqueTempFolder(const QString &base, const QString &prefix);
QString UniqueTempFile(const QString &base, const QString &extension, const QString &prefix);
