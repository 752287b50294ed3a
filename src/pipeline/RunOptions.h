#pragma once

// How conversions use the machine: the window's high-speed choice and the
// processor count read at start-up.
struct RunOptions
{
    bool highSpeed = false;
    int cpuCount = 1;

    // Below normal priority on a machine with cores to spare, unless asked for speed.
    bool lowPriority() const { return !highSpeed && cpuCount > 2; }
    int encoderThreads() const { return highSpeed || cpuCount <= 2 ? cpuCount : 1; }
};
