#include "app/frmUpload.h"

#include "add/SourceLoader.h"
#include "add/frmAdd.h"
#include "app/ProgressPanelWidget.h"
#include "app/QueueItemDelegate.h"
#include "common/FileUtil.h"
#include "common/Lang.h"
#include "common/LanguageWidget.h"
#include "common/Settings.h"
#include "common/SystemUtil.h"
#include "pipeline/Session.h"
#include "platform/AppPaths.h"
#include "platform/Coro.h"
#include "platform/DesktopNotice.h"
#include "platform/Messages.h"
#include "queue/QueueFile.h"
#include "queue/QueueJournal.h"
#include "queue/QueueModel.h"
#include "update/UpdateInstall.h"
#include "update/frmGetVerList.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLoggingCategory>
#include <QMenu>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QShortcut>
#include <QSplitter>
#include <QTableView>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

Q_LOGGING_CATEGORY(lcWindow, "clipferry.window", QtWarningMsg)

namespace {

using namespace std::chrono_literals;

const QString kSection = QStringLiteral("frmUpload");

// The first tick comes as soon as the window is on screen.
constexpr int kFirstTickMs = 100;
constexpr int kRetryTickMs = 1000;
// Ticks at which a running updater is looked for before giving up.
constexpr int kUpdaterTicks = 3;
// A shutdown gives the running step this long to put its entry back.
constexpr int kShutdownPolls = 100;
constexpr auto kShutdownPoll = 100ms;

// The numeric value of a stored option: its leading integer, 0 when none.
int numericValue(const QString &stored)
{
    const QString trimmed = stored.trimmed();
    qsizetype end = 0;
    if (end < trimmed.size() && (trimmed.at(end) == u'-' || trimmed.at(end) == u'+'))
        ++end;
    while (end < trimmed.size() && trimmed.at(end).isDigit())
        ++end;
    return trimmed.left(end).toInt();
}

int twipsToPixels(int twips, const QWidget *widget)
{
    return twips * widget->logicalDpiX() / 1440;
}

QString flagText(bool checked)
{
    return checked ? QStringLiteral("1") : QStringLiteral("0");
}

} // namespace

frmUpload::frmUpload(Setup setup, QWidget *parent)
    : QMainWindow(parent), m_session(setup.session), m_queue(&setup.session.queue()),
      m_options(setup.session.options()), m_keepAwake(std::move(setup.keepAwake)),
      m_hooks(std::move(setup.hooks)), m_arguments(std::move(setup.arguments)),
      m_processorCount(setup.processorCount)
{
    Q_ASSERT(m_hooks);
    setObjectName(QStringLiteral("frmUpload"));
    buildControls();
    setAcceptDrops(true);
    buildLayout();
    applyLanguage();
    defineGrid();
    buildContextMenu();
    connectCommands();
    restoreLayout();

    m_texts = {m_session.language().text(QStringLiteral("frmCommon"), QStringLiteral("btnOK")),
               m_session.language().text(QStringLiteral("frmCommon"), QStringLiteral("btnExit")),
               m_session.language().text(QStringLiteral("frmCommon"), QStringLiteral("btnCancel")),
               text(QStringLiteral("tarnError"))};
    // Add waits for the first tick's check for a running updater.
    cmdAdd->setEnabled(false);
    cmdRemove->setEnabled(false);
    cmdEdit->setEnabled(false);
    cmdRetry->setEnabled(false);
    cmdStartUpload->setEnabled(false);
    cmdStopUpload->setEnabled(false);
    m_exitStopped = false;
    m_queue->editMode = false;

    m_osVersion = OsVersionNumber();
    m_useUniTreeView = m_osVersion >= 62 || numericValue(ReadPlainSetting(QStringLiteral("useUniTreeView"),
                                                                          QStringLiteral("0"))) == 1;

    // Resizable, but never maximised: the window's controls are chosen
    // explicitly, without the maximise box.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    if (m_keepAwake)
        m_keepAwake->inhibit(QStringLiteral("Uploading videos"));
    tmrInit->start(kFirstTickMs);
}

frmUpload::~frmUpload() = default;

QString frmUpload::text(const QString &key, const QString &defaultText) const
{
    return m_session.language().text(kSection, key, defaultText);
}

ProgressView &frmUpload::progressView()
{
    return *m_progress;
}

void frmUpload::buildControls()
{
    const auto button = [this](const char *name) {
        auto *b = new QPushButton(this);
        b->setObjectName(QString::fromLatin1(name));
        b->setAutoDefault(false);
        return b;
    };
    gridQueue = new QTableView(this);
    gridQueue->setObjectName(QStringLiteral("gridQueue"));
    cmdAdd = button("cmdAdd");
    cmdAddQvp = button("cmdAddQvp");
    cmdEdit = button("cmdEdit");
    cmdRemove = button("cmdRemove");
    cmdClearAll = button("cmdClearAll");
    cmdStartUpload = button("cmdStartUpload");
    cmdStopUpload = button("cmdStopUpload");
    cmdExit = button("cmdExit");
    chkHighSpeed = new QCheckBox(this);
    chkHighSpeed->setObjectName(QStringLiteral("chkHighSpeed"));
    chkConvertWhileUploading = new QCheckBox(this);
    chkConvertWhileUploading->setObjectName(QStringLiteral("chkConvertWhileUploading"));
    chkRemQueue = new QCheckBox(this);
    chkRemQueue->setObjectName(QStringLiteral("chkRemQueue"));
    tmrInit = new QTimer(this);
    tmrInit->setObjectName(QStringLiteral("tmrInit"));
    lTestLen = new QLabel(this);
    lTestLen->setObjectName(QStringLiteral("lTestLen"));
    lTestLen->hide();
    m_progress = new ProgressPanelWidget(this);

    cmdRetry = button("cmdRetry");
    cmdOutput = button("cmdOutput");
    cmdOutput->setCheckable(true);
    m_progress->setLanguage(&m_session.language());

    // Tips and the names a screen reader speaks come from the language file.
    const QList<QWidget *> tipped{cmdAdd,
                                  cmdAddQvp,
                                  cmdEdit,
                                  cmdRemove,
                                  cmdRetry,
                                  cmdClearAll,
                                  cmdStartUpload,
                                  cmdStopUpload,
                                  cmdExit,
                                  cmdOutput,
                                  chkHighSpeed,
                                  chkRemQueue,
                                  chkConvertWhileUploading};
    for (QWidget *w : tipped)
        w->setToolTip(text(QStringLiteral("tip_") + w->objectName()));
    gridQueue->setAccessibleName(text(QStringLiteral("acc_gridQueue")));
    m_progress->outputPanel()->setAccessibleName(text(QStringLiteral("acc_txtOutput")));
    m_progress->setAccessibleName(text(QStringLiteral("acc_progress")));
}

void frmUpload::buildLayout()
{
    auto *central = new QWidget(this);
    auto *layout = new QVBoxLayout(central);

    auto *queueButtons = new QHBoxLayout;
    for (QPushButton *b : {cmdAdd, cmdAddQvp, cmdEdit, cmdRemove, cmdRetry, cmdClearAll})
        queueButtons->addWidget(b);
    queueButtons->addStretch();
    queueButtons->addWidget(chkConvertWhileUploading);
    queueButtons->addWidget(chkRemQueue);

    auto *runButtons = new QHBoxLayout;
    runButtons->addWidget(cmdOutput);
    runButtons->addStretch();
    runButtons->addWidget(chkHighSpeed);
    // The high-speed option keeps its right edge this far left of Start.
    runButtons->addSpacing(twipsToPixels(225, this));
    runButtons->addWidget(cmdStartUpload);
    runButtons->addWidget(cmdStopUpload);
    runButtons->addSpacing(twipsToPixels(225, this));
    runButtons->addWidget(cmdExit);

    // The output shares the grid's room: showing it never moves a button.
    m_split = new QSplitter(Qt::Vertical, central);
    m_split->setObjectName(QStringLiteral("splitQueue"));
    m_split->setChildrenCollapsible(false);
    m_split->addWidget(gridQueue);
    m_split->addWidget(m_progress->outputPanel());
    m_split->setStretchFactor(0, 1);
    layout->addWidget(m_split, 1);
    layout->addLayout(queueButtons);
    layout->addWidget(m_progress);
    layout->addLayout(runButtons);
    layout->addWidget(lTestLen);
    setCentralWidget(central);

    setTabOrder(gridQueue, cmdAdd);
    setTabOrder(cmdAdd, cmdAddQvp);
    setTabOrder(cmdAddQvp, cmdEdit);
    setTabOrder(cmdEdit, cmdRemove);
    setTabOrder(cmdRemove, cmdRetry);
    setTabOrder(cmdRetry, cmdClearAll);
    setTabOrder(cmdClearAll, chkConvertWhileUploading);
    setTabOrder(chkConvertWhileUploading, chkRemQueue);
    setTabOrder(chkRemQueue, chkHighSpeed);
    setTabOrder(chkHighSpeed, cmdStartUpload);
    setTabOrder(cmdStartUpload, cmdStopUpload);
    setTabOrder(cmdStopUpload, cmdExit);
    setTabOrder(cmdExit, cmdOutput);
    setTabOrder(cmdOutput, m_progress->outputPanel());

    setMinimumSize(720, 400);
    resize(1040, 600);
}

void frmUpload::applyLanguage()
{
    ApplyLanguage(m_session.language(), this);
    setWindowTitle(windowTitle() + QStringLiteral(" - v.") +
                   text(QStringLiteral("frmVersion"), QStringLiteral("2.100603")));
}

void frmUpload::defineGrid()
{
    gridQueue->setModel(m_queue);
    gridQueue->setSelectionBehavior(QAbstractItemView::SelectRows);
    gridQueue->setSelectionMode(QAbstractItemView::ExtendedSelection);
    gridQueue->setEditTriggers(QAbstractItemView::NoEditTriggers);
    gridQueue->setWordWrap(false);
    gridQueue->setTextElideMode(Qt::ElideRight);
    gridQueue->setAlternatingRowColors(true);
    gridQueue->verticalHeader()->hide();
    gridQueue->verticalHeader()->setDefaultSectionSize(gridQueue->fontMetrics().height() + 8);
    gridQueue->horizontalHeader()->setHighlightSections(false);
    gridQueue->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    gridQueue->horizontalHeader()->setStretchLastSection(true);
    gridQueue->setItemDelegate(new QueueItemDelegate(gridQueue));
    gridQueue->setContextMenuPolicy(Qt::CustomContextMenu);
    gridQueue->setTabKeyNavigation(false);
    const auto &columns = QueueModel::columns();
    for (int i = 0; i < static_cast<int>(columns.size()); ++i)
        gridQueue->setColumnWidth(i, columns.at(static_cast<size_t>(i)).width);
    // Server and folder are read more often than the narrow widths allow.
    for (int column : {QueueModel::ColUrl, QueueModel::ColFolder})
        gridQueue->setColumnWidth(column, 160);
    // The normal and the bold row fonts are copies of the grid's own.
    m_queue->setBaseFont(gridQueue->font());
}

void frmUpload::connectCommands()
{
    connect(cmdAdd, &QPushButton::clicked, this, [this] { runCommand(&frmUpload::addVideo); });
    connect(cmdAddQvp, &QPushButton::clicked, this, [this] { runCommand(&frmUpload::batchAdd); });
    connect(cmdEdit, &QPushButton::clicked, this, [this] { runCommand(&frmUpload::editEntry); });
    connect(cmdRemove, &QPushButton::clicked, this, [this] { runCommand(&frmUpload::removeEntries); });
    connect(cmdClearAll, &QPushButton::clicked, this, [this] { runCommand(&frmUpload::clearAll); });
    connect(cmdExit, &QPushButton::clicked, this, [this] { runCommand(&frmUpload::exitProgram); });
    connect(cmdStartUpload, &QPushButton::clicked, this, &frmUpload::startUpload);
    connect(cmdStopUpload, &QPushButton::clicked, this, [this] {
        Coro::start(
            this, m_stopRunning, [this] { return stopUpload(); }, [] {});
    });
    connect(chkHighSpeed, &QCheckBox::toggled, this, [this](bool checked) { m_options.highSpeed = checked; });
    connect(chkConvertWhileUploading, &QCheckBox::toggled, this,
            [this](bool checked) { m_options.convertWhileUploading = checked; });
    connect(m_queue, &QueueModel::noWaitingEntry, this, [this] { setStopEnabled(false); });
    connect(tmrInit, &QTimer::timeout, this, &frmUpload::initTick);

    connect(gridQueue->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        if (const int row = selectedRow(); row >= 0)
            gridSelectionChanged(row, 0);
    });
    connect(gridQueue, &QTableView::doubleClicked, this, [this] {
        // A finished entry has nothing to edit; its page is what there is to see.
        if (const int row = selectedRow(); row >= 0 && m_queue->entryAt(row).state == EntryState::Finished) {
            openOnServer();
            return;
        }
        if (cmdEdit->isEnabled())
            cmdEdit->click();
    });
    connect(cmdRetry, &QPushButton::clicked, this, &frmUpload::retryEntries);
    connect(cmdOutput, &QPushButton::toggled, m_progress->outputPanel(), &QWidget::setVisible);
    connect(gridQueue, &QWidget::customContextMenuRequested, this, [this](const QPoint &at) {
        updateContextMenu();
        m_menu->popup(gridQueue->viewport()->mapToGlobal(at));
    });
    // A row whose state changes under the selection takes the commands with it.
    connect(m_queue, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex &, const QModelIndex &, const QList<int> &roles) {
                // A progress tick shows the queue's time left along with the step.
                if (roles == QList<int>{QueueModel::ProgressRole})
                    return;
                updateQueueTimeLeft();
                if (const int row = selectedRow(); row >= 0 && cmdExit->isEnabled())
                    gridSelectionChanged(row, 0);
            });
    auto *menuKey =
        new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F10), gridQueue, nullptr, nullptr, Qt::WidgetShortcut);
    connect(menuKey, &QShortcut::activated, this, [this] {
        updateContextMenu();
        const QRect cell = gridQueue->visualRect(gridQueue->currentIndex());
        m_menu->popup(gridQueue->viewport()->mapToGlobal(cell.isValid() ? cell.center() : QPoint()));
    });
    auto *removeKey = new QShortcut(QKeySequence::Delete, gridQueue, nullptr, nullptr, Qt::WidgetShortcut);
    connect(removeKey, &QShortcut::activated, this, [this] {
        if (cmdRemove->isEnabled())
            cmdRemove->click();
    });
    auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, &QWidget::close);
}

// Start-up ------------------------------------------------------------------

void frmUpload::initTick()
{
    ++m_initTicks;
    tmrInit->stop();
    tmrInit->setInterval(kRetryTickMs);
    if (m_initTicks == 1) {
        readOptions();
        m_updaterExe = UpdateInstall::updaterExe();
    }
    setCursor(Qt::WaitCursor);
    cmdAdd->setEnabled(false);
    if (IsProcessRunning(m_updaterExe)) {
        if (m_initTicks < kUpdaterTicks) {
            tmrInit->start();
            return;
        }
        unsetCursor();
        refuseWhileUpdaterRuns();
        return;
    }
    cmdAdd->setEnabled(true);
    unsetCursor();
    if (!WithoutUpdateOptions(m_arguments).join(u' ').contains(QLatin1String("-s"))) {
        runUpdater = false;
        m_hooks->checkForUpdates(this);
    }
    // "--run": the queue goes at once, as after Start, e.g. to go on after a restart.
    if (m_arguments.contains(QLatin1String("--run")) && cmdStartUpload->isEnabled())
        cmdStartUpload->click();
}

void frmUpload::readOptions()
{
    m_options.cpuCount = m_processorCount > 0 ? m_processorCount : QThread::idealThreadCount();
    if (m_options.cpuCount > 2)
        chkHighSpeed->setChecked(
            numericValue(ReadPlainSetting(QStringLiteral("chkHighSpeed"), QStringLiteral("1"))) == 1);
    else
        applyProcessorLimit();
    m_options.highSpeed = chkHighSpeed->isChecked();
    chkConvertWhileUploading->setChecked(
        numericValue(ReadPlainSetting(QStringLiteral("chkConvertWhileUploading"), QStringLiteral("1"))) == 1);
    m_options.convertWhileUploading = chkConvertWhileUploading->isChecked();

    const bool keepQueue =
        numericValue(ReadPlainSetting(QStringLiteral("chkRemQueue"), QStringLiteral("1"))) == 1;
    chkRemQueue->setChecked(keepQueue);
    // A journal left by a session that did not close is read whatever the
    // choice: it holds work that was never closed, so nothing was dropped yet.
    const QString queueFile = QueueFile::defaultPath();
    const QueueJournal::Restored restored = QueueJournal::Restore(queueFile, *m_queue, keepQueue);
    if (restored.queued)
        setStartEnabled(true);
    if (!restored.warning.isEmpty())
        m_session.messages().show(restored.warning);
    m_journal = std::make_unique<QueueJournal>(*m_queue, queueFile);
    // Work of entries that are gone (removed, or not kept at the last close) goes now.
    m_hooks->removeUnownedWork(m_queue->keys());
    connect(m_queue, &QAbstractItemModel::rowsRemoved, this,
            [this] { m_hooks->removeUnownedWork(m_queue->keys()); });
    m_optionsRead = true;
    qCInfo(lcWindow).noquote() << "start-up: queue holds" << m_queue->rowCount() << "entries";
}

// Two processors or fewer leave no room for a conversion at normal priority.
void frmUpload::applyProcessorLimit()
{
    chkHighSpeed->setEnabled(false);
    chkHighSpeed->setChecked(false);
    const QString caption = chkHighSpeed->text() + u' ' + text(QStringLiteral("msgBelowDualCore"));
    chkHighSpeed->setText(caption);
    lTestLen->setFont(chkHighSpeed->font());
    lTestLen->setText(caption);
    // The measured caption with the indicator's allowance, but never less
    // than the style draws the box and the whole caption in.
    chkHighSpeed->setFixedWidth(std::max(twipsToPixels(TextWidthOf(caption, lTestLen->font()) + 270, this),
                                         chkHighSpeed->sizeHint().width()));
}

QCoro::Task<> frmUpload::refuseWhileUpdaterRuns()
{
    QPointer<frmUpload> self(this);
    co_await m_session.messages().ask(
        text(QStringLiteral("msgCloseUpdater"), QStringLiteral("Please close qvUpdater first!")),
        QStringLiteral("ClipFerry"), Messages::Buttons::Ok, Messages::Icon::Warning);
    if (self)
        self->close();
}

// Buttons and selection -----------------------------------------------------

void frmUpload::vidFileEnabled(bool enabled)
{
    for (QPushButton *b : {cmdAddQvp, cmdAdd, cmdClearAll, cmdExit})
        b->setEnabled(enabled);
    if (!enabled) {
        cmdRemove->setEnabled(false);
        cmdEdit->setEnabled(false);
        cmdRetry->setEnabled(false);
    } else if (m_runStarted) {
        runEnded();
    }
}

void frmUpload::setStartEnabled(bool enabled)
{
    cmdStartUpload->setEnabled(enabled);
}

void frmUpload::setStopEnabled(bool enabled)
{
    cmdStopUpload->setEnabled(enabled);
}

void frmUpload::setExitEnabled(bool enabled)
{
    cmdExit->setEnabled(enabled);
}

void frmUpload::restoreExitCaption()
{
    cmdExit->setText(text(QStringLiteral("cmdExit")));
}

void frmUpload::gridSelectionChanged(int row, int /*column*/)
{
    if (row < 0 || row >= m_queue->rowCount())
        return;
    const EntryState state = m_queue->entryAt(row).state;
    if (state == EntryState::Transfering) {
        cmdEdit->setEnabled(false);
        cmdRemove->setEnabled(false);
    } else {
        cmdRemove->setEnabled(true);
        cmdEdit->setEnabled(state != EntryState::Finished);
    }
    const QList<int> rows = selectedRows();
    cmdRetry->setEnabled(std::any_of(rows.cbegin(), rows.cend(), [this](int r) {
        const EntryState s = m_queue->entryAt(r).state;
        return s == EntryState::Failed || s == EntryState::Canceled;
    }));
}

void frmUpload::refreshSelection()
{
    gridQueue->setFocus();
    if (const int row = selectedRow(); row >= 0)
        gridSelectionChanged(row, 0);
}

// The row the selection handler looks at: the current row when it is
// selected, else the first selected one; -1 when nothing is selected.
int frmUpload::selectedRow() const
{
    const QItemSelectionModel *selection = gridQueue->selectionModel();
    const QModelIndex current = selection->currentIndex();
    if (current.isValid() && selection->isRowSelected(current.row(), {}))
        return current.row();
    const QList<int> rows = selectedRows();
    return rows.isEmpty() ? -1 : rows.first();
}

QList<int> frmUpload::selectedRows() const
{
    QList<int> rows;
    for (const QModelIndex &index : gridQueue->selectionModel()->selectedRows())
        rows.append(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

// Commands ------------------------------------------------------------------

void frmUpload::runCommand(QCoro::Task<> (frmUpload::*command)())
{
    Coro::start(
        this, m_commandRunning, [this, command] { return (this->*command)(); }, [] {});
}

bool frmUpload::refuseWhileTransfering()
{
    if (!m_queue->AnyEntryTransfering())
        return false;
    m_session.messages().show(text(QStringLiteral("msgCmdWhenTransfering")));
    return true;
}

QCoro::Task<> frmUpload::addVideo()
{
    if (refuseWhileTransfering())
        co_return;
    m_queue->editMode = false;
    const int rowsBefore = m_queue->rowCount();
    QPointer<frmUpload> self(this);
    co_await m_hooks->showAddDialog(this, std::exchange(m_droppedSource, {}));
    if (self)
        co_await self->afterAddDialog(rowsBefore);
}

QCoro::Task<> frmUpload::batchAdd()
{
    if (refuseWhileTransfering())
        co_return;
    m_queue->editMode = false;
    const int rowsBefore = m_queue->rowCount();
    QPointer<frmUpload> self(this);
    co_await m_hooks->showBatchDialog(this);
    if (self)
        co_await self->afterAddDialog(rowsBefore);
}

QCoro::Task<> frmUpload::afterAddDialog(int rowsBefore)
{
    gridQueue->setFocus();
    const int rows = m_queue->rowCount();
    if (rows > rowsBefore) {
        gridQueue->selectRow(rows - 1);
        gridSelectionChanged(rows - 1, 0);
        setStartEnabled(true);
    }
    co_return;
}

QCoro::Task<> frmUpload::editEntry()
{
    if (refuseWhileTransfering())
        co_return;
    const QList<int> rows = selectedRows();
    if (rows.size() > 1) {
        m_session.messages().show(
            text(QStringLiteral("msgEditMultiRows"), QStringLiteral("Cannot edit more than one videos!")));
        co_return;
    }
    if (rows.isEmpty()) {
        m_session.messages().show(
            text(QStringLiteral("msgSelectRow"), QStringLiteral("Please select a row.")));
        co_return;
    }
    const int row = rows.first();
    if (m_queue->entryAt(row).state == EntryState::Transfering) {
        m_session.messages().show(text(QStringLiteral("msgEditTransfering"),
                                       QStringLiteral("The transfering file cannot be edited.")));
        co_return;
    }
    const QString path = m_queue->entryAt(row).key;
    m_queue->editPath = path;
    QPointer<frmUpload> self(this);
    if (QFileInfo::exists(path)) {
        m_queue->beginEdit(path);
        co_await m_hooks->showAddDialog(this, {});
        if (!self)
            co_return;
        // An entry saved by the dialog waits in the same row.
        const QueueModel &queue = *self->m_queue;
        if (row < queue.rowCount() && queue.entryAt(row).state == EntryState::Waiting)
            self->setStartEnabled(true);
        self->refreshSelection();
        co_return;
    }
    const Messages::Answer answer = co_await m_session.messages().ask(text(QStringLiteral("msgFileNotExist")),
                                                                      {}, Messages::Buttons::YesNo);
    if (!self)
        co_return;
    if (answer == Messages::Answer::Yes) {
        m_queue->Remove(path);
    } else {
        m_queue->SetEntryError(path, QStringLiteral("File not found"));
    }
    refreshSelection();
}

QCoro::Task<> frmUpload::removeEntries()
{
    const QList<int> rows = selectedRows();
    // From the bottom up, so the rows still to visit keep their numbers.
    for (auto it = rows.crbegin(); it != rows.crend(); ++it) {
        if (m_queue->entryAt(*it).state == EntryState::Transfering)
            m_session.messages().show(text(QStringLiteral("msgRemoveTransferingFile"),
                                           QStringLiteral("The transfering file cannot be removed!")));
        else
            m_queue->removeRow(*it);
    }
    if (!m_queue->AnyEntryWaiting())
        setStartEnabled(false);
    refreshSelection();
    co_return;
}

QCoro::Task<> frmUpload::clearAll()
{
    if (m_queue->rowCount() == 0)
        co_return;
    const QString key =
        m_queue->AnyEntryTransfering() ? QStringLiteral("msgClearAll_1") : QStringLiteral("msgClearAll_2");
    QPointer<frmUpload> self(this);
    const Messages::Answer answer =
        co_await m_session.messages().ask(text(key), {}, Messages::Buttons::YesNo);
    if (!self)
        co_return;
    if (answer != Messages::Answer::Yes) {
        refreshSelection();
        co_return;
    }
    // The answer may have come after the running entry ended, so the
    // transferring row is looked for again.
    const QList<QueueEntry> &entries = m_queue->entries();
    const auto transfering = std::find_if(entries.cbegin(), entries.cend(), [](const QueueEntry &entry) {
        return entry.state == EntryState::Transfering;
    });
    if (transfering != entries.cend())
        m_queue->SwapQueueRows(static_cast<int>(transfering - entries.cbegin()), m_queue->rowCount() - 1);
    while (m_queue->rowCount() > 0 && m_queue->entryAt(0).state != EntryState::Transfering)
        m_queue->removeRow(0);
    setStartEnabled(false);
    refreshSelection();
}

void frmUpload::startUpload()
{
    const QList<QueueEntry> &entries = m_queue->entries();
    const auto count = [&entries](EntryState state) {
        return static_cast<int>(std::count_if(entries.cbegin(), entries.cend(),
                                              [state](const QueueEntry &e) { return e.state == state; }));
    };
    m_finishedBefore = count(EntryState::Finished);
    m_failedBefore = count(EntryState::Failed);
    m_runStarted = true;
    m_hooks->StartNextEntry(this);
}

void frmUpload::runEnded()
{
    m_runStarted = false;
    updateQueueTimeLeft();
    if (const int row = selectedRow(); row >= 0)
        gridSelectionChanged(row, 0);
    if (isActiveWindow())
        return;
    int finished = -m_finishedBefore;
    int failed = -m_failedBefore;
    for (const QueueEntry &entry : m_queue->entries()) {
        finished += entry.state == EntryState::Finished;
        failed += entry.state == EntryState::Failed;
    }
    DesktopNotice::show(
        text(QStringLiteral("frmUpload")),
        text(QStringLiteral("msgRunEnded")).arg(std::max(finished, 0)).arg(std::max(failed, 0)));
}

void frmUpload::updateQueueTimeLeft()
{
    ProgressView &view = *m_progress;
    view.setQueueSecondsLeft(m_queue->AnyEntryTransfering() ? m_queue->queueSecondsLeft() : -1);
}

void frmUpload::retryEntries()
{
    bool any = false;
    for (int row : selectedRows()) {
        const QueueEntry &entry = m_queue->entryAt(row);
        if (entry.state == EntryState::Failed || entry.state == EntryState::Canceled) {
            m_queue->resetEntry(entry.key);
            any = true;
        }
    }
    if (any && !m_queue->AnyEntryTransfering())
        setStartEnabled(true);
    refreshSelection();
}

void frmUpload::openSourceFolder()
{
    if (const int row = selectedRow(); row >= 0)
        QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(m_queue->entryAt(row).key).absolutePath()));
}

bool frmUpload::openOnServer()
{
    const int row = selectedRow();
    if (row < 0 || m_queue->entryAt(row).contentUrl.isEmpty())
        return false;
    return QDesktopServices::openUrl(QUrl(m_queue->entryAt(row).contentUrl));
}

void frmUpload::buildContextMenu()
{
    m_menu = new QMenu(this);
    m_menu->setObjectName(QStringLiteral("mnuQueue"));
    const auto action = [this](const char *name, QPushButton *same) {
        auto *a = m_menu->addAction(text(QString::fromLatin1(name)));
        a->setObjectName(QString::fromLatin1(name));
        if (same)
            connect(a, &QAction::triggered, same, &QPushButton::click);
        return a;
    };
    mnuEdit = action("mnuEdit", cmdEdit);
    mnuRemove = action("mnuRemove", cmdRemove);
    mnuRetry = action("mnuRetry", cmdRetry);
    m_menu->addSeparator();
    mnuOpenFolder = action("mnuOpenFolder", nullptr);
    mnuOpenServer = action("mnuOpenServer", nullptr);
    connect(mnuOpenFolder, &QAction::triggered, this, &frmUpload::openSourceFolder);
    connect(mnuOpenServer, &QAction::triggered, this, &frmUpload::openOnServer);
}

void frmUpload::updateContextMenu()
{
    const int row = selectedRow();
    mnuEdit->setEnabled(cmdEdit->isEnabled());
    mnuRemove->setEnabled(cmdRemove->isEnabled());
    mnuRetry->setEnabled(cmdRetry->isEnabled());
    mnuOpenFolder->setEnabled(row >= 0);
    mnuOpenServer->setEnabled(row >= 0 && m_queue->entryAt(row).state == EntryState::Finished &&
                              !m_queue->entryAt(row).contentUrl.isEmpty());
}

void frmUpload::restoreLayout()
{
    const auto stored = [](const char *key) {
        return QByteArray::fromBase64(ReadPlainSetting(QString::fromLatin1(key), {}).toLatin1());
    };
    if (const QByteArray geometry = stored("windowGeometry"); !geometry.isEmpty())
        restoreGeometry(geometry);
    if (const QByteArray columns = stored("gridColumns"); !columns.isEmpty())
        gridQueue->horizontalHeader()->restoreState(columns);
    if (const QByteArray split = stored("queueSplit"); !split.isEmpty())
        m_split->restoreState(split);
    cmdOutput->setChecked(ReadPlainSetting(QStringLiteral("showOutput"), QStringLiteral("0")) == u'1');
    m_progress->outputPanel()->setVisible(cmdOutput->isChecked());
}

void frmUpload::storeLayout()
{
    const auto store = [](const char *key, const QByteArray &value) {
        WritePlainSetting(QString::fromLatin1(key), QString::fromLatin1(value.toBase64()));
    };
    store("windowGeometry", saveGeometry());
    store("gridColumns", gridQueue->horizontalHeader()->saveState());
    store("queueSplit", m_split->saveState());
    WritePlainSetting(QStringLiteral("showOutput"), flagText(cmdOutput->isChecked()));
}

bool frmUpload::requestStop()
{
    m_hooks->stopRun();
    return true;
}

QCoro::Task<> frmUpload::stopUpload()
{
    QPointer<frmUpload> self(this);
    if (requestStop())
        co_await Coro::sleep(100ms);
    if (!self)
        co_return;
    setStopEnabled(false);
    refreshSelection();
}

QCoro::Task<> frmUpload::exitProgram()
{
    if (m_queue->AnyEntryTransfering()) {
        m_session.messages().show(
            text(QStringLiteral("msgStopBeforeExit"), QStringLiteral("Please stop uploading first!")));
        co_return;
    }
    m_exitStopped = true;
    QPointer<frmUpload> self(this);
    if (requestStop())
        co_await Coro::sleep(100ms);
    if (self)
        self->close();
}

// Closing -------------------------------------------------------------------

QCoro::Task<> frmUpload::shutdown()
{
    // A second signal does not wait any longer.
    if (m_shuttingDown) {
        m_forceClose = true;
        close();
        co_return;
    }
    m_shuttingDown = true;
    QPointer<frmUpload> self(this);
    if (m_queue->AnyEntryTransfering()) {
        m_exitStopped = true;
        requestStop();
        for (int i = 0; i < kShutdownPolls && self && self->m_queue->AnyEntryTransfering(); ++i)
            co_await Coro::sleep(kShutdownPoll);
        if (!self)
            co_return;
    }
    m_forceClose = true;
    close();
}

QString frmUpload::droppableSource(const QMimeData *data)
{
    const QList<QUrl> urls = data->urls();
    if (urls.size() != 1 || !urls.first().isLocalFile())
        return {};
    const QString path = QDir::toNativeSeparators(urls.first().toLocalFile());
    return QFileInfo(path).isFile() && SourceLoader::isSourceName(path) ? path : QString();
}

void frmUpload::dragEnterEvent(QDragEnterEvent *event)
{
    if (cmdAdd->isEnabled() && !droppableSource(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void frmUpload::dropEvent(QDropEvent *event)
{
    const QString path = droppableSource(event->mimeData());
    if (path.isEmpty() || !cmdAdd->isEnabled() || m_commandRunning)
        return;
    event->acceptProposedAction();
    m_droppedSource = path;
    runCommand(&frmUpload::addVideo);
}

void frmUpload::closeEvent(QCloseEvent *event)
{
    if (m_closeStepsDone) {
        event->accept();
        return;
    }
    if (!m_forceClose && m_queue->AnyEntryTransfering()) {
        m_session.messages().show(
            text(QStringLiteral("msgStopBeforeExit"), QStringLiteral("Please stop uploading first!")));
        event->ignore();
        return;
    }
    if (!m_exitStopped)
        requestStop();
    runCloseSteps();
    event->accept();
    Q_EMIT closed();
}

// Each step goes on whatever the one before it did.
void frmUpload::runCloseSteps()
{
    m_closeStepsDone = true;
    tmrInit->stop();
    if (m_optionsRead) {
        const QString queueFile = QueueFile::defaultPath();
        const bool keep = chkRemQueue->isChecked();
        const bool saved = keep ? QueueFile::SaveQueue(queueFile, *m_queue) : DeleteFileIfExists(queueFile);
        // Unfinished entries keep their work for the next start, if they stay queued.
        m_hooks->removeUnownedWork(saved && !keep ? QStringList() : m_queue->keys());
        // An unwritten queue file leaves the journal to be read at the next start.
        if (saved)
            m_journal->discard();
    }
    DeleteFileIfExists(AppPaths::dataPath(QStringLiteral("tmpTest.bmp")));
    storeLayout();
    if (m_optionsRead) {
        WritePlainSetting(QStringLiteral("chkHighSpeed"), flagText(chkHighSpeed->isChecked()));
        WritePlainSetting(QStringLiteral("chkConvertWhileUploading"),
                          flagText(chkConvertWhileUploading->isChecked()));
        WritePlainSetting(QStringLiteral("chkRemQueue"), flagText(chkRemQueue->isChecked()));
    }
    if (m_keepAwake)
        m_keepAwake->release();
    qCInfo(lcWindow).noquote() << "closed:"
                               << (m_optionsRead ? "options stored" : "closed before start-up ended");
}
