#include "pipeline/VideoConversion.h"

#include "common/FileUtil.h"
#include "common/Lang.h"
#include "common/TextUtil.h"
#include "common/XmlUtil.h"
#include "pipeline/ProgressView.h"
#include "platform/AppPaths.h"
#include "platform/Coro.h"
#include "queue/QueueModel.h"

#include <QCoroFuture>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFuture>
#include <QPointer>
#include <QPromise>
#include <QTextStream>
#include <QThreadPool>
#include <memory>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

QString quoted(const QString &path)
{
    return u'"' + path + u'"';
}

// Where the design leaves a path unquoted (the program, the pass log, the
// MP4Box arguments), it is quoted only when a blank would split it.
QString bare(const QString &path)
{
    return path.contains(u' ') ? quoted(path) : path;
}

QString folderOf(const QString &path)
{
    return QFileInfo(path).absolutePath();
}

QString inFolder(const QString &folder, const QString &name)
{
    return QDir(folder).filePath(name);
}

bool exists(const QString &path)
{
    return QFileInfo::exists(path);
}

} // namespace

QString PrepareResultText(int code, const QString &description)
{
    switch (code) {
    case -1:
        return u"File locked"_s;
    case -2:
        return u"Convert error"_s;
    case -3:
        return u"Decode stream error"_s;
    case -4:
        return u"Inject error"_s;
    case -5:
        return u"Copy source file error"_s;
    case -6:
        return u"Capture image error"_s;
    case -7:
        return u"Get keyframe error"_s;
    case -8:
        return u"Resample error"_s;
    case -9:
        return u"Not enough free space"_s;
    case 0:
        return u"Error description: "_s + description;
    default:
        return code >= 1 ? QString() : u"Unknown error"_s;
    }
}

VideoConversion::VideoConversion(ExecRunner &runner, RunFlags &flags, ProgressView &view, QueueModel *grid,
                                 QObject *parent)
    : QObject(parent), m_runner(runner), m_flags(flags), m_view(view), m_grid(grid)
{}

QString VideoConversion::ffmpegPath()
{
    return QDir(AppPaths::programDir()).filePath(u"ffmpeg"_s);
}

QString VideoConversion::gopSize(qint32 durationSeconds)
{
    const qint32 blocks = durationSeconds / 600;
    if (durationSeconds > 0 && blocks > 2)
        return QString::number(blocks * 30);
    return u"60"_s;
}

int VideoConversion::threadCount(const RunFlags &flags)
{
    return flags.highSpeed || flags.cpuCount <= 2 ? flags.cpuCount : 1;
}

QString VideoConversion::fileListCaption(const CVideoItem &entry)
{
    if (!entry.sysVer.isEmpty())
        return QString::number(RoundToEven(entry.videoWidth / 16.0 * 9)) + u'p';
    return entry.videoWidth < 641 ? u"Normal"_s : u"HD"_s;
}

QString VideoConversion::encoderCommand(const EncodeJob &job, int pass, bool deinterlace)
{
    QString size = QString::number(job.width) + u'x' + QString::number(job.height);
    const QString aspect = QString::number(job.width) + u':' + QString::number(job.height);
    // This player profile wants 720x540 sources encoded at 720x600.
    if (size == u"720x540")
        size = u"720x600"_s;
    const QString logBase = inFolder(folderOf(job.destination), u"log"_s);
    return bare(job.ffmpeg) + u" -y "_s + (deinterlace ? u"-deinterlace "_s : QString()) + u"-i "_s +
           quoted(job.source) + u" -map_chapters -1 -acodec libfaac -ac 2 -b:a "_s + job.audioBitRate +
           u" -ar 44100 -vcodec libx264 -pix_fmt yuv420p -threads "_s + QString::number(job.threads) +
           u" -vsync 1 -s "_s + size + u" -aspect "_s + aspect + u" -b:v "_s + job.videoBitRate +
           u" -r 30 -g "_s + gopSize(job.durationSeconds) +
           u" -level 30 -coder 1 -flags +loop -partitions +parti4x4+parti8x8+partp8x8+partb8x8 -me_method umh"
           u" -subq 7 -me_range 16 -i_qfactor 0.71 -b_strategy 2 -qcomp 0.6 -qmin 10 -qmax 51"_s +
           u" -qdiff 4 -bf 1 -refs 1 -trellis 2 -wpredp 2 -pass "_s + QString::number(pass) +
           u" -passlogfile "_s + bare(logBase) + u' ' + quoted(job.destination);
}

int VideoConversion::unexpected(const QString &description)
{
    lastError = description;
    return 0;
}

void VideoConversion::setGridTime(int column)
{
    if (m_grid)
        m_grid->SetEntryCell(entry.path, column, TimeNow());
}

QString VideoConversion::keyframeXmlName() const
{
    return entry.dstPostfix.isEmpty() ? u"video.xml"_s : u"video_"_s + entry.dstPostfix + u".xml"_s;
}

QCoro::Task<bool> VideoConversion::copyInBackground(QString source, QString target)
{
    // A source of gigabytes must not hold up the window while it is copied.
    auto promise = std::make_shared<QPromise<bool>>();
    QFuture<bool> copied = promise->future();
    promise->start();
    QThreadPool::globalInstance()->start([promise, source, target] {
        // The copy lands under a temporary name first, so a file that exists is whole.
        promise->addResult(CopyFileReplace(source, target) && QFileInfo::exists(target));
        promise->finish();
    });
    co_return co_await copied;
}

QCoro::Task<> VideoConversion::ensureCapabilities()
{
    if (m_caps)
        co_return;
    QPointer<VideoConversion> self(this);
    const QString ffmpeg = ffmpegPath();
    FfmpegCapabilities caps = co_await FfmpegCapabilities::query(m_runner, ffmpeg);
    if (!self || m_caps)
        co_return;
    m_caps = std::move(caps);
    // Logged once per run of the program: the adaptation never changes.
    QStringList notes;
    EncodeJob sample{ffmpegPath(), u"in"_s, u"out.mp4"_s, 320, 240, u"586k"_s, u"64k"_s, 0, 1};
    m_caps->adapt(encoderCommand(sample, 1, true), &notes);
    if (!m_caps->known())
        m_view.appendOutputLine(u"ffmpeg did not list its options; the encoder command is used as it is."_s);
    else if (!notes.isEmpty())
        m_view.appendOutputLine(u"Encoder options adapted to the installed ffmpeg: "_s + notes.join(u"; "_s));
}

QCoro::Task<> VideoConversion::runPass(EncodeJob job, int pass, bool deinterlace)
{
    m_runner.context.pass = static_cast<qint16>(pass);
    // Built beforehand: GCC 12 mishandles temporaries inside a co_await expression.
    QString command = encoderCommand(job, pass, deinterlace);
    if (m_caps)
        command = m_caps->adapt(command);
    co_await m_runner.ExecCapture(command, true);
}

QCoro::Task<int> VideoConversion::EncodeTwoPass(QString sourcePath, QString destinationPath)
{
    QPointer<VideoConversion> self(this);
    ExecContext &context = m_runner.context;
    co_await ensureCapabilities();
    if (!self)
        co_return 0;
    const EncodeJob job{ffmpegPath(),     sourcePath,        destinationPath,
                        entry.videoWidth, entry.videoHeight, entry.vBitRate,
                        entry.aBitRate,   entry.secDuration, threadCount(m_flags)};
    const QString logBase = inFolder(folderOf(destinationPath), u"log"_s);
    context.errorCode = 1;
    context.parseProgress = true;
    auto goOn = [this, &context] { return !m_flags.cancelRequested && context.errorCode >= 1; };

    co_await runPass(job, 1, entry.bInterlaced);
    if (!self)
        co_return 0;
    // An ffmpeg that cannot open the input with the deinterlace option gets
    // both passes again without it.
    const bool retry = entry.bInterlaced && context.outputText.contains(u"Error while opening file"_s);
    if (retry && goOn()) {
        co_await runPass(job, 1, false);
        if (!self)
            co_return 0;
    }
    // A stopped or failed first pass leaves nothing for the second.
    if (goOn()) {
        co_await runPass(job, 2, entry.bInterlaced && !retry);
        if (!self)
            co_return 0;
    }

    context.pass = 0;
    DeleteFileIfExists(logBase + u"-0.log"_s);
    DeleteFileIfExists(logBase + u"-0.log.mbtree"_s);
    DeleteFileIfExists(inFolder(folderOf(destinationPath), u"DosOutput.txt"_s));
    context.parseProgress = false;

    if (context.errorCode < 1 || m_flags.cancelRequested)
        co_return context.errorCode;
    if (!exists(destinationPath))
        co_return -2;
    co_await InterleaveMp4(destinationPath);
    co_return 1;
}

QCoro::Task<bool> VideoConversion::InterleaveMp4(QString path)
{
    const QString temp = UniqueTempFile(folderOf(path), u"mp4"_s, QString());
    if (temp.isEmpty())
        co_return false;
    const QString command = u"MP4Box.exe "_s + bare(path) + u" -inter 500 -out "_s + bare(temp);
    co_await m_runner.ExecWait(command);
    if (!exists(temp))
        co_return false;
    DeleteFileIfExists(path);
    co_return MoveFileReplace(temp, path);
}

QCoro::Task<bool> VideoConversion::MakeKeyframeXml(QString mp4Path)
{
    QPointer<VideoConversion> self(this);
    const QString folder = folderOf(mp4Path);
    const QString list = inFolder(folder, u"keyframe.txt"_s);
    const QString command = u"mp4GetKeyFrame "_s + quoted(mp4Path) + u' ' + quoted(list);
    const bool ended = co_await m_runner.ExecWait(command);
    if (!self)
        co_return false;
    if (!ended) {
        m_flags.cancelRequested = true;
        co_return false;
    }
    const QString xml = inFolder(folder, keyframeXmlName());
    CopyFileReplace(AppPaths::resourcePath(u"default_video.xml"_s), xml);
    if (!exists(list) || !exists(xml))
        co_return false;
    const bool written = WriteKeyframeXml(xml, list);
    DeleteFileIfExists(list);
    co_return written;
}

bool VideoConversion::WriteKeyframeXml(const QString &xmlPath, const QString &keyframeListPath)
{
    float seconds = 0;
    for (const QString &field : entry.duration.split(u':'))
        seconds = seconds * 60 + field.toFloat();

    pugi::xml_document doc;
    if (const Xml::ParseResult parsed = Xml::parseFile(doc, xmlPath); !parsed) {
        lastError = parsed.error;
        return false;
    }
    pugi::xml_node flv = doc.document_element().child("flv");
    pugi::xml_node times = flv.child("keyframes").child("times");
    if (!flv || !times) {
        lastError = xmlPath + u" has no flv/keyframes/times element."_s;
        return false;
    }
    Xml::SetChildText(flv, u"height"_s, QString::number(entry.videoHeight));
    Xml::SetChildText(flv, u"width"_s, QString::number(entry.videoWidth));
    Xml::SetChildText(flv, u"duration"_s, QString::number(seconds));
    times.remove_child("value");

    QFile list(keyframeListPath);
    if (!list.open(QIODevice::ReadOnly | QIODevice::Text)) {
        lastError = list.errorString();
        return false;
    }
    QTextStream lines(&list);
    for (int id = 0; !lines.atEnd(); ++id) {
        const QString line = lines.readLine().trimmed();
        if (line.isEmpty())
            break;
        pugi::xml_node value = times.append_child("value");
        value.append_attribute("id").set_value(id);
        value.text().set(Xml::toU8(line).constData());
    }
    if (!Xml::SaveXmlPretty(doc, xmlPath)) {
        lastError = u"Cannot write "_s + xmlPath;
        return false;
    }
    return true;
}

bool VideoConversion::FixFlvXml(const QString &xmlPath)
{
    pugi::xml_document doc;
    if (const Xml::ParseResult parsed = Xml::parseFile(doc, xmlPath); !parsed) {
        lastError = parsed.error;
        return false;
    }
    pugi::xml_node flv = doc.document_element().child("flv");
    if (!flv) {
        lastError = xmlPath + u" has no flv element."_s;
        return false;
    }
    // yamdi names its temporary input there; the package holds no such file.
    if (pugi::xml_attribute first = flv.first_attribute())
        first.set_value("");
    Xml::SetChildText(flv, u"height"_s, QString::number(entry.videoHeight));
    Xml::SetChildText(flv, u"width"_s, QString::number(entry.videoWidth));
    if (!Xml::writeFileAtomic(xmlPath, Xml::serialize(doc, pugi::format_default))) {
        lastError = u"Cannot write "_s + xmlPath;
        return false;
    }
    return true;
}

QCoro::Task<bool> VideoConversion::MakeThumbnails(QString videoPath)
{
    QPointer<VideoConversion> self(this);
    const QString folder = folderOf(videoPath);
    const QString size = QString::number(entry.videoWidth) + u'x' + QString::number(entry.videoHeight);
    const QString image = inFolder(folder, u"video.jpg"_s);
    const QString thumb = inFolder(folder, u"thumb.jpg"_s);
    auto capture = [&videoPath](const QString &frameSize, const QString &target) {
        return u"ffmpeg -i "_s + quoted(videoPath) + u" -ss 1 -vframes 1 -s "_s + frameSize +
               u" -f image2 "_s + quoted(target);
    };
    const QString imageCommand = capture(size, image);
    co_await m_runner.ExecCapture(imageCommand, false);
    if (!self || m_flags.cancelRequested)
        co_return false;
    co_await Coro::sleep(500ms);
    if (!self || m_flags.cancelRequested)
        co_return false;
    const QString thumbCommand = capture(u"160x120"_s, thumb);
    co_await m_runner.ExecCapture(thumbCommand, false);
    if (!self || m_flags.cancelRequested)
        co_return false;
    QString kept = image;
    if (dstType == u"mp4" && !entry.dstPostfix.isEmpty()) {
        kept = inFolder(folder, u"video_"_s + entry.dstPostfix + u".jpg"_s);
        MoveFileReplace(image, kept);
    }
    co_return exists(kept) && exists(thumb);
}

bool VideoConversion::SetFileListXml(const QString &fileListPath)
{
    pugi::xml_document doc;
    if (const Xml::ParseResult parsed = Xml::parseFile(doc, fileListPath); !parsed) {
        lastError = parsed.error;
        return false;
    }
    pugi::xml_node video = doc.document_element().child("video");
    if (!video) {
        lastError = fileListPath + u" has no video element."_s;
        return false;
    }
    pugi::xml_node item = video.append_child("item");
    Xml::AppendElement(item, u"fileName"_s, entry.dstFileName());
    Xml::AppendElement(item, u"caption"_s, fileListCaption(entry));
    Xml::AppendElement(item, u"width"_s, QString::number(entry.videoWidth));
    Xml::AppendElement(item, u"height"_s, QString::number(entry.videoHeight));
    if (!Xml::SaveXmlPretty(doc, fileListPath)) {
        lastError = u"Cannot write "_s + fileListPath;
        return false;
    }
    return true;
}

QCoro::Task<bool> VideoConversion::qvLoopDeleteFile(QString path, int tries)
{
    for (int attempt = 0; attempt < tries; ++attempt) {
        if (!exists(path) || QFile::remove(path))
            co_return true;
        co_await Coro::sleep(500ms);
    }
    co_return !exists(path);
}

QCoro::Task<int> VideoConversion::PrepareVideo(QString sourcePath, QString workFolder)
{
    QPointer<VideoConversion> self(this);
    lastError.clear();
    ExecContext &context = m_runner.context;
    context.workFolder = workFolder;
    context.durationText = entry.duration;
    context.durationSeconds = entry.secDuration;
    context.progressCaption = Lang(u"frmUpload"_s, u"lConvertInfo"_s, u"Converting video:"_s);
    context.parseProgress = false;
    context.pass = 0;
    const int result = 1;
    const bool mp4 = dstType == u"mp4";
    const QString destination = inFolder(workFolder, mp4 ? entry.dstFileName() : u"video.flv"_s);

    if (entry.dstCvtType != 2) {
        m_view.setConvertInfo(context.progressCaption + u' ' + context.durationText);
        setGridTime(QueueModel::ColCvtBeginTime);
        const int encoded = co_await EncodeTwoPass(sourcePath, destination);
        if (!self)
            co_return 0;
        if (encoded < 1)
            co_return encoded;
        setGridTime(QueueModel::ColCvtEndTime);
    } else {
        const qint64 required = 2 * FileSizeBytes(sourcePath);
        if (FreeSpaceMB(workFolder) < required / 1048576)
            co_return -9;
        const bool copied = co_await copyInBackground(sourcePath, destination);
        if (!self)
            co_return 0;
        if (!copied)
            co_return unexpected(u"Cannot copy "_s + sourcePath + u" to "_s + destination);
    }

    if (m_flags.cancelRequested)
        co_return result;
    m_view.setConvertInfo(context.progressCaption + m_view.injectionCaption());
    co_await Coro::sleep(500ms);
    if (!self)
        co_return 0;

    if (!mp4) {
        const QString tempFlv = inFolder(workFolder, u"video.tmp.flv"_s);
        const QString xml = inFolder(workFolder, u"video.xml"_s);
        if (!MoveFileReplace(destination, tempFlv))
            co_return unexpected(u"Cannot move "_s + destination + u" to "_s + tempFlv);
        const QString command =
            u"yamdi -i "_s + quoted(tempFlv) + u" -x "_s + quoted(xml) + u" -o "_s + quoted(destination);
        const bool ended = co_await m_runner.ExecWait(command);
        if (!self)
            co_return 0;
        if (!ended) {
            m_flags.cancelRequested = true;
            co_return result;
        }
        if (!exists(xml) || !exists(destination))
            co_return -4;
        const bool deleted = co_await qvLoopDeleteFile(tempFlv, 240);
        if (!self)
            co_return 0;
        if (!deleted)
            co_return -1;
        if (!FixFlvXml(xml))
            co_return 0;
    } else {
        const bool made = co_await MakeKeyframeXml(destination);
        if (!self)
            co_return 0;
        if (!made)
            co_return m_flags.cancelRequested ? result : -7;
        const QString fileList = inFolder(workFolder, u"fileList.xml"_s);
        if (!CopyFileReplace(AppPaths::resourcePath(u"fileList.xml"_s), fileList))
            co_return unexpected(u"Cannot copy the template fileList.xml into "_s + workFolder);
        if (!SetFileListXml(fileList))
            co_return 0;
    }

    if (uploadSource) {
        const QString extension = entry.fileName.section(u'.', -1);
        const QString copy = inFolder(workFolder, u"src."_s + extension);
        co_await copyInBackground(sourcePath, copy);
        if (!self)
            co_return 0;
        if (!exists(copy))
            co_return -5;
    }

    const bool imaged = co_await MakeThumbnails(destination);
    if (!self)
        co_return 0;
    if (!imaged)
        co_return m_flags.cancelRequested ? result : -6;

    if (entry.useTmpName) {
        const QString tmpName = inFolder(workFolder, u"tmp.mp4"_s);
        if (!MoveFileReplace(destination, tmpName))
            co_return unexpected(u"Cannot move "_s + destination + u" to "_s + tmpName);
    }
    co_return result;
}
