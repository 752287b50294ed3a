#pragma once

#include "pipeline/ProgressView.h"

#include <QWidget>

class LanguageTable;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QTimer;

// The main window's progress display: the status label, the progress label,
// the progress bar, the output panel and the busy animation that the
// pipeline drives through ProgressView.
class ProgressPanelWidget final : public QWidget, public ProgressView
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ProgressPanelWidget)

public:
    explicit ProgressPanelWidget(QWidget *parent = nullptr);

    QString statusText() const override;
    void setStatusText(const QString &text) override;
    void setConvertInfo(const QString &text) override;
    QString injectionCaption() const override;
    void setProgress(int percent) override;
    void setProgressVisible(bool visible) override;
    void setOutputText(const QString &text) override;
    void appendOutputLine(const QString &line) override;
    void setAnimationRunning(bool running) override;
    void setConvertDetailsVisible(bool visible) override;
    void setStepProgress(const StepProgress &progress) override;
    void setQueueSecondsLeft(qint64 seconds) override;

    // The texts of the transfer and queue lines.
    void setLanguage(const LanguageTable *language) { m_language = language; }
    // The output panel, placed by the window; the person shows and hides it.
    QPlainTextEdit *outputPanel() const { return m_output; }
    QString transferText() const;
    QString queueLeftText() const;
    QString outputText() const;
    bool animationRunning() const;

private:
    void animate();

    QString text(const char *key) const;

    const LanguageTable *m_language = nullptr;
    QLabel *m_status;
    QLabel *m_transfer;
    QLabel *m_queueLeft;
    QLabel *m_convertInfo;
    QLabel *m_injection;
    QProgressBar *m_progress;
    QPlainTextEdit *m_output;
    QTimer *m_animation;
};
