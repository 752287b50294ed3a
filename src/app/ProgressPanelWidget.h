#pragma once

#include "pipeline/ProgressView.h"

#include <QWidget>

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

    QString outputText() const;
    bool animationRunning() const;

private:
    void animate();

    QLabel *m_status;
    QLabel *m_convertInfo;
    QLabel *m_injection;
    QProgressBar *m_progress;
    QPlainTextEdit *m_output;
    QTimer *m_animation;
};
