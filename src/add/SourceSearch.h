#pragma once

#include "add/SourceLoader.h"
#include "add/VideoSettings.h"
#include "pipeline/ProgressView.h"
#include "pipeline/RunOptions.h"
#include "platform/StopToken.h"
#include "server/ServerSettings.h"

#include <QCoroTask>
#include <QFutureWatcher>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>

class ExecRunner;
class ProcessRunner;

// One source a search found, as the batch grid lists it.
struct FoundSource
{
    QString title; // "*Unsupported" for a find that failed its checks
    QString author;
    QString date;
    // What loading it learned (its kind, path and whether it is supported);
    // the batch queues from a fresh load.
    LoadedSource source;
};

// Finds every source below a folder: the walk runs on the thread pool and
// hands over the matching names folder by folder; each match is checked
// and probed quietly, a few at a time, while the walk goes on; the finds are
// reported in the order of the walk (files of a folder before its
// subfolders, each sorted by name). The window never waits on the disk and
// Stop ends the search at once.
class SourceSearch final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SourceSearch)

public:
    static inline const QString kUnsupported = QStringLiteral("*Unsupported");

    SourceSearch(ProcessRunner &processes, const LanguageTable &language, Messages::Channel &messages,
                 QObject *parent = nullptr);
    ~SourceSearch() override;

    // "*.qvp;*.wmv;...;*.f4v;" and "*.zdm;" for a server that takes version 8.
    static QString patternList(int supportedQvpVer);
    // "Qvp", "Zdm" or "Video", as the grid shows a find's kind.
    static QString kindText(SourceKind kind);
    // The walk itself, on the calling thread: hands `take` the matches of
    // each folder (often none), in walk order, until it returns false. A
    // file matches when its extension, in any case, is one of `patterns`;
    // of the projects only a "project.qvp" counts.
    static void walk(const QString &root, const QString &patterns,
                     const std::function<bool(const QStringList &)> &take);

    // The batch's choice for one loaded video: the high resolution falls
    // back to the source's own size for a source narrower than it; an older
    // server converts only locally.
    static VideoSettings::Choice batchChoice(const LoadedSource &source, int cvtType, int resType,
                                             const ServerSettings &server);
    // The entry of a find without its login and destination: the file, the
    // project's or the file's title, the author and the video settings.
    static CVideoItem batchEntry(const LoadedSource &source, const VideoSettings::Choice &choice,
                                 const ServerSettings &server);

    // How many finds are probed at once (at least one); the machine's cores
    // unless set.
    void setParallel(int count);
    int parallel() const { return static_cast<int>(m_loaders.size()); }

    // Searches `folder` with the patterns and project versions of `server`;
    // a search still running is stopped first.
    void start(const QString &folder, const ServerSettings &server);
    // No find is reported after this; finished(true) is emitted before it returns.
    void stop();
    bool isRunning() const { return m_running; }
    // Matches handed over by the walk so far, and how many of them are probed.
    int matchCount() const { return static_cast<int>(m_finds.size()); }
    int probedCount() const { return m_probed; }
    // Loads one source quietly, as a search does, apart from any search:
    // the batch queues from a fresh load.
    QCoro::Task<LoadedSource> load(QString path, ServerSettings server);

Q_SIGNALS:
    void found(const FoundSource &source);
    void progress(int probed, int matches);
    void finished(bool stopped);

private:
    struct Pending
    {
        QString path;
        bool done = false;
        bool listed = false; // false: gone meanwhile, or a recording listed already
        FoundSource find;
    };

    void takeWalkResults(int begin, int end);
    void pump();
    QCoro::Task<> probeOne(SourceLoader *loader, qsizetype index, quint64 generation);
    QCoro::Task<FoundSource> describe(SourceLoader *loader, QString path);
    void flush();
    void finishIfDone();
    void end(bool stopped);

    RunOptions m_options;
    SilentProgressView m_silent;
    const LanguageTable &m_language;
    Messages::Channel &m_messages;
    ExecRunner *m_runner;
    QList<SourceLoader *> m_loaders;
    QList<SourceLoader *> m_idle;
    SourceLoader *m_reloader;
    QFutureWatcher<QStringList> *m_walk;
    ServerSettings m_server;
    StopSource m_stop;
    quint64 m_generation = 0;
    bool m_running = false;
    bool m_walkDone = false;
    QList<Pending> m_finds;
    qsizetype m_nextProbe = 0;
    qsizetype m_nextReport = 0;
    int m_probed = 0;
    QSet<QString> m_recordings;
};
