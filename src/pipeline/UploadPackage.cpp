#include "pipeline/UploadPackage.h"

#include "common/FileUtil.h"
#include "common/Lang.h"
#include "common/XmlUtil.h"
#include "pipeline/ExecRunner.h"
#include "pipeline/ProgressView.h"
#include "platform/AppPaths.h"
#include "recorder/CProjectFile.h"

#include <QCoroFuture>
#include <QDir>
#include <QFileInfo>
#include <QPointer>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

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

UploadPackage::UploadPackage(ExecRunner &runner, ProgressView &view, const LanguageTable &language,
                             QObject *parent)
    : QObject(parent), m_runner(runner), m_view(view), m_language(language)
{}

QString UploadPackage::powerPointOf(const EntryJob &job, const QString &sourceKind)
{
    return isRecording(sourceKind) ? findPowerPoint(QFileInfo(job.entry.path).absolutePath()) : QString();
}

bool UploadPackage::CreateProfile(const EntryJob &job, const QString &sourceKind, const CProjectFile *project)
{
    const CVideoItem &entry = job.entry;
    const QString &workFolder = job.workFolder;
    const QString profile = QDir(workFolder).filePath(kProfile);
    if (FileSizeBytes(profile) < 10) {
        DeleteFileIfExists(profile);
        CopyFileReplace(AppPaths::resourcePath(kProfile), profile);
    }
    pugi::xml_document doc;
    if (!Xml::parseFile(doc, profile))
        return false;

    if (isRecording(sourceKind)) {
        setByPath(doc, "type", QStringLiteral("Corvana"));
        setByPath(doc, "metadata.title", entry.title);
        setByPath(doc, "metadata.author", entry.Author);
        const QString projectFolder = QFileInfo(entry.path).absolutePath();
        if (project) {
            setByPath(doc, "metadata.keywords", project->keywords);
            setByPath(doc, "metadata.abstract", project->comments);
        }
        const QString pptPath = findPowerPoint(projectFolder);
        setByPath(doc, "metadata.project",
                  pptPath.isEmpty() ? QFileInfo(projectFolder).fileName() : QFileInfo(pptPath).fileName());
        return Xml::SaveXmlPretty(doc, profile);
    }

    if (entry.dstCvtType == ServerConversion)
        setByPath(doc, "type", QStringLiteral("Source"));
    else if (entry.dstCvtType == NoConversion)
        setByPath(doc, "type", QStringLiteral("Mp4"));
    setByPath(doc, "metadata.title", entry.title);
    setByPath(doc, "metadata.author", entry.Author);
    setByPath(doc, "metadata.width", QString::number(entry.videoWidth));
    setByPath(doc, "metadata.height", QString::number(entry.videoHeight));
    if (entry.dstCvtType == ServerConversion || job.uploadSource) {
        const QString extension = QFileInfo(entry.fileName).suffix();
        setByPath(doc, "metadata.srcname",
                  QStringLiteral("src") + (extension.isEmpty() ? QString() : u'.' + extension));
        setByPath(doc, "metadata.srcsize", QString::number(FileSizeBytes(entry.path)).trimmed());
        setByPath(doc, "metadata.srcwidth", QString::number(entry.srcVideoWidth));
        setByPath(doc, "metadata.srcheight", QString::number(entry.srcVideoHeight));
    } else if (entry.dstCvtType == LocalConversion && entry.useTmpName) {
        setByPath(doc, "metadata.srcname", QStringLiteral("tmp.mp4"));
    }
    return Xml::SaveXmlPretty(doc, profile);
}

QCoro::Task<PackResult> UploadPackage::PackFiles(EntryJob job, QString sourceKind, QString zipFolder)
{
    QPointer<UploadPackage> self(this);
    const QString pptPath = powerPointOf(job, sourceKind);
    const QString copiedPpt =
        pptPath.isEmpty() ? QString() : QDir(job.workFolder).filePath(QFileInfo(pptPath).fileName());
    PackResult result;
    if (!copiedPpt.isEmpty()) {
        // A slide deck can be large: it is copied off the loop.
        QFuture<bool> copying = CopyFileOffLoop(pptPath, copiedPpt);
        const bool copied = co_await copying;
        if (!self)
            co_return result;
        if (!copied) {
            result.error = u"Cannot copy "_s + pptPath + u" into "_s + job.workFolder;
            co_return result;
        }
    }
    RecreateFolder(zipFolder);

    m_view.setStatusText(m_language.text(u"frmUpload"_s, u"msgPack"_s, u"Packing files."_s));
    m_view.setStepProgress({EntryPhase::Packing, 0});
    m_view.setAnimationRunning(true);
    const QString archive = QDir(zipFolder).filePath(kArchive);
    const QString command = u"zip -0 -r -q \""_s + QDir::toNativeSeparators(archive) + u"\" *"_s;
    const ProcessResult zipped = co_await m_runner.ExecWait(command, job.stop, job.workFolder, -1ms);
    if (!self)
        co_return result;
    m_view.setAnimationRunning(false);
    if (!copiedPpt.isEmpty())
        DeleteFileIfExists(copiedPpt);

    result.archiveWritten = QFileInfo::exists(archive);
    if (zipped.ok() && result.archiveWritten && !job.stopped()) {
        result.outcome = PackResult::Outcome::Packed;
        co_return result;
    }
    // A zip that failed or was stopped may have left half an archive.
    DeleteFolderIfExists(zipFolder);
    result.outcome = job.stopped() ? PackResult::Outcome::Stopped : PackResult::Outcome::Failed;
    result.error = zipped.ok() ? u"zip wrote no archive"_s : zipped.errorText();
    co_return result;
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
