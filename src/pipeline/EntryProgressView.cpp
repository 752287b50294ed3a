#include "pipeline/EntryProgressView.h"

#include "queue/QueueModel.h"

#include <cmath>

namespace {

// Rates from shorter spans say more about start-up than about speed.
constexpr qint64 kShortestSpanMs = 200;

} // namespace

EntryProgressView::Clocks &EntryProgressView::startStepIfNew(const QString &path,
                                                             const StepProgress &progress)
{
    auto found = m_clocks.find(path);
    const bool newEntry = found == m_clocks.end();
    if (newEntry) {
        // Entries that no longer run take their clocks with them.
        m_clocks.removeIf([this](const auto &it) {
            const int row = m_queue.RowOfPath(it.key());
            return row < 0 || m_queue.entryAt(row).state != EntryState::Transfering;
        });
        found = m_clocks.insert(path, Clocks{});
    }
    Clocks &clocks = *found;
    if (newEntry || progress.phase != clocks.phase) {
        clocks.step.start();
        // Both passes count as one conversion.
        if (newEntry || progress.phase == EntryPhase::ConvertPass1 || !clocks.conversion.isValid())
            clocks.conversion.start();
    }
    clocks.phase = progress.phase;
    return clocks;
}

void EntryProgressView::measure(const QString &path, const Clocks &clocks, StepProgress &progress)
{
    RunRates rates = m_queue.runRates();
    const CVideoItem *item = m_queue.item(path);
    const qint64 convertingMs = clocks.conversion.elapsed();
    const bool converting =
        progress.phase == EntryPhase::ConvertPass1 || progress.phase == EntryPhase::ConvertPass2;
    if (converting && item && item->secDuration > 0 && progress.percent > 0 &&
        convertingMs >= kShortestSpanMs)
        rates.encode = item->secDuration * progress.percent / 100.0 / (convertingMs / 1000.0);
    const qint64 uploadingMs = clocks.step.elapsed();
    if (progress.phase == EntryPhase::Uploading && progress.bytesDone > 0 && uploadingMs >= kShortestSpanMs) {
        rates.upload = static_cast<double>(progress.bytesDone) / (uploadingMs / 1000.0);
        progress.bytesPerSecond = rates.upload;
        progress.secondsLeft = static_cast<qint64>(
            std::ceil(static_cast<double>(progress.bytesTotal - progress.bytesDone) / rates.upload));
    }
    m_queue.setRunRates(rates);
}

void EntryProgressView::setStepProgress(const StepProgress &step)
{
    const QString path = step.path.isEmpty() ? m_queue.currentPath : step.path;
    const Clocks &clocks = startStepIfNew(path, step);
    StepProgress progress = step;
    progress.path = path;
    measure(path, clocks, progress);
    m_queue.SetEntryProgress(path, EntryProgress{progress.phase, progress.percent, progress.secondsLeft});
    m_view.setStepProgress(progress);
    m_view.setQueueSecondsLeft(m_queue.queueSecondsLeft());
}
