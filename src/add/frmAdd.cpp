#include "add/frmAdd.h"

#include "add/frmCustomBps.h"
#include "common/DialogWidget.h"
#include "common/Lang.h"
#include "common/LanguageWidget.h"
#include "common/Settings.h"
#include "common/TextUtil.h"
#include "pipeline/ExecRunner.h"
#include "pipeline/Session.h"
#include "platform/AppPaths.h"
#include "platform/Coro.h"
#include "platform/Messages.h"
#include "queue/QueueModel.h"
#include "recorder/CProjectFile.h"
#include "server/FolderPickerWidget.h"
#include "server/LoginPanelWidget.h"
#include "server/ServerAccess.h"
#include "server/TransferControl.h"

#include <QButtonGroup>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;
using namespace VideoSettings;

namespace {

const QString kSection = u"frmAdd"_s;
// Estimates above this are worth a warning before the upload fails at 2 GiB.
constexpr double kNearLimitBytes = 1.9 * 1024 * 1024 * 1024;

QString extensionOf(const QString &path)
{
    return QFileInfo(path).suffix().toLower();
}

// Keeps a control as wide as the widest of its captions, so that a caption
// filled in as a file loads never widens the dialog under the pointer.
template <typename Control> void reserveWidth(Control *control, const QStringList &captions)
{
    const QString shown = control->text();
    int widest = 0;
    for (const QString &caption : captions) {
        control->setText(caption);
        widest = std::max(widest, control->sizeHint().width());
    }
    control->setText(shown);
    control->setMinimumWidth(widest);
}

} // namespace

frmAdd::frmAdd(Session &session, QWidget *parent)
    : QDialog(parent), m_access(session.access()), m_queue(session.queue()), m_language(session.language()),
      m_messages(session.messages()),
      m_runner(new ExecRunner(session.processes(), m_options, m_silent, m_messages, this)),
      m_loader(new SourceLoader(*m_runner, m_language, m_messages, this)), m_control(&session.transfer())
{
    setObjectName(kSection);
    buildControls();
    buildLayout();
    ApplyLanguage(m_language, this);
    txtDocUrl->setPlaceholderText(lang(u"lDocUrlHint"_s));
    m_folders->setAccessibleCaption(lFolder->text());
    alignCaptions();
    reserveCaptionRoom();
    connectControls();
    m_editMode = m_queue.editMode;
    m_editPath = m_queue.editPath;
    loadSettings();
    if (m_editMode)
        openForEdit();
}

frmAdd::~frmAdd() = default;

void frmAdd::buildControls()
{
    txtSource = NamedControl<QLineEdit>(u"txtSource"_s, this);
    txtSource->setReadOnly(true);
    cmdBrowse = NamedControl<QPushButton>(u"cmdBrowse"_s, this);
    txtTitle = NamedControl<QLineEdit>(u"txtTitle"_s, this);
    txtAuthor = NamedControl<QLineEdit>(u"txtAuthor"_s, this);
    m_login = new LoginPanelWidget(m_access, m_language, m_messages, m_control, kSection, this);
    lFolder = NamedControl<QLabel>(u"lFolder"_s, this);
    m_folders = new FolderPickerWidget(m_access.folderTree, m_messages, this);
    m_folders->attach(m_login->session());
    lDocUrl = NamedControl<QLabel>(u"lDocUrl"_s, this);
    txtDocUrl = NamedControl<QLineEdit>(u"txtDocUrl"_s, this);
    lOverwriteMode = LinkButton(u"lOverwriteMode"_s, this);

    m_convertGroup = new QButtonGroup(this);
    m_resolutionGroup = new QButtonGroup(this);
    const std::array<QString, 3> convertNames{u"optLocalCvt"_s, u"optServerCvt"_s, u"optNoCvtForMp4"_s};
    const std::array<QString, 3> resolutionNames{u"optSrcRes"_s, u"optHiRes"_s, u"optStdRes"_s};
    for (int i = 0; i < 3; ++i) {
        optConvert[i] = NamedControl<QRadioButton>(convertNames[i], this);
        m_convertGroup->addButton(optConvert[i], i);
        optResolution[i] = NamedControl<QRadioButton>(resolutionNames[i], this);
        m_resolutionGroup->addButton(optResolution[i], i);
    }
    lNoCvtHelp = LinkButton(u"lNoCvtHelp"_s, this);
    lMaxSize = NamedControl<QLabel>(u"lMaxSize"_s, this);
    lSrcSize = NamedControl<QLabel>(u"lSrcSize"_s, this);
    lDstSize = NamedControl<QLabel>(u"lDstSize"_s, this);
    lBps = NamedControl<QLabel>(u"lBps"_s, this);
    lFileSize = NamedControl<QLabel>(u"lFileSize"_s, this);
    lCustomBps = LinkButton(u"lCustomBps"_s, this);
    cmdOK = NamedControl<QPushButton>(u"cmdOK"_s, this);
    cmdOK->setDefault(true);
    cmdCancel = NamedControl<QPushButton>(u"cmdCancel"_s, this);
}

void frmAdd::buildLayout()
{
    auto *source = m_sourceGrid = new QGridLayout;
    auto *sourceRow = new QHBoxLayout;
    sourceRow->addWidget(txtSource, 1);
    sourceRow->addWidget(cmdBrowse);
    // Each caption names its edit for a screen reader.
    const auto caption = [this](const QString &name, QWidget *buddy) {
        auto *label = NamedControl<QLabel>(name, this);
        label->setBuddy(buddy);
        return label;
    };
    source->addWidget(caption(u"lSource"_s, txtSource), 0, 0);
    source->addLayout(sourceRow, 0, 1);
    source->addWidget(caption(u"lTitle"_s, txtTitle), 1, 0);
    source->addWidget(txtTitle, 1, 1);
    source->addWidget(caption(u"lAuthor"_s, txtAuthor), 2, 0);
    source->addWidget(txtAuthor, 2, 1);
    source->setColumnStretch(1, 1);

    auto *destination = m_destinationGrid = new QGridLayout;
    destination->addWidget(lFolder, 0, 0);
    destination->addWidget(m_folders, 0, 1);
    destination->addWidget(lDocUrl, 1, 0);
    destination->addWidget(txtDocUrl, 1, 1);
    lDocUrl->setBuddy(txtDocUrl);
    destination->addWidget(lOverwriteMode, 2, 1);
    destination->setColumnStretch(1, 1);

    auto *convert = new QGroupBox(this);
    convert->setObjectName(u"fraConvert"_s);
    auto *convertLayout = new QVBoxLayout(convert);
    convertLayout->addWidget(optConvert[LocalConversion]);
    convertLayout->addWidget(optConvert[ServerConversion]);
    auto *noCvtRow = new QHBoxLayout;
    noCvtRow->addWidget(optConvert[NoConversion]);
    noCvtRow->addWidget(lNoCvtHelp);
    noCvtRow->addStretch();
    convertLayout->addLayout(noCvtRow);
    convertLayout->addStretch();

    auto *resolution = new QGroupBox(this);
    resolution->setObjectName(u"fraResolution"_s);
    auto *resolutionLayout = new QVBoxLayout(resolution);
    for (QRadioButton *option : optResolution)
        resolutionLayout->addWidget(option);
    resolutionLayout->addWidget(lMaxSize);

    auto *options = new QHBoxLayout;
    options->addWidget(convert, 1);
    options->addWidget(resolution, 1);

    auto *sizes = new QGridLayout;
    sizes->addWidget(lSrcSize, 0, 0);
    sizes->addWidget(lDstSize, 0, 1);
    sizes->addWidget(lBps, 1, 0);
    sizes->addWidget(lFileSize, 1, 1);
    sizes->addWidget(lCustomBps, 2, 0);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCancel);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(source);
    layout->addWidget(m_login);
    layout->addLayout(destination);
    layout->addLayout(options);
    layout->addLayout(sizes);
    layout->addStretch();
    layout->addLayout(buttons);
    setSizeGripEnabled(true);
}

// The source, login and destination rows read as one form: their captions
// share one column width, whatever the language makes of them.
void frmAdd::alignCaptions()
{
    const QList<QGridLayout *> grids{m_sourceGrid, m_destinationGrid,
                                     qobject_cast<QGridLayout *>(m_login->layout())};
    int width = 0;
    for (QGridLayout *grid : grids) {
        for (int row = 0; row < grid->rowCount(); ++row) {
            if (QLayoutItem *item = grid->itemAtPosition(row, 0); item && item->widget())
                width = std::max(width, item->widget()->sizeHint().width());
        }
    }
    for (QGridLayout *grid : grids)
        grid->setColumnMinimumWidth(0, width);
}

void frmAdd::reserveCaptionRoom()
{
    // The widest figures a probe and the server's widths can put in.
    const QString size = u"9999x9999"_s;
    reserveWidth(lSrcSize, {lang(u"lSrcSize"_s) + u' ' + size + u"  (99:99)"_s});
    reserveWidth(lDstSize, {lang(u"lDstSize"_s) + u"  "_s + size + u' '});
    reserveWidth(lBps, {lang(u"lBps"_s) + u"   99999 kbps"_s});
    reserveWidth(lFileSize, {lang(u"lFileSize"_s) + u"   9999 MB"_s});
    const QString atLeast = lang(u"lWidthAtLeast"_s, u"width at least %s"_s).replace(u"%s"_s, u"9999"_s);
    for (QRadioButton *option : optResolution) {
        const QString name = lang(option->objectName());
        reserveWidth(option, {name + u" ("_s + size + u')', name + u" ("_s + atLeast + u')',
                              lang(u"optFullHiRes"_s) + u" ("_s + size + u')'});
    }
    reserveWidth(lOverwriteMode, {lang(u"lOverwriteMode"_s), lang(u"lBasicMode"_s)});
    // These links come and go with the server's options; their room stays.
    for (QPushButton *link : {lNoCvtHelp, lOverwriteMode}) {
        QSizePolicy policy = link->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        link->setSizePolicy(policy);
    }
}

void frmAdd::connectControls()
{
    const auto command = [this](QCoro::Task<> (frmAdd::*run)()) {
        return Coro::command(this, m_commandRunning, run);
    };
    connect(cmdBrowse, &QPushButton::clicked, this, command(&frmAdd::browse));
    connect(cmdOK, &QPushButton::clicked, this, command(&frmAdd::confirm));
    connect(lCustomBps, &QPushButton::clicked, this, command(&frmAdd::openCustomBps));
    connect(cmdCancel, &QPushButton::clicked, this, &frmAdd::reject);
    connect(txtTitle, &QLineEdit::textEdited, this, [this] {
        if (txtSource->text().isEmpty())
            m_titleTypedFirst = true;
    });
    connect(txtDocUrl, &QLineEdit::textChanged, this, [this] { updateOk(); });
    connect(lOverwriteMode, &QPushButton::clicked, this, [this] { setOverwriteMode(!m_overwriteMode); });
    connect(m_folders, &FolderPickerWidget::folderChosen, this, &frmAdd::updateOk);
    connect(lNoCvtHelp, &QPushButton::clicked, this,
            [this] { m_messages.show(lang(u"msg_noCvtForMp4"_s), lang(u"ttl_Help"_s, u"Help"_s)); });
    connect(m_convertGroup, &QButtonGroup::idClicked, this, &frmAdd::chooseConversion);
    connect(m_resolutionGroup, &QButtonGroup::idClicked, this, &frmAdd::chooseResolution);

    connect(m_loader, &SourceLoader::busyChanged, this, &frmAdd::setProbing);
    connect(m_login, &LoginPanelWidget::busyChanged, this, &frmAdd::busyChanged);
    connect(m_login, &LoginPanelWidget::serverDependentPartsEnabled, this, &frmAdd::serverPartsEnabled);
    connect(m_login, &LoginPanelWidget::loginEdited, this, [this] {
        setOverwriteModeOffered(false, {});
        EnableVideoSettings(false);
    });
    LoginSession *session = m_login->session();
    connect(session, &LoginSession::overwriteModeChanged, this, &frmAdd::setOverwriteModeOffered);
    connect(session, &LoginSession::loginSucceeded, this, &frmAdd::loginSucceeded);
    connect(session, &LoginSession::loginFailed, this, [this] { EnableVideoSettings(false); });
    connect(session, &LoginSession::folderTreeChanged, this, &frmAdd::updateOk);
}

QString frmAdd::lang(const QString &key, const QString &fallback) const
{
    return m_language.text(kSection, key, fallback);
}

QString frmAdd::dialogTitle() const
{
    return m_editMode ? u"Edit Video"_s : u"Add Video"_s;
}

// ---------------------------------------------------------------- opening

void frmAdd::loadSettings()
{
    m_login->restoreLastLogin(m_access.settings);
    const QByteArray geometry =
        QByteArray::fromBase64(ReadPlainSetting(u"addDialogGeometry"_s, {}).toLatin1());
    if (!geometry.isEmpty())
        restoreGeometry(geometry);

    setOverwriteMode(false);
    lOverwriteMode->hide();
    clearSource();
    serverPartsEnabled(false);
    if (m_editMode)
        return;
    if (m_access.loggedIn && m_login->LoadCachedFolderList())
        return;
    m_access.loggedIn = false;
    m_access.hashPassword = true;
}

void frmAdd::openForEdit()
{
    setWindowTitle(lang(u"frmEdit"_s, u"Edit Video"_s));
    const CVideoItem *item = m_queue.item(m_editPath);
    if (!item)
        return;
    m_login->setLogin({item->Url, item->account, item->password});
    txtSource->setText(item->path);
    txtTitle->setText(item->title);
    txtAuthor->setText(item->Author);
    m_editFolderId = item->folderID;
    m_editFolderPending = true;
    m_choice = {item->dstCvtType, item->dstResType, item->customBps};
    selectConversion(m_choice.cvtType);
    selectResolution(m_choice.resType);
    m_access.hashPassword = item->bEncPassword;
    if (!item->OverwriteUrl.isEmpty()) {
        txtDocUrl->setText(item->OverwriteUrl);
        setOverwriteMode(true);
    }
    // The source loads when the folder list arrives, against the server's settings.
    m_login->RequestFolderList();
}

// ---------------------------------------------------------------- choosing a source

QString frmAdd::BrowseFilter(int supportedQvpVer)
{
    const QString z = supportedQvpVer >= 8 ? u";*.zdm"_s : QString();
    const QString videoPatterns = u"*."_s + SourceLoader::videoExtensions().join(u";*."_s);
    return u"All supported files (.qvp"_s + z + u';' + videoPatterns + u")|project.qvp;"_s + videoPatterns +
           z + u"|Video file ("_s + videoPatterns + u")|"_s + videoPatterns +
           u"|Corvana / Lumetra file (.qvp"_s + z + u")|project.qvp"_s + z;
}

QStringList frmAdd::nameFilters(const QString &browseFilter)
{
    // Qt reads a filter's patterns from its last parentheses; the dialog
    // hides them again, so the descriptions read as written.
    const QStringList parts = browseFilter.split(u'|');
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2)
        filters << parts[i] + u" ("_s + QString(parts[i + 1]).replace(u';', u' ') + u')';
    return filters;
}

void frmAdd::chooseSourceAfterLogin(const QString &path)
{
    if (!m_login->isLoggedIn() || busyState() != Idle) {
        m_pendingSource = path;
        return;
    }
    Coro::start(
        this, m_commandRunning, [this, path] { return chooseSource(path); }, [] {});
}

bool frmAdd::isQueuedElsewhere(const QString &path) const
{
    if (!m_queue.itemExist(path))
        return false;
    return !m_editMode || QFileInfo(path) != QFileInfo(m_editPath);
}

QCoro::Task<> frmAdd::browse()
{
    auto *dialog = new QFileDialog(this, lang(u"dlgTitle"_s, u"Select a video file"_s));
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setOption(QFileDialog::HideNameFilterDetails);
    dialog->setOption(QFileDialog::ReadOnly);
    dialog->setNameFilters(nameFilters(BrowseFilter(m_access.settings.supportedQvpVer)));
    const QString current = txtSource->text();
    if (!current.isEmpty())
        dialog->setDirectory(QFileInfo(current).absolutePath());
    QPointer<frmAdd> self(this);
    const bool accepted = co_await OpenDialog(dialog);
    const QStringList chosen = accepted ? dialog->selectedFiles() : QStringList();
    if (!self || chosen.isEmpty())
        co_return;
    co_await chooseSource(QDir::toNativeSeparators(chosen.first()));
}

QCoro::Task<> frmAdd::chooseSource(QString path)
{
    if (const auto refusal = SourceLoader::check(m_language, path)) {
        m_messages.show(refusal->text, dialogTitle());
        co_return;
    }
    if (isQueuedElsewhere(path)) {
        m_messages.show(lang(u"msg_hasBeenAdded"_s), dialogTitle());
        co_return;
    }
    txtSource->setText(path);
    if (!m_titleTypedFirst)
        txtTitle->setText(QFileInfo(path).completeBaseName());
    m_choice = {};
    EnableVideoSettings(false);
    m_source.loaded = false;
    updateOk();
    selectConversion(LocalConversion);
    selectResolution(StandardResolution);
    co_await loadSource();
}

QCoro::Task<> frmAdd::loadSource()
{
    const QString path = txtSource->text();
    m_source = {};
    m_source.kind = SourceLoader::kindOf(path);
    QPointer<frmAdd> self(this);
    LoadedSource loaded = co_await m_loader->load(path, m_access.settings, false, dialogTitle());
    if (!self)
        co_return;
    if (!loaded.loaded) {
        clearSource();
        co_return;
    }
    m_source = std::move(loaded);
    if (m_source.kind == SourceKind::Video) {
        cmdCancel->setEnabled(true);
        showSourceSize();
        EnableVideoSettings(true);
    } else {
        if (!m_source.title.isEmpty())
            txtTitle->setText(m_source.title);
        if (!m_source.author.isEmpty())
            txtAuthor->setText(m_source.author);
    }
    updateOk();
}

void frmAdd::clearSource()
{
    txtSource->clear();
    txtTitle->clear();
    if (m_source.kind != SourceKind::Video)
        txtAuthor->clear();
    m_source = {};
    EnableVideoSettings(false);
    showSourceSize();
    updateOk();
}

void frmAdd::showSourceSize()
{
    const ProbeResult &r = m_source.probe;
    if (m_source.kind != SourceKind::Video || r.frameWidth <= 0) {
        lSrcSize->setText(lang(u"lSrcSize"_s) + u" (NA)"_s);
        return;
    }
    QString text = lang(u"lSrcSize"_s) + u' ' + QString::number(r.frameWidth) + u'x' +
                   QString::number(r.frameHeight) + u' ';
    const bool ownProportions = qint64(r.aspectNum) * r.frameHeight == qint64(r.aspectDen) * r.frameWidth;
    if (r.aspectNum > 0 && !ownProportions)
        text += u" ("_s + QString::number(r.aspectNum) + u':' + QString::number(r.aspectDen) + u')';
    lSrcSize->setText(text);
}

// ---------------------------------------------------------------- video settings

void frmAdd::EnableVideoSettings(bool enabled)
{
    m_videoSettingsEnabled = enabled && m_source.kind == SourceKind::Video && m_source.probe.frameWidth > 0;
    applyOptionStates();
    recomputeBitRates();
}

void frmAdd::applyOptionStates()
{
    const ServerSettings &server = m_access.settings;
    std::array<bool, 3> conversions{false, false, false};
    if (m_videoSettingsEnabled) {
        conversions = ConversionsEnabled(server, extensionOf(txtSource->text()));
        if (!conversions[static_cast<size_t>(m_choice.cvtType)])
            m_choice.cvtType = LocalConversion;
    }
    for (int i = 0; i < 3; ++i)
        optConvert[i]->setEnabled(conversions[static_cast<size_t>(i)]);
    lNoCvtHelp->setVisible(conversions[NoConversion]);
    selectConversion(m_choice.cvtType);

    std::array<bool, 3> resolutions{false, false, false};
    if (m_videoSettingsEnabled) {
        resolutions = ResolutionsEnabled(m_source.probe.frameWidth, m_choice.cvtType, server);
        m_choice.resType =
            m_choice.cvtType == NoConversion ? SourceResolution : KeepEnabled(m_choice.resType, resolutions);
    }
    for (int i = 0; i < 3; ++i) {
        const bool on = resolutions[static_cast<size_t>(i)];
        optResolution[i]->setEnabled(on);
        optResolution[i]->setText(m_videoSettingsEnabled
                                      ? ResolutionCaption(m_language, i, on, m_source.probe, server)
                                      : lang(optResolution[i]->objectName()));
    }
    selectResolution(m_choice.resType);
}

void frmAdd::selectConversion(int cvtType)
{
    const QSignalBlocker blocker(m_convertGroup);
    optConvert[static_cast<size_t>(cvtType)]->setChecked(true);
}

void frmAdd::selectResolution(int resType)
{
    const QSignalBlocker blocker(m_resolutionGroup);
    optResolution[static_cast<size_t>(resType)]->setChecked(true);
}

bool frmAdd::refuseAbove2GB(const Choice &next, SourceLoader::Changed changed)
{
    const auto refusal = SourceLoader::sizeRefusal(m_language, m_source, next, m_access.settings, changed);
    if (!refusal)
        return false;
    selectConversion(m_choice.cvtType);
    selectResolution(m_choice.resType);
    m_messages.show(refusal->text, dialogTitle());
    return true;
}

void frmAdd::chooseConversion(int cvtType)
{
    Choice next = m_choice;
    next.cvtType = cvtType;
    if (cvtType == LocalConversion)
        next.customBps = 0;
    if (refuseAbove2GB(next, SourceLoader::Changed::Conversion))
        return;
    m_choice = next;
    applyOptionStates();
    recomputeBitRates();
}

void frmAdd::chooseResolution(int resType)
{
    Choice next = m_choice;
    next.resType = resType;
    if (refuseAbove2GB(next, SourceLoader::Changed::Resolution))
        return;
    m_choice = next;
    recomputeBitRates();
}

void frmAdd::recomputeBitRates()
{
    const bool shown = m_videoSettingsEnabled;
    for (QLabel *label : {lDstSize, lBps, lFileSize})
        label->setEnabled(shown);
    lCustomBps->setEnabled(shown && m_access.settings.customBps && m_choice.cvtType == LocalConversion);
    if (!shown) {
        lDstSize->setText(lang(u"lDstSize"_s));
        lBps->setText(lang(u"lBps"_s));
        lFileSize->setText(lang(u"lFileSize"_s));
        return;
    }
    m_rates = ComputeRates(m_source.probe, m_source.bytes, m_choice, m_access.settings);
    const qint64 estimate = BytesOf(m_rates.totalKbps, m_source.probe.durationSeconds);
    lDstSize->setText(lang(u"lDstSize"_s) + u"  "_s + QString::number(m_rates.output.width()) + u'x' +
                      QString::number(m_rates.output.height()) + u' ');
    lBps->setText(lang(u"lBps"_s) + u"   "_s + QString::number(m_rates.totalKbps) + u" kbps"_s);
    lFileSize->setText(lang(u"lFileSize"_s) + u"   "_s + SizeText(estimate));
    if (estimate > kNearLimitBytes && !m_warned) {
        m_warned = true;
        m_messages.show(lang(u"msg_nearly2GB"_s).replace(u"%s"_s, GiBText(estimate)), lang(u"ttl_Warning"_s),
                        Messages::Icon::Warning);
    }
}

QCoro::Task<> frmAdd::openCustomBps()
{
    // The dialog offers steps above what the output size gets by default.
    Choice plain = m_choice;
    plain.customBps = 0;
    const Rates rates = ComputeRates(m_source.probe, m_source.bytes, plain, m_access.settings);
    if (BytesOf(rates.totalKbps, m_source.probe.durationSeconds) > kLimitBytes) {
        m_messages.show(lang(u"msg_noCustomBps"_s), dialogTitle());
        co_return;
    }
    auto *dialog = new frmCustomBps(m_language, m_choice.customBps, this);
    dialog->init(rates.totalKbps, m_source.probe.durationSeconds);
    QPointer<frmAdd> self(this);
    const bool accepted = co_await OpenDialog(dialog);
    if (!self || !accepted || dialog->customBps() == m_choice.customBps)
        co_return;
    m_choice.customBps = dialog->customBps();
    recomputeBitRates();
}

// ---------------------------------------------------------------- login and destination

void frmAdd::setOverwriteMode(bool on)
{
    m_overwriteMode = on;
    lDocUrl->setVisible(on);
    txtDocUrl->setVisible(on);
    lFolder->setVisible(!on);
    m_folders->setVisible(!on);
    lOverwriteMode->setText(lang(on ? u"lBasicMode"_s : u"lOverwriteMode"_s));
    updateOk();
}

void frmAdd::setOverwriteModeOffered(bool offered, const QString &url)
{
    lOverwriteMode->setVisible(offered);
    if (offered && !url.isEmpty())
        txtDocUrl->setText(url);
    if (!offered && m_overwriteMode)
        setOverwriteMode(false);
}

void frmAdd::serverPartsEnabled(bool enabled)
{
    for (QWidget *part : std::initializer_list<QWidget *>{txtSource, cmdBrowse, txtTitle, txtAuthor, lFolder,
                                                          m_folders, lDocUrl, txtDocUrl})
        part->setEnabled(enabled);
    if (!enabled)
        EnableVideoSettings(false);
    updateOk();
}

void frmAdd::loginSucceeded()
{
    if (!m_access.settings.customBps)
        m_choice.customBps = 0;
    if (m_editFolderPending) {
        m_editFolderPending = false;
        bool numeric = false;
        const int id = m_editFolderId.toInt(&numeric);
        if (numeric)
            m_folders->SelectFolderById(id);
    }
    if (!m_pendingSource.isEmpty()) {
        chooseSourceAfterLogin(std::exchange(m_pendingSource, {}));
        return;
    }
    // The source is checked again against what this server accepts.
    if (!txtSource->text().isEmpty())
        Coro::start(
            this, m_commandRunning, [this] { return loadSource(); }, [] {});
    else
        EnableVideoSettings(true);
}

bool frmAdd::hasDestination() const
{
    return m_overwriteMode || !m_folders->folderId().isEmpty();
}

void frmAdd::updateOk()
{
    cmdOK->setEnabled(m_source.loaded && m_login->isLoggedIn() && hasDestination() && busyState() == Idle);
}

frmAdd::BusyState frmAdd::busyState() const
{
    if (m_probing)
        return Probing;
    return m_login->session()->busy() ? WaitingForFolders : Idle;
}

void frmAdd::setProbing(bool probing)
{
    m_probing = probing;
    busyChanged();
}

void frmAdd::busyChanged()
{
    const bool idle = busyState() == Idle;
    cmdCancel->setEnabled(idle);
    cmdBrowse->setEnabled(idle && m_login->isLoggedIn());
    updateOk();
}

// ---------------------------------------------------------------- OK and Cancel

CVideoItem frmAdd::makeEntry() const
{
    CVideoItem entry;
    SourceLoader::fillEntry(entry, m_source, m_choice, m_access.settings);
    entry.title = txtTitle->text().trimmed();
    entry.Author = txtAuthor->text().trimmed();
    SourceLoader::fillDestination(entry, m_login->login(), m_folders->folderId(), m_folders->folderPath(),
                                  m_access.settings, m_access.hashPassword);
    entry.OverwriteUrl = m_overwriteMode ? txtDocUrl->text().trimmed() : QString();
    return entry;
}

QCoro::Task<> frmAdd::confirm()
{
    if (!cmdOK->isEnabled())
        co_return;
    if (m_overwriteMode && HostOf(txtDocUrl->text()) != HostOf(m_login->login().server)) {
        m_messages.show(lang(u"msgServer_DocUrl_diff"_s, u"Vid. URL and URL are different!"_s),
                        dialogTitle());
        co_return;
    }
    const QString path = txtSource->text();
    if (isQueuedElsewhere(path)) {
        m_messages.show(lang(u"msg_hasBeenAdded"_s), dialogTitle());
        co_return;
    }
    const QString title = txtTitle->text().trimmed();
    const QString author = txtAuthor->text().trimmed();
    if (m_source.kind == SourceKind::Project && (title != m_source.title || author != m_source.author)) {
        CProjectFile project(m_language, m_messages);
        if (project.Load(path, false)) {
            project.title = title;
            project.author = author;
            project.Save();
        }
    }
    const CVideoItem entry = makeEntry();
    if (m_editMode) {
        // The edited entry keeps its place in the queue.
        m_queue.UpdateQueueRow(m_queue.RowOfPath(m_editPath), entry);
        m_queue.editMode = false;
        m_editMode = false;
    } else {
        m_queue.Add(entry);
    }
    WriteSetting(Settings::kSection, u"folderID"_s, entry.folderID);
    WriteSetting(Settings::kSection, u"folderName"_s, entry.folderName);
    accept();
    co_return;
}

bool frmAdd::refuseClose()
{
    if (m_probing) {
        m_messages.show(lang(u"msg_ExitOnGetVidInfo"_s), windowTitle());
        return true;
    }
    return !m_login->canClose();
}

void frmAdd::reject()
{
    if (refuseClose())
        return;
    QDialog::reject();
}

void frmAdd::done(int result)
{
    m_access.loggedIn = m_login->isLoggedIn();
    WritePlainSetting(u"addDialogGeometry"_s, QString::fromLatin1(saveGeometry().toBase64()));
    if (m_editMode)
        leaveEditMode();
    QDialog::done(result);
}

void frmAdd::leaveEditMode()
{
    m_editMode = false;
    m_queue.cancelEdit();
}
