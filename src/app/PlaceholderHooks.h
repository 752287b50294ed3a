#pragma once

#include "app/WindowHooks.h"

// Stands in for the add dialog, the queue runner and the update check
// until they are built: the add dialog shows a note and closes as Cancel
// would; Batch add, Start and the update check do nothing.
class PlaceholderHooks final : public WindowHooks
{
public:
    QCoro::Task<> showAddDialog(frmUpload *window, QString source) override;
    QCoro::Task<> showBatchDialog(frmUpload *window) override;
    void StartNextEntry(frmUpload *window) override;
    void stopRun() override;
    void checkForUpdates(frmUpload *window) override;
};
