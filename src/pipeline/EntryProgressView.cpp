#include "pipeline/EntryProgressView.h"

#include "queue/QueueModel.h"

#include <cmath>

namespace {

// Rates from shorter spans say more about start-up than about speed.
constexpr qint64 kShortestSpanMs = 200;

} // namespace

void EntryProgressView::startStepIfNew(const StepProgress &progress)
{
    const bool newEntry = m_queue.currentPath != m_path;
    if (newEntry || progress.phase != m_phase) {
        m_stepClock.start();
        // Both passes count as one conversion.
        if (newEntry || progress.phase == EntryPhase::ConvertPass1 || !m_conversionClock.isValid())
            m_conversionClock.start();
    }
    m_path = m_queue.currentPath;
    m_phase = progress.phase;
}

void EntryProgressView::measure(StepProgress &progress)
{
    RunRates rates = m_queue.runRates();
    const CVideoItem *item = m_queue.item(m_path);
    const qint64 convertingMs = m_conversionClock.elapsed();
    const bool converting =
        progress.phase == EntryPhase::ConvertPass1 || progress.phase == EntryPhase::ConvertPass2;
    if (converting && item && item->secDuration > 0 && progress.percent > 0 &&
        convertingMs >= kShortestSpanMs)
        rates.encode = item->secDuration * progress.percent / 100.0 / (convertingMs / 1000.0);
    const qint64 uploadingMs = m_stepClock.elapsed();
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
    startStepIfNew(step);
    StepProgress progress = step;
    measure(progress);
    m_queue.SetEntryProgress(m_path, EntryProgress{progress.phase, progress.percent, progress.secondsLeft});
    m_view.setStepProgress(progress);
    m_view.setQueueSecondsLeft(m_queue.queueSecondsLeft());
}
