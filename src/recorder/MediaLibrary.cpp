#include "recorder/MediaLibrary.h"

#include "common/FileUtil.h"
#include "platform/Coro.h"
#include "platform/ProcessRunner.h"
#include "platform/ToolLocator.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <limits>

using namespace std::chrono_literals;
using namespace Qt::Literals::StringLiterals;

namespace {

// One frame is found and scaled in well under this even on a slow machine.
constexpr auto kThumbTimeout = 120s;
// Packing copies the media once; decoding a long recording takes as long as
// it takes.
constexpr auto kZipTimeout = 30min;
constexpr std::chrono::milliseconds kNoTimeout{-1};

QList<qint64> readPositions(const QString &listPath)
{
    QList<qint64> positions;
    QFile list(listPath);
    if (!list.open(QIODevice::ReadOnly | QIODevice::Text))
        return positions;
    const QList<QByteArray> lines = list.readAll().split('\n');
    for (const QByteArray &line : lines) {
        bool ok = false;
        const qint64 position = line.trimmed().toLongLong(&ok);
        if (ok && position >= 0)
            positions.append(position);
    }
    return positions;
}

QStringList thumbArguments(const QString &mediaPath, qint64 position, const QString &target, int width,
                           int height)
{
    QStringList args{u"-hide_banner"_s,
                     u"-nostdin"_s,
                     u"-v"_s,
                     u"error"_s,
                     u"-y"_s,
                     u"-ss"_s,
                     QString::number(static_cast<double>(position) / 1000.0, 'f', 3),
                     u"-i"_s,
                     mediaPath,
                     u"-frames:v"_s,
                     u"1"_s};
    if (width > 0 && height > 0)
        args << u"-vf"_s << u"scale=%1:%2"_s.arg(width).arg(height);
    args << u"-q:v"_s << u"3"_s << u"-update"_s << u"1"_s << target;
    return args;
}

// Every packet is read and decoded, and the container's checksums are
// checked; any error at all, even one ffmpeg gets past, is damage.
QStringList verifyArguments(const QString &mediaPath)
{
    return {u"-hide_banner"_s, u"-nostdin"_s, u"-v"_s,   u"error"_s, u"-err_detect"_s, u"crccheck"_s,
            u"-xerror"_s,      u"-i"_s,       mediaPath, u"-f"_s,    u"null"_s,        u"-"_s};
}

// unzip's arguments to unpack the named members into `folder`.
QStringList unzipArguments(const QString &archive, const QStringList &members, const QString &folder)
{
    return QStringList{u"-o"_s, u"-q"_s, QFileInfo(archive).absoluteFilePath()} + members +
           QStringList{u"-d"_s, folder};
}

QStringList zipArguments(const QString &archive, const QStringList &members)
{
    return QStringList{u"-q"_s, QFileInfo(archive).absoluteFilePath()} + members;
}

} // namespace

MediaLibrary::MediaLibrary(ProcessRunner &processes, QObject *parent)
    : QObject(parent), m_processes(processes)
{}

QStringList MediaLibrary::extendDataNames()
{
    return {u"project.qvp"_s, u"cursor.gif"_s, u"photo.gif"_s, u"inteIndex.txt"_s};
}

QStringList MediaLibrary::extendDataPaths(const QString &folder)
{
    QStringList paths;
    for (const QString &name : extendDataNames())
        paths.append(QDir::cleanPath(QDir::fromNativeSeparators(folder) + u'/' + name));
    return paths;
}

QString MediaLibrary::findTool(const QString &name)
{
    const QString path = ToolLocator::find(name);
    if (path.isEmpty())
        m_error = ToolLocator::missingMessage(name);
    return path;
}

int MediaLibrary::ThumbCreate2(const QString &mediaPath, const QString &listPath, const QString &folderName,
                               int width, int height, StopToken stop)
{
    if (m_rendering) {
        m_error = u"Thumbnails are already being made."_s;
        return 0;
    }
    const QString ffmpeg = findTool(u"ffmpeg"_s);
    const QString folder = QFileInfo(mediaPath).dir().filePath(folderName);
    if (ffmpeg.isEmpty() || !QDir().mkpath(folder)) {
        if (!ffmpeg.isEmpty())
            m_error = u"Cannot create the folder \"%1\"."_s.arg(folder);
        m_thumbTime = -1;
        return 0;
    }
    m_thumbTime = 0;
    Coro::start(
        this, m_rendering,
        [&, this] { return renderThumbs(mediaPath, readPositions(listPath), folder, width, height, stop); },
        [this] { m_thumbTime = -1; });
    return 1;
}

QCoro::Task<> MediaLibrary::renderThumbs(QString mediaPath, QList<qint64> positions, QString folder,
                                         int width, int height, StopToken stop)
{
    const QPointer<MediaLibrary> self(this);
    for (const qint64 position : positions) {
        if (stop.stopRequested())
            co_return;
        m_thumbTime = static_cast<int>(std::min<qint64>(position, std::numeric_limits<int>::max()));
        const QString target = QDir(folder).filePath(QString::number(position) + u".jpg"_s);
        ProcessSpec spec =
            ProcessSpec::of(u"ffmpeg"_s, thumbArguments(mediaPath, position, target, width, height));
        spec.timeout = kThumbTimeout;
        spec.stop = stop;
        const ProcessResult made = co_await m_processes.run(std::move(spec));
        if (!self)
            co_return;
        // A position past the end of the media simply gets no image.
        if (!made.ok())
            m_error = u"No image at %1 ms: %2"_s.arg(position).arg(made.errorText());
    }
}

QCoro::Task<bool> MediaLibrary::runTool(QString program, QStringList arguments, QString workingFolder,
                                        std::chrono::milliseconds timeout, StopToken stop,
                                        int alsoAcceptedCode)
{
    ProcessSpec spec = ProcessSpec::of(program, arguments, workingFolder);
    spec.timeout = timeout;
    spec.stop = std::move(stop);
    spec.alsoAcceptedExitCode = alsoAcceptedCode;
    const QPointer<MediaLibrary> self(this);
    const ProcessResult result = co_await m_processes.run(std::move(spec));
    if (!self)
        co_return false;
    m_lastOutput = QString::fromLocal8Bit(result.output).trimmed();
    if (!result.ok())
        m_error = result.errorText();
    co_return result.ok();
}

QCoro::Task<int> MediaLibrary::verifyWholeQvFile(QString mediaPath, StopToken stop)
{
    if (!QFileInfo(mediaPath).isFile()) {
        m_error = u"The media \"%1\" does not exist."_s.arg(mediaPath);
        co_return 0;
    }
    if (isSingleFileProject(mediaPath))
        co_return co_await verifySingleFileProject(mediaPath, stop);
    const QString ffmpeg = findTool(u"ffmpeg"_s);
    if (ffmpeg.isEmpty())
        co_return 0;
    const QPointer<MediaLibrary> self(this);
    const bool decoded = co_await runTool(ffmpeg, verifyArguments(mediaPath), {}, kNoTimeout, stop);
    if (!self)
        co_return 0;
    if (decoded && m_lastOutput.isEmpty())
        co_return 1;
    if (decoded)
        m_error = u"The media is damaged: %1"_s.arg(m_lastOutput);
    co_return 0;
}

bool MediaLibrary::isSingleFileProject(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.read(4) == QByteArrayLiteral("PK\x03\x04");
}

QString MediaLibrary::makeStage(const QString &base, const QString &prefix)
{
    const QString stage = UniqueTempFolder(base, prefix);
    if (stage.isEmpty() || !QDir().mkpath(stage)) {
        m_error = u"Cannot create a folder in \"%1\"."_s.arg(base);
        return {};
    }
    return stage;
}

// A single-file project's media is verified as it is stored inside it:
// unpacked (with unzip's own checksum test) beside the other temporary
// files, then decoded like any media.
QCoro::Task<int> MediaLibrary::verifySingleFileProject(QString projectPath, StopToken stop)
{
    const QString unzip = findTool(u"unzip"_s);
    if (unzip.isEmpty())
        co_return 0;
    const QString stage = makeStage(QDir::tempPath(), u".zdm_verify_"_s);
    if (stage.isEmpty())
        co_return 0;
    const QPointer<MediaLibrary> self(this);
    const QStringList arguments = unzipArguments(projectPath, {u"media.qv"_s}, stage);
    const QString anyFolder;
    const bool unpacked = co_await runTool(unzip, arguments, anyFolder, kZipTimeout, stop);
    if (!self)
        co_return 0;
    const QString media = QDir(stage).filePath(u"media.qv"_s);
    int sound = 0;
    if (unpacked && QFileInfo(media).isFile())
        sound = co_await verifyWholeQvFile(media, stop);
    else if (unpacked)
        m_error = u"\"%1\" holds no media.qv."_s.arg(projectPath);
    DeleteFolderIfExists(stage);
    co_return sound;
}

QCoro::Task<int> MediaLibrary::GetExtendDataFromProject(QString projectPath, QString qvpPath,
                                                        QString cursorPath, QString photoPath,
                                                        QString indexPath)
{
    const QString unzip = findTool(u"unzip"_s);
    if (unzip.isEmpty())
        co_return 0;
    if (!QFileInfo(projectPath).isFile()) {
        m_error = u"The project \"%1\" does not exist."_s.arg(projectPath);
        co_return 0;
    }
    // Unpacked beside the first target and then moved, so no target is ever
    // half-written.
    const QString stage = makeStage(QFileInfo(qvpPath).absolutePath(), u".zdm_"_s);
    if (stage.isEmpty())
        co_return 0;
    const QStringList names = extendDataNames();
    const QPointer<MediaLibrary> self(this);
    // Exit code 11: some names are not in the archive; the others are unpacked.
    const bool unpacked =
        co_await runTool(unzip, unzipArguments(projectPath, names, stage), {}, kZipTimeout, {}, 11);
    if (!self)
        co_return 0;
    if (unpacked) {
        const QStringList targets = QStringList() << qvpPath << cursorPath << photoPath << indexPath;
        for (qsizetype i = 0; i < names.size(); ++i) {
            const QString unpackedFile = QDir(stage).filePath(names.at(i));
            if (QFileInfo::exists(unpackedFile))
                MoveFileReplace(unpackedFile, targets.at(i));
        }
    }
    DeleteFolderIfExists(stage);
    if (unpacked && !QFileInfo::exists(qvpPath))
        m_error = u"\"%1\" holds no project.qvp."_s.arg(projectPath);
    co_return unpacked &&QFileInfo::exists(qvpPath) ? 1 : 0;
}

QCoro::Task<int> MediaLibrary::SetExtendDataInProject(QString projectPath, QString qvpPath,
                                                      QString cursorPath, QString photoPath,
                                                      QString indexPath)
{
    const QString zip = findTool(u"zip"_s);
    if (zip.isEmpty())
        co_return 0;
    if (!QFileInfo(projectPath).isFile()) {
        m_error = u"The project \"%1\" does not exist."_s.arg(projectPath);
        co_return 0;
    }
    // zip stores entries under the names it is given, so the files are
    // gathered under their archive names first.
    const QString stage = makeStage(QFileInfo(projectPath).absolutePath(), u".zdm_"_s);
    if (stage.isEmpty())
        co_return 0;
    const QStringList names = extendDataNames();
    const QStringList sources = QStringList() << qvpPath << cursorPath << photoPath << indexPath;
    QStringList staged;
    for (qsizetype i = 0; i < names.size(); ++i) {
        if (QFileInfo(sources.at(i)).isFile() &&
            QFile::copy(sources.at(i), QDir(stage).filePath(names.at(i))))
            staged.append(names.at(i));
    }
    if (!staged.contains(names.first())) {
        DeleteFolderIfExists(stage);
        m_error = u"The project file \"%1\" cannot be read."_s.arg(qvpPath);
        co_return 0;
    }
    // zip writes a new archive beside the old one and replaces it when done.
    const QPointer<MediaLibrary> self(this);
    const bool written = co_await runTool(zip, zipArguments(projectPath, staged), stage, kZipTimeout, {});
    if (!self)
        co_return 0;
    DeleteFolderIfExists(stage);
    co_return written ? 1 : 0;
}
