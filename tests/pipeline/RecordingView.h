#pragma once

#include "pipeline/ProgressView.h"

#include <QStringList>
#include <functional>

// What the pipeline showed, for the assertions; `onOutput` and `onStatus` let
// a test act while a child or an upload runs (pressing Stop).
class RecordingView final : public ProgressView
{
public:
    QString statusText() const override { return status; }
    void setStatusText(const QString &text) override
    {
        status = text;
        if (onStatus)
            onStatus(text);
    }
    void setConvertInfo(const QString &text) override { labels.append(text); }
    QString injectionCaption() const override { return QStringLiteral(" done."); }
    void setProgress(int percent) override { progress = percent; }
    void setProgressVisible(bool) override {}
    void setOutputText(const QString &text) override
    {
        output = text;
        if (onOutput)
            onOutput(text);
    }
    void appendOutputLine(const QString &line) override { notes.append(line); }
    void setAnimationRunning(bool) override {}

    QString status;
    QStringList labels;
    QString output;
    QStringList notes;
    int progress = -1;
    std::function<void(const QString &)> onOutput;
    std::function<void(const QString &)> onStatus;
};
