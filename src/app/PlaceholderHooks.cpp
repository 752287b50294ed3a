#include "app/PlaceholderHooks.h"

#include "app/frmUpload.h"
#include "common/DialogWidget.h"
#include "queue/QueueModel.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPointer>
#include <QVBoxLayout>

namespace {

// A modal note in place of a dialog that is not part of this build.
QCoro::Task<> showPlaceholderDialog(QWidget *parent, QString title, QString note)
{
    auto *dialog = new QDialog(parent);
    dialog->setObjectName(QStringLiteral("placeholderDialog"));
    dialog->setWindowTitle(title);
    auto *layout = new QVBoxLayout(dialog);
    layout->addWidget(new QLabel(note, dialog));
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, dialog);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    layout->addWidget(buttons);
    co_await OpenDialog(dialog);
}

} // namespace

QCoro::Task<> PlaceholderHooks::showAddDialog(frmUpload *window, QString /*source*/)
{
    QPointer<frmUpload> self(window);
    co_await showPlaceholderDialog(window, QStringLiteral("Add video"),
                                   QStringLiteral("The Add/Edit dialog is not part of this build yet."));
    if (!self)
        co_return;
    // Leaving the dialog without OK gives an edited row its state back.
    self->queue().cancelEdit();
}

QCoro::Task<> PlaceholderHooks::showBatchDialog(frmUpload * /*window*/)
{
    co_return;
}

void PlaceholderHooks::StartNextEntry(frmUpload * /*window*/) {}

void PlaceholderHooks::stopRun() {}

void PlaceholderHooks::checkForUpdates(frmUpload * /*window*/) {}
