#pragma once

#include "add/SourceLoader.h"
#include "add/VideoSettings.h"
#include "pipeline/ProgressView.h"
#include "pipeline/RunOptions.h"

#include <QCoroTask>
#include <QDialog>
#include <array>

class ExecRunner;
class FolderPickerWidget;
class LoginPanelWidget;
class QButtonGroup;
class QGridLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QueueModel;
class Session;
class TransferControl;
struct CVideoItem;
struct ServerAccess;

// The Add/Edit dialog: one source with its title and author, the login and
// destination folder (or the document to replace), and how a video is
// converted. On OK the entry goes into the queue and its grid row; in Edit
// mode it replaces the entry at the queue's editPath.
class frmAdd final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(frmAdd)

public:
    enum BusyState
    {
        Idle = 0,
        Probing = 1,
        WaitingForFolders = 2
    };

    frmAdd(Session &session, QWidget *parent = nullptr);
    ~frmAdd() override;

    // Runs the Browse checks and loads `path`, as if it had been chosen in
    // the file dialog (a file dropped onto the main window).
    QCoro::Task<> chooseSource(QString path);
    // The same, once the dialog is logged in: sources are chosen only then.
    void chooseSourceAfterLogin(const QString &path);
    BusyState busyState() const;

    // The file dialog's filter: pairs of description and patterns, "|"-separated.
    static QString BrowseFilter(int supportedQvpVer);
    // The same as Qt file-dialog name filters.
    static QStringList nameFilters(const QString &browseFilter);

    // Refused while a probe runs or the folder list is awaited.
    void reject() override;
    void done(int result) override;

private:
    void buildControls();
    void buildLayout();
    void connectControls();
    void alignCaptions();
    void reserveCaptionRoom();
    void loadSettings();
    void openForEdit();

    QCoro::Task<> browse();
    QCoro::Task<> loadSource();
    void clearSource();

    void EnableVideoSettings(bool enabled);
    void applyOptionStates();
    void selectConversion(int cvtType);
    void selectResolution(int resType);
    void chooseConversion(int cvtType);
    void chooseResolution(int resType);
    bool refuseAbove2GB(const VideoSettings::Choice &next, SourceLoader::Changed changed);
    void recomputeBitRates();
    void showSourceSize();
    QCoro::Task<> openCustomBps();

    void setOverwriteMode(bool on);
    void setOverwriteModeOffered(bool offered, const QString &url);
    void serverPartsEnabled(bool enabled);
    void loginSucceeded();
    // A folder that takes uploads is chosen, or a document is named instead.
    bool hasDestination() const;
    void updateOk();
    // Busy state 1 began or ended: a probe, or unpacking a single-file project.
    void setProbing(bool probing);
    // Cancel, Browse and OK follow the busy state.
    void busyChanged();
    bool refuseClose();
    QCoro::Task<> confirm();
    bool isQueuedElsewhere(const QString &path) const;
    CVideoItem makeEntry() const;
    void leaveEditMode();

    QString lang(const QString &key, const QString &fallback = {}) const;
    QString dialogTitle() const;

    ServerAccess &m_access;
    QueueModel &m_queue;
    const LanguageTable &m_language;
    Messages::Channel &m_messages;
    // Probing runs at normal priority.
    RunOptions m_options;
    SilentProgressView m_silent;
    ExecRunner *m_runner;
    SourceLoader *m_loader;
    TransferControl *m_control;

    bool m_editMode = false;
    QString m_editPath;
    QString m_editFolderId;
    bool m_editFolderPending = false;
    QString m_pendingSource;

    LoadedSource m_source;
    bool m_titleTypedFirst = false;
    VideoSettings::Choice m_choice;
    VideoSettings::Rates m_rates;
    bool m_videoSettingsEnabled = false;
    bool m_warned = false;
    bool m_overwriteMode = false;
    bool m_probing = false;
    bool m_commandRunning = false;

    QLineEdit *txtSource;
    QPushButton *cmdBrowse;
    QLineEdit *txtTitle;
    QLineEdit *txtAuthor;
    LoginPanelWidget *m_login;
    QLabel *lFolder;
    FolderPickerWidget *m_folders;
    QLabel *lDocUrl;
    QLineEdit *txtDocUrl;
    QPushButton *lOverwriteMode;
    std::array<QRadioButton *, 3> optConvert;
    QPushButton *lNoCvtHelp;
    std::array<QRadioButton *, 3> optResolution;
    QButtonGroup *m_convertGroup;
    QButtonGroup *m_resolutionGroup;
    QLabel *lMaxSize;
    QLabel *lSrcSize;
    QLabel *lDstSize;
    QLabel *lBps;
    QLabel *lFileSize;
    QPushButton *lCustomBps;
    QGridLayout *m_sourceGrid;
    QGridLayout *m_destinationGrid;
    QPushButton *cmdOK;
    QPushButton *cmdCancel;
};
