#pragma once

// The session wired as the window wires it, and the real server it uploads
// to: what the pipeline, recording, typical-run and resume tests share.

#include "common/FileUtil.h"
#include "common/XmlUtil.h"
#include "pipeline/ProgressView.h"
#include "pipeline/QueueRunner.h"
#include "pipeline/RunnerControls.h"
#include "pipeline/Session.h"
#include "queue/QueueModel.h"
#include "server/TransferControl.h"
#include "support/SampleClip.h"
#include "support/ServerProcess.h"
#include "support/TestFiles.h"
#include "support/TestLanguage.h"
#include "support/TestProcesses.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <functional>

// The texts at dotted `paths` in an XML file; {"unreadable"} when it does not parse.
inline QStringList xmlTexts(const QString &file, const QStringList &paths)
{
    pugi::xml_document doc;
    if (!Xml::parseFile(doc, file))
        return {QStringLiteral("unreadable")};
    QStringList texts;
    for (const QString &path : paths)
        texts.append(Xml::GetTextByPath(doc, path));
    return texts;
}

inline QStringList messageTexts(const Messages::RecordingPresenter::Log &log)
{
    QStringList texts;
    for (const auto &message : log.messages)
        texts.append(message.text);
    return texts;
}

// What the pipeline showed; `onOutput` and `onStatus` let a test press Stop mid-run.
class RecordingView final : public ProgressView
{
public:
    QString statusText() const override { return status; }
    void setStatusText(const QString &text) override
    {
        status = text;
        onStatus(text);
    }
    void setConvertInfo(const QString &text) override { labels.append(text); }
    QString injectionCaption() const override { return QStringLiteral(" done."); }
    void setProgress(int percent) override { progress = percent; }
    void setProgressVisible(bool) override {}
    void setOutputText(const QString &text) override
    {
        output = text;
        onOutput(text);
    }
    void appendOutputLine(const QString &line) override { notes.append(line); }
    void setAnimationRunning(bool) override {}

    QString status, output;
    QStringList labels, notes;
    int progress = -1;
    std::function<void(const QString &)> onOutput = [](const QString &) {};
    std::function<void(const QString &)> onStatus = [](const QString &) {};
};

class FakeControls final : public RunnerControls
{
public:
    void setStartEnabled(bool enabled) override { start = enabled; }
    void setStopEnabled(bool enabled) override { stop = enabled; }
    void setExitEnabled(bool enabled) override { exit = enabled; }
    void restoreExitCaption() override {}
    void vidFileEnabled(bool enabled) override { files = enabled; }
    bool start = true, stop = false, exit = true, files = true;
};

// The real server with the demo account and a folder "/Talks" that takes uploads.
struct DemoServer
{
    explicit DemoServer(const QString &dataDir) : process(dataDir) {}
    bool start(const QStringList &extra = {})
    {
        return process.start(QStringList{QStringLiteral("--demo")} + extra) &&
               !(folderId = process.addFolder(QStringLiteral("Talks"))).isEmpty();
    }
    CVideoItem entry(const QString &source, const QString &title) const
    {
        CVideoItem item;
        item.fileName = QFileInfo(source).fileName();
        item.title = title;
        item.Author = QStringLiteral("Ann");
        item.path = source;
        item.Url = process.url().toString();
        item.account = item.password = QStringLiteral("demo");
        item.bEncPassword = true;
        item.folderID = folderId;
        item.contentID = QStringLiteral("0");
        item.folderName = QStringLiteral("/Talks");
        item.fileSize = FileSizeBytes(source);
        item.dateLastModified = LastModifiedText(source);
        return item;
    }
    // The stored contents, a line each: id, title, kind, ... separated by tabs.
    QStringList contents() const
    {
        const QByteArray list = process.admin({QStringLiteral("content"), QStringLiteral("list")});
        return QString::fromUtf8(list).split(u'\n', Qt::SkipEmptyParts);
    }
    QString contentFolder(const QString &id) const
    {
        return process.dataDir() + QStringLiteral("/contents/") + id;
    }
    // The files the server extracted from a content's package, sorted.
    QStringList storedFiles(const QString &id) const
    {
        return QDir(contentFolder(id) + QStringLiteral("/files")).entryList(QDir::Files, QDir::Name);
    }
    void setVideoType(const QString &type) const
    {
        process.admin({QStringLiteral("setting"), QStringLiteral("set"), QStringLiteral("videotype"), type});
    }

    ServerProcess process;
    QString folderId;
};

struct Rig
{
    Rig()
    {
        QObject::connect(&queue, &QueueRunner::entryUploaded, &queue,
                         [this](const QString &, const QString &id) { uploaded.append(id); });
    }
    Session session;
    std::shared_ptr<Messages::RecordingPresenter::Log> messages = session.messages().record();
    RecordingView view;
    FakeControls controls;
    QueueModel &grid = session.queue();
    TransferControl &tarn = session.transfer();
    QueueRunner &queue = session.runner(view, controls);
    // The content ids the server gave, in the order of the uploads.
    QStringList uploaded;

    // Queues `item`; its path, which keys its row.
    QString add(const CVideoItem &item)
    {
        grid.Add(item);
        return item.path;
    }
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
