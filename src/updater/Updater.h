#pragma once

#include <QString>
#include <QStringList>

// Applies the patches prepared in an update folder ("verList.xml", signed by
// the update server; "verList.txt", the versions oldest first; "VER/patch.zip")
// to an install folder. Every patch's SHA-256 is checked before anything is
// touched; all files are unpacked beside the install folder first, then
// swapped in one by one with the replaced files kept aside, and any failure
// puts the kept files back: the install folder holds either the previous
// version or the new one, also after a crash in the middle (the next run
// finishes the roll-back first).
class Updater final
{
public:
    Updater(QString updateFolder, QString installFolder);

    // True when every patch was applied; else `error()` says why, and the
    // install folder is as it was.
    bool apply();
    QString error() const { return m_error; }
    // The versions applied, oldest first.
    QStringList applied() const { return m_versions; }

    // Puts back what an interrupted run replaced.
    void recover();

private:
    bool verify();
    bool stage();
    bool swap();
    void rollBack();
    bool fail(const QString &message);
    QString stagePath(const QString &rel = {}) const;
    QString backupPath(const QString &rel = {}) const;
    QString journalPath() const;
    bool journal(const QString &line);

    QString m_updateFolder;
    QString m_install;
    QString m_error;
    QStringList m_versions;
    // Relative path -> the staged file that becomes it.
    QList<std::pair<QString, QString>> m_files;
    QStringList m_deletes;
};
