#include "updater/Updater.h"

#include "common/XmlUtil.h"
#include "update/UpdateTrust.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QSet>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

const QString kStage = QStringLiteral(".update-stage");
const QString kBackup = QStringLiteral(".update-backup");
const QString kJournal = QStringLiteral(".update-journal");
// A patch may name files to remove in this file at its root.
const QString kDeleteList = QStringLiteral("clipferry-delete.txt");

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

bool renamePath(const QString &from, const QString &to)
{
    return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

// A path inside the install folder: relative, without "..", and not one of
// the updater's own folders.
bool safeRelative(const QString &rel)
{
    const QString clean = QDir::cleanPath(rel);
    return !rel.isEmpty() && !QDir::isAbsolutePath(rel) && clean != u".." &&
           !clean.startsWith(QLatin1String("../")) && !clean.startsWith(kStage) &&
           !clean.startsWith(kBackup) && !clean.startsWith(kJournal) && clean == rel;
}

// Set to N, the Nth file moved into place fails as on a full disk: the
// roll-back can be seen at work without filling a disk. "crash:N" ends the
// updater there instead, as a power cut would.
int injectedFailureAt(bool &crash)
{
    QString value = qEnvironmentVariable("CLIPFERRY_UPDATER_FAIL_SWAP");
    crash = value.startsWith(QLatin1String("crash:"));
    return crash ? value.mid(6).toInt() : value.toInt();
}

} // namespace

Updater::Updater(QString updateFolder, QString installFolder)
    : m_updateFolder(std::move(updateFolder)), m_install(QDir(installFolder).absolutePath())
{}

QString Updater::stagePath(const QString &rel) const
{
    return QDir(m_install).filePath(rel.isEmpty() ? kStage : kStage + u'/' + rel);
}

QString Updater::backupPath(const QString &rel) const
{
    return QDir(m_install).filePath(rel.isEmpty() ? kBackup : kBackup + u'/' + rel);
}

QString Updater::journalPath() const
{
    return QDir(m_install).filePath(kJournal);
}

bool Updater::fail(const QString &message)
{
    m_error = message;
    return false;
}

bool Updater::apply()
{
    if (!QFileInfo::exists(QDir(m_install).filePath(QStringLiteral("bin"))))
        return fail(QStringLiteral("%1 is not a ClipFerry install folder.").arg(m_install));
    if (!verify() || !stage()) {
        QDir(stagePath()).removeRecursively();
        return false;
    }
    if (!swap()) {
        rollBack();
        return false;
    }
    // The journal's removal is the moment the new version counts as installed.
    QFile::remove(journalPath());
    QDir(backupPath()).removeRecursively();
    QDir(stagePath()).removeRecursively();
    return true;
}

bool Updater::verify()
{
    pugi::xml_document doc;
    const QDir folder(m_updateFolder);
    QString error;
    if (!Xml::parseFile(doc, folder.filePath(QStringLiteral("verList.xml"))))
        return fail(QStringLiteral("The update's version list cannot be read; nothing was installed."));
    if (!UpdateTrust::verifyList(doc, &error))
        return fail(error + QStringLiteral(" Nothing was installed."));
    QFile list(folder.filePath(QStringLiteral("verList.txt")));
    if (!list.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("The update names no versions to install."));
    for (const QByteArray &line : list.readAll().split('\n')) {
        const QString ver = QString::fromUtf8(line).trimmed();
        if (!ver.isEmpty())
            m_versions.append(ver);
    }
    if (m_versions.isEmpty())
        return fail(QStringLiteral("The update names no versions to install."));
    for (const QString &ver : std::as_const(m_versions)) {
        QString expected;
        for (pugi::xml_node item : doc.document_element().child("list").children("item")) {
            if (Xml::toQ(item.child("ver").text().get()).trimmed() == ver)
                expected = Xml::toQ(item.child("sha256").text().get());
        }
        if (!UpdateTrust::isSha256Text(expected) || ver.contains(u'/') || ver.startsWith(u'.'))
            return fail(QStringLiteral("Version %1 is not in the signed version list; nothing was installed.")
                            .arg(ver));
        const QString patch = folder.filePath(ver + QStringLiteral("/patch.zip"));
        if (UpdateTrust::sha256OfFile(patch) != expected.toLatin1())
            return fail(
                QStringLiteral("The patch of version %1 is damaged or was changed: its SHA-256 does not "
                               "match the version list. Nothing was installed.")
                    .arg(ver));
    }
    return true;
}

bool Updater::stage()
{
    QDir(stagePath()).removeRecursively();
    QMap<QString, QString> files;
    QSet<QString> deletes;
    for (qsizetype i = 0; i < m_versions.size(); ++i) {
        const QString ver = m_versions.at(i);
        const QString target = stagePath(QString::number(i));
        QDir().mkpath(target);
        QProcess unzip;
        unzip.setProcessChannelMode(QProcess::MergedChannels);
        unzip.start(QStringLiteral("unzip"),
                    {QStringLiteral("-q"), QStringLiteral("-o"),
                     QDir(m_updateFolder).filePath(ver + QStringLiteral("/patch.zip")), QStringLiteral("-d"),
                     target});
        if (!unzip.waitForFinished(10 * 60 * 1000) || unzip.exitStatus() != QProcess::NormalExit ||
            unzip.exitCode() != 0)
            return fail(
                QStringLiteral("The patch of version %1 cannot be unpacked (%2); nothing was installed.")
                    .arg(ver, QString::fromLocal8Bit(unzip.readAll()).trimmed()));
        const QDir root(target);
        QDirIterator it(target, QDir::Files | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const QString rel = root.relativeFilePath(path);
            if (QFileInfo(path).isSymLink() || !safeRelative(rel))
                return fail(QStringLiteral("The patch of version %1 holds %2, which may not be installed.")
                                .arg(ver, rel));
            if (rel == kDeleteList) {
                QFile list(path);
                if (!list.open(QIODevice::ReadOnly))
                    return fail(QStringLiteral("The patch of version %1 cannot be read.").arg(ver));
                for (const QByteArray &line : list.readAll().split('\n')) {
                    const QString name = QString::fromUtf8(line).trimmed();
                    if (name.isEmpty())
                        continue;
                    if (!safeRelative(name))
                        return fail(QStringLiteral("The patch of version %1 asks to delete %2, outside the "
                                                   "install folder.")
                                        .arg(ver, name));
                    files.remove(name);
                    deletes.insert(name);
                }
                continue;
            }
            files.insert(rel, path);
            deletes.remove(rel);
        }
    }
    m_files.clear();
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        m_files.append({it.key(), it.value()});
    m_deletes = QStringList(deletes.cbegin(), deletes.cend());
    return true;
}

bool Updater::journal(const QString &line)
{
    QFile file(journalPath());
    if (!file.open(QIODevice::Append) || file.write(line.toUtf8() + '\n') < 0 || !file.flush())
        return false;
    ::fsync(file.handle());
    return true;
}

bool Updater::swap()
{
    QFile::remove(journalPath());
    QDir(backupPath()).removeRecursively();
    if (!journal(QStringLiteral("begin")))
        return fail(QStringLiteral("Cannot write in %1: %2").arg(m_install, systemError()));
    bool crash = false;
    const int failAt = injectedFailureAt(crash);
    int moved = 0;
    const QDir install(m_install);
    // Moves the current file aside, so that it can come back.
    const auto keepAside = [this, &install](const QString &rel) {
        const QString target = install.filePath(rel);
        if (!QFileInfo(target).exists() && !QFileInfo(target).isSymLink())
            return journal(QStringLiteral("N ") + rel);
        QDir().mkpath(QFileInfo(backupPath(rel)).absolutePath());
        return journal(QStringLiteral("R ") + rel) && renamePath(target, backupPath(rel));
    };
    for (const auto &[rel, staged] : std::as_const(m_files)) {
        // Folders the new file needs are made one by one, so each can go again.
        QStringList parts = rel.split(u'/');
        parts.removeLast();
        QString dir;
        for (const QString &part : std::as_const(parts)) {
            dir = dir.isEmpty() ? part : dir + u'/' + part;
            if (!QFileInfo(install.filePath(dir)).isDir() &&
                (!journal(QStringLiteral("D ") + dir) || !install.mkdir(dir)))
                return fail(QStringLiteral("Cannot make %1: %2").arg(install.filePath(dir), systemError()));
        }
        if (!keepAside(rel))
            return fail(QStringLiteral("Cannot replace %1: %2").arg(install.filePath(rel), systemError()));
        if (++moved == failAt) {
            if (crash)
                ::_exit(9);
            errno = ENOSPC;
            return fail(QStringLiteral("Cannot write %1: %2").arg(install.filePath(rel), systemError()));
        }
        if (!renamePath(staged, install.filePath(rel)))
            return fail(QStringLiteral("Cannot write %1: %2").arg(install.filePath(rel), systemError()));
    }
    for (const QString &rel : std::as_const(m_deletes)) {
        if (QFileInfo::exists(install.filePath(rel)) && !keepAside(rel))
            return fail(QStringLiteral("Cannot delete %1: %2").arg(install.filePath(rel), systemError()));
    }
    return true;
}

void Updater::rollBack()
{
    QFile file(journalPath());
    QStringList lines;
    if (file.open(QIODevice::ReadOnly))
        lines = QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
    file.close();
    const QDir install(m_install);
    for (qsizetype i = lines.size() - 1; i >= 0; --i) {
        const QString kind = lines.at(i).left(2);
        const QString rel = lines.at(i).mid(2);
        if (!safeRelative(rel))
            continue;
        const QString target = install.filePath(rel);
        if (kind == u"N ") {
            QFile::remove(target);
        } else if (kind == u"R ") {
            if (QFileInfo::exists(backupPath(rel)) || QFileInfo(backupPath(rel)).isSymLink()) {
                QFile::remove(target);
                renamePath(backupPath(rel), target);
            }
        } else if (kind == u"D ") {
            install.rmdir(rel);
        }
    }
    QFile::remove(journalPath());
    QDir(backupPath()).removeRecursively();
    QDir(stagePath()).removeRecursively();
}

void Updater::recover()
{
    if (QFileInfo::exists(journalPath()))
        rollBack();
}
