#pragma once

#include <QString>

// The live state of a queue entry. The grid shows it and the queue file
// writes it by its text; everything else compares the enum.
enum class EntryState
{
    Waiting,     // queued, not yet processed
    Transfering, // being prepared or uploaded now
    Editing,     // open in the Add/Edit dialog
    Finished,    // uploaded
    Failed,      // stopped by an error; the entry's error text says why
    Canceled     // stopped by the user
};

// The state's name as the grid shows it and the queue file writes it.
QString stateText(EntryState state);
