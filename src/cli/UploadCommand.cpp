// clipferry-cli upload SOURCE...: logs in, probes and queues the videos and
// recordings (a "project.qvp" or a ".zdm"), then runs them through the same
// pipeline as the window's Start.
// clipferry-cli run: runs the saved queue.

#include "add/SourceLoader.h"
#include "add/SourceSearch.h"
#include "add/VideoSettings.h"
#include "cli/CliCommand.h"
#include "cli/CliLogin.h"
#include "cli/ConsoleProgressView.h"
#include "common/Settings.h"
#include "pipeline/EntryWork.h"
#include "pipeline/ExecRunner.h"
#include "pipeline/QueueRunner.h"
#include "pipeline/RunnerControls.h"
#include "pipeline/Session.h"
#include "platform/Coro.h"
#include "platform/Messages.h"
#include "platform/ProcessRunner.h"
#include "platform/ShutdownSignals.h"
#include "queue/QueueFile.h"
#include "queue/QueueJournal.h"
#include "queue/QueueModel.h"
#include "recorder/CProjectFile.h"
#include "server/TransferControl.h"

#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QTextStream>
#include <QThread>

namespace {

const QString kUploadUsage =
    QStringLiteral("--server S --account A ") + CliArgs::kPasswordUsage +
    QStringLiteral(" [--folder ID] [--title T] [--author A] [--convert local|server|none] "
                   "[--resolution source|high|standard] [--bitrate KBPS] [--overwrite yes|no|cancel] "
                   "[--high-speed yes|no] [--one-at-a-time] [--plain] [--queue-only] [--queue FILE] "
                   "SOURCE... | --recursive DIR");
const QString kRunUsage =
    QStringLiteral("[QUEUEFILE] [--overwrite yes|no|cancel] [--high-speed yes|no] [--one-at-a-time]");

void printLine(const QString &line)
{
    QTextStream(stdout) << line << Qt::endl;
}

// Everything a headless run needs, wired as the window wires it.
struct Pipeline
{
    explicit Pipeline(Session *s)
        : session(*s), view(s->language()), grid(s->queue()), queue(s->runner(view, controls))
    {}

    Session &session;
    ConsoleProgressView view;
    NoRunnerControls controls;
    QueueModel &grid;
    QueueRunner &queue;

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

// The queue of an earlier run: from the journal a killed run left beside
// the queue file, else from the queue file. False when there is none.
bool restoreQueue(const QString &queueFile, QueueModel &grid)
{
    const QueueJournal::Restored restored = QueueJournal::Restore(queueFile, grid);
    if (!restored.warning.isEmpty())
        QTextStream(stderr) << "clipferry-cli: " << restored.warning << Qt::endl;
    return restored.queued;
}

// What did not finish stays queued, as the window keeps it; the journal
// goes only once the queue file holds that.
int endRun(const QString &queueFile, const QueueModel &grid, QueueJournal &journal, int status)
{
    if (!QueueFile::SaveQueue(queueFile, grid)) {
        QTextStream(stderr) << "clipferry-cli: cannot write " << queueFile << Qt::endl;
        return 1;
    }
    journal.discard();
    return status;
}

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

// Logs in as the add dialog does, for the server's settings and the
// destination: `folderId` when given and it takes uploads, else the
// server's default folder.
QCoro::Task<LoginResult> logIn(Session *session, QString server, QString account, QString password,
                               bool plain, QString folderId)
{
    ServerAccess access;
    access.hashPassword = !plain;
    LoginResult result;
    if (!co_await logInAsDialog(&session->transfer(), &session->language(), &session->messages(), &access,
                                server, account, password))
        co_return result;
    result.hashed = access.hashPassword;
    result.settings = access.settings;
    CFolderTree &tree = access.folderTree;
    if (!folderId.isEmpty()) {
        bool numeric = false;
        const int id = folderId.toInt(&numeric);
        tree.Selected = nullptr;
        if (numeric)
            tree.SelectFolderById(id);
        if (!tree.Selected) {
            QTextStream(stderr) << "clipferry-cli: folder " << folderId << " takes no upload" << Qt::endl;
            co_return result;
        }
    }
    result.ok = true;
    if (const CFolderNode *selected = tree.Selected) {
        result.folderId = QString::number(selected->ID);
        result.folderName = tree.PathOf(selected, QStringLiteral("/"));
    }
    co_return result;
}

// The add dialog's entry for one source: loaded and refused as the dialog
// does it, with the options in place of the dialog's choices. An
// unavailable resolution gives way to the next one; a conversion the server
// does not offer is refused. Empty when the source cannot be used.
QCoro::Task<std::optional<CVideoItem>> makeEntry(ExecRunner &runner, const LanguageTable *language,
                                                 Messages::Channel *messages, QString source, CVideoItem base,
                                                 ServerSettings server)
{
    const QString title = QStringLiteral("Add Video");
    SourceLoader loader(runner, *language, *messages);
    const LoadedSource loaded =
        co_await loader.load(QFileInfo(source).absoluteFilePath(), server, false, title);
    if (!loaded.loaded)
        co_return std::nullopt;
    using namespace VideoSettings;
    // A recording goes as recorded: the conversion options are not its.
    Choice choice;
    if (loaded.kind == SourceKind::Video) {
        choice = {base.dstCvtType, base.dstResType, base.customBps};
        if (!ConversionsEnabled(server,
                                QFileInfo(source).suffix().toLower())[static_cast<size_t>(choice.cvtType)]) {
            QTextStream(stderr) << "clipferry-cli: " << source
                                << ": this server does not offer that conversion for it" << Qt::endl;
            co_return std::nullopt;
        }
        if (choice.customBps > 0 && !server.customBps)
            QTextStream(stderr) << "clipferry-cli: " << source
                                << ": this server takes no custom bit rate; the computed one is used"
                                << Qt::endl;
        if (choice.cvtType != LocalConversion || !server.customBps)
            choice.customBps = 0;
        const std::array<bool, 3> resolutions =
            ResolutionsEnabled(loaded.probe.frameWidth, choice.cvtType, server);
        choice.resType =
            choice.cvtType == NoConversion ? SourceResolution : KeepEnabled(choice.resType, resolutions);
        if (const auto refusal = SourceLoader::sizeRefusal(*language, loaded, choice, server,
                                                           SourceLoader::Changed::Conversion)) {
            messages->show(refusal->text, title);
            co_return std::nullopt;
        }
    }
    CVideoItem item = base;
    SourceLoader::fillEntry(item, loaded, choice, server);
    // The dialog's title field: typed, else the project's, else the file's name.
    if (item.title.isEmpty())
        item.title = loaded.title.isEmpty() ? QFileInfo(source).completeBaseName() : loaded.title;
    if (item.Author.isEmpty())
        item.Author = loaded.author;
    co_return item;
}

// --recursive DIR queues by the batch dialog's rules: its two conversion and
// two resolution choices, each find's own title and author.
QString recursiveOptionError(const QString &convert, const QString &resolution, const CVideoItem &base,
                             const QStringList &sources)
{
    if (convert != QLatin1String("local") && convert != QLatin1String("server"))
        return QStringLiteral("--recursive takes --convert local or server");
    if (resolution != QLatin1String("source") && resolution != QLatin1String("high"))
        return QStringLiteral("--recursive takes --resolution source or high");
    if (!base.title.isEmpty() || !base.Author.isEmpty() || base.customBps != 0)
        return QStringLiteral("--title, --author and --bitrate do not go with --recursive");
    if (!sources.isEmpty())
        return QStringLiteral("--recursive takes no SOURCE");
    return {};
}

// Queues every supported find below `folder` as the batch dialog's OK does;
// a find that is queued already is replaced when `overwrite` is Yes and
// skipped otherwise. False when the folder cannot be searched.
QCoro::Task<bool> queueFolder(Session *session, QString folder, CVideoItem base, ServerSettings server,
                              Messages::Answer overwrite, QueueModel *grid)
{
    QList<FoundSource> finds;
    const std::function<void(const FoundSource &)> take = [&finds](const FoundSource &find) {
        if (find.source.loaded)
            finds << find;
    };
    const bool searched = co_await searchFolder(session, folder, server, take);
    if (!searched)
        co_return false;
    for (const FoundSource &find : std::as_const(finds)) {
        const VideoSettings::Choice choice =
            SourceSearch::batchChoice(find.source, base.dstCvtType, base.dstResType, server);
        CVideoItem item = SourceSearch::batchEntry(find.source, choice, server);
        for (auto field :
             {&CVideoItem::Url, &CVideoItem::account, &CVideoItem::password, &CVideoItem::folderID,
              &CVideoItem::folderName, &CVideoItem::contentID, &CVideoItem::sysVer})
            item.*field = base.*field;
        item.bEncPassword = base.bEncPassword;
        if (grid->itemExist(item.path)) {
            const bool replace = overwrite == Messages::Answer::Yes;
            if (replace)
                grid->UpdateQueueRow(grid->RowOfPath(item.path), item);
            printLine(item.path + (replace ? QStringLiteral(": queued already, replaced")
                                           : QStringLiteral(": queued already, skipped")));
            continue;
        }
        grid->Add(item);
        printLine(QStringLiteral("%1: queued (%2 \"%3\") for %4")
                      .arg(item.path, SourceSearch::kindText(find.source.kind), item.title,
                           base.folderName.isEmpty() ? base.folderID : base.folderName));
    }
    co_return true;
}

QCoro::Task<int> upload(Session *session, QStringList args)
{
    const QString usage = QStringLiteral("upload ") + kUploadUsage;
    CVideoItem base;
    base.Url = CliArgs::take(args, QStringLiteral("--server"));
    base.account = CliArgs::take(args, QStringLiteral("--account"));
    QString problem;
    base.password = CliArgs::password(args, problem);
    if (!problem.isEmpty())
        co_return CliArgs::usageError(problem, usage);
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
    const std::optional<bool> highSpeed = CliArgs::highSpeed(args);
    const bool plain = CliArgs::flag(args, QStringLiteral("--plain"));
    const bool queueOnly = CliArgs::flag(args, QStringLiteral("--queue-only"));
    const QString recursive = CliArgs::take(args, QStringLiteral("--recursive"));
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
    if (base.dstCvtType < 0 || base.dstResType < 0 || !overwrite || !highSpeed)
        co_return CliArgs::usageError(
            QStringLiteral("--convert, --resolution, --overwrite or --high-speed has an unknown value"),
            usage);
    session->options().highSpeed = *highSpeed;
    session->options().convertWhileUploading = !CliArgs::flag(args, QStringLiteral("--one-at-a-time"));
    for (const QString &arg : std::as_const(args)) {
        if (arg.startsWith(QLatin1String("--")))
            co_return CliArgs::usageError(QStringLiteral("unknown option: %1").arg(arg), usage);
    }
    if (!recursive.isEmpty()) {
        if (const QString error = recursiveOptionError(convert, resolution, base, args); !error.isEmpty())
            co_return CliArgs::usageError(error, usage);
    } else if (args.isEmpty()) {
        co_return CliArgs::usageError(QStringLiteral("no source given"), usage);
    }

    const LoginResult login =
        co_await logIn(session, base.Url, base.account, base.password, plain, base.folderID);
    if (!login.ok)
        co_return 1;
    session->messages().setPresenter(std::make_unique<Messages::ConsolePresenter>(*overwrite));
    base.bEncPassword = login.hashed;
    base.sysVer = login.settings.serverSysVer;
    base.folderID = login.folderId;
    base.folderName = login.folderName;
    if (base.folderID.isEmpty()) {
        QTextStream(stderr)
            << "clipferry-cli: the server offers no folder to upload to; name one with --folder" << Qt::endl;
        co_return 1;
    }

    Pipeline pipeline(session);
    pipeline.queue.setWorkRoot(EntryWork::rootFor(queueFile));
    // Entries kept from earlier runs stay in the queue file.
    restoreQueue(queueFile, pipeline.grid);
    QueueJournal journal(pipeline.grid, queueFile);
    const LanguageTable *language = &session->language();
    Messages::Channel *messages = &session->messages();
    if (!recursive.isEmpty()) {
        const bool searched =
            co_await queueFolder(session, recursive, base, login.settings, *overwrite, &pipeline.grid);
        if (!searched) {
            journal.discard();
            co_return 1;
        }
    }
    for (const QString &source : std::as_const(args)) {
        const std::optional<CVideoItem> item = co_await makeEntry(*pipeline.session.execRunner(), language,
                                                                  messages, source, base, login.settings);
        if (!item) {
            journal.discard();
            co_return 1;
        }
        if (!pipeline.grid.Add(*item)) {
            QTextStream(stderr) << item->path << " is queued already." << Qt::endl;
            continue;
        }
        const QString destination = base.folderName.isEmpty() ? base.folderID : base.folderName;
        if (SourceLoader::kindOf(source) != SourceKind::Video)
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
        // No run starts here to clear the work of entries no longer queued.
        pipeline.queue.removeUnownedWork();
        if (!QueueFile::SaveQueue(queueFile, pipeline.grid)) {
            QTextStream(stderr) << "clipferry-cli: cannot write " << queueFile << Qt::endl;
            co_return 1;
        }
        journal.discard();
        co_return 0;
    }
    printLine(CliArgs::describe(session->options()));
    const int status = co_await pipeline.run();
    co_return endRun(queueFile, pipeline.grid, journal, status);
}

QCoro::Task<int> runQueue(Session *session, QStringList args)
{
    const QString usage = QStringLiteral("run ") + kRunUsage;
    const std::optional<Messages::Answer> overwrite = overwriteAnswer(args);
    if (!overwrite)
        co_return CliArgs::usageError(QStringLiteral("--overwrite takes yes, no or cancel"), usage);
    const std::optional<bool> highSpeed = CliArgs::highSpeed(args);
    if (!highSpeed)
        co_return CliArgs::usageError(QStringLiteral("--high-speed takes yes or no"), usage);
    session->options().highSpeed = *highSpeed;
    session->options().convertWhileUploading = !CliArgs::flag(args, QStringLiteral("--one-at-a-time"));
    if (args.size() > 1 || (!args.isEmpty() && args.first().startsWith(QLatin1String("--"))))
        co_return CliArgs::usageError(QStringLiteral("unknown argument: %1").arg(args.last()), usage);
    const QString queueFile = args.isEmpty() ? QueueFile::defaultPath() : args.first();
    session->messages().setPresenter(std::make_unique<Messages::ConsolePresenter>(*overwrite));
    Pipeline pipeline(session);
    pipeline.queue.setWorkRoot(EntryWork::rootFor(queueFile));
    if (!restoreQueue(queueFile, pipeline.grid)) {
        QTextStream(stderr) << "clipferry-cli: no queue in " << queueFile << Qt::endl;
        co_return 1;
    }
    QueueJournal journal(pipeline.grid, queueFile);
    printLine(CliArgs::describe(session->options()));
    const int status = co_await pipeline.run();
    co_return endRun(queueFile, pipeline.grid, journal, status);
}

} // namespace

CliCommand uploadCommand()
{
    return {{QStringLiteral("upload")}, kUploadUsage, upload};
}

CliCommand runQueueCommand()
{
    return {{QStringLiteral("run")}, kRunUsage, runQueue};
}
