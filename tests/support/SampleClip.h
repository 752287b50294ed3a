#pragma once

#include "pipeline/SampleMedia.h"
#include "support/TestProcesses.h"

#include <QDir>
#include <QFileInfo>
#include <QSize>

// Makes a sample video at `path` (its folder too); the empty text, or what went wrong.
inline QString makeVideo(const QString &path, double seconds = 2, QSize size = {320, 240},
                         double frameRate = 25, bool interlaced = false)
{
    SampleVideo sample;
    sample.output = path;
    sample.durationSeconds = seconds;
    sample.width = size.width();
    sample.height = size.height();
    sample.frameRate = frameRate;
    sample.interlaced = interlaced;
    QDir().mkpath(QFileInfo(path).absolutePath());
    return QCoro::waitFor(sample.make(testProcesses()));
}
