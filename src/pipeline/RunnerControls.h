#pragma once

// The main window's commands that the queue runner enables and disables
// while it works; the command line has none of them to show.
class RunnerControls
{
public:
    virtual ~RunnerControls() = default;
    virtual void setStartEnabled(bool enabled) = 0;
    virtual void setStopEnabled(bool enabled) = 0;
    virtual void setExitEnabled(bool enabled) = 0;
    // Exit's caption goes back to its plain form when a run ends.
    virtual void restoreExitCaption() = 0;
    // Add, Batch add, Clear All and Exit together (Remove and Edit only go off).
    virtual void vidFileEnabled(bool enabled) = 0;
};

// No buttons to enable: the command line, benchmarks.
class NoRunnerControls final : public RunnerControls
{
public:
    void setStartEnabled(bool) override {}
    void setStopEnabled(bool) override {}
    void setExitEnabled(bool) override {}
    void restoreExitCaption() override {}
    void vidFileEnabled(bool) override {}
};
