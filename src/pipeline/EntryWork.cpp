#include "pipeline/EntryWork.h"

#include "common/FileUtil.h"
#include "platform/AppPaths.h"
#include "queue/CVideoItem.h"
#include "queue/QueueFile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>
#include <QSet>

using namespace Qt::StringLiterals;

namespace {

const QString kRecord = u"state.json"_s;
// A record larger than this is not ours.
constexpr qint64 kMaxRecordBytes = 64 * 1024;

QString shortHash(const QString &text)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256).toHex().left(20));
}

} // namespace

EntryWork::EntryWork(const QString &root, const QString &key)
    : m_folder(QDir(root).filePath(shortHash(key.trimmed()))), m_key(key.trimmed())
{}

QString EntryWork::rootFor(const QString &queueFile)
{
    return QDir(AppPaths::dataDir())
        .filePath(u"work/"_s + shortHash(QFileInfo(queueFile).absoluteFilePath()).left(12));
}

QString EntryWork::defaultRoot()
{
    return rootFor(QueueFile::defaultPath());
}

void EntryWork::removeUnowned(const QString &root, const QStringList &keys)
{
    QSet<QString> owned;
    for (const QString &key : keys)
        owned.insert(EntryWork(root, key).folder());
    const QDir dir(root);
    for (const QString &name : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden)) {
        const QString path = dir.filePath(name);
        if (!owned.contains(path))
            DeleteFolderIfExists(path);
    }
}

QString EntryWork::fingerprint(const QStringList &parts)
{
    return shortHash(parts.join(QChar(0x1f)));
}

QString EntryWork::contentFolder() const
{
    return QDir(m_folder).filePath(u"content"_s);
}

QString EntryWork::packageFolder() const
{
    return QDir(m_folder).filePath(u"package"_s);
}

QString EntryWork::archivePath() const
{
    return QDir(packageFolder()).filePath(u"tarn_file.zip"_s);
}

bool EntryWork::open(const CVideoItem &entry)
{
    if (isNull() || !QDir().mkpath(m_folder))
        return false;
    m_record = {};
    QFile file(QDir(m_folder).filePath(kRecord));
    if (file.size() <= kMaxRecordBytes && file.open(QIODevice::ReadOnly)) {
        const QJsonDocument doc = QJsonDocument::fromJson(file.readAll());
        if (doc.isObject())
            m_record = doc.object();
    }
    const QJsonObject source = m_record.value(u"source"_s).toObject();
    const qint64 size = FileSizeBytes(entry.path);
    const QString modified = LastModifiedText(entry.path);
    // A record of another source, or of this one before it changed, is no
    // use: its work goes, so a new conversion starts from an empty folder.
    if (m_record.value(u"key"_s).toString() != m_key || source.value(u"size"_s).toInteger(-1) != size ||
        source.value(u"modified"_s).toString() != modified) {
        DeleteFolderIfExists(contentFolder());
        DeleteFolderIfExists(packageFolder());
        m_record = {{u"key"_s, m_key},
                    {u"source"_s, QJsonObject{{u"size"_s, size}, {u"modified"_s, modified}}}};
        if (!save())
            return false;
    }
    return QDir().mkpath(contentFolder());
}

QString EntryWork::convertedFile(const QString &settings) const
{
    const QJsonObject conversion = m_record.value(u"conversion"_s).toObject();
    const QString name = conversion.value(u"file"_s).toString();
    if (name.isEmpty() || conversion.value(u"settings"_s).toString() != settings ||
        !QFileInfo(QDir(contentFolder()).filePath(name)).isFile())
        return {};
    return name;
}

bool EntryWork::setConverted(const QString &fileName, const QString &settings)
{
    m_record.insert(u"conversion"_s, QJsonObject{{u"file"_s, fileName}, {u"settings"_s, settings}});
    return save();
}

bool EntryWork::clearContent()
{
    m_record.remove(u"conversion"_s);
    m_record.remove(u"package"_s);
    m_record.remove(u"upload"_s);
    DeleteFolderIfExists(packageFolder());
    const bool emptied = RecreateFolder(contentFolder()) == 0;
    return save() && emptied;
}

QString EntryWork::packedSha256(const QString &settings) const
{
    const QJsonObject package = m_record.value(u"package"_s).toObject();
    if (package.value(u"settings"_s).toString() != settings || !QFileInfo(archivePath()).isFile())
        return {};
    return package.value(u"sha256"_s).toString();
}

bool EntryWork::setPacked(const QString &sha256Hex, const QString &settings)
{
    m_record.insert(u"package"_s, QJsonObject{{u"sha256"_s, sha256Hex}, {u"settings"_s, settings}});
    m_record.remove(u"upload"_s);
    return save();
}

bool EntryWork::clearPackage()
{
    m_record.remove(u"package"_s);
    m_record.remove(u"upload"_s);
    DeleteFolderIfExists(packageFolder());
    return save();
}

QString EntryWork::uploadAddress(const QString &target) const
{
    const QJsonObject upload = m_record.value(u"upload"_s).toObject();
    return upload.value(u"target"_s).toString() == target ? upload.value(u"address"_s).toString() : QString();
}

bool EntryWork::setUploadAddress(const QString &address, const QString &target)
{
    m_record.insert(u"upload"_s, QJsonObject{{u"address"_s, address}, {u"target"_s, target}});
    return save();
}

void EntryWork::remove()
{
    if (!isNull())
        DeleteFolderIfExists(m_folder);
    m_record = {};
}

bool EntryWork::save()
{
    // Written whole or not at all: a kill leaves the record before or after.
    QSaveFile file(QDir(m_folder).filePath(kRecord));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QJsonDocument(m_record).toJson(QJsonDocument::Compact));
    return file.commit();
}
