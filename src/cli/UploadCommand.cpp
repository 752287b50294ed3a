// clipferry-cli upload SOURCE...: logs in, probes and queues the videos, then
// runs them through the same pipeline as the window's Start.
// clipferry-cli run: runs the saved queue.

#include "add/VideoProbe.h"
#include "cli/CliCommand.h"
#include "cli/CliLogin.h"
#include "cli/ConsoleProgressView.h"
#include "common/FileUtil.h"
#include "common/Settings.h"
#include "platform/Coro.h"
#include "pipeline/ExecRunner.h"
#include "pipeline/QueueRunner.h"
#include "queue/CVideoList.h"
#include "queue/QueueFile.h"
#include "queue/QueueModel.h"
#include "recorder/CProjectFile.h"
#include "server/TransferControl.h"

#include <QFileInfo>
#include <QTextStream>
#include <QThread>

namespace {

const QString kUploadUsage = QStringLiteral(
    "SOURCE... --server S --account A --password P [--folder ID] [--title T] [--author A] "
    "[--width W] [--vbitrate 586k] [--abitrate 64k] [--plain] [--queue-only] [--queue FILE]");
const QString kRunUsage = QStringLiteral("[--queue FILE]");

void printLine(const QString &line)
{
    QTextStream(stdout) << line << Qt::endl;
}

// Everything a headless run needs, wired as the window wires it.
struct Pipeline
{
    QueueModel grid;
    CVideoList list;
    RunFlags flags;
    ConsoleProgressView view;
    ConsoleControls controls;
    ExecRunner runner{flags, view};
    TransferControl tarn;
    DefaultProject defaultProject;
    CProjectFile project;
    QueueRunner queue{{grid, list, flags, view, controls, runner, tarn, defaultProject, project}};

    Pipeline() { flags.cpuCount = QThread::idealThreadCount(); }

    // Runs every waiting entry; 0 when all of them finished.
    QCoro::Task<int> run()
    {
        queue.StartNextEntry();
        if (queue.isRunning())
            co_await Coro::signal(&queue, &QueueRunner::runFinished, std::chrono::milliseconds(-1));
        int unfinished = 0;
        for (int row = 1; row <= grid.rowCount(); ++row) {
            const QString state = grid.cell(row, QueueModel::ColState);
            QString line = grid.cell(row, QueueModel::ColPath) + QStringLiteral(": ") + state;
            if (!grid.cell(row, QueueModel::ColError).isEmpty())
                line += QStringLiteral(" (") + grid.cell(row, QueueModel::ColError) + u')';
            printLine(line);
            if (state != QLatin1String("Finished"))
                ++unfinished;
        }
        co_return unfinished == 0 ? 0 : 1;
    }
};

struct LoginResult
{
    bool ok = false;
    QString folderId;
    QString folderName;
    QString sysVer;
    bool hashed = true;
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
    result.sysVer = access.settings.serverSysVer;
    if (const CFolderNode *selected = access.folderTree.Selected) {
        result.folderId = QString::number(selected->ID);
        result.folderName = access.folderTree.PathOf(selected, QStringLiteral("/"));
    }
    co_return result;
}

// Probes one video and makes its queue entry; empty when it cannot be used.
QCoro::Task<std::optional<CVideoItem>> makeEntry(ExecRunner &runner, QString source, CVideoItem base, int maxWidth)
{
    VideoProbe probe(runner);
    if (!co_await probe.GetVideoInfo(source, false))
        co_return std::nullopt;
    const ProbeResult &r = probe.result;
    CVideoItem item = base;
    const QFileInfo info(source);
    item.fileName = info.fileName();
    item.path = info.absoluteFilePath();
    if (item.title.isEmpty())
        item.title = info.completeBaseName();
    item.duration = r.durationText;
    item.secDuration = r.durationSeconds;
    item.srcVideoWidth = r.frameWidth;
    item.srcVideoHeight = r.frameHeight;
    item.videoWidth = r.displayWidth;
    item.videoHeight = r.displayHeight;
    VideoProbe::FitToWidth(item.videoWidth, item.videoHeight, maxWidth, r.aspectNum, r.aspectDen);
    item.bInterlaced = r.interlaced;
    item.fileSize = FileSizeBytes(item.path);
    item.dateLastModified = LastModifiedText(item.path);
    co_return item;
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
    base.vBitRate = CliArgs::take(args, QStringLiteral("--vbitrate"), QStringLiteral("586k"));
    base.aBitRate = CliArgs::take(args, QStringLiteral("--abitrate"), QStringLiteral("64k"));
    base.contentID = QStringLiteral("0");
    const int maxWidth = CliArgs::take(args, QStringLiteral("--width"), QStringLiteral("854")).toInt();
    const QString queueFile = CliArgs::take(args, QStringLiteral("--queue"), QueueFile::defaultPath());
    const bool plain = CliArgs::flag(args, QStringLiteral("--plain"));
    const bool queueOnly = CliArgs::flag(args, QStringLiteral("--queue-only"));
    if (base.Url.isEmpty() || base.account.isEmpty())
        co_return CliArgs::usageError(QStringLiteral("--server and --account are required"), usage);
    if (maxWidth < 16)
        co_return CliArgs::usageError(QStringLiteral("--width takes a width in pixels"), usage);
    for (const QString &arg : std::as_const(args)) {
        if (arg.startsWith(QLatin1String("--")))
            co_return CliArgs::usageError(QStringLiteral("unknown option: %1").arg(arg), usage);
    }
    if (args.isEmpty())
        co_return CliArgs::usageError(QStringLiteral("no source given"), usage);

    const LoginResult login = co_await logIn(base.Url, base.account, base.password, plain);
    if (!login.ok)
        co_return 1;
    base.bEncPassword = login.hashed;
    base.sysVer = login.sysVer;
    if (base.folderID.isEmpty()) {
        base.folderID = login.folderId;
        base.folderName = login.folderName;
    }
    if (base.folderID.isEmpty()) {
        QTextStream(stderr) << "clipferry-cli: the server offers no folder to upload to; name one with --folder"
                            << Qt::endl;
        co_return 1;
    }

    Pipeline pipeline;
    // Entries kept from earlier runs stay in the queue file.
    QueueFile::LoadQueue(queueFile, pipeline.list, pipeline.grid);
    for (const QString &source : std::as_const(args)) {
        const auto item = co_await makeEntry(pipeline.runner, source, base, maxWidth);
        if (!item)
            co_return 1;
        if (pipeline.list.itemExist(item->path)) {
            QTextStream(stderr) << item->path << " is queued already." << Qt::endl;
            continue;
        }
        pipeline.grid.AddQueueRow(item->fileName, item->title, item->Author, item->path, item->Url, item->folderName);
        pipeline.list.Add(*item);
        printLine(QStringLiteral("queued %1 (%2, %3x%4) for %5").arg(item->path, item->duration)
                      .arg(item->videoWidth).arg(item->videoHeight).arg(base.folderName.isEmpty() ? base.folderID : base.folderName));
    }
    if (queueOnly) {
        if (!QueueFile::SaveQueue(queueFile, pipeline.list, pipeline.grid)) {
            QTextStream(stderr) << "clipferry-cli: cannot write " << queueFile << Qt::endl;
            co_return 1;
        }
        co_return 0;
    }
    const int status = co_await pipeline.run();
    QueueFile::SaveQueue(queueFile, pipeline.list, pipeline.grid);
    co_return status;
}

QCoro::Task<int> runQueue(QStringList args)
{
    const QString queueFile = CliArgs::take(args, QStringLiteral("--queue"), QueueFile::defaultPath());
    if (!args.isEmpty())
        co_return CliArgs::usageError(QStringLiteral("unknown argument: %1").arg(args.first()),
                                      QStringLiteral("run ") + kRunUsage);
    Pipeline pipeline;
    if (!QueueFile::LoadQueue(queueFile, pipeline.list, pipeline.grid)) {
        QTextStream(stderr) << "clipferry-cli: no queue in " << queueFile << Qt::endl;
        co_return 1;
    }
    const int status = co_await pipeline.run();
    // What did not finish stays queued, as the window keeps it.
    QueueFile::SaveQueue(queueFile, pipeline.list, pipeline.grid);
    co_return status;
}

const CliCommand uploadCommand{{QStringLiteral("upload")}, kUploadUsage, upload};
const CliCommand runCommand{{QStringLiteral("run")}, kRunUsage, runQueue};

} // namespace
