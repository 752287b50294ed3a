#include "app/AppHooks.h"

#include "add/frmAdd.h"
#include "app/frmUpload.h"
#include "common/DialogWidget.h"
#include "pipeline/ExecRunner.h"
#include "pipeline/QueueRunner.h"
#include "server/TransferControl.h"

#include <QNetworkAccessManager>

AppHooks::AppHooks() = default;

AppHooks::~AppHooks() = default;

QCoro::Task<> AppHooks::showAddDialog(frmUpload *window, QString source)
{
    auto *dialog = new frmAdd(m_access, window->queue(), window->videoList(), window);
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
    if (!m_queue) {
        m_runner = new ExecRunner(window->runFlags(), window->progressView(), window);
        m_network = new QNetworkAccessManager(window);
        m_tarn = new TransferControl(*m_network, window);
        m_queue =
            new QueueRunner({window->queue(), window->videoList(), window->runFlags(), window->progressView(),
                             *window, *m_runner, *m_tarn, m_defaultProject, m_project},
                            window);
    }
    m_queue->StartNextEntry();
}

void AppHooks::StopExec()
{
    if (m_runner)
        m_runner->StopExec();
}

void AppHooks::checkForUpdates(frmUpload *window)
{
    m_placeholders.checkForUpdates(window);
}
