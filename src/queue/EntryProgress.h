#pragma once

#include <QtGlobal>

// The step a running entry is in, as its progress cell names it.
enum class EntryPhase
{
    None,
    ConvertPass1,
    ConvertPass2,
    Slides,
    Packing,
    Uploading,
    Registering,
    Done
};

// Where one entry stands: its step, how far the step has come and how long
// it still needs.
struct EntryProgress
{
    EntryPhase phase = EntryPhase::None;
    int percent = 0;
    // Seconds the step still needs; negative while unknown.
    qint64 secondsLeft = -1;

    friend bool operator==(const EntryProgress &, const EntryProgress &) = default;
};

// What the run has measured so far; zero while unmeasured.
struct RunRates
{
    // Seconds of source converted (both passes) per second of work.
    double encode = 0;
    // Bytes the server acknowledged per second.
    double upload = 0;
};
