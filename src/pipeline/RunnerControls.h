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
