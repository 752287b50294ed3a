// clipferry-cli upload SOURCE...: logs in, probes and queues the videos and
// recordings (a "project.qvp" or a ".zdm"), then runs them through the same
// pipeline as the window's Start.
// clipferry-cli run: runs the saved queue.

#include "add/VideoProbe.h"
#include "add/VideoSettings.h"
#include "cli/CliCommand.h"
#include "cli/CliLogin.h"
#include "cli/ConsoleProgressView.h"
#include "common/FileUtil.h"
#include "common/Lang.h"
#include "common/Settings.h"
#include "pipeline/ExecRunner.h"
#include "pipeline/QueueRunner.h"
#include "pipeline/RecordingPreparation.h"
#include "pipeline/Session.h"
#include "platform/AppPaths.h"
#include "platform/Coro.h"
#include "platform/Messages.h"
#include "platform/ProcessRunner.h"
#include "platform/ShutdownSignals.h"
#include "queue/QueueFile.h"
#include "queue/QueueModel.h"
#include "recorder/CProjectFile.h"
#include "recorder/MediaLibraries.h"
#include "server/TransferControl.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QTextStream>
#include <QThread>

namespace {

const QString kUploadUsage =
    QStringLiteral("--server S --account A --password P [--folder ID] [--title T] [--author A] [--convert "
                   "local|server|none] "
                   "[--resolution source|high|standard] [--bitrate KBPS] [--overwrite yes|no|cancel] "
                   "[--plain] [--queue-only] [--queue FILE] SOURCE...");
const QString kRunUsage = QStringLiteral("[QUEUEFILE] [--overwrite yes|no|cancel]");

void printLine(const QString &line)
{
    QTextStream(stdout) << line << Qt::endl;
}

// Everything a headless run needs, wired as the window wires it.
struct Pipeline
{
    Session session;
    ConsoleProgressView view;
    ConsoleControls controls;
    QueueModel &grid = session.queue();
    QueueRunner &queue = session.runner(view, controls);

    // Runs every waiting entry, printing each state change; Ctrl-C stops the
    // running entry as Stop does. 0 when every entry finished.
    QCoro::Task<int> run()
    {
        QHash<QString, EntryState> states;
        QObject::connect(&grid, &QAbstractItemModel::dataChanged, &grid,
                         [this, &states](const QModelIndex &from) {
                             const QueueEntry &entry = grid.entryAt(from.row());
                             const auto known = states.constFind(entry.key);
                             if (known != states.cend() && *known == entry.state)
                                 return;
                             states.insert(entry.key, entry.state);
                             printLine(entry.key + QStringLiteral(": ") + stateText(entry.state));
                         });
        QObject::connect(&queue, &QueueRunner::entryUploaded, &queue,
                         [](const QString &path, const QString &id) {
                             printLine(path + QStringLiteral(": stored as content ") + id);
                         });
        ShutdownSignals interrupt;
        QObject::connect(&interrupt, &ShutdownSignals::received, &queue, [this] { queue.Stop(); });

        queue.StartNextEntry();
        if (queue.isRunning())
            co_await Coro::signal(&queue, &QueueRunner::runFinished, std::chrono::milliseconds(-1));
        grid.disconnect(&grid);
        int unfinished = 0;
        for (const QueueEntry &entry : grid.entries()) {
            printLine(entry.key + QStringLiteral(": ") + stateText(entry.state) +
                      (entry.state == EntryState::Failed ? QStringLiteral(": ") + entry.error : QString()));
            if (entry.state != EntryState::Finished)
                ++unfinished;
        }
        co_return unfinished == 0 ? 0 : 1;
    }
};

// How the overwrite question is answered; empty when the option is wrong.
std::optional<Messages::Answer> overwriteAnswer(QStringList &args)
{
    const QString value = CliArgs::take(args, QStringLiteral("--overwrite"), QStringLiteral("no"));
    if (value == QLatin1String("yes"))
        return Messages::Answer::Yes;
    if (value == QLatin1String("no"))
        return Messages::Answer::No;
    if (value == QLatin1String("cancel"))
        return Messages::Answer::Cancel;
    return std::nullopt;
}

struct LoginResult
{
    bool ok = false;
    QString folderId;
    QString folderName;
    bool hashed = true;
    ServerSettings settings;
};

// Logs in as the add dialog does, for the server's settings and its default
// destination folder.
QCoro::Task<LoginResult> logIn(QString server, QString account, QString password, bool plain)
{
    ServerAccess access;
    access.hashPassword = !plain;
    LoginResult result;
    if (!co_await logInAsDialog(access, server, account, password))
        co_return result;
    result.ok = true;
    result.hashed = access.hashPassword;
    result.settings = access.settings;
    if (const CFolderNode *selected = access.folderTree.Selected) {
        result.folderId = QString::number(selected->ID);
        result.folderName = access.folderTree.PathOf(selected, QStringLiteral("/"));
    }
    co_return result;
}

// Probes one video and makes its queue entry with the add dialog's rules:
// an unavailable resolution gives way to the next one, and a conversion the
// server does not offer or an upload above 2 GB is refused. Empty when the
// video cannot be used.
QCoro::Task<std::optional<CVideoItem>> makeEntry(ExecRunner &runner, QString source, CVideoItem base,
                                                 ServerSettings server)
{
    VideoProbe probe(runner);
    if (!co_await probe.GetVideoInfo(source, false))
        co_return std::nullopt;
    const ProbeResult &r = probe.result;
    const QFileInfo info(source);
    const auto refuse = [&](const QString &why) {
        QTextStream(stderr) << "clipferry-cli: " << source << ": " << why << Qt::endl;
    };
    using namespace VideoSettings;
    Choice choice{base.dstCvtType, base.dstResType, base.customBps};
    if (!ConversionsEnabled(server, info.suffix())[static_cast<size_t>(choice.cvtType)]) {
        refuse(QStringLiteral("this server does not offer that conversion for it"));
        co_return std::nullopt;
    }
    if (choice.customBps > 0 && !server.customBps)
        refuse(QStringLiteral("this server takes no custom bit rate; the computed one is used"));
    if (choice.cvtType != LocalConversion || !server.customBps)
        choice.customBps = 0;
    const std::array<bool, 3> resolutions = ResolutionsEnabled(r.frameWidth, choice.cvtType, server);
    choice.resType =
        choice.cvtType == NoConversion ? SourceResolution : KeepEnabled(choice.resType, resolutions);
    const qint64 estimate = EstimatedSize(r, FileSizeBytes(source), choice, server);
    if (estimate > kLimitBytes) {
        const QString key = choice.cvtType == LocalConversion ? QStringLiteral("msg_exceed2GB")
                                                              : QStringLiteral("msg_srcExceed2GB");
        refuse(Lang(QStringLiteral("frmAdd"), key).replace(QStringLiteral("%s"), GiBText(estimate)));
        co_return std::nullopt;
    }
    CVideoItem item = base;
    item.fileName = info.fileName();
    item.path = info.absoluteFilePath();
    if (item.title.isEmpty())
        item.title = info.completeBaseName();
    ApplyToEntry(item, r, choice, server);
    co_return item;
}

// Reads a recording's project for its queue entry, as the add dialog does:
// title and author come from the project unless given. A single-file
// project is unpacked into a temporary folder for the reading.
QCoro::Task<std::optional<CVideoItem>> makeRecordingEntry(QString source, CVideoItem base)
{
    const QFileInfo info(source);
    const bool singleFile = RecordingPreparation::isSingleFileProject(source);
    if (!info.isFile() ||
        (!singleFile && !QFileInfo::exists(info.dir().filePath(QStringLiteral("media.qv"))))) {
        QTextStream(stderr) << "clipferry-cli: " << source << " is not a recording with its media.qv"
                            << Qt::endl;
        co_return std::nullopt;
    }
    CProjectFile project;
    bool loaded = false;
    if (singleFile) {
        const QString folder = UniqueTempFolder(AppPaths::tempDir(), QStringLiteral("tmp_zdm_"));
        if (!folder.isEmpty() && QDir().mkpath(folder)) {
            ProcessRunner processes;
            MediaLibraries libraries(processes);
            const QStringList paths = MediaLibrary::extendDataPaths(folder);
            co_await libraries.GetExtendDataFromProject(info.absoluteFilePath(), paths.at(0), paths.at(1),
                                                        paths.at(2), paths.at(3));
            loaded = project.Load(paths.at(0), false, folder);
            DeleteFolderIfExists(folder);
        }
    } else {
        loaded = project.Load(info.absoluteFilePath(), false);
    }
    if (!loaded) {
        QTextStream(stderr) << "clipferry-cli: the project of " << source << " cannot be read" << Qt::endl;
        co_return std::nullopt;
    }
    CVideoItem item = base;
    item.fileName = info.fileName();
    item.path = info.absoluteFilePath();
    if (item.title.isEmpty())
        item.title = project.title;
    if (item.Author.isEmpty())
        item.Author = project.author;
    if (const auto length = project.duration()) {
        item.secDuration = static_cast<qint32>(*length / 1000);
        item.duration = project.durationText;
    }
    item.fileSize = FileSizeBytes(item.path);
    item.dateLastModified = LastModifiedText(item.path);
    co_return item;
}

bool isRecording(const QString &source)
{
    return RecordingPreparation::isFolderProject(source) || RecordingPreparation::isSingleFileProject(source);
}

QCoro::Task<int> upload(QStringList args)
{
    const QString usage = QStringLiteral("upload ") + kUploadUsage;
    CVideoItem base;
    base.Url = CliArgs::take(args, QStringLiteral("--server"));
    base.account = CliArgs::take(args, QStringLiteral("--account"));
    base.password = CliArgs::take(args, QStringLiteral("--password"));
    base.folderID = CliArgs::take(args, QStringLiteral("--folder"));
    base.title = CliArgs::take(args, QStringLiteral("--title"));
    base.Author = CliArgs::take(args, QStringLiteral("--author"));
    bool numeric = false;
    base.customBps = CliArgs::take(args, QStringLiteral("--bitrate"), QStringLiteral("0")).toInt(&numeric);
    base.contentID = QStringLiteral("0");
    const QString queueFile = CliArgs::take(args, QStringLiteral("--queue"), QueueFile::defaultPath());
    const QString convert = CliArgs::take(args, QStringLiteral("--convert"), QStringLiteral("local"));
    const QString resolution = CliArgs::take(args, QStringLiteral("--resolution"), QStringLiteral("high"));
    const std::optional<Messages::Answer> overwrite = overwriteAnswer(args);
    const bool plain = CliArgs::flag(args, QStringLiteral("--plain"));
    const bool queueOnly = CliArgs::flag(args, QStringLiteral("--queue-only"));
    static const QStringList conversions{QStringLiteral("local"), QStringLiteral("server"),
                                         QStringLiteral("none")};
    static const QStringList resolutions{QStringLiteral("source"), QStringLiteral("high"),
                                         QStringLiteral("standard")};
    base.dstCvtType = static_cast<qint32>(conversions.indexOf(convert));
    base.dstResType = static_cast<qint32>(resolutions.indexOf(resolution));
    if (base.Url.isEmpty() || base.account.isEmpty())
        co_return CliArgs::usageError(QStringLiteral("--server and --account are required"), usage);
    if (!numeric || base.customBps < 0)
        co_return CliArgs::usageError(QStringLiteral("--bitrate takes a total in kbps"), usage);
    if (base.dstCvtType < 0 || base.dstResType < 0 || !overwrite)
        co_return CliArgs::usageError(
            QStringLiteral("--convert, --resolution or --overwrite has an unknown value"), usage);
    for (const QString &arg : std::as_const(args)) {
        if (arg.startsWith(QLatin1String("--")))
            co_return CliArgs::usageError(QStringLiteral("unknown option: %1").arg(arg), usage);
    }
    if (args.isEmpty())
        co_return CliArgs::usageError(QStringLiteral("no source given"), usage);

    const LoginResult login = co_await logIn(base.Url, base.account, base.password, plain);
    if (!login.ok)
        co_return 1;
    Messages::setPresenter(std::make_unique<Messages::ConsolePresenter>(*overwrite));
    base.bEncPassword = login.hashed;
    base.sysVer = login.settings.serverSysVer;
    if (base.folderID.isEmpty()) {
        base.folderID = login.folderId;
        base.folderName = login.folderName;
    }
    if (base.folderID.isEmpty()) {
        QTextStream(stderr)
            << "clipferry-cli: the server offers no folder to upload to; name one with --folder" << Qt::endl;
        co_return 1;
    }

    Pipeline pipeline;
    // Entries kept from earlier runs stay in the queue file.
    QueueFile::LoadQueue(queueFile, pipeline.grid);
    for (const QString &source : std::as_const(args)) {
        std::optional<CVideoItem> item;
        if (isRecording(source))
            item = co_await makeRecordingEntry(source, base);
        else
            item = co_await makeEntry(*pipeline.session.execRunner(), source, base, login.settings);
        if (!item)
            co_return 1;
        if (!pipeline.grid.Add(*item)) {
            QTextStream(stderr) << item->path << " is queued already." << Qt::endl;
            continue;
        }
        const QString destination = base.folderName.isEmpty() ? base.folderID : base.folderName;
        if (isRecording(source))
            printLine(QStringLiteral("%1: queued (recording \"%2\") for %3")
                          .arg(item->path, item->title, destination));
        else
            printLine(QStringLiteral("%1: queued (%2, %3x%4) for %5")
                          .arg(item->path, item->duration)
                          .arg(item->videoWidth)
                          .arg(item->videoHeight)
                          .arg(destination));
    }
    if (queueOnly) {
        if (!QueueFile::SaveQueue(queueFile, pipeline.grid)) {
            QTextStream(stderr) << "clipferry-cli: cannot write " << queueFile << Qt::endl;
            co_return 1;
        }
        co_return 0;
    }
    const int status = co_await pipeline.run();
    QueueFile::SaveQueue(queueFile, pipeline.grid);
    co_return status;
}

QCoro::Task<int> runQueue(QStringList args)
{
    const QString usage = QStringLiteral("run ") + kRunUsage;
    const std::optional<Messages::Answer> overwrite = overwriteAnswer(args);
    if (!overwrite)
        co_return CliArgs::usageError(QStringLiteral("--overwrite takes yes, no or cancel"), usage);
    if (args.size() > 1 || (!args.isEmpty() && args.first().startsWith(QLatin1String("--"))))
        co_return CliArgs::usageError(QStringLiteral("unknown argument: %1").arg(args.last()), usage);
    const QString queueFile = args.isEmpty() ? QueueFile::defaultPath() : args.first();
    Messages::setPresenter(std::make_unique<Messages::ConsolePresenter>(*overwrite));
    Pipeline pipeline;
    if (!QueueFile::LoadQueue(queueFile, pipeline.grid)) {
        QTextStream(stderr) << "clipferry-cli: no queue in " << queueFile << Qt::endl;
        co_return 1;
    }
    const int status = co_await pipeline.run();
    // What did not finish stays queued, as the window keeps it.
    QueueFile::SaveQueue(queueFile, pipeline.grid);
    co_return status;
}

const CliCommand uploadCommand{{QStringLiteral("upload")}, kUploadUsage, upload};
const CliCommand runCommand{{QStringLiteral("run")}, kRunUsage, runQueue};

} // namespace
