#pragma once

#include "update/UpdateDownload.h"

#include <QDialog>

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

// The update window: the changes of the newer versions, Update and Quit, and
// the download's file, state and progress.
class frmDownloader final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(frmDownloader)

public:
    frmDownloader(const UpdateDownload::Setup &setup, QWidget *parent = nullptr);

    UpdateDownload &download() { return *m_download; }
    // Set when the window closed with everything ready for the updater.
    bool runUpdater() const { return m_download->runUpdater(); }

protected:
    void reject() override;

private:
    void layoutTimer();

    UpdateDownload *m_download;
    QPlainTextEdit *txtLog;
    QLabel *lState;
    QLabel *lFile;
    QLabel *lProgress;
    QProgressBar *ProgressBar;
    QPushButton *cmdUpdate;
    QPushButton *cmdQuit;
};
