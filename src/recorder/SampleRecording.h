#pragma once

#include <QCoroTask>

class ProcessRunner;
#include <QString>

// A complete recording project made from generated media, for tests and
// demonstrations: "project.qvp" with abstract, configure, profile and index
// (media items spread over the recording, then link items pointing at a
// page or an image in the project folder), a Matroska "media.qv" that plays,
// photo and cursor images, and "inteIndex.txt"; or all of it packed as a
// single-file project "recording.zdm".
struct SampleRecordingOptions
{
    int version = 8;         // 5 to 8
    bool singleFile = false; // a ".zdm" instead of a folder project
    int mediaItems = 3;
    int linkItems = 1;
    int durationSeconds = 6;
    bool damaged = false; // the media is cut off halfway
};

struct SampleRecordingResult
{
    QString path; // project.qvp or the .zdm; empty on failure
    QString error;
};

// Writes the project into `folder` (created when missing).
QCoro::Task<SampleRecordingResult> makeSampleRecording(ProcessRunner *processes, QString folder,
                                                       SampleRecordingOptions options);
