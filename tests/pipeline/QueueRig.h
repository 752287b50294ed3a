#pragma once

// A queue runner wired as the window wires it, for whole runs against the
// real server.

#include "RecordingView.h"
#include "common/FileUtil.h"
#include "common/Settings.h"
#include "pipeline/ExecRunner.h"
#include "pipeline/QueueRunner.h"
#include "pipeline/RunnerControls.h"
#include "pipeline/Session.h"
#include "queue/QueueModel.h"
#include "recorder/CProjectFile.h"
#include "server/TransferControl.h"

#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QSignalSpy>

class FakeControls final : public RunnerControls
{
public:
    void setStartEnabled(bool enabled) override { start = enabled; }
    void setStopEnabled(bool enabled) override { stop = enabled; }
    void setExitEnabled(bool enabled) override { exit = enabled; }
    void restoreExitCaption() override {}
    void vidFileEnabled(bool enabled) override { files = enabled; }
    bool start = true;
    bool stop = false;
    bool exit = true;
    bool files = true;
};

// The names an archive holds, sorted.
inline QStringList zipEntries(const QString &archive)
{
    QProcess unzip;
    unzip.start(QStringLiteral("unzip"), {QStringLiteral("-Z1"), archive});
    unzip.waitForFinished(30000);
    QStringList names = QString::fromUtf8(unzip.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
    names.sort();
    return names;
}

// An entry of `source` for the demo account's folder `folderId` on the
// server at `serverUrl`.
inline CVideoItem demoEntry(const QString &source, const QString &title, const QString &serverUrl,
                            const QString &folderId)
{
    CVideoItem item;
    item.fileName = QFileInfo(source).fileName();
    item.title = title;
    item.Author = QStringLiteral("Ann");
    item.path = source;
    item.Url = serverUrl;
    item.account = QStringLiteral("demo");
    item.password = QStringLiteral("demo");
    item.bEncPassword = true;
    item.folderID = folderId;
    item.contentID = QStringLiteral("0");
    item.folderName = QStringLiteral("/Talks");
    item.fileSize = FileSizeBytes(source);
    item.dateLastModified = LastModifiedText(source);
    return item;
}

struct Rig
{
    Session session;
    // What the run showed or asked.
    std::shared_ptr<Messages::RecordingPresenter::Log> messages = session.messages().record();
    RecordingView view;
    FakeControls controls;
    QueueModel &grid = session.queue();
    TransferControl &tarn = session.transfer();
    QueueRunner &queue = session.runner(view, controls);

    void add(const CVideoItem &item) { grid.Add(item); }
    bool runToEnd(int timeoutMs = 120000)
    {
        QSignalSpy finished(&queue, &QueueRunner::runFinished);
        queue.StartNextEntry();
        // A run that awaits nothing has ended before StartNextEntry returns.
        return !finished.isEmpty() || finished.wait(timeoutMs);
    }
    QString state(const QString &path) const { return grid.GetEntryCell(path, QueueModel::ColState); }
    QString error(const QString &path) const { return grid.GetEntryCell(path, QueueModel::ColError); }
};
