#pragma once

#include "queue/EntryProgress.h"

#include <QString>

// How far the running step has come, for the entry's progress cell and the
// status line.
struct StepProgress
{
    EntryPhase phase = EntryPhase::None;
    int percent = 0;
    // Negative while unknown.
    qint64 secondsLeft = -1;
    // An upload's bytes acknowledged and in all, and its speed in bytes per second.
    qint64 bytesDone = 0;
    qint64 bytesTotal = 0;
    double bytesPerSecond = 0;
    // The entry the step belongs to; empty for the queue's current entry.
    QString path{};
};

// What the pipeline shows while it works. The main window implements it with
// its status label, progress label, progress bar, output panel and busy
// animation; the command line prints the same texts.
class ProgressView
{
public:
    virtual ~ProgressView() = default;

    // The status label (lStatus).
    virtual QString statusText() const = 0;
    virtual void setStatusText(const QString &text) = 0;
    // The progress label (lConvertInfo).
    virtual void setConvertInfo(const QString &text) = 0;
    // The caption of the lInjection label, shown after the progress caption
    // while key frames and images are added.
    virtual QString injectionCaption() const = 0;
    // The progress bar (ProgressBar1), 0 to 100.
    virtual void setProgress(int percent) = 0;
    virtual void setProgressVisible(bool visible) = 0;
    // The output panel (txtOutput): the kept output text, newest at the end.
    virtual void setOutputText(const QString &text) = 0;
    // One line for the output panel (notes of ClipFerry's own).
    virtual void appendOutputLine(const QString &line) = 0;
    // The busy animation (TmrAnimation): appends "." to the status text at
    // every tick while it runs.
    virtual void setAnimationRunning(bool running) = 0;
    // Shows or hides the progress label and the output panel together, as a
    // conversion starts and ends; the console has nothing to hide.
    virtual void setConvertDetailsVisible(bool /*visible*/) {}
    // The running entry's step and its progress.
    virtual void setStepProgress(const StepProgress & /*progress*/) {}
    // The whole queue's time left in seconds; negative while unknown.
    virtual void setQueueSecondsLeft(qint64 /*seconds*/) {}
};

// Shows nothing: for work that runs where nobody watches (benchmarks, tests).
class SilentProgressView final : public ProgressView
{
public:
    QString statusText() const override { return {}; }
    void setStatusText(const QString &) override {}
    void setConvertInfo(const QString &) override {}
    QString injectionCaption() const override { return {}; }
    void setProgress(int) override {}
    void setProgressVisible(bool) override {}
    void setOutputText(const QString &) override {}
    void appendOutputLine(const QString &) override {}
    void setAnimationRunning(bool) override {}
};

// Passes everything on to another view; the views that add to what one
// entry's work shows override only what they change.
class ForwardingProgressView : public ProgressView
{
public:
    explicit ForwardingProgressView(ProgressView &view) : m_view(view) {}

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
    void setStepProgress(const StepProgress &progress) override { m_view.setStepProgress(progress); }
    void setQueueSecondsLeft(qint64 seconds) override { m_view.setQueueSecondsLeft(seconds); }

protected:
    ProgressView &m_view;
};
