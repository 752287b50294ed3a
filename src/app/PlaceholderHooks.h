#pragma once

#include "app/WindowHooks.h"

// Stands in for the add and batch dialogs, the queue runner and the update
// check until they are built: the dialogs show a note and close as Cancel
// would, Start and the update check do nothing.
class PlaceholderHooks final : public WindowHooks
{
public:
    QCoro::Task<> showAddDialog(frmUpload *window, QString source) override;
    QCoro::Task<> showBatchDialog(frmUpload *window) override;
    void StartNextEntry(frmUpload *window) override;
    void stopRun() override;
    void checkForUpdates(frmUpload *window) override;
};
