#include "update/frmDownloader.h"

#include "common/LanguageWidget.h"
#include "pipeline/Session.h"
#include "update/UpdateInstall.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

frmDownloader::frmDownloader(const UpdateDownload::Setup &setup, QWidget *parent)
    : QDialog(parent), m_download(new UpdateDownload(setup, this))
{
    setObjectName(QStringLiteral("frmDownloader"));
    txtLog = NamedControl<QPlainTextEdit>(QStringLiteral("txtLog"), this);
    txtLog->setReadOnly(true);
    lState = NamedControl<QLabel>(QStringLiteral("lState"), this);
    lFile = NamedControl<QLabel>(QStringLiteral("lFile"), this);
    lProgress = NamedControl<QLabel>(QStringLiteral("lProgress"), this);
    ProgressBar = NamedControl<QProgressBar>(QStringLiteral("ProgressBar"), this);
    ProgressBar->setTextVisible(false);
    cmdUpdate = NamedControl<QPushButton>(QStringLiteral("cmdUpdate"), this);
    cmdQuit = NamedControl<QPushButton>(QStringLiteral("cmdQuit"), this);
    auto *lLog = NamedControl<QLabel>(QStringLiteral("lLog"), this);
    lLog->setBuddy(txtLog);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdUpdate);
    buttons->addWidget(cmdQuit);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(lState);
    layout->addWidget(lLog);
    layout->addWidget(txtLog, 1);
    layout->addWidget(lFile);
    layout->addWidget(ProgressBar);
    layout->addWidget(lProgress);
    layout->addLayout(buttons);
    resize(520, 400);

    ApplyLanguage(setup.session.language(), this);
    lFile->hide();
    lProgress->hide();
    const QString caption = windowTitle();

    connect(cmdUpdate, &QPushButton::clicked, this, [this] {
        cmdUpdate->setEnabled(false);
        lFile->show();
        lProgress->show();
        m_download->Update();
    });
    connect(cmdQuit, &QPushButton::clicked, this, &frmDownloader::reject);
    connect(m_download, &UpdateDownload::fileText, lFile, &QLabel::setText);
    connect(m_download, &UpdateDownload::stateText, lState, &QLabel::setText);
    connect(m_download, &UpdateDownload::progress, this,
            [this](qint64 done, qint64 total, const QString &title, const QString &text) {
                // The bar counts in kilobytes so that files beyond 2 GiB fit its range.
                ProgressBar->setMaximum(static_cast<int>(qMax<qint64>(1, total / 1024)));
                ProgressBar->setValue(static_cast<int>(done / 1024));
                setWindowTitle(title);
                if (!text.isEmpty())
                    lProgress->setText(text);
            });
    connect(m_download, &UpdateDownload::closed, this, [this, caption](bool run) {
        setWindowTitle(caption);
        done(run ? QDialog::Accepted : QDialog::Rejected);
    });
    QTimer::singleShot(0, this, &frmDownloader::layoutTimer);
}

void frmDownloader::layoutTimer()
{
    ProgressBar->setMinimum(0);
    ProgressBar->setValue(0);
    if (!m_download->canUpdate()) {
        // A copy outside an install folder still shows what is new.
        txtLog->setPlainText(m_download->FillLog());
        lState->setText(UpdateInstall::cannotUpdateText());
        cmdUpdate->setEnabled(false);
        return;
    }
    if (m_download->Open())
        txtLog->setPlainText(m_download->FillLog());
}

void frmDownloader::reject()
{
    // Quit, Esc and the close box: no download goes on and no update is left pending.
    m_download->Quit();
    if (isVisible())
        QDialog::reject();
}
