#pragma once

#include <QCoroTask>
#include <QStringList>

class frmUpload;

// What the main window hands over to the parts built beside it: the add and
// batch dialogs, the queue runner and the update check (AppHooks; tests
// record what is handed over instead).
class WindowHooks
{
public:
    virtual ~WindowHooks() = default;

    // The Add/Edit dialog, modal: it adds an entry, or edits the queue's
    // editPath when editMode is set. `source`, when given, is chosen as if
    // browsed to (a file dropped onto the window). Resolves when the dialog
    // has closed.
    virtual QCoro::Task<> showAddDialog(frmUpload *window, QString source) = 0;
    // The batch dialog, modal.
    virtual QCoro::Task<> showBatchDialog(frmUpload *window) = 0;
    // Start: the queue runner takes the first waiting entry.
    virtual void StartNextEntry(frmUpload *window) = 0;
    // Stop: the running entry is asked to end, whatever step it is in.
    virtual void stopRun() = 0;
    // Removes the kept work of every entry whose key is not in `keys`.
    virtual void removeUnownedWork(const QStringList &keys) { Q_UNUSED(keys) }
    // At start-up, unless "-s" was given: the new-version notice and the
    // hidden version check.
    virtual void checkForUpdates(frmUpload *window) = 0;
};
