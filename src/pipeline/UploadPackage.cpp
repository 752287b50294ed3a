#include "pipeline/UploadPackage.h"

#include "common/FileUtil.h"
#include "common/Lang.h"
#include "common/XmlUtil.h"
#include "pipeline/ExecRunner.h"
#include "pipeline/ProgressView.h"
#include "pipeline/RunFlags.h"
#include "platform/AppPaths.h"
#include "recorder/CProjectFile.h"

#include <QDir>
#include <QFileInfo>

namespace {

const QString kProfile = QStringLiteral("tarn_profile.xml");
const QString kArchive = QStringLiteral("tarn_file.zip");

// Writes a value only into an element the template already holds.
void setByPath(pugi::xml_document &doc, const char *path, const QString &value)
{
    if (pugi::xml_node node = Xml::SelectByPath(doc, QString::fromLatin1(path)))
        node.text().set(Xml::toU8(value).constData());
}

bool isRecording(const QString &sourceKind)
{
    return sourceKind == QLatin1String("Corvana") || sourceKind == QLatin1String("Lumetra");
}

} // namespace

UploadPackage::UploadPackage(ExecRunner &runner, RunFlags &flags, ProgressView &view, QObject *parent)
    : QObject(parent), m_runner(runner), m_flags(flags), m_view(view)
{}

bool UploadPackage::CreateProfile(const QString &sourceKind)
{
    const QString profile = QDir(workFolder).filePath(kProfile);
    if (FileSizeBytes(profile) < 10) {
        DeleteFileIfExists(profile);
        CopyFileReplace(AppPaths::resourcePath(kProfile), profile);
    }
    pugi::xml_document doc;
    if (!Xml::parseFile(doc, profile))
        return false;

    pptPath.clear();
    if (isRecording(sourceKind)) {
        setByPath(doc, "type", QStringLiteral("Corvana"));
        setByPath(doc, "metadata.title", entry.title);
        setByPath(doc, "metadata.author", entry.Author);
        const QString projectFolder = QFileInfo(entry.path).absolutePath();
        if (project) {
            setByPath(doc, "metadata.keywords", project->keywords);
            setByPath(doc, "metadata.abstract", project->comments);
        }
        pptPath = findPowerPoint(projectFolder);
        setByPath(doc, "metadata.project",
                  pptPath.isEmpty() ? QFileInfo(projectFolder).fileName() : QFileInfo(pptPath).fileName());
        return Xml::SaveXmlPretty(doc, profile);
    }

    if (entry.dstCvtType == 1)
        setByPath(doc, "type", QStringLiteral("Source"));
    else if (entry.dstCvtType == 2)
        setByPath(doc, "type", QStringLiteral("Mp4"));
    setByPath(doc, "metadata.title", entry.title);
    setByPath(doc, "metadata.author", entry.Author);
    setByPath(doc, "metadata.width", QString::number(entry.videoWidth));
    setByPath(doc, "metadata.height", QString::number(entry.videoHeight));
    if (entry.dstCvtType == 1 || uploadSource) {
        const QString extension = QFileInfo(entry.fileName).suffix();
        setByPath(doc, "metadata.srcname",
                  QStringLiteral("src") + (extension.isEmpty() ? QString() : u'.' + extension));
        setByPath(doc, "metadata.srcsize", QString::number(FileSizeBytes(entry.path)).trimmed());
        setByPath(doc, "metadata.srcwidth", QString::number(entry.srcVideoWidth));
        setByPath(doc, "metadata.srcheight", QString::number(entry.srcVideoHeight));
    } else if (entry.dstCvtType == 0 && entry.useTmpName) {
        setByPath(doc, "metadata.srcname", QStringLiteral("tmp.mp4"));
    }
    return Xml::SaveXmlPretty(doc, profile);
}

QCoro::Task<bool> UploadPackage::PackFiles(QString zipFolder)
{
    QPointer<UploadPackage> self(this);
    const QString copiedPpt =
        pptPath.isEmpty() ? QString() : QDir(workFolder).filePath(QFileInfo(pptPath).fileName());
    if (!copiedPpt.isEmpty())
        CopyFileReplace(pptPath, copiedPpt);
    RecreateFolder(zipFolder);

    m_view.setStatusText(
        Lang(QStringLiteral("frmUpload"), QStringLiteral("msgPack"), QStringLiteral("Packing files.")));
    m_view.setAnimationRunning(true);
    const QString archive = QDir(zipFolder).filePath(kArchive);
    const QString command =
        QStringLiteral("zip -0 -r -q \"") + QDir::toNativeSeparators(archive) + QStringLiteral("\" *");
    co_await m_runner.ExecWait(command, workFolder);
    if (!self)
        co_return false;
    m_view.setAnimationRunning(false);

    archiveWritten = QFileInfo::exists(archive);
    if (!copiedPpt.isEmpty())
        DeleteFileIfExists(copiedPpt);
    if (!archiveWritten || m_flags.stepCanceled)
        DeleteFolderIfExists(zipFolder);
    co_return QFileInfo::exists(archive);
}

QString UploadPackage::newZipFolder()
{
    return UniqueTempFolder(AppPaths::tempDir(), QStringLiteral("_qvVidZip_"));
}

QString UploadPackage::findPowerPoint(const QString &projectFolder)
{
    const QFileInfo folder(projectFolder);
    const QString ppt = QDir(folder.absolutePath()).filePath(folder.fileName() + QStringLiteral(".ppt"));
    if (QFileInfo::exists(ppt))
        return ppt;
    if (QFileInfo::exists(ppt + u'x'))
        return ppt + u'x';
    return {};
}
