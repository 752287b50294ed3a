#pragma once

#include "pipeline/ProgressView.h"

class LanguageTable;

// The pipeline's texts as lines on standard output: the status and the
// progress label when they change, and ClipFerry's own notes.
class ConsoleProgressView final : public ProgressView
{
public:
    explicit ConsoleProgressView(const LanguageTable &language) : m_language(language) {}

    QString statusText() const override { return m_status; }
    void setStatusText(const QString &text) override;
    void setConvertInfo(const QString &text) override;
    QString injectionCaption() const override;
    void setProgress(int percent) override;
    void setProgressVisible(bool) override {}
    void setOutputText(const QString &) override {}
    void appendOutputLine(const QString &line) override;
    void setAnimationRunning(bool) override {}

private:
    const LanguageTable &m_language;
    QString m_status;
    QString m_info;
    int m_percent = -1;
};
