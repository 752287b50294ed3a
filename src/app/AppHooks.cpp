#include "app/AppHooks.h"

#include "add/frmAdd.h"
#include "app/frmUpload.h"
#include "common/DialogWidget.h"
#include "pipeline/EntryWork.h"
#include "pipeline/QueueRunner.h"
#include "pipeline/Session.h"
#include "queue/QueueFile.h"

AppHooks::AppHooks(Session &session) : m_session(session) {}

AppHooks::~AppHooks() = default;

QCoro::Task<> AppHooks::showAddDialog(frmUpload *window, QString source)
{
    auto *dialog = new frmAdd(m_session, window);
    if (!source.isEmpty())
        dialog->chooseSourceAfterLogin(source);
    co_await OpenDialog(dialog);
}

QCoro::Task<> AppHooks::showBatchDialog(frmUpload *window)
{
    co_await m_placeholders.showBatchDialog(window);
}

void AppHooks::StartNextEntry(frmUpload *window)
{
    m_session.runner(window->progressView(), *window).StartNextEntry();
}

void AppHooks::stopRun()
{
    if (QueueRunner *runner = m_session.runnerIfMade())
        runner->Stop();
}

void AppHooks::removeUnownedWork(const QStringList &keys)
{
    EntryWork::removeUnowned(EntryWork::rootFor(QueueFile::defaultPath()), keys);
}

void AppHooks::checkForUpdates(frmUpload *window)
{
    m_placeholders.checkForUpdates(window);
}
