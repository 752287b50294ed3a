#pragma once

#include "app/WindowHooks.h"

#include <memory>

class Session;
struct StoredVerList;

// What the main window hands over: the Add/Edit and batch dialogs, the
// session's queue runner, made when Start is first pressed, and the update
// check.
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
    void removeUnownedWork(const QStringList &keys) override;
    void checkForUpdates(frmUpload *window) override;

private:
    // The new-version notice, the update window when it is due, and the
    // hidden check that fetches the list for the next start.
    QCoro::Task<> updateAtStart(frmUpload *window);

    std::unique_ptr<StoredVerList> m_storedList;
    bool m_updateRunning = false;
    Session &m_session;
};
