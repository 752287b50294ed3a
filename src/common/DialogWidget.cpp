#include "common/DialogWidget.h"

#include "platform/Coro.h"

#include <QDialog>
#include <QPointer>

QCoro::Task<bool> OpenDialog(QDialog *dialog)
{
    QPointer<QDialog> guard(dialog);
    dialog->open();
    // A dialog waits for the person as long as it takes.
    co_await Coro::signal(dialog, &QDialog::finished, std::chrono::milliseconds(-1));
    if (!guard)
        co_return false;
    guard->deleteLater();
    co_return guard->result() == QDialog::Accepted;
}
