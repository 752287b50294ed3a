#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

struct CVideoItem;

// The work of one queue entry, kept across restarts: a folder of its own
// under the per-user data folder with a small record ("state.json") of what
// is complete. The finished conversion (with the source's size and time it
// was made from), the packed archive with its SHA-256 and the tus upload
// address let a restarted run go on at the first step that is not done.
//
// Layout: <root>/<hash of the entry's key>/ holds "state.json", "content/"
// (what is packed) and "package/" (the archive).
class EntryWork final
{
public:
    EntryWork() = default;
    EntryWork(const QString &root, const QString &key);

    // The work root of a queue file: entries of different queue files never
    // share a folder, so one queue's clean-up leaves another's work alone.
    static QString rootFor(const QString &queueFile);
    // The work root of the queue file in the data folder.
    static QString defaultRoot();
    // Removes every work folder under `root` that none of `keys` owns.
    static void removeUnowned(const QString &root, const QStringList &keys);

    bool isNull() const { return m_folder.isEmpty(); }
    const QString &folder() const { return m_folder; }
    QString contentFolder() const;
    QString packageFolder() const;
    QString archivePath() const;

    // Makes the folder and reads its record. Work made from another state of
    // the source (size or modification time) is dropped. False when the
    // folder cannot be made.
    bool open(const CVideoItem &entry);

    // The file name of the finished conversion when it was made with these
    // settings and is still there; empty otherwise.
    QString convertedFile(const QString &settings) const;
    bool setConverted(const QString &fileName, const QString &settings);
    // Empties the content folder and forgets everything made from it.
    bool clearContent();

    // The recorded SHA-256 (hex) of the archive when it was packed with these
    // settings and the file is there; empty otherwise. The caller checks the
    // file against it.
    QString packedSha256(const QString &settings) const;
    bool setPacked(const QString &sha256Hex, const QString &settings);
    // Forgets the archive and the upload made of it.
    bool clearPackage();

    // The upload address recorded for this target (server, folder, content).
    QString uploadAddress(const QString &target) const;
    bool setUploadAddress(const QString &address, const QString &target);

    // Removes the folder and everything in it.
    void remove();

    // A short fingerprint of the given texts, to compare settings by.
    static QString fingerprint(const QStringList &parts);

private:
    bool save();

    QString m_folder;
    QString m_key;
    QJsonObject m_record;
};
