#include "app/AppHooks.h"

#include "add/frmAdd.h"
#include "add/frmAddBatch.h"
#include "app/frmUpload.h"
#include "common/DialogWidget.h"
#include "pipeline/QueueRunner.h"
#include "pipeline/Session.h"

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
    co_await OpenDialog(new frmAddBatch(m_session, window));
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

QStringList AppHooks::tempFolders() const
{
    const QueueRunner *runner = m_session.runnerIfMade();
    return runner ? runner->tempFolders() : QStringList();
}

void AppHooks::checkForUpdates(frmUpload *window)
{
    m_placeholders.checkForUpdates(window);
}
