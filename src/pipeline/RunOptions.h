#pragma once

// How conversions use the machine: the window's high-speed choice and the
// processor count read at start-up; and whether the next entry converts
// while the one before it uploads, or each entry runs alone.
struct RunOptions
{
    bool highSpeed = false;
    int cpuCount = 1;
    bool convertWhileUploading = true;

    // Below normal priority on a machine with cores to spare, unless asked for speed.
    bool lowPriority() const { return !highSpeed && cpuCount > 2; }
    int encoderThreads() const { return highSpeed || cpuCount <= 2 ? cpuCount : 1; }
};
