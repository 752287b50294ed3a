#include "platform/Coro.h"

namespace Coro {

namespace {
// Turns QProcess's private-signal notifications into one plain signal that a
// coroutine can await.
class StartWatcher final : public QObject
{
    Q_OBJECT
public:
    explicit StartWatcher(QProcess *process)
    {
        connect(process, &QProcess::started, this, &StartWatcher::settled);
        connect(process, &QProcess::errorOccurred, this, &StartWatcher::settled);
    }
Q_SIGNALS:
    void settled();
};
} // namespace

QCoro::Task<ProcessEnd> runProcess(QProcess *process, QString program, QStringList arguments,
                                   std::chrono::milliseconds timeout)
{
    QPointer<QProcess> guard(process);
    {
        StartWatcher watcher(process);
        process->start(program, arguments);
        // A failed start may be reported at once or from the loop.
        if (process->state() == QProcess::Starting)
            co_await qCoro(&watcher, &StartWatcher::settled, 10'000ms);
    }
    if (!guard)
        co_return ProcessEnd::Crashed;
    if (process->state() == QProcess::Starting || process->error() == QProcess::FailedToStart) {
        process->kill();
        co_return ProcessEnd::FailedToStart;
    }
    if (process->state() != QProcess::NotRunning) {
        const auto ended = co_await qCoro(process, &QProcess::finished, timeout);
        if (!guard)
            co_return ProcessEnd::Crashed;
        if (!ended) {
            process->kill();
            co_await qCoro(process).waitForFinished(5'000ms);
            co_return ProcessEnd::TimedOut;
        }
    }
    co_return process->exitStatus() == QProcess::NormalExit ? ProcessEnd::Finished : ProcessEnd::Crashed;
}

} // namespace Coro

#include "Coro.moc"
