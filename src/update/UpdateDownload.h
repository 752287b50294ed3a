#pragma once

#include "update/CVerList.h"

#include <QCoroTask>
#include <QObject>
#include <pugixml.hpp>

class Downloader;
class Session;

// What the update window does, without its widgets (the command line runs it
// too): lists the changes, downloads the updater archive and the patch of
// every version needed (the full patch first, the newest last), unpacks the
// updater and leaves it the list of versions to apply.
class UpdateDownload final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UpdateDownload)

public:
    struct Setup
    {
        Session &session;
        // The newer versions and the signed document they were read from;
        // both outlive the download.
        const CVerList &list;
        const pugi::xml_document &listDocument;
        QString updateServer;
        int osVersion = 100;
        // Where the updater is to apply the patches; empty when this copy
        // cannot update itself.
        QString installFolder;
    };

    UpdateDownload(const Setup &setup, QObject *parent = nullptr);
    ~UpdateDownload() override;

    // Opening: the update folder is made anew, empty and owner-only. False, after
    // "Update Error: Temp File Locked!", when the old one cannot be deleted.
    bool Open();
    // The changes of every listed version, for the log box.
    QString FillLog() const;
    bool canUpdate() const { return !m_installFolder.isEmpty(); }

    // The Update command: starts the downloads.
    void Update();
    // The Quit command, or the window closed: nothing stays pending.
    void Quit();

    QString updateFolder() const { return m_updateFolder; }
    QString updaterArchive() const;
    Downloader &downloader() { return *m_downloader; }

    // Bytes in `unit` ("B", "KB", "MB", "GB") with one decimal; empty for another unit.
    static QString FormatSize(qint64 bytes, const QString &unit);
    // The unit for a download of `total` bytes.
    static QString SizeUnit(qint64 total);

Q_SIGNALS:
    // The texts of the file label, the state label, the progress label and
    // bar, and the window caption.
    void fileText(const QString &text);
    void stateText(const QString &text);
    void progress(qint64 done, qint64 total, const QString &caption, const QString &progressText);
    // The window closes: with runUpdater set the updater is to start.
    void closed(bool runUpdater);

private:
    void DownloadProgress(qint64 done, qint64 total);
    void DownloadComplete(qint64 size);
    void DownloadError(const QString &message);
    void NextFile();
    QCoro::Task<> InstallUpdate();
    void close(const QString &message);
    QString counter() const;

    Session &m_session;
    const CVerList &m_list;
    const pugi::xml_document &m_document;
    QString m_server;
    int m_osVersion;
    QString m_installFolder;
    QString m_updateFolder;
    Downloader *m_downloader;
    int m_patchCount = 0;
    int m_fileNumber = 0;
    bool m_runUpdater = false;
    bool m_closed = false;
};
