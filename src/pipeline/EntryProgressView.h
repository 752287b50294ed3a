#pragma once

#include "pipeline/ProgressView.h"

#include <QElapsedTimer>
#include <QHash>
#include <QString>

class QueueModel;

// Passes everything on to the view it wraps and keeps the queue's progress
// cells in step: each running entry's step, percentage and time left (one
// may convert while another uploads), and the speeds measured so far, from
// which the queue's time left is estimated.
class EntryProgressView final : public ForwardingProgressView
{
public:
    EntryProgressView(ProgressView &view, QueueModel &queue) : ForwardingProgressView(view), m_queue(queue) {}

    void setStepProgress(const StepProgress &progress) override;

private:
    struct Clocks
    {
        EntryPhase phase = EntryPhase::None;
        QElapsedTimer step;
        QElapsedTimer conversion;
    };

    // A new entry or a new step starts its clock.
    Clocks &startStepIfNew(const QString &path, const StepProgress &progress);
    void measure(const QString &path, const Clocks &clocks, StepProgress &progress);

    QueueModel &m_queue;
    // Of the entries that are running.
    QHash<QString, Clocks> m_clocks;
};
