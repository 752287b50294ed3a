#include "add/SourceLoader.h"

#include "common/FileUtil.h"
#include "common/Lang.h"
#include "pipeline/ExecRunner.h"
#include "platform/AppPaths.h"
#include "platform/Messages.h"
#include "queue/CVideoItem.h"
#include "recorder/CProjectFile.h"
#include "recorder/MediaLibraries.h"
#include "server/ServerSettings.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>

using namespace Qt::StringLiterals;
using namespace VideoSettings;

namespace {

const QString kSection = u"frmAdd"_s;

SourceFailure failureOf(const LanguageTable &language, const QString &section, const QString &key,
                        const QString &fallback = {})
{
    return {key, language.text(section, key, fallback)};
}

} // namespace

SourceLoader::SourceLoader(ExecRunner &runner, const LanguageTable &language, Messages::Channel &messages,
                           QObject *parent)
    : QObject(parent), m_language(language), m_messages(messages),
      m_probe(new VideoProbe(runner, language, messages, this)),
      m_libraries(new MediaLibraries(runner.processes(), this))
{
    connect(m_probe, &VideoProbe::probingChanged, this, &SourceLoader::busyChanged);
}

SourceLoader::~SourceLoader() = default;

void SourceLoader::setStopToken(StopToken stop)
{
    m_probe->stop = std::move(stop);
}

SourceKind SourceLoader::kindOf(const QString &path)
{
    const QString extension = QFileInfo(path).suffix().toLower();
    if (extension == u"qvp")
        return SourceKind::Project;
    if (extension == u"zdm")
        return SourceKind::SingleFileProject;
    return SourceKind::Video;
}

const QStringList &SourceLoader::videoExtensions()
{
    static const QStringList extensions{u"wmv"_s, u"mp4"_s,  u"m4v"_s, u"mpg"_s, u"mpeg"_s,
                                        u"avi"_s, u"m2ts"_s, u"m2t"_s, u"mts"_s, u"flv"_s,
                                        u"mov"_s, u"mkv"_s,  u"3gp"_s, u"vob"_s, u"f4v"_s};
    return extensions;
}

bool SourceLoader::isSourceName(const QString &path)
{
    const QFileInfo info(path);
    if (info.fileName() == u"project.qvp")
        return true;
    const QString extension = info.suffix().toLower();
    return videoExtensions().contains(extension) || extension == u"zdm";
}

std::optional<SourceFailure> SourceLoader::check(const LanguageTable &language, const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return SourceFailure{{}, u"\""_s + path + u"\" does not exists!"_s};
    const QString extension = info.suffix().toLower();
    if (extension == u"rmvb" || extension == u"rm")
        return failureOf(language, kSection, u"msg_rm_and_rmvb"_s, u"rm and rmvb file are not supported!"_s);
    if (info.fileName().toUpper() == u"VIDEO_TS.VOB")
        return failureOf(language, kSection, u"msg_VIDEO_TS_VOB"_s);
    if (extension == u"qvp" && !QFileInfo::exists(info.dir().filePath(u"media.qv"_s)))
        return failureOf(language, kSection, u"msg_noMediaQv"_s);
    return std::nullopt;
}

std::optional<SourceFailure> SourceLoader::versionRefusal(const LanguageTable &language, bool readable,
                                                          const QString &version,
                                                          const ServerSettings &server)
{
    // The major version decides: "8.0" is 8.
    if (readable && version.left(1).toInt() <= server.supportedQvpVer)
        return std::nullopt;
    SourceFailure failure = failureOf(language, u"frmCommon"_s, u"msgUnsupportQvpVer"_s);
    failure.text.replace(u"%s"_s, version.left(1));
    return failure;
}

std::optional<SourceFailure> SourceLoader::sizeRefusal(const LanguageTable &language,
                                                       const LoadedSource &source, const Choice &next,
                                                       const ServerSettings &server, Changed changed)
{
    const qint64 estimate = EstimatedSize(source.probe, source.bytes, next, server);
    if (estimate <= kLimitBytes)
        return std::nullopt;
    // Without a local conversion the source itself is what is too large.
    const QString key = changed == Changed::Conversion && next.cvtType != LocalConversion
                            ? u"msg_srcExceed2GB"_s
                            : u"msg_exceed2GB"_s;
    SourceFailure failure = failureOf(language, kSection, key);
    failure.text.replace(u"%s"_s, GiBText(estimate));
    return failure;
}

void SourceLoader::fillEntry(CVideoItem &entry, const LoadedSource &source, const Choice &choice,
                             const ServerSettings &server)
{
    entry.path = source.path;
    entry.fileName = QFileInfo(source.path).fileName();
    if (source.kind == SourceKind::Video) {
        ApplyToEntry(entry, source.probe, choice, server);
        return;
    }
    // A recording is uploaded as recorded; only its file matters here.
    entry.dstCvtType = choice.cvtType;
    entry.dstResType = choice.resType;
    entry.dstPostfix = Postfix(0, server);
    entry.fileSize = FileSizeBytes(source.path);
    entry.dateLastModified = LastModifiedText(source.path);
    entry.useTmpName = !server.resolutionList.isEmpty();
}

void SourceLoader::fillDestination(CVideoItem &entry, const LoginSession::Login &login,
                                   const QString &folderId, const QString &folderName,
                                   const ServerSettings &server, bool hashPassword)
{
    entry.Url = login.server.trimmed();
    entry.account = login.account.trimmed();
    entry.password = login.password.trimmed();
    entry.folderID = folderId;
    entry.folderName = folderName;
    entry.contentID = u"0"_s;
    entry.sysVer = server.serverSysVer;
    entry.bEncPassword = hashPassword;
}

QCoro::Task<LoadedSource> SourceLoader::load(QString path, ServerSettings server, bool quiet,
                                             QString messageTitle)
{
    LoadedSource source;
    source.path = path;
    source.kind = kindOf(path);
    source.failure = check(m_language, path);
    if (!source.failure) {
        switch (source.kind) {
        case SourceKind::Project:
            readProject(source, path, server, quiet);
            break;
        case SourceKind::SingleFileProject:
            source = co_await loadSingleFileProject(std::move(source), server, quiet);
            break;
        default:
            // The probe shows its own messages.
            source = co_await loadVideo(std::move(source), quiet);
            co_return source;
        }
    }
    if (!quiet && source.failure && !source.failure->text.isEmpty())
        m_messages.show(source.failure->text, messageTitle);
    co_return source;
}

QCoro::Task<LoadedSource> SourceLoader::loadVideo(LoadedSource source, bool quiet)
{
    QPointer<SourceLoader> self(this);
    const QString path = source.path;
    // Quiet is the batch search; otherwise the single dialog's messages.
    const bool probed =
        quiet ? co_await m_probe->GetVideoInfo(path, true) : co_await m_probe->ProbeVideo(path);
    if (!self)
        co_return source;
    if (!probed) {
        source.failure = SourceFailure{VideoProbe::failureKey(m_probe->failure),
                                       VideoProbe::failureText(m_language, m_probe->failure)};
        co_return source;
    }
    source.probe = m_probe->result;
    source.bytes = FileSizeBytes(path);
    source.loaded = true;
    co_return source;
}

QCoro::Task<LoadedSource> SourceLoader::loadSingleFileProject(LoadedSource source, ServerSettings server,
                                                              bool quiet)
{
    const QString folder = UniqueTempFolder(AppPaths::tempDir(), u"tmp_zdm_"_s);
    if (folder.isEmpty() || !QDir().mkpath(folder)) {
        source.failure = SourceFailure{{}, u"Cannot make a temporary folder in "_s + AppPaths::tempDir()};
        co_return source;
    }
    const QStringList paths = MediaLibrary::extendDataPaths(folder);
    QPointer<SourceLoader> self(this);
    // Unpacking a large recording takes a moment: the caller is busy meanwhile.
    Q_EMIT busyChanged(true);
    const QString projectPath = source.path;
    co_await m_libraries->GetExtendDataFromProject(projectPath, paths.at(0), paths.at(1), paths.at(2),
                                                   paths.at(3));
    if (self) {
        Q_EMIT busyChanged(false);
        readProject(source, paths.at(0), server, quiet);
    }
    DeleteFolderIfExists(folder);
    co_return source;
}

void SourceLoader::readProject(LoadedSource &source, const QString &qvpPath, const ServerSettings &server,
                               bool quiet)
{
    // The reader names the step that failed; the refusal below only says
    // that the project cannot go.
    CProjectFile project(m_language, m_messages);
    const bool readable = project.Load(qvpPath, quiet);
    source.version = project.version;
    source.failure = versionRefusal(m_language, readable, project.version, server);
    if (source.failure)
        return;
    source.title = project.title;
    source.author = project.author;
    if (!project.items.isEmpty())
        source.recDate = project.items.first().RecDate;
    source.bytes = FileSizeBytes(source.path);
    source.loaded = true;
}
