#pragma once

#include "app/PlaceholderHooks.h"
#include "app/WindowHooks.h"

class Session;

// What the main window hands over: the Add/Edit and batch dialogs, and the
// session's queue runner, made when Start is first pressed.
class AppHooks final : public WindowHooks
{
public:
    explicit AppHooks(Session &session);
    ~AppHooks() override;
    Q_DISABLE_COPY_MOVE(AppHooks)

    QCoro::Task<> showAddDialog(frmUpload *window, QString source) override;
    QCoro::Task<> showBatchDialog(frmUpload *window) override;
    void StartNextEntry(frmUpload *window) override;
    void stopRun() override;
    QStringList tempFolders() const override;
    void checkForUpdates(frmUpload *window) override;

private:
    PlaceholderHooks m_placeholders;
    Session &m_session;
};
