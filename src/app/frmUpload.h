#pragma once

#include "app/WindowHooks.h"
#include "pipeline/RunOptions.h"
#include "pipeline/RunnerControls.h"
#include "platform/KeepAwake.h"

#include <QCoroTask>
#include <QMainWindow>
#include <QStringList>
#include <memory>

class ProgressPanelWidget;
class ProgressView;
class QueueJournal;
class QueueModel;
class Session;
class QCheckBox;
class QLabel;
class QMenu;
class QPushButton;
class QSplitter;
class QTableView;
class QTimer;
class QMimeData;

// The main window: the queue grid, the commands that change the queue,
// Start and Stop, the start-up checks, and the close that saves the queue.
class frmUpload final : public QMainWindow, public RunnerControls
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(frmUpload)

public:
    struct Setup
    {
        // The program's session: the queue shown in the grid, the options.
        Session &session;
        // The command line without the program; "-s" skips the update check.
        QStringList arguments;
        // Keeps the computer and display awake while the window is open.
        std::unique_ptr<KeepAwake> keepAwake;
        // The dialogs, the queue runner and the update check; required.
        std::unique_ptr<WindowHooks> hooks;
        // The processor count; 0 asks the system at the first start-up tick.
        int processorCount = 0;
    };

    // Texts the pipeline's messages use, looked up once at load.
    struct Texts
    {
        QString btnOK;
        QString btnExit;
        QString btnCancel;
        QString tarnError;
    };

    explicit frmUpload(Setup setup, QWidget *parent = nullptr);
    ~frmUpload() override;

    Session &session() { return m_session; }
    QueueModel &queue() { return *m_queue; }
    RunOptions &runOptions() { return m_options; }
    ProgressView &progressView();
    const Texts &texts() const { return m_texts; }

    int osVersion() const { return m_osVersion; }
    // The dialogs choose their folder-tree control by it.
    bool useUniTreeView() const { return m_useUniTreeView; }
    QString updaterExe() const { return m_updaterExe; }
    // Set by the update dialog when the updater is to run.
    bool runUpdater = false;
    quint16 initTicks() const { return m_initTicks; }

    // Enables the queue-changing commands, or disables them (and Edit and
    // Remove) while the queue runs.
    void vidFileEnabled(bool enabled) override;
    void setStartEnabled(bool enabled) override;
    void setStopEnabled(bool enabled) override;
    void setExitEnabled(bool enabled) override;
    // Exit's caption goes back to its language text when a run ends.
    void restoreExitCaption() override;

    // The grid's selection handler; row and column count from 0.
    void gridSelectionChanged(int row, int column);
    // Gives the grid the focus and runs the selection handler again.
    void refreshSelection();
    // The context menu of the grid, as it stands for the current selection.
    QMenu *contextMenu() const { return m_menu; }
    // Shows the menu's commands as they apply to the selection.
    void updateContextMenu();
    // Opens the selected finished entry's page on its server; false when it has none.
    bool openOnServer();

    // SIGTERM, SIGINT and the end of the desktop session: a running entry is
    // stopped first, then the window closes as usual, saving the queue.
    QCoro::Task<> shutdown();

Q_SIGNALS:
    // The close steps have run; the program may end.
    void closed();

protected:
    void closeEvent(QCloseEvent *event) override;
    // A video file or project dropped onto the window opens Add with it.
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    void buildControls();
    void buildLayout();
    void applyLanguage();
    // The window's own language text.
    QString text(const QString &key, const QString &defaultText = {}) const;
    void defineGrid();
    void connectCommands();

    void initTick();
    void readOptions();
    void applyProcessorLimit();
    QCoro::Task<> refuseWhileUpdaterRuns();

    // The commands; each runs behind one guard so none starts while
    // another waits for a dialog or an answer.
    void runCommand(QCoro::Task<> (frmUpload::*command)());
    QCoro::Task<> addVideo();
    QCoro::Task<> batchAdd();
    QCoro::Task<> editEntry();
    QCoro::Task<> removeEntries();
    QCoro::Task<> clearAll();
    QCoro::Task<> exitProgram();
    void startUpload();
    QCoro::Task<> stopUpload();
    QCoro::Task<> afterAddDialog(int rowsBefore);
    // Failed and canceled entries among the selected wait again, afresh.
    void retryEntries();
    void openSourceFolder();
    // The grid's context menu and its actions.
    void buildContextMenu();
    // The grid's column widths, the output panel and the window's geometry
    // as the person left them.
    void restoreLayout();
    void storeLayout();
    // A run ended: the commands follow the selection again, and a desktop
    // notice tells a person looking elsewhere how it went.
    void runEnded();
    void updateQueueTimeLeft();

    // Sets the stop flags; true when the running preparation was asked to
    // end and deserves a moment to notice.
    bool requestStop();
    bool refuseWhileTransfering();
    // The one local source a drop carries, if it can be added; else empty.
    static QString droppableSource(const QMimeData *data);
    int selectedRow() const;
    QList<int> selectedRows() const;
    void runCloseSteps();

    Session &m_session;
    QueueModel *m_queue;
    RunOptions &m_options;
    // Exit has already stopped the run, so closing does not stop it again.
    bool m_exitStopped = false;
    Texts m_texts;
    std::unique_ptr<KeepAwake> m_keepAwake;
    // Keeps the queue on disk while the window is open; removed at a clean close.
    std::unique_ptr<QueueJournal> m_journal;
    std::unique_ptr<WindowHooks> m_hooks;
    QStringList m_arguments;
    int m_processorCount;

    int m_osVersion = 0;
    bool m_useUniTreeView = false;
    QString m_updaterExe;
    quint16 m_initTicks = 0;
    // The options and the queue are read at the first tick; a close before
    // it leaves the queue file and the stored options as they were.
    bool m_optionsRead = false;
    bool m_commandRunning = false;
    QString m_droppedSource;
    bool m_stopRunning = false;
    bool m_shuttingDown = false;
    bool m_forceClose = false;
    bool m_closeStepsDone = false;

    // Entries finished and failed before the run began.
    int m_finishedBefore = 0;
    int m_failedBefore = 0;
    bool m_runStarted = false;

    QTableView *gridQueue;
    QSplitter *m_split;
    QMenu *m_menu;
    QAction *mnuEdit;
    QAction *mnuRemove;
    QAction *mnuRetry;
    QAction *mnuOpenFolder;
    QAction *mnuOpenServer;
    QPushButton *cmdRetry;
    QPushButton *cmdOutput;
    QPushButton *cmdAdd;
    QPushButton *cmdAddQvp;
    QPushButton *cmdEdit;
    QPushButton *cmdRemove;
    QPushButton *cmdClearAll;
    QPushButton *cmdStartUpload;
    QPushButton *cmdStopUpload;
    QPushButton *cmdExit;
    QCheckBox *chkHighSpeed;
    QCheckBox *chkConvertWhileUploading;
    QCheckBox *chkRemQueue;
    QTimer *tmrInit;
    QLabel *lTestLen;
    ProgressPanelWidget *m_progress;
};
