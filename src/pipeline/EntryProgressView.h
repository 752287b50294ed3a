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
class EntryProgressView final : public ProgressView
{
public:
    EntryProgressView(ProgressView &view, QueueModel &queue) : m_view(view), m_queue(queue) {}

    QString statusText() const override { return m_view.statusText(); }
    void setStatusText(const QString &text) override { m_view.setStatusText(text); }
    void setConvertInfo(const QString &text) override { m_view.setConvertInfo(text); }
    QString injectionCaption() const override { return m_view.injectionCaption(); }
    void setProgress(int percent) override { m_view.setProgress(percent); }
    void setProgressVisible(bool visible) override { m_view.setProgressVisible(visible); }
    void setOutputText(const QString &text) override { m_view.setOutputText(text); }
    void appendOutputLine(const QString &line) override { m_view.appendOutputLine(line); }
    void setAnimationRunning(bool running) override { m_view.setAnimationRunning(running); }
    void setConvertDetailsVisible(bool visible) override { m_view.setConvertDetailsVisible(visible); }
    void setQueueSecondsLeft(qint64 seconds) override { m_view.setQueueSecondsLeft(seconds); }

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

    ProgressView &m_view;
    QueueModel &m_queue;
    // Of the entries that are running.
    QHash<QString, Clocks> m_clocks;
};
