#pragma once

#include "common/Lang.h"
#include "common/Settings.h"
#include "pipeline/RunOptions.h"
#include "platform/Messages.h"
#include "queue/QueueModel.h"
#include "recorder/CProjectFile.h"
#include "server/ServerAccess.h"

#include <QObject>
#include <memory>

class EntryProgressView;
class ExecRunner;
class ProcessRunner;
class QNetworkAccessManager;
class ProgressView;
class QueueRunner;
class RunnerControls;
class TransferControl;

// What the program has once: the language table, the message channel, the
// process runner, the server connection, the login state, the queue and the
// current project. Built by the window's
// main(), by clipferry-cli and by the tests, and handed to whoever needs a
// part of it; nothing else makes its own.
class Session final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Session)

public:
    explicit Session(QObject *parent = nullptr);
    ~Session() override;

    // Texts by window and key; "res.xml" beside the program unless another
    // language file was loaded.
    const LanguageTable &language() const { return m_language; }
    void loadLanguage(const QString &path) { m_language.load(path); }
    Messages::Channel &messages() { return m_messages; }
    ProcessRunner &processes() { return *m_processes; }
    QNetworkAccessManager &network() { return *m_network; }
    TransferControl &transfer() { return *m_transfer; }
    ServerAccess &access() { return m_access; }
    RunOptions &options() { return m_options; }
    QueueModel &queue() { return m_queue; }
    DefaultProject &defaultProject() { return m_defaultProject; }
    CProjectFile &project() { return m_project; }

    // The queue runner, showing its work in `view` and switching `controls`;
    // made on the first call, the same one after that.
    QueueRunner &runner(ProgressView &view, RunnerControls &controls);
    // The runner, when one was made.
    QueueRunner *runnerIfMade() const { return m_runner; }
    // The conversion's process reader of the runner; null before runner().
    ExecRunner *execRunner() const { return m_exec; }

private:
    // First, so that everything below may show texts and messages.
    LanguageTable m_language;
    Messages::Channel m_messages;
    ProcessRunner *m_processes;
    QNetworkAccessManager *m_network;
    TransferControl *m_transfer;
    ServerAccess m_access;
    RunOptions m_options;
    QueueModel m_queue;
    DefaultProject m_defaultProject;
    CProjectFile m_project;
    // The runner's view: the window's, with the queue's progress cells kept in step.
    std::unique_ptr<EntryProgressView> m_entryView;
    ExecRunner *m_exec = nullptr;
    QueueRunner *m_runner = nullptr;
};
