#pragma once

#include <QCoroTask>

class QDialog;

// Opens `dialog` window-modally and resolves once it has closed, without a
// nested event loop: true when it was accepted. The dialog is released with
// deleteLater(), so the awaiting caller can still read it when it resumes;
// it is not deleted earlier because its finished signal arrives queued and
// would be dropped if its sender were gone.
QCoro::Task<bool> OpenDialog(QDialog *dialog);
