#include "pipeline/VideoConversion.h"

#include "common/FileUtil.h"
#include "common/Lang.h"
#include "common/TextUtil.h"
#include "common/XmlUtil.h"
#include "pipeline/ProgressView.h"
#include "platform/AppPaths.h"
#include "platform/Coro.h"

#include <QCoroFuture>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QTextStream>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

QString quoted(const QString &path)
{
    return u'"' + path + u'"';
}

// Paths the command lines leave unquoted (the program, the pass log, the
// MP4Box arguments) are quoted only when a blank would split them.
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

VideoConversion::VideoConversion(ExecRunner &runner, const RunOptions &options, ProgressView &view,
                                 const LanguageTable &language, QObject *parent)
    : QObject(parent), m_runner(runner), m_options(options), m_view(view), m_language(language)
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

namespace {

PrepareResult failure(PrepareFailure kind, const QString &description = {})
{
    return PrepareResult{kind, description};
}

PrepareResult unexpected(const QString &description)
{
    return failure(PrepareFailure::Unexpected, description);
}

QString keyframeXmlName(const CVideoItem &entry)
{
    return entry.dstPostfix.isEmpty() ? u"video.xml"_s : u"video_"_s + entry.dstPostfix + u".xml"_s;
}

} // namespace

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

QCoro::Task<ProcessResult> VideoConversion::runPass(EncodeJob job, int pass, bool deinterlace, StopToken stop)
{
    m_runner.context.pass = static_cast<qint16>(pass);
    // Built beforehand: GCC 12 mishandles temporaries inside a co_await expression.
    QString command = encoderCommand(job, pass, deinterlace);
    if (m_caps)
        command = m_caps->adapt(command);
    co_return co_await m_runner.ExecCapture(command, true, stop);
}

QCoro::Task<PrepareResult> VideoConversion::EncodeTwoPass(EntryJob job, QString destinationPath)
{
    QPointer<VideoConversion> self(this);
    ExecContext &context = m_runner.context;
    co_await ensureCapabilities();
    if (!self)
        co_return unexpected(u"stopped"_s);
    const CVideoItem &entry = job.entry;
    const EncodeJob encode{ffmpegPath(),     entry.path,        destinationPath,
                           entry.videoWidth, entry.videoHeight, entry.vBitRate,
                           entry.aBitRate,   entry.secDuration, m_options.encoderThreads()};
    const QString logBase = inFolder(folderOf(destinationPath), u"log"_s);
    context.errorCode = 1;
    context.parseProgress = true;
    auto goOn = [&job, &context] { return !job.stopped() && context.errorCode >= 1; };

    ProcessResult pass = co_await runPass(encode, 1, entry.bInterlaced, job.stop);
    if (!self)
        co_return unexpected(u"stopped"_s);
    // An ffmpeg that cannot open the input with the deinterlace option gets
    // both passes again without it.
    const bool retry = entry.bInterlaced && context.outputText.contains(u"Error while opening file"_s);
    if (retry && goOn()) {
        pass = co_await runPass(encode, 1, false, job.stop);
        if (!self)
            co_return unexpected(u"stopped"_s);
    }
    // A stopped or failed first pass leaves nothing for the second.
    if (goOn() && pass.ok()) {
        pass = co_await runPass(encode, 2, entry.bInterlaced && !retry, job.stop);
        if (!self)
            co_return unexpected(u"stopped"_s);
    }

    context.pass = 0;
    DeleteFileIfExists(logBase + u"-0.log"_s);
    DeleteFileIfExists(logBase + u"-0.log.mbtree"_s);
    DeleteFileIfExists(inFolder(folderOf(destinationPath), u"DosOutput.txt"_s));
    context.parseProgress = false;

    if (job.stopped())
        co_return PrepareResult{};
    if (context.errorCode < 1)
        co_return failure(static_cast<PrepareFailure>(context.errorCode));
    // An encoder that ended badly may leave a partial file: it is no encode.
    if (!pass.ok() || !exists(destinationPath))
        co_return failure(PrepareFailure::ConvertError, pass.errorText());
    if (job.videoType != u"mp4")
        co_return PrepareResult{};
    co_return co_await InterleaveMp4(job, destinationPath);
}

QCoro::Task<PrepareResult> VideoConversion::InterleaveMp4(EntryJob job, QString path)
{
    const QString temp = UniqueTempFile(folderOf(path), u"mp4"_s, QString());
    if (temp.isEmpty())
        co_return unexpected(u"Cannot name a temporary file in "_s + folderOf(path));
    const QString command = u"MP4Box.exe "_s + bare(path) + u" -inter 500 -out "_s + bare(temp);
    const ProcessResult interleaved = co_await m_runner.ExecWait(command, job.stop);
    // Whatever a failed run wrote is no video: the encode stays as it is.
    if (!interleaved.ok() || !exists(temp)) {
        DeleteFileIfExists(temp);
        if (job.stopped())
            co_return PrepareResult{};
        co_return failure(PrepareFailure::Interleave,
                          interleaved.ok() ? u"MP4Box wrote no file"_s : interleaved.errorText());
    }
    if (!MoveFileReplace(temp, path))
        co_return unexpected(u"Cannot move "_s + temp + u" to "_s + path);
    co_return PrepareResult{};
}

QCoro::Task<PrepareResult> VideoConversion::MakeKeyframeXml(EntryJob job, QString mp4Path)
{
    const QString folder = folderOf(mp4Path);
    const QString list = inFolder(folder, u"keyframe.txt"_s);
    const QString command = u"mp4GetKeyFrame "_s + quoted(mp4Path) + u' ' + quoted(list);
    const ProcessResult listed = co_await m_runner.ExecWait(command, job.stop);
    if (job.stopped())
        co_return PrepareResult{};
    if (!listed.ok()) {
        DeleteFileIfExists(list);
        co_return failure(PrepareFailure::GetKeyframe);
    }
    const QString xml = inFolder(folder, keyframeXmlName(job.entry));
    CopyFileReplace(AppPaths::resourcePath(u"default_video.xml"_s), xml);
    if (!exists(list) || !exists(xml))
        co_return failure(PrepareFailure::GetKeyframe);
    const PrepareResult written = WriteKeyframeXml(job.entry, xml, list);
    DeleteFileIfExists(list);
    co_return written.ok() ? written : failure(PrepareFailure::GetKeyframe);
}

PrepareResult VideoConversion::WriteKeyframeXml(const CVideoItem &entry, const QString &xmlPath,
                                                const QString &keyframeListPath)
{
    float seconds = 0;
    for (const QString &field : entry.duration.split(u':'))
        seconds = seconds * 60 + field.toFloat();

    pugi::xml_document doc;
    if (const Xml::ParseResult parsed = Xml::parseFile(doc, xmlPath); !parsed)
        return unexpected(parsed.error);
    pugi::xml_node flv = doc.document_element().child("flv");
    pugi::xml_node times = flv.child("keyframes").child("times");
    if (!flv || !times)
        return unexpected(xmlPath + u" has no flv/keyframes/times element."_s);
    Xml::SetChildText(flv, u"height"_s, QString::number(entry.videoHeight));
    Xml::SetChildText(flv, u"width"_s, QString::number(entry.videoWidth));
    Xml::SetChildText(flv, u"duration"_s, QString::number(seconds));
    times.remove_child("value");

    QFile list(keyframeListPath);
    if (!list.open(QIODevice::ReadOnly | QIODevice::Text))
        return unexpected(list.errorString());
    QTextStream lines(&list);
    for (int id = 0; !lines.atEnd(); ++id) {
        const QString line = lines.readLine().trimmed();
        if (line.isEmpty())
            break;
        pugi::xml_node value = times.append_child("value");
        value.append_attribute("id").set_value(id);
        value.text().set(Xml::toU8(line).constData());
    }
    if (!Xml::SaveXmlPretty(doc, xmlPath))
        return unexpected(u"Cannot write "_s + xmlPath);
    return {};
}

PrepareResult VideoConversion::FixFlvXml(const CVideoItem &entry, const QString &xmlPath)
{
    pugi::xml_document doc;
    if (const Xml::ParseResult parsed = Xml::parseFile(doc, xmlPath); !parsed)
        return unexpected(parsed.error);
    pugi::xml_node flv = doc.document_element().child("flv");
    if (!flv)
        return unexpected(xmlPath + u" has no flv element."_s);
    // yamdi names its temporary input there; the package holds no such file.
    if (pugi::xml_attribute first = flv.first_attribute())
        first.set_value("");
    Xml::SetChildText(flv, u"height"_s, QString::number(entry.videoHeight));
    Xml::SetChildText(flv, u"width"_s, QString::number(entry.videoWidth));
    if (!Xml::writeFileAtomic(xmlPath, Xml::serialize(doc, pugi::format_default)))
        return unexpected(u"Cannot write "_s + xmlPath);
    return {};
}

QCoro::Task<PrepareResult> VideoConversion::MakeThumbnails(EntryJob job, QString videoPath)
{
    QPointer<VideoConversion> self(this);
    const CVideoItem &entry = job.entry;
    const QString folder = folderOf(videoPath);
    const QString size = QString::number(entry.videoWidth) + u'x' + QString::number(entry.videoHeight);
    const QString image = inFolder(folder, u"video.jpg"_s);
    const QString thumb = inFolder(folder, u"thumb.jpg"_s);
    auto capture = [&videoPath](const QString &frameSize, const QString &target) {
        return u"ffmpeg -i "_s + quoted(videoPath) + u" -ss 1 -vframes 1 -s "_s + frameSize +
               u" -f image2 "_s + quoted(target);
    };
    const QString imageCommand = capture(size, image);
    co_await m_runner.ExecCapture(imageCommand, false, job.stop);
    if (!self || job.stopped())
        co_return PrepareResult{};
    co_await Coro::sleep(500ms);
    if (!self || job.stopped())
        co_return PrepareResult{};
    const QString thumbCommand = capture(u"160x120"_s, thumb);
    co_await m_runner.ExecCapture(thumbCommand, false, job.stop);
    if (!self || job.stopped())
        co_return PrepareResult{};
    QString kept = image;
    if (job.videoType == u"mp4" && !entry.dstPostfix.isEmpty()) {
        kept = inFolder(folder, u"video_"_s + entry.dstPostfix + u".jpg"_s);
        MoveFileReplace(image, kept);
    }
    if (!exists(kept) || !exists(thumb))
        co_return failure(PrepareFailure::CaptureImage);
    co_return PrepareResult{};
}

PrepareResult VideoConversion::SetFileListXml(const CVideoItem &entry, const QString &fileListPath)
{
    pugi::xml_document doc;
    if (const Xml::ParseResult parsed = Xml::parseFile(doc, fileListPath); !parsed)
        return unexpected(parsed.error);
    pugi::xml_node video = doc.document_element().child("video");
    if (!video)
        return unexpected(fileListPath + u" has no video element."_s);
    pugi::xml_node item = video.append_child("item");
    Xml::AppendElement(item, u"fileName"_s, entry.dstFileName());
    Xml::AppendElement(item, u"caption"_s, fileListCaption(entry));
    Xml::AppendElement(item, u"width"_s, QString::number(entry.videoWidth));
    Xml::AppendElement(item, u"height"_s, QString::number(entry.videoHeight));
    if (!Xml::SaveXmlPretty(doc, fileListPath))
        return unexpected(u"Cannot write "_s + fileListPath);
    return {};
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

QCoro::Task<PrepareResult> VideoConversion::PrepareVideo(EntryJob job)
{
    QPointer<VideoConversion> self(this);
    const CVideoItem &entry = job.entry;
    const QString &workFolder = job.workFolder;
    ExecContext &context = m_runner.context;
    context.workFolder = workFolder;
    context.durationText = entry.duration;
    context.durationSeconds = entry.secDuration;
    context.progressCaption = m_language.text(u"frmUpload"_s, u"lConvertInfo"_s, u"Converting video:"_s);
    context.parseProgress = false;
    context.pass = 0;
    const bool mp4 = job.videoType == u"mp4";
    const QString destination = inFolder(workFolder, mp4 ? entry.dstFileName() : u"video.flv"_s);

    if (entry.dstCvtType != NoConversion) {
        m_view.setConvertInfo(context.progressCaption + u' ' + context.durationText);
        Q_EMIT conversionStarted(entry.path);
        const PrepareResult encoded = co_await EncodeTwoPass(job, destination);
        if (!self || !encoded.ok() || job.stopped())
            co_return encoded;
        Q_EMIT conversionEnded(entry.path);
    } else {
        const qint64 required = 2 * FileSizeBytes(entry.path);
        if (FreeSpaceMB(workFolder) < required / 1048576)
            co_return failure(PrepareFailure::NoFreeSpace);
        const QString source = entry.path;
        QFuture<bool> copying = CopyFileOffLoop(source, destination);
        const bool copied = co_await copying;
        if (!self)
            co_return unexpected(u"stopped"_s);
        if (!copied)
            co_return unexpected(u"Cannot copy "_s + entry.path + u" to "_s + destination);
    }

    if (job.stopped())
        co_return PrepareResult{};
    m_view.setConvertInfo(context.progressCaption + m_view.injectionCaption());
    co_await Coro::sleep(500ms);
    if (!self)
        co_return unexpected(u"stopped"_s);

    if (!mp4) {
        const QString tempFlv = inFolder(workFolder, u"video.tmp.flv"_s);
        const QString xml = inFolder(workFolder, u"video.xml"_s);
        if (!MoveFileReplace(destination, tempFlv))
            co_return unexpected(u"Cannot move "_s + destination + u" to "_s + tempFlv);
        const QString command =
            u"yamdi -i "_s + quoted(tempFlv) + u" -x "_s + quoted(xml) + u" -o "_s + quoted(destination);
        const ProcessResult injected = co_await m_runner.ExecWait(command, job.stop);
        if (!self)
            co_return unexpected(u"stopped"_s);
        if (job.stopped())
            co_return PrepareResult{};
        // What a failed yamdi wrote is no video; the encode it read is kept.
        if (!injected.ok() || !exists(xml) || !exists(destination)) {
            DeleteFileIfExists(xml);
            MoveFileReplace(tempFlv, destination);
            co_return failure(PrepareFailure::Inject, injected.errorText());
        }
        const bool deleted = co_await qvLoopDeleteFile(tempFlv, 240);
        if (!self)
            co_return unexpected(u"stopped"_s);
        if (!deleted)
            co_return failure(PrepareFailure::FileLocked);
        if (const PrepareResult fixed = FixFlvXml(entry, xml); !fixed.ok())
            co_return fixed;
    } else {
        const PrepareResult made = co_await MakeKeyframeXml(job, destination);
        if (!self)
            co_return unexpected(u"stopped"_s);
        if (!made.ok() || job.stopped())
            co_return made;
        const QString fileList = inFolder(workFolder, u"fileList.xml"_s);
        if (!CopyFileReplace(AppPaths::resourcePath(u"fileList.xml"_s), fileList))
            co_return unexpected(u"Cannot copy the template fileList.xml into "_s + workFolder);
        if (const PrepareResult listed = SetFileListXml(entry, fileList); !listed.ok())
            co_return listed;
    }

    if (job.uploadSource) {
        const QString extension = entry.fileName.section(u'.', -1);
        const QString copy = inFolder(workFolder, u"src."_s + extension);
        const QString source = entry.path;
        QFuture<bool> copying = CopyFileOffLoop(source, copy);
        const bool copied = co_await copying;
        if (!self)
            co_return unexpected(u"stopped"_s);
        if (!copied || !exists(copy))
            co_return failure(PrepareFailure::CopySource);
    }

    const PrepareResult imaged = co_await MakeThumbnails(job, destination);
    if (!self)
        co_return unexpected(u"stopped"_s);
    if (!imaged.ok() || job.stopped())
        co_return imaged;

    if (entry.useTmpName) {
        const QString tmpName = inFolder(workFolder, u"tmp.mp4"_s);
        if (!MoveFileReplace(destination, tmpName))
            co_return unexpected(u"Cannot move "_s + destination + u" to "_s + tmpName);
    }
    co_return PrepareResult{};
}
