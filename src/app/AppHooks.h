#pragma once

#include "app/PlaceholderHooks.h"
#include "app/WindowHooks.h"
#include "common/Settings.h"
#include "recorder/CProjectFile.h"
#include "server/ServerAccess.h"

#include <memory>

class ExecRunner;
class QNetworkAccessManager;
class QueueRunner;
class TransferControl;

// What the main window hands over: the Add/Edit dialog, and the queue
// runner with its process runner and transfer control, made when Start is
// first pressed. The dialogs that are not built yet still show their notes.
class AppHooks final : public WindowHooks
{
public:
    AppHooks();
    ~AppHooks() override;
    Q_DISABLE_COPY_MOVE(AppHooks)

    QCoro::Task<> showAddDialog(frmUpload *window, QString source) override;
    QCoro::Task<> showBatchDialog(frmUpload *window) override;
    void StartNextEntry(frmUpload *window) override;
    void StopExec() override;
    void checkForUpdates(frmUpload *window) override;

private:
    PlaceholderHooks m_placeholders;
    // The login, server settings and folder tree the add dialogs share.
    ServerAccess m_access;
    DefaultProject m_defaultProject;
    CProjectFile m_project;
    // Children of the window, so they go with it.
    ExecRunner *m_runner = nullptr;
    QNetworkAccessManager *m_network = nullptr;
    TransferControl *m_tarn = nullptr;
    QueueRunner *m_queue = nullptr;
};
