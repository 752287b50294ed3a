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
    // Accepted when it closes with everything ready for the updater.
    frmDownloader(const UpdateDownload::Setup &setup, QWidget *parent = nullptr);

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
