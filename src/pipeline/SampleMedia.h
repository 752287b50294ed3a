#pragma once

#include <QCoroTask>
#include <QString>
#include <QStringList>

class ProcessRunner;

// Small generated media for tests, demos and benchmarks: ffmpeg's test
// pattern and a tone, in any container ffmpeg writes.
struct SampleVideo
{
    QString output;
    double durationSeconds = 3;
    int width = 320;
    int height = 240;
    double frameRate = 25;
    // Top field first, flagged interlaced in the stream.
    bool interlaced = false;
    int videoStreams = 1;
    // 0 makes a silent clip.
    int audioChannels = 2;
    // The container by extension ("mkv", "avi", ...); empty: from the name.
    QString format;

    // The ffmpeg arguments that make it.
    QStringList ffmpegArguments() const;
    // Makes the file; returns the empty text, or what went wrong.
    QCoro::Task<QString> make(ProcessRunner *processes) const;
};
