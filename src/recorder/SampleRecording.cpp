#include "recorder/SampleRecording.h"

#include "common/FileUtil.h"
#include "common/Lang.h"
#include "common/XmlUtil.h"
#include "platform/Messages.h"
#include "platform/ProcessRunner.h"
#include "platform/ToolLocator.h"
#include "recorder/CProjectFile.h"
#include "recorder/MediaLibrary.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <memory>

using namespace std::chrono_literals;
using namespace Qt::Literals::StringLiterals;

namespace {

constexpr auto kToolTimeout = 10min;

// Runs a tool to its end; the error text, or empty on success.
QCoro::Task<QString> runTool(ProcessRunner *processes, QString name, QStringList arguments,
                             QString workingFolder)
{
    ProcessSpec spec = ProcessSpec::of(name, arguments, workingFolder);
    spec.timeout = kToolTimeout;
    const ProcessResult result = co_await processes->run(std::move(spec));
    co_return result.ok() ? QString() : result.errorText();
}

QStringList mediaArguments(int seconds)
{
    const QString length = QString::number(seconds);
    return {u"-hide_banner"_s,
            u"-nostdin"_s,
            u"-v"_s,
            u"error"_s,
            u"-y"_s,
            u"-f"_s,
            u"lavfi"_s,
            u"-i"_s,
            u"testsrc=size=320x240:rate=10:duration="_s + length,
            u"-f"_s,
            u"lavfi"_s,
            u"-i"_s,
            u"sine=frequency=440:sample_rate=22050:duration="_s + length,
            u"-c:v"_s,
            u"mpeg4"_s,
            u"-q:v"_s,
            u"8"_s,
            u"-g"_s,
            u"20"_s,
            u"-c:a"_s,
            u"aac"_s,
            u"-b:a"_s,
            u"32k"_s,
            u"-shortest"_s,
            u"-f"_s,
            u"matroska"_s,
            u"media.qv"_s};
}

QStringList imageArguments()
{
    return {u"-hide_banner"_s,
            u"-nostdin"_s,
            u"-v"_s,
            u"error"_s,
            u"-y"_s,
            u"-f"_s,
            u"lavfi"_s,
            u"-i"_s,
            u"color=c=steelblue:size=160x120"_s,
            u"-f"_s,
            u"lavfi"_s,
            u"-i"_s,
            u"color=c=white:size=16x16"_s,
            u"-map"_s,
            u"0"_s,
            u"-frames:v"_s,
            u"1"_s,
            u"-update"_s,
            u"1"_s,
            u"photo.gif"_s,
            u"-map"_s,
            u"1"_s,
            u"-frames:v"_s,
            u"1"_s,
            u"-update"_s,
            u"1"_s,
            u"cursor.gif"_s};
}

// The recorder's empty project of a version: version 5 keeps everything
// under the root, later versions under the root's "project" child.
QByteArray emptyProject(int version)
{
    pugi::xml_document doc;
    pugi::xml_node declaration = doc.append_child(pugi::node_declaration);
    declaration.append_attribute("version").set_value("1.0");
    declaration.append_attribute("encoding").set_value("UTF-8");
    pugi::xml_node root = doc.append_child(version == 5 ? "project" : "qvp");
    root.append_attribute("ver").set_value(Xml::toU8(u"%1.0"_s.arg(version)).constData());
    pugi::xml_node project = version == 5 ? root : root.append_child("project");

    pugi::xml_node abstract = project.append_child("abstract");
    for (const char *name : {"title", "author", "manager", "company", "category", "keywords", "comments"})
        abstract.append_child(name);
    pugi::xml_node configure = project.append_child("configure");
    pugi::xml_node video = configure.append_child("profile").append_child("video");
    video.append_child("bitrate").text().set("96");
    video.append_child("size").text().set("160x120");
    video.append_child("preview").text().set("0");
    configure.append_child("template").text().set("default");
    pugi::xml_node photo = configure.append_child("photo");
    photo.append_attribute("size").set_value("160x120");
    photo.text().set("photo.gif");
    configure.append_child("sound").append_attribute("volume").set_value("3");
    configure.append_child("showcursor").text().set("1");
    pugi::xml_node index = project.append_child("index");
    index.append_attribute("type").set_value("OL");
    index.append_attribute("duration").set_value("00:00");
    return Xml::serialize(doc);
}

QString linkTarget(int n)
{
    return n % 2 == 1 ? u"link%1.html"_s.arg(n) : u"link%1.png"_s.arg(n);
}

bool writeLinkTarget(const QString &folder, int n)
{
    const QString path = QDir(folder).filePath(linkTarget(n));
    if (path.endsWith(QLatin1String(".png"))) {
        QImage image(320, 240, QImage::Format_RGB32);
        image.fill(QColor(40, 120, 60));
        return image.save(path, "PNG");
    }
    const QByteArray page =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Link " + QByteArray::number(n) +
        "</title></head>\n<body style=\"background:#fff\"><h1>Link " + QByteArray::number(n) +
        "</h1><p>A page the recording links to.</p></body></html>\n";
    return Xml::writeFileAtomic(path, page);
}

// Writes project.qvp and inteIndex.txt through the project file itself, so
// the sample has exactly the layout a saved project has.
QString writeProject(const QString &folder, const SampleRecordingOptions &options)
{
    const QString path = QDir(folder).filePath(u"project.qvp"_s);
    if (!Xml::writeFileAtomic(path, emptyProject(options.version)))
        return u"Cannot write %1."_s.arg(path);
    // A failure comes back as the result's text; the reader is silent and
    // needs no language, and a failed save also prints its own message.
    const LanguageTable noTexts;
    Messages::Channel console;
    CProjectFile project(noTexts, console);
    if (!project.Load(path, true))
        return u"The empty project cannot be read at step %1."_s.arg(project.currentStep());
    project.title = u"Sample recording"_s;
    project.author = u"ClipFerry"_s;
    project.company = u"ClipFerry"_s;
    project.category = u"Demo"_s;
    project.keywords = u"sample demo"_s;
    project.comments = u"Made by clipferry-cli sample recording."_s;
    project.bitrate = u"96"_s;
    project.size = u"160x120"_s;
    const qint64 lengthMs = qint64(options.durationSeconds) * 1000;
    project.setDuration(lengthMs);

    const QString recDate = QDateTime::currentDateTime().toString(u"yyyy-MM-dd hh:mm:ss"_s);
    QByteArray lines;
    for (int i = 0; i < options.mediaItems; ++i) {
        const qint64 pos = lengthMs * i / options.mediaItems;
        project.AddIndex(u"Chapter %1"_s.arg(i + 1), QString::number(pos), recDate, {}, {}, {}, false);
    }
    for (int n = 1; n <= options.linkItems; ++n) {
        project.AddIndex(u"Link %1"_s.arg(n), u"-1"_s, recDate, linkTarget(n), {}, {}, false);
    }
    for (const CIndexItem &item : std::as_const(project.items))
        lines += item.pos.toUtf8() + '\t' + item.title.toUtf8() + "\r\n";
    if (!project.Save())
        return u"Cannot save %1 at step %2."_s.arg(path, project.currentStep());
    if (!Xml::writeFileAtomic(QDir(folder).filePath(u"inteIndex.txt"_s), lines))
        return u"Cannot write inteIndex.txt in %1."_s.arg(folder);
    return {};
}

QString checkOptions(const SampleRecordingOptions &options)
{
    if (options.version < 5 || options.version > 8)
        return u"The version must be 5, 6, 7 or 8."_s;
    if (options.mediaItems < 0 || options.linkItems < 0)
        return u"Item counts cannot be negative."_s;
    if (options.durationSeconds < 1 || options.durationSeconds > 36'000)
        return u"The duration must be 1 to 36000 seconds."_s;
    return {};
}

// Cuts the media off halfway, as an interrupted copy would.
QString truncateMedia(const QString &folder)
{
    QFile media(QDir(folder).filePath(u"media.qv"_s));
    if (!media.resize(media.size() / 2))
        return u"Cannot truncate %1: %2"_s.arg(media.fileName(), media.errorString());
    return {};
}

QStringList zipArguments(const QString &archive)
{
    return QStringList{u"-q"_s, u"-0"_s, archive} + MediaLibrary::extendDataNames() +
           QStringList{u"media.qv"_s};
}

} // namespace

QCoro::Task<SampleRecordingResult> makeSampleRecording(ProcessRunner *processes, QString folder,
                                                       SampleRecordingOptions options)
{
    if (QString error = checkOptions(options); !error.isEmpty())
        co_return SampleRecordingResult{{}, error};
    if (!QDir().mkpath(folder))
        co_return SampleRecordingResult{{}, u"Cannot create the folder %1."_s.arg(folder)};
    folder = QFileInfo(folder).absoluteFilePath();
    const QString work = options.singleFile ? UniqueTempFolder(folder, u".sample_"_s) : folder;
    if (work.isEmpty() || !QDir().mkpath(work))
        co_return SampleRecordingResult{{}, u"Cannot create a work folder in %1."_s.arg(folder)};

    QString error = co_await runTool(processes, u"ffmpeg"_s, mediaArguments(options.durationSeconds), work);
    if (error.isEmpty() && options.damaged)
        error = truncateMedia(work);
    if (error.isEmpty())
        error = co_await runTool(processes, u"ffmpeg"_s, imageArguments(), work);
    if (error.isEmpty())
        error = writeProject(work, options);
    for (int n = 1; error.isEmpty() && !options.singleFile && n <= options.linkItems; ++n) {
        if (!writeLinkTarget(work, n))
            error = u"Cannot write the linked file %1."_s.arg(linkTarget(n));
    }
    if (!error.isEmpty() || !options.singleFile) {
        if (options.singleFile)
            DeleteFolderIfExists(work);
        co_return SampleRecordingResult{error.isEmpty() ? QDir(folder).filePath(u"project.qvp"_s) : QString(),
                                        error};
    }

    const QString archive = QDir(folder).filePath(u"recording.zdm"_s);
    DeleteFileIfExists(archive);
    error = co_await runTool(processes, u"zip"_s, zipArguments(archive), work);
    DeleteFolderIfExists(work);
    co_return SampleRecordingResult{error.isEmpty() ? archive : QString(), error};
}
