#pragma once

#include <QString>
#include <optional>

// The live state of a queue entry. The grid shows it and the queue file
// writes it by its text, the journal reads it back; everything else compares the enum.
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
// The state of such a name; none for any other text.
std::optional<EntryState> stateOfText(QStringView text);
