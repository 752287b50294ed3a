#include "app/AppHooks.h"

#include "add/frmAdd.h"
#include "add/frmAddBatch.h"
#include "app/frmUpload.h"
#include "common/DialogWidget.h"
#include "pipeline/EntryWork.h"
#include "pipeline/QueueRunner.h"
#include "pipeline/Session.h"
#include "platform/Coro.h"
#include "update/CVerList.h"
#include "update/UpdateInstall.h"
#include "update/frmDownloader.h"
#include "update/frmGetVerList.h"

#include <QCoreApplication>
#include <QDate>
#include <QPointer>
#include <QProcess>

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

void AppHooks::removeUnownedWork(const QStringList &keys)
{
    EntryWork::removeUnowned(EntryWork::defaultRoot(), keys);
}

void AppHooks::checkForUpdates(frmUpload *window)
{
    Coro::start(
        window, m_updateRunning, [this, window] { return updateAtStart(window); }, [] {});
}

QCoro::Task<> AppHooks::updateAtStart(frmUpload *window)
{
    QPointer<frmUpload> self(window);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    const QString server = UpdateServerAddress(arguments);
    m_storedList = std::make_unique<StoredVerList>();
    if (NewVersionNotice(ProgramVersion(m_session.language()), *m_storedList, QDate::currentDate())) {
        auto *dialog = new frmDownloader({m_session, m_storedList->list, m_storedList->doc, server,
                                          window->osVersion(), UpdateInstall::installFolder()},
                                         window);
        const bool ready = co_await OpenDialog(dialog);
        if (!self)
            co_return;
        if (ready) {
            // The updater waits for this process to end, then starts the new
            // version with the same command line.
            const QString updateFolder = UpdateInstall::updateFolder();
            QProcess updater;
            updater.setProgram(UpdateInstall::updaterPath(updateFolder));
            updater.setArguments(UpdateInstall::updaterArguments(updateFolder, UpdateInstall::installFolder(),
                                                                 QCoreApplication::applicationPid(), true,
                                                                 WithoutUpdateOptions(arguments)));
            if (updater.startDetached()) {
                self->runUpdater = true;
                self->close();
                co_return;
            }
            // Nobody would start ClipFerry again (a temporary folder that
            // may not run programs): it stays open as it is.
            m_session.messages().show(
                QStringLiteral("The updater cannot start: %1. ClipFerry was not updated.")
                    .arg(updater.errorString()),
                QString(), Messages::Icon::Warning);
        }
    }
    if (server.isEmpty())
        co_return;
    auto *check = new frmGetVerList(m_session, server, arguments, self);
    QObject::connect(check, &frmGetVerList::closed, check, &QObject::deleteLater);
    co_await check->run();
}
