// clipferry-cli update: asks the update server for newer versions and prints
// them with their changes; without --check it downloads them, lets the
// updater install them and reports whether the installed version changed.

#include "cli/CliCommand.h"
#include "pipeline/Session.h"
#include "platform/Coro.h"
#include "platform/ProcessRunner.h"
#include "server/TransferControl.h"
#include "update/CVerList.h"
#include "update/UpdateDownload.h"
#include "update/UpdateInstall.h"
#include "update/frmGetVerList.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTextStream>

namespace {

const QString kUsage = QStringLiteral("[--check] [--update-server URL] [--draft]");

QCoro::Task<int> run(Session *session, QStringList args)
{
    QTextStream out(stdout);
    QTextStream err(stderr);
    const bool check = CliArgs::flag(args, QStringLiteral("--check"));
    const bool draft = CliArgs::flag(args, QStringLiteral("--draft"));
    const QString server = UpdateServerAddress(
        {QStringLiteral("--update-server"), CliArgs::take(args, QStringLiteral("--update-server"))});
    if (!args.isEmpty())
        co_return CliArgs::usageError(QStringLiteral("unknown argument: %1").arg(args.first()), kUsage);
    if (server.isEmpty())
        co_return CliArgs::usageError(QStringLiteral("no update server is known: give --update-server URL"),
                                      kUsage);

    const QString version = ProgramVersion(session->language());
    // Arguments are made before the co_await: GCC 12 mishandles temporaries inside it.
    const QStringList requestArguments = draft ? QStringList{QStringLiteral("-d")} : QStringList();
    const TransferReply reply = co_await RequestVerList(session, server, requestArguments);
    pugi::xml_document doc;
    QString problem;
    if (reply.outcome != TransferOutcome::Replied)
        problem = reply.error;
    else
        ReadVerListReply(reply.text.toUtf8(), doc, &problem);
    if (!problem.isEmpty()) {
        err << "Failed to get update info! " << problem << Qt::endl;
        co_return 1;
    }
    CVerList list;
    QStringList problems;
    const bool trusted = ParseVerList(doc, version, list, &problems);
    for (const QString &problem : std::as_const(problems))
        err << problem << Qt::endl;
    if (!trusted)
        co_return 1;
    if (list.count() == 0) {
        out << "ClipFerry " << version << " is up to date." << Qt::endl;
        co_return 0;
    }
    const QString installFolder = UpdateInstall::installFolder();
    UpdateDownload download({*session, list, doc, server, 100, installFolder});
    out << "ClipFerry " << version << "; newer versions:" << Qt::endl << download.FillLog().remove(u'\r');
    out.flush();
    if (check)
        co_return 0;
    if (installFolder.isEmpty()) {
        err << UpdateInstall::cannotUpdateText() << Qt::endl;
        co_return 1;
    }

    if (!download.Open())
        co_return 1;
    QObject::connect(&download, &UpdateDownload::fileText, &download,
                     [](const QString &text) { QTextStream(stdout) << text << Qt::endl; });
    QObject::connect(&download, &UpdateDownload::stateText, &download,
                     [](const QString &text) { QTextStream(stdout) << text << Qt::endl; });
    download.Update();
    // A slow download still moves; the downloader itself gives up on a stall.
    const std::chrono::milliseconds limit = std::chrono::hours(6);
    const auto closed = co_await Coro::signal(&download, &UpdateDownload::closed, limit);
    if (!closed || !*closed)
        co_return 1;

    ProcessSpec spec = ProcessSpec::of(
        UpdateInstall::updaterPath(download.updateFolder()),
        UpdateInstall::updaterArguments(download.updateFolder(), installFolder, 0, false, {}));
    spec.timeout = std::chrono::minutes(30);
    const ProcessResult result = co_await session->processes().run(std::move(spec));
    out << result.output;
    out.flush();
    const QString installed = UpdateInstall::installedVersion(installFolder);
    if (!result.ok() || installed == version) {
        err << "The update was not installed; ClipFerry " << installed << " is unchanged." << Qt::endl;
        co_return 1;
    }
    out << "ClipFerry " << installed << " is installed." << Qt::endl;
    co_return 0;
}

} // namespace

CliCommand updateCommand()
{
    return {{QStringLiteral("update")}, kUsage, run};
}
