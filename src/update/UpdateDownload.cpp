#include "update/UpdateDownload.h"

#include "common/FileUtil.h"
#include "common/XmlUtil.h"
#include "pipeline/Session.h"
#include "platform/Background.h"
#include "platform/ProcessRunner.h"
#include "server/TransferControl.h"
#include "update/Downloader.h"
#include "update/UpdateInstall.h"
#include "update/UpdateTrust.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QTimer>
#include <cmath>

UpdateDownload::UpdateDownload(const Setup &setup, QObject *parent)
    : QObject(parent), m_session(setup.session), m_list(setup.list), m_document(setup.listDocument),
      m_server(setup.updateServer), m_osVersion(setup.osVersion), m_installFolder(setup.installFolder),
      m_updateFolder(UpdateInstall::updateFolder()),
      m_downloader(new Downloader(setup.session.network(), setup.session.transfer().limits().idle, this))
{
    connect(m_downloader, &Downloader::DownloadProgress, this,
            [this](qint64 done, qint64 total, const QString &) { DownloadProgress(done, total); });
    connect(m_downloader, &Downloader::DownloadComplete, this,
            [this](qint64 size, const QString &) { DownloadComplete(size); });
    connect(m_downloader, &Downloader::DownloadError, this, &UpdateDownload::DownloadError);
}

UpdateDownload::~UpdateDownload() = default;

QString UpdateDownload::updaterArchive() const
{
    return UpdateInstall::updaterArchive(m_osVersion);
}

bool UpdateDownload::Open()
{
    // The name is fixed in a folder all users share: what stands there is
    // replaced by a new folder of our own that no one else may enter.
    if (RecreateFolder(m_updateFolder) != 0 ||
        !QFile::setPermissions(m_updateFolder,
                               QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner)) {
        close(QStringLiteral("Update Error: Temp File Locked!"));
        return false;
    }
    return true;
}

QString UpdateDownload::FillLog() const
{
    QString text;
    for (const CVerItem &item : m_list.items()) {
        text += item.ver + QStringLiteral("\r\n");
        if (!item.log.isEmpty()) {
            QStringList lines;
            for (const QString &line : item.log.split(u'\n'))
                lines.append(QStringLiteral("        ") + line.trimmed());
            text += lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n");
        }
        text += QStringLiteral("\r\n");
    }
    return text;
}

QString UpdateDownload::counter() const
{
    return QString::number(m_fileNumber) + u'/' + QString::number(m_patchCount + 1);
}

void UpdateDownload::Update()
{
    if (!canUpdate()) {
        close(UpdateInstall::cannotUpdateText());
        return;
    }
    m_patchCount = m_list.count();
    for (int i = 1; i <= m_list.count(); ++i) {
        if (m_list.item(i).fullPatch) {
            m_patchCount = i;
            break;
        }
    }
    Q_EMIT stateText(QStringLiteral("Downloading"));
    m_fileNumber = 1;
    Q_EMIT fileText(QStringLiteral("File (") + counter() + QStringLiteral("):  ") + updaterArchive());
    m_downloader->Download(m_server + QStringLiteral("/version_ctrl/clipferry/version/") + updaterArchive(),
                           QDir(m_updateFolder).filePath(updaterArchive()));
}

void UpdateDownload::Quit()
{
    if (m_closed)
        return;
    m_downloader->abort();
    m_runUpdater = false;
    close({});
}

QString UpdateDownload::SizeUnit(qint64 total)
{
    if (total < 1024)
        return QStringLiteral("B");
    if (total < 1024 * 1024)
        return QStringLiteral("KB");
    if (total < 1024LL * 1024 * 1024)
        return QStringLiteral("MB");
    return QStringLiteral("GB");
}

QString UpdateDownload::FormatSize(qint64 bytes, const QString &unit)
{
    double divisor = 0;
    if (unit == u"B")
        divisor = 1;
    else if (unit == u"KB")
        divisor = 1024;
    else if (unit == u"MB")
        divisor = 1048576;
    else if (unit == u"GB")
        divisor = 1073741824;
    else
        return {};
    return QString::number(static_cast<double>(bytes) / divisor, 'f', 1);
}

void UpdateDownload::DownloadProgress(qint64 done, qint64 total)
{
    if (total <= 0)
        return;
    const auto percent = std::lround(static_cast<double>(done) * 100.0 / static_cast<double>(total));
    const QString unit = SizeUnit(total);
    const QString caption =
        u'(' + counter() + QStringLiteral(") ") + QString::number(percent) + QStringLiteral("% Downloaded");
    const QString text = QStringLiteral("Progress:  ") + FormatSize(done, unit) + u' ' + unit +
                         QStringLiteral(" / ") + FormatSize(total, unit) + u' ' + unit +
                         QStringLiteral("  downloaded");
    Q_EMIT progress(done, total, caption, text);
}

void UpdateDownload::DownloadComplete(qint64 size)
{
    // A complete download's size is the total its last progress showed.
    const QString unit = SizeUnit(size);
    Q_EMIT progress(size, size, u'(' + counter() + QStringLiteral(") 100% Downloaded"), QString());
    Q_EMIT stateText(QStringLiteral("Download Complete \u2500  ") + FormatSize(size, unit) + u' ' + unit +
                     QStringLiteral(" totally"));
    // The window shows the completed file before the next one starts.
    QTimer::singleShot(0, this, &UpdateDownload::NextFile);
}

void UpdateDownload::NextFile()
{
    if (m_closed)
        return;
    // The updater archive is file 1; every later file is a patch.
    const int i = m_patchCount - (m_fileNumber - 1);
    if (i == 0) {
        Q_EMIT stateText(QStringLiteral("Download complete"));
        InstallUpdate();
        return;
    }
    const CVerItem &item = m_list.item(i);
    const QString folder = QDir(m_updateFolder).filePath(item.ver);
    // A folder that cannot be made shows as the download's "Cannot write".
    RecreateFolder(folder);
    ++m_fileNumber;
    Q_EMIT fileText(QStringLiteral("File (") + counter() + QStringLiteral("):  patch.zip  \u2500  v.") +
                    item.ver);
    m_downloader->Download(m_server + item.folderUrl + QStringLiteral("/patch.zip"),
                           QDir(folder).filePath(QStringLiteral("patch.zip")));
}

void UpdateDownload::DownloadError(const QString &message)
{
    close(message);
}

QCoro::Task<> UpdateDownload::InstallUpdate()
{
    QPointer<UpdateDownload> self(this);
    const QString archive = QDir(m_updateFolder).filePath(updaterArchive());
    // The updater is what runs next: it must be the one the signed list names.
    QFuture<QByteArray> hashing = offLoop([archive] { return UpdateTrust::sha256OfFile(archive); });
    const QByteArray hash = co_await hashing;
    if (!self || m_closed)
        co_return;
    if (m_list.updaterSha256.isEmpty() || hash != m_list.updaterSha256.toLatin1()) {
        close(QStringLiteral("The downloaded %1 does not match the version list's SHA-256; "
                             "nothing was installed.")
                  .arg(updaterArchive()));
        co_return;
    }
    const QString updaterFolder = QDir(m_updateFolder).filePath(QStringLiteral("updater"));
    ProcessSpec spec = ProcessSpec::of(QStringLiteral("unzip"),
                                       {QStringLiteral("-q"), archive, QStringLiteral("-d"), updaterFolder});
    spec.timeout = std::chrono::minutes(2);
    const ProcessResult unzipped = co_await m_session.processes().run(std::move(spec));
    if (!self || m_closed)
        co_return;
    // An unzip cut short can leave a truncated updater behind: only a
    // complete one is run.
    if (!unzipped.ok() || !QFileInfo::exists(UpdateInstall::updaterPath(m_updateFolder))) {
        close(QStringLiteral("Unzip error!"));
        co_return;
    }
    QStringList versions;
    for (int i = m_patchCount; i >= 1; --i)
        versions.append(m_list.item(i).ver);
    const QDir folder(m_updateFolder);
    if (!Xml::writeFileAtomic(folder.filePath(QStringLiteral("verList.xml")), Xml::serialize(m_document)) ||
        !Xml::writeFileAtomic(folder.filePath(QStringLiteral("verList.txt")),
                              versions.join(QStringLiteral("\r\n")).toUtf8() + "\r\n")) {
        close(QStringLiteral("Update Error: Temp File Locked!"));
        co_return;
    }
    m_runUpdater = true;
    close({});
}

void UpdateDownload::close(const QString &message)
{
    if (m_closed)
        return;
    m_closed = true;
    if (!message.isEmpty())
        m_session.messages().show(message, QString(), Messages::Icon::Warning);
    Q_EMIT closed(m_runUpdater);
}
