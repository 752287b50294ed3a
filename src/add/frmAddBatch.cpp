#include "add/frmAddBatch.h"

#include "add/frmConfirm.h"
#include "common/DialogWidget.h"
#include "common/Lang.h"
#include "common/LanguageWidget.h"
#include "common/Settings.h"
#include "pipeline/Session.h"
#include "platform/Coro.h"
#include "platform/Messages.h"
#include "queue/QueueModel.h"
#include "server/FolderPickerWidget.h"
#include "server/LoginPanelWidget.h"
#include "server/ServerAccess.h"
#include "server/TransferControl.h"

#include <QAbstractTableModel>
#include <QButtonGroup>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>

using namespace Qt::StringLiterals;
using namespace VideoSettings;

namespace {

const QString kSection = u"frmAddBatch"_s;
const QString kGridSection = u"frmUpload"_s;

// The finds in the order they were reported.
class ResultModel final : public QAbstractTableModel
{
public:
    ResultModel(const LanguageTable &language, QObject *parent)
        : QAbstractTableModel(parent), m_language(language)
    {}

    int rowCount(const QModelIndex &parent = {}) const override
    {
        return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
    }
    int columnCount(const QModelIndex &parent = {}) const override
    {
        return parent.isValid() ? 0 : frmAddBatch::ColumnCount;
    }
    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!index.isValid() || role != Qt::DisplayRole)
            return {};
        const FoundSource &find = m_rows.at(index.row());
        switch (index.column()) {
        case frmAddBatch::ColClassify:
            return SourceSearch::kindText(find.source.kind);
        case frmAddBatch::ColTitle:
            return find.title;
        case frmAddBatch::ColAuthor:
            return find.author;
        case frmAddBatch::ColRecDate:
            return find.date;
        default:
            return QDir::toNativeSeparators(find.source.path);
        }
    }
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        static const std::array<QString, frmAddBatch::ColumnCount> keys{
            u"gridClassify"_s, u"gridTitle"_s, u"gridAuthor"_s, u"gridRecDate"_s, u"gridPath"_s};
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
            section >= frmAddBatch::ColumnCount)
            return {};
        return m_language.text(kGridSection, keys.at(static_cast<size_t>(section)));
    }

    void clear()
    {
        beginResetModel();
        m_rows.clear();
        endResetModel();
    }
    void append(const FoundSource &find)
    {
        const int row = rowCount();
        beginInsertRows({}, row, row);
        m_rows.append(find);
        endInsertRows();
    }
    const QList<FoundSource> &rows() const { return m_rows; }

private:
    const LanguageTable &m_language;
    QList<FoundSource> m_rows;
};

ResultModel *resultsOf(QAbstractTableModel *model)
{
    return static_cast<ResultModel *>(model);
}

} // namespace

frmAddBatch::frmAddBatch(Session &session, QWidget *parent)
    : QDialog(parent), m_access(session.access()), m_queue(session.queue()), m_language(session.language()),
      m_messages(session.messages()),
      m_search(new SourceSearch(session.processes(), m_language, m_messages, this))
{
    setObjectName(kSection);
    m_login = new LoginPanelWidget(m_access, m_language, m_messages, &session.transfer(), kSection, this);
    buildControls();
    buildLayout();
    ApplyLanguage(m_language, this);
    txtLocation->setPlaceholderText(m_language.text(kSection, u"hintLocation"_s));
    m_folders->setAccessibleCaption(lFolder->text());
    gridResult->setAccessibleName(m_language.text(kSection, u"acc_gridResult"_s));
    connectControls();
    loadSettings();
}

frmAddBatch::~frmAddBatch() = default;

void frmAddBatch::buildControls()
{
    lFolder = NamedControl<QLabel>(u"lFolder"_s, this);
    m_folders = new FolderPickerWidget(m_access.folderTree, m_messages, this);
    m_folders->attach(m_login->session());
    txtLocation = NamedControl<QLineEdit>(u"txtLocation"_s, this);
    cmdBrowse = NamedControl<QPushButton>(u"cmdBrowse"_s, this);
    cmdStop = NamedControl<QPushButton>(u"cmdStop"_s, this);
    m_progress = NamedControl<QProgressBar>(u"ProgressBar1"_s, this);
    m_progress->setTextVisible(false);
    gridResult = NamedControl<QTableView>(u"gridResult"_s, this);
    m_results = new ResultModel(m_language, this);
    gridResult->setModel(m_results);
    gridResult->setSelectionBehavior(QAbstractItemView::SelectRows);
    gridResult->setSelectionMode(QAbstractItemView::ExtendedSelection);
    gridResult->setEditTriggers(QAbstractItemView::NoEditTriggers);
    gridResult->verticalHeader()->hide();
    gridResult->verticalHeader()->setDefaultSectionSize(gridResult->fontMetrics().height() + 6);
    gridResult->horizontalHeader()->setStretchLastSection(true);
    for (const auto &[column, width] :
         {std::pair{ColClassify, 50}, {ColTitle, 180}, {ColAuthor, 110}, {ColRecDate, 140}})
        gridResult->setColumnWidth(column, width);
    lHelp = NamedControl<QLabel>(u"lHelp"_s, this);

    m_convertGroup = new QButtonGroup(this);
    m_resolutionGroup = new QButtonGroup(this);
    const std::array<QString, 2> convertNames{u"optLocalCvt"_s, u"optServerCvt"_s};
    const std::array<QString, 2> resolutionNames{u"optSrcRes"_s, u"optHiRes"_s};
    for (int i = 0; i < 2; ++i) {
        optConvert[static_cast<size_t>(i)] =
            NamedControl<QRadioButton>(convertNames[static_cast<size_t>(i)], this);
        m_convertGroup->addButton(optConvert[static_cast<size_t>(i)], i);
        optResolution[static_cast<size_t>(i)] =
            NamedControl<QRadioButton>(resolutionNames[static_cast<size_t>(i)], this);
        m_resolutionGroup->addButton(optResolution[static_cast<size_t>(i)], i);
    }
    optConvert[LocalConversion]->setChecked(true);
    optResolution[HighResolution]->setChecked(true);
    cmdOK = NamedControl<QPushButton>(u"cmdOK"_s, this);
    cmdOK->setDefault(true);
    cmdCancel = NamedControl<QPushButton>(u"cmdCancel"_s, this);
}

void frmAddBatch::buildLayout()
{
    auto *places = new QGridLayout;
    places->addWidget(lFolder, 0, 0);
    places->addWidget(m_folders, 0, 1, 1, 3);
    auto *lLocation = NamedControl<QLabel>(u"lLocation"_s, this);
    lLocation->setBuddy(txtLocation);
    places->addWidget(lLocation, 1, 0);
    places->addWidget(txtLocation, 1, 1);
    places->addWidget(cmdBrowse, 1, 2);
    places->addWidget(cmdStop, 1, 3);
    places->addWidget(m_progress, 2, 1, 1, 3);
    places->setColumnStretch(1, 1);
    cmdStop->hide();
    m_progress->hide();

    auto *convert = new QGroupBox(this);
    convert->setObjectName(u"fraConvert"_s);
    auto *convertLayout = new QVBoxLayout(convert);
    auto *resolution = new QGroupBox(this);
    resolution->setObjectName(u"fraResolution"_s);
    auto *resolutionLayout = new QVBoxLayout(resolution);
    for (size_t i = 0; i < 2; ++i) {
        convertLayout->addWidget(optConvert[i]);
        resolutionLayout->addWidget(optResolution[i]);
    }
    auto *options = new QHBoxLayout;
    options->addWidget(convert, 1);
    options->addWidget(resolution, 1);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(lHelp, 1);
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCancel);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_login);
    layout->addLayout(places);
    layout->addWidget(gridResult, 1);
    layout->addLayout(options);
    layout->addLayout(buttons);
    setSizeGripEnabled(true);
    resize(760, 620);
}

void frmAddBatch::connectControls()
{
    const auto command = [this](QCoro::Task<> (frmAddBatch::*run)()) {
        return Coro::command(this, m_commandRunning, run);
    };
    connect(cmdBrowse, &QPushButton::clicked, this, command(&frmAddBatch::browse));
    connect(cmdOK, &QPushButton::clicked, this, command(&frmAddBatch::confirm));
    connect(cmdCancel, &QPushButton::clicked, this, &frmAddBatch::reject);
    connect(cmdStop, &QPushButton::clicked, m_search, &SourceSearch::stop);
    connect(txtLocation, &QLineEdit::returnPressed, this, &frmAddBatch::SearchProcess);

    connect(m_search, &SourceSearch::found, this,
            [this](const FoundSource &find) { resultsOf(m_results)->append(find); });
    connect(m_search, &SourceSearch::progress, this, [this](int probed, int matches) {
        m_progress->setMaximum(std::max(matches, 1));
        m_progress->setValue(probed);
    });
    connect(m_search, &SourceSearch::finished, this, &frmAddBatch::searchEnded);

    connect(m_login, &LoginPanelWidget::busyChanged, this, &frmAddBatch::updateButtons);
    connect(m_login, &LoginPanelWidget::serverDependentPartsEnabled, this, [this](bool enabled) {
        lFolder->setEnabled(enabled);
        m_folders->setEnabled(enabled);
        updateButtons();
    });
    LoginSession *session = m_login->session();
    connect(session, &LoginSession::loginSucceeded, this, &frmAddBatch::applyServer);
    connect(session, &LoginSession::folderTreeChanged, this, &frmAddBatch::updateButtons);
    connect(m_folders, &FolderPickerWidget::folderChosen, this, &frmAddBatch::updateButtons);
}

QString frmAddBatch::lang(const QString &key, const QString &fallback) const
{
    return m_language.text(kSection, key, fallback);
}

void frmAddBatch::loadSettings()
{
    m_login->restoreLastLogin(m_access.settings);
    lFolder->setEnabled(false);
    m_folders->setEnabled(false);
    if (m_access.loggedIn && m_login->LoadCachedFolderList()) {
        applyServer();
        return;
    }
    m_access.loggedIn = false;
    m_access.hashPassword = true;
    setResolutionCaptions();
    updateButtons();
}

void frmAddBatch::setResolutionCaptions()
{
    const QString help = lang(u"optResHelp"_s);
    optResolution[SourceResolution]->setText(
        lang(u"optSrcRes"_s) + QString(help).replace(u"%s"_s, QString::number(kMaxSourceWidth)));
    optResolution[HighResolution]->setText(
        lang(u"optHiRes"_s) + QString(help).replace(u"%s"_s, QString::number(m_access.settings.secondRes)));
}

// A good folder listing: an older server converts only here, and the high
// resolution may have another width.
void frmAddBatch::applyServer()
{
    const bool newServer = !m_access.settings.serverSysVer.isEmpty();
    optConvert[ServerConversion]->setEnabled(newServer);
    if (!newServer)
        optConvert[LocalConversion]->setChecked(true);
    setResolutionCaptions();
    updateButtons();
}

bool frmAddBatch::isSearching() const
{
    return m_search->isRunning();
}

const QList<FoundSource> &frmAddBatch::finds() const
{
    return resultsOf(m_results)->rows();
}

void frmAddBatch::updateButtons()
{
    const bool searching = isSearching();
    const bool busy = searching || m_queueing || m_login->session()->busy();
    m_login->setLogInAllowed(!searching && !m_queueing);
    cmdCancel->setEnabled(!busy);
    cmdBrowse->setEnabled(!busy);
    txtLocation->setEnabled(!busy);
    cmdOK->setEnabled(!busy && m_login->isLoggedIn() && !m_folders->folderId().isEmpty());
}

// ---------------------------------------------------------------- searching

void frmAddBatch::searchFolder(const QString &folder)
{
    txtLocation->setText(QDir::toNativeSeparators(folder));
    SearchProcess();
}

void frmAddBatch::SearchProcess()
{
    const QString location = txtLocation->text().trimmed();
    if (location.isEmpty() || isSearching() || m_queueing)
        return;
    if (!QFileInfo(QDir::fromNativeSeparators(location)).isDir()) {
        m_messages.show(u"\""_s + location + u"\" does not exists!"_s, windowTitle());
        return;
    }
    resultsOf(m_results)->clear();
    lHelp->hide();
    cmdBrowse->hide();
    cmdStop->show();
    m_progress->setRange(0, 1);
    m_progress->setValue(0);
    m_progress->show();
    m_search->start(QDir::fromNativeSeparators(location), m_access.settings);
    updateButtons();
}

void frmAddBatch::searchEnded()
{
    lHelp->show();
    cmdBrowse->show();
    cmdStop->hide();
    m_progress->hide();
    updateButtons();
}

QCoro::Task<> frmAddBatch::browse()
{
    auto *dialog = new QFileDialog(this);
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly);
    const QString current = txtLocation->text().trimmed();
    if (!current.isEmpty())
        dialog->setDirectory(QDir::fromNativeSeparators(current));
    QPointer<frmAddBatch> self(this);
    const bool accepted = co_await OpenDialog(dialog);
    const QStringList chosen = accepted ? dialog->selectedFiles() : QStringList();
    if (!self)
        co_return;
    if (chosen.isEmpty()) {
        cmdCancel->setFocus();
        co_return;
    }
    searchFolder(chosen.first());
}

// ---------------------------------------------------------------- OK and Cancel

QCoro::Task<qint16> frmAddBatch::askReplace(QString path)
{
    auto *dialog = new frmConfirm(m_language, this);
    dialog->setPath(QDir::toNativeSeparators(path));
    co_await OpenDialog(dialog);
    // The dialog is released later, so its answer can still be read.
    co_return dialog->ConfirmResult;
}

QCoro::Task<> frmAddBatch::confirm()
{
    QModelIndexList selected = gridResult->selectionModel()->selectedRows();
    if (selected.isEmpty()) {
        m_messages.show(u"Please select items."_s, windowTitle());
        co_return;
    }
    std::sort(selected.begin(), selected.end());
    // The destination is taken once, before the first source.
    const QString folderId = m_folders->folderId();
    const QString folderName = m_folders->folderPath();
    const LoginSession::Login login = m_login->login();
    const Choice batch{m_convertGroup->checkedId(), m_resolutionGroup->checkedId(), 0};
    const ServerSettings server = m_access.settings;
    const QList<FoundSource> rows = finds();
    m_queueing = true;
    updateButtons();
    QPointer<frmAddBatch> self(this);
    qint16 always = frmConfirm::NoAnswer;
    for (const QModelIndex &index : std::as_const(selected)) {
        const FoundSource &find = rows.at(index.row());
        if (!find.source.loaded)
            continue;
        if (m_folders->folderPath() != folderName) {
            m_messages.show(m_language.text(kGridSection, u"msg_checkFolder"_s), u"CheckFolder"_s);
            continue;
        }
        // The source may have changed since the search saw it.
        const QString path = find.source.path;
        const LoadedSource loaded = co_await m_search->load(path, server);
        if (!self)
            co_return;
        if (!loaded.loaded)
            continue;
        const Choice choice = SourceSearch::batchChoice(loaded, batch.cvtType, batch.resType, server);
        if (loaded.kind == SourceKind::Video) {
            if (const auto refusal = SourceLoader::sizeRefusal(m_language, loaded, choice, server,
                                                               SourceLoader::Changed::Conversion)) {
                m_messages.show(QDir::toNativeSeparators(path) + u"\n"_s + refusal->text, windowTitle());
                continue;
            }
        }
        CVideoItem entry = SourceSearch::batchEntry(loaded, choice, server);
        SourceLoader::fillDestination(entry, login, folderId, folderName, server, m_access.hashPassword);
        if (!m_queue.itemExist(path)) {
            m_queue.Add(entry);
            continue;
        }
        qint16 answer = always;
        if (answer == frmConfirm::NoAnswer) {
            answer = co_await askReplace(path);
            if (!self)
                co_return;
            if (answer == frmConfirm::AllYes || answer == frmConfirm::AllNo)
                always = answer;
        }
        const int row = m_queue.RowOfPath(path);
        // An entry on its way to the server keeps going as it is.
        const bool sending = row >= 0 && m_queue.entryAt(row).state == EntryState::Transfering;
        if ((answer == frmConfirm::Yes || answer == frmConfirm::AllYes) && !sending)
            m_queue.UpdateQueueRow(row, entry);
    }
    m_queueing = false;
    WriteSetting(Settings::kSection, u"folderID"_s, folderId);
    WriteSetting(Settings::kSection, u"folderName"_s, folderName);
    accept();
}

void frmAddBatch::reject()
{
    if (isSearching()) {
        m_messages.show(lang(u"msg_searchSopWarning"_s), lang(u"ttl_Help"_s, u"Help"_s));
        return;
    }
    if (m_queueing) {
        m_messages.show(lang(u"msg_ExitOnGetVidInfo"_s), windowTitle());
        return;
    }
    if (!m_login->canClose())
        return;
    QDialog::reject();
}

void frmAddBatch::done(int result)
{
    m_search->stop();
    m_access.loggedIn = m_login->isLoggedIn();
    QDialog::done(result);
}
