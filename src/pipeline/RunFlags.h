#pragma once

#include <QStringList>
#include <functional>

// The main window's flags that the pipeline reads and writes while an entry
// runs. Plain values on the one thread: Stop and Exit set them, the running
// step reads them at its next poll.
struct RunFlags
{
    // An interruptible step of the current entry runs.
    bool stepRunning = false;
    // Stop was pressed while stepRunning was set.
    bool stepCanceled = false;
    // Stop was pressed while no such step ran.
    bool cancelRequested = false;
    // Exit has already stopped the pipeline, so closing does not stop it again.
    bool exitStopped = false;
    // Folders to delete when the window closes.
    QStringList tempFolders;
    // Conversions run at normal priority (chkHighSpeed).
    bool highSpeed = false;
    // Processor count read at start-up.
    int cpuCount = 1;
};

// The Stop command's flags: a running server exchange or upload is marked
// canceled, a running preparation is asked to end; either way the running
// external program is told to stop. True when a preparation was asked to
// end, which deserves a moment to notice.
inline bool RequestStop(RunFlags &flags, const std::function<void()> &stopExec)
{
    stopExec();
    if (flags.stepRunning) {
        flags.stepRunning = false;
        flags.stepCanceled = true;
        return false;
    }
    flags.cancelRequested = true;
    return true;
}
