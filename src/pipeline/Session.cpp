#include "pipeline/Session.h"

#include "pipeline/EntryProgressView.h"
#include "pipeline/ExecRunner.h"
#include "pipeline/QueueRunner.h"
#include "platform/AppPaths.h"
#include "platform/ProcessRunner.h"
#include "server/TransferControl.h"

#include <QNetworkAccessManager>
#include <QThread>

Session::Session(QObject *parent)
    : QObject(parent), m_language(AppPaths::resourcePath(QStringLiteral("res.xml"))),
      m_processes(new ProcessRunner(this)), m_network(new QNetworkAccessManager(this)),
      m_transfer(new TransferControl(*m_network, this)), m_queue(m_language),
      m_project(m_language, m_messages)
{
    m_options.cpuCount = QThread::idealThreadCount();
    // Small chunks let a test or a benchmark stop a run part-way through a
    // small upload; a user has no reason to change them.
    bool numeric = false;
    const int chunkBytes = qEnvironmentVariableIntValue("CLIPFERRY_CHUNK_BYTES", &numeric);
    if (numeric && chunkBytes > 0) {
        TransferControl::Limits limits = m_transfer->limits();
        limits.chunkBytes = chunkBytes;
        m_transfer->setLimits(limits);
    }
}

Session::~Session()
{
    // The runner's steps go before the children they wait for.
    delete m_runner;
    m_processes->stopAll();
}

QueueRunner &Session::runner(ProgressView &view, RunnerControls &controls)
{
    if (!m_runner) {
        m_entryView = std::make_unique<EntryProgressView>(view, m_queue);
        m_exec = new ExecRunner(*m_processes, m_options, *m_entryView, m_messages, this);
        m_runner = new QueueRunner({m_queue, m_options, *m_entryView, controls, *m_processes, *m_exec,
                                    *m_transfer, m_defaultProject, m_project, m_language, m_messages},
                                   this);
    }
    return *m_runner;
}
