#include "add/frmAdd.h"
#include "add/frmAddBatch.h"
#include "add/frmConfirm.h"
#include "add/frmCustomBps.h"
#include "app/MessageBoxWidget.h"
#include "app/ProgressPanelWidget.h"
#include "app/frmUpload.h"
#include "common/Lang.h"
#include "common/Settings.h"
#include "pipeline/Session.h"
#include "platform/AppPaths.h"
#include "platform/Coro.h"
#include "platform/Messages.h"
#include "queue/QueueFile.h"
#include "queue/QueueJournal.h"
#include "queue/QueueModel.h"
#include "support/TestFiles.h"
#include "support/TestLanguage.h"
#include "update/CVerList.h"
#include "update/frmDownloader.h"

#include <QAbstractItemModelTester>
#include <QAbstractSpinBox>
#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QTimer>
#include <QUrl>

using WindowMaker = std::function<std::unique_ptr<QWidget>(Session &)>;
Q_DECLARE_METATYPE(WindowMaker)
Q_DECLARE_METATYPE(Messages::Answer)

namespace {

using enum EntryState;

struct KeepAwakeLog
{
    int inhibits = 0;
    int releases = 0;
};

class FakeKeepAwake final : public KeepAwake
{
public:
    explicit FakeKeepAwake(std::shared_ptr<KeepAwakeLog> log) : m_log(std::move(log)) {}
    void inhibit(const QString &) override { ++m_log->inhibits; }
    void release() override { ++m_log->releases; }

private:
    std::shared_ptr<KeepAwakeLog> m_log;
};

// Records what the window hands over; its add dialog adds `rowsToAdd` rows
// and, in edit mode, leaves as Cancel does.
struct HookLog
{
    int addDialogs = 0;
    int batchDialogs = 0;
    int starts = 0;
    int stopRuns = 0;
    int updateChecks = 0;
    int rowsToAdd = 0;
    QString droppedSource;
    bool editModeInDialog = false;
    QString stateInDialog;
    std::function<void(frmUpload *)> onStopRun;
    frmUpload *window = nullptr;
    QList<QStringList> workKeys;
};

class FakeHooks final : public WindowHooks
{
public:
    explicit FakeHooks(std::shared_ptr<HookLog> log) : m_log(std::move(log)) {}

    QCoro::Task<> showAddDialog(frmUpload *window, QString source) override
    {
        ++m_log->addDialogs;
        m_log->droppedSource = source;
        QueueModel &queue = window->queue();
        m_log->editModeInDialog = queue.editMode;
        m_log->stateInDialog = queue.GetEntryCell(queue.editPath, QueueModel::ColState);
        addRows(window);
        queue.cancelEdit();
        co_return;
    }
    QCoro::Task<> showBatchDialog(frmUpload *window) override
    {
        ++m_log->batchDialogs;
        addRows(window);
        co_return;
    }
    void StartNextEntry(frmUpload *) override { ++m_log->starts; }
    void stopRun() override
    {
        ++m_log->stopRuns;
        if (m_log->onStopRun)
            m_log->onStopRun(m_log->window);
    }
    void removeUnownedWork(const QStringList &keys) override { m_log->workKeys.append(keys); }
    void checkForUpdates(frmUpload *) override { ++m_log->updateChecks; }

private:
    void addRows(frmUpload *window)
    {
        for (int i = 0; i < m_log->rowsToAdd; ++i) {
            CVideoItem item;
            item.path = QStringLiteral("/added/%1.mp4").arg(window->queue().rowCount());
            item.fileName = QFileInfo(item.path).fileName();
            window->queue().Add(item);
        }
    }
    std::shared_ptr<HookLog> m_log;
};

CVideoItem entry(const QString &path)
{
    CVideoItem item;
    item.path = path;
    item.fileName = QFileInfo(path).fileName();
    item.title = QStringLiteral("Title of ") + item.fileName;
    item.Author = QStringLiteral("Ann");
    item.Url = QStringLiteral("http://127.0.0.1:7380");
    item.password = QStringLiteral("p<&>w");
    item.folderName = QStringLiteral("/talks");
    return item;
}

QString queueFile()
{
    return QueueFile::defaultPath();
}

QString journalFile()
{
    return QueueJournal::pathFor(queueFile());
}

// Writes a queue file of the given entries, whatever their states.
void writeQueueFile(const QStringList &paths)
{
    const LanguageTable noTexts;
    QueueModel queue(noTexts);
    for (const QString &path : paths)
        queue.Add(entry(path));
    QVERIFY(QueueFile::SaveQueue(queueFile(), queue));
}

QStringList queuedPaths()
{
    const LanguageTable noTexts;
    QueueModel queue(noTexts);
    QueueFile::LoadQueue(queueFile(), queue);
    QStringList paths;
    for (const QueueEntry &queued : queue.entries())
        paths.append(queued.key);
    return paths;
}

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT

    std::shared_ptr<KeepAwakeLog> m_awake;
    std::shared_ptr<HookLog> m_hooks;
    std::shared_ptr<Messages::RecordingPresenter::Log> m_messages;
    std::unique_ptr<QTemporaryDir> m_sources;
    CVerList m_verList;
    pugi::xml_document m_verDoc;
    const LanguageTable m_language{languageFile()};
    // Each window's session; they go after the test's windows.
    std::vector<std::unique_ptr<Session>> m_sessions;

    QString messageText(const QString &key, const QString &defaultText = {}) const
    {
        return m_language.text(QStringLiteral("frmUpload"), key, defaultText);
    }
    // Every session records into the test's one log.
    Session &newSession()
    {
        Session &session = *m_sessions.emplace_back(std::make_unique<Session>());
        session.messages().setPresenter(std::make_unique<Messages::RecordingPresenter>(m_messages));
        return session;
    }
    std::unique_ptr<frmUpload> makeWindow(QStringList arguments = {}, int processors = 4)
    {
        auto window = std::make_unique<frmUpload>(
            frmUpload::Setup{newSession(), std::move(arguments), std::make_unique<FakeKeepAwake>(m_awake),
                             std::make_unique<FakeHooks>(m_hooks), processors});
        m_hooks->window = window.get();
        return window;
    }
    std::unique_ptr<frmUpload> startedWindow(QStringList arguments = {}, int processors = 4)
    {
        auto window = makeWindow(std::move(arguments), processors);
        window->show();
        [&] { QTRY_VERIFY(window->initTicks() >= 1); }();
        return window;
    }
    // Queues an entry whose source file exists, in the given state.
    QString queueEntry(frmUpload &window, const QString &name, EntryState state = Waiting)
    {
        const QString path = QDir(m_sources->path()).filePath(name);
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write("source");
        window.queue().Add(entry(path));
        window.queue().SetEntryState(path, state);
        return path;
    }
    static QPushButton *button(frmUpload &window, const char *name)
    {
        return window.findChild<QPushButton *>(QString::fromLatin1(name));
    }
    static QTableView *grid(frmUpload &window)
    {
        return window.findChild<QTableView *>(QStringLiteral("gridQueue"));
    }
    static void selectRows(frmUpload &window, const QList<int> &rows)
    {
        QTableView *view = grid(window);
        view->clearSelection();
        for (int row : rows)
            view->selectionModel()->select(view->model()->index(row, 0),
                                           QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    static QList<EntryState> states(frmUpload &window)
    {
        QList<EntryState> result;
        for (const QueueEntry &queued : window.queue().entries())
            result.append(queued.state);
        return result;
    }
    QStringList messageTexts() const
    {
        QStringList texts;
        for (const Messages::Message &m : m_messages->messages)
            texts.append(m.text);
        return texts;
    }

private Q_SLOTS:
    // Every control a person operates has the name a screen reader speaks
    // and is reached with Tab.
    void controlsNamedAndReachable_data()
    {
        QTest::addColumn<WindowMaker>("make");
        QTest::newRow("main") << WindowMaker(
            [this](Session &) -> std::unique_ptr<QWidget> { return startedWindow(); });
        QTest::newRow("add") << WindowMaker([](Session &s) { return std::make_unique<frmAdd>(s); });
        QTest::newRow("batch") << WindowMaker([](Session &s) { return std::make_unique<frmAddBatch>(s); });
        QTest::newRow("bps") << WindowMaker(
            [](Session &s) { return std::make_unique<frmCustomBps>(s.language(), 8, nullptr); });
        QTest::newRow("confirm") << WindowMaker(
            [](Session &s) { return std::make_unique<frmConfirm>(s.language()); });
        QTest::newRow("update") << WindowMaker([this](Session &s) {
            return std::make_unique<frmDownloader>(
                UpdateDownload::Setup{s, m_verList, m_verDoc, {}, 100, {}});
        });
    }
    void controlsNamedAndReachable()
    {
        QFETCH(WindowMaker, make);
        std::unique_ptr<QWidget> window = make(newSession());
        QStringList faults;
        for (QWidget *w : window->findChildren<QWidget *>()) {
            // The parts Qt builds inside a view, a combo or a spin box speak through it.
            const auto composite = [](QWidget *c) {
                return c->inherits("QAbstractItemView") || c->inherits("QComboBox") ||
                       c->inherits("QAbstractSpinBox");
            };
            bool part = false;
            for (QWidget *p = w->parentWidget(); p != window.get(); p = p->parentWidget())
                part = part || composite(p);
            if (part || !(composite(w) || w->inherits("QAbstractButton") || w->inherits("QLineEdit") ||
                          w->inherits("QPlainTextEdit")))
                continue;
            if (QAccessible::queryAccessibleInterface(w)->text(QAccessible::Name).trimmed().isEmpty())
                faults << w->objectName() + u'(' + QString::fromLatin1(w->metaObject()->className()) +
                              ") has no name";
            if (!(w->focusPolicy() & Qt::TabFocus))
                faults << w->objectName() + " is not reached with Tab";
        }
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(", ")));
    }

    void init()
    {
        QFile::remove(queueFile());
        QFile::remove(journalFile());
        QFile::remove(AppPaths::settingsFile());
        m_awake = std::make_shared<KeepAwakeLog>();
        m_hooks = std::make_shared<HookLog>();
        m_messages = std::make_shared<Messages::RecordingPresenter::Log>();
        m_sources = std::make_unique<QTemporaryDir>();
    }

    void modelAndFirstCommands()
    {
        auto window = makeWindow();
        QAbstractItemModelTester tester(grid(*window)->model(),
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        // After load only the queue-building commands are enabled, Add after the first tick.
        for (const char *name : {"cmdEdit", "cmdRemove", "cmdStartUpload", "cmdStopUpload", "cmdAdd"})
            QVERIFY2(!button(*window, name)->isEnabled(), name);
        QVERIFY(button(*window, "cmdAddQvp")->isEnabled());
        window->show();
        QTRY_VERIFY(button(*window, "cmdAdd")->isEnabled());
        QCOMPARE(m_awake->inhibits, 1);
    }

    void startupReadsQueue_data()
    {
        QTest::addColumn<QString>("keepQueue");
        QTest::addColumn<int>("rows");
        QTest::addColumn<bool>("startEnabled");
        QTest::newRow("option unset") << QString() << 3 << true;
        QTest::newRow("option off") << "0" << 0 << false;
        QTest::newRow("not a number") << "yes" << 0 << false;
    }
    void startupReadsQueue()
    {
        QFETCH(QString, keepQueue);
        QFETCH(int, rows);
        QFETCH(bool, startEnabled);
        writeQueueFile({"/v/a.mp4", "/v/b.qvp", "/v/c.zdm"});
        if (!keepQueue.isNull())
            WritePlainSetting("chkRemQueue", keepQueue);
        auto window = startedWindow();
        QCOMPARE(states(*window), QList<EntryState>(rows, Waiting));
        QCOMPARE(button(*window, "cmdStartUpload")->isEnabled(), startEnabled);
        QCOMPARE(window->findChild<QCheckBox *>("chkRemQueue")->isChecked(), rows > 0);
        QVERIFY(QFile::exists(queueFile()));
    }

    // A window that was killed left its journal: the next start takes the
    // queue from it, even when the queue is not kept at a close, since
    // that choice was never applied. A damaged one is refused aloud and the
    // queue file is read.
    void startupRestoresJournal_data()
    {
        QTest::addColumn<bool>("damaged");
        QTest::addColumn<QString>("keepQueue");
        QTest::addColumn<QList<EntryState>>("rowStates");
        QTest::newRow("journal, queue not kept") << false << "0" << QList{Finished, Waiting, Failed};
        QTest::newRow("damaged journal") << true << "1" << QList{Waiting};
    }
    void startupRestoresJournal()
    {
        QFETCH(bool, damaged);
        QFETCH(QString, keepQueue);
        QFETCH(QList<EntryState>, rowStates);
        writeQueueFile({"/v/saved.mp4"});
        WritePlainSetting("chkRemQueue", keepQueue);
        {
            const LanguageTable noTexts;
            QueueModel killed(noTexts);
            QueueJournal journal(killed, queueFile());
            for (const EntryState state : {Finished, Transfering, Failed}) {
                const QString path = "/v/" + stateText(state) + ".mp4";
                killed.Add(entry(path));
                killed.SetEntryState(path, state);
            }
            QVERIFY(journal.write());
        }
        if (damaged)
            writeFile(journalFile(), "<clipferryJournal><entry");
        auto window = startedWindow();
        QCOMPARE(states(*window), rowStates);
        QCOMPARE(button(*window, "cmdStartUpload")->isEnabled(), true);
        QCOMPARE(messageTexts().join(u' ').contains("is damaged"), damaged);
    }

    void processorCountRules_data()
    {
        QTest::addColumn<int>("processors");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<bool>("checked");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("two, option on") << 2 << "1" << false << false;
        QTest::newRow("four, option on") << 4 << "1" << true << true;
        QTest::newRow("four, option unset") << 4 << QString() << true << true;
        QTest::newRow("four, option off") << 4 << "0" << false << true;
    }
    void processorCountRules()
    {
        QFETCH(int, processors);
        QFETCH(QString, stored);
        QFETCH(bool, checked);
        QFETCH(bool, enabled);
        if (!stored.isNull())
            WritePlainSetting("chkHighSpeed", stored);
        auto window = startedWindow({}, processors);
        auto *box = window->findChild<QCheckBox *>("chkHighSpeed");
        QCOMPARE(box->isChecked(), checked);
        QCOMPARE(box->isEnabled(), enabled);
        QCOMPARE(window->runOptions().highSpeed, checked);
        QCOMPARE(window->runOptions().cpuCount, processors);
        const QString limit = ' ' + messageText("msgBelowDualCore");
        QCOMPARE(box->text().endsWith(limit), !enabled);
        QCOMPARE(box->text().startsWith(messageText("chkHighSpeed")), true);
        // The whole caption shows, however the window is sized.
        window->resize(window->minimumSize());
        QTRY_COMPARE(box->width() >= box->sizeHint().width(), true);
    }

    void updateCheckFollowsSwitch_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("checks");
        QTest::newRow("no arguments") << QStringList{} << 1;
        QTest::newRow("-s") << QStringList{"-s"} << 0;
        QTest::newRow("-s after another") << QStringList{"-d", "-s"} << 0;
        QTest::newRow("inside a word") << QStringList{"--silent"} << 0;
        QTest::newRow("capital S") << QStringList{"-S"} << 1;
        QTest::newRow("-d only") << QStringList{"-d"} << 1;
    }
    void updateCheckFollowsSwitch()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, checks);
        auto window = startedWindow(arguments);
        QCOMPARE(m_hooks->updateChecks, checks);
    }

    void addSelectsNewRows_data()
    {
        QTest::addColumn<bool>("batch");
        QTest::addColumn<int>("added");
        QTest::newRow("add, one row") << false << 1;
        QTest::newRow("add, cancelled") << false << 0;
        QTest::newRow("batch, three rows") << true << 3;
    }
    void addSelectsNewRows()
    {
        QFETCH(bool, batch);
        QFETCH(int, added);
        auto window = startedWindow();
        queueEntry(*window, "first.mp4", Finished);
        selectRows(*window, {0});
        m_hooks->rowsToAdd = added;
        window->queue().editMode = true;
        button(*window, batch ? "cmdAddQvp" : "cmdAdd")->click();
        QCOMPARE(batch ? m_hooks->batchDialogs : m_hooks->addDialogs, 1);
        QVERIFY(!m_hooks->editModeInDialog);
        const int rows = window->queue().rowCount();
        QCOMPARE(rows, 1 + added);
        QCOMPARE(grid(*window)->selectionModel()->isRowSelected(rows - 1, {}), true);
        // A new row is "Waiting", so Edit follows it; the finished one keeps Edit off.
        QCOMPARE(button(*window, "cmdEdit")->isEnabled(), added > 0);
    }

    // A video file or project dropped onto the window opens Add with it;
    // anything else is not taken.
    void dropOpensAdd_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<bool>("opens");
        QTest::newRow("video") << QStringList{QStringLiteral("talk.MKV")} << true;
        QTest::newRow("project") << QStringList{QStringLiteral("week1/project.qvp")} << true;
        QTest::newRow("other file") << QStringList{QStringLiteral("notes.txt")} << false;
        QTest::newRow("two videos") << QStringList{QStringLiteral("a.mp4"), QStringLiteral("b.mp4")} << false;
    }
    void dropOpensAdd()
    {
        QFETCH(QStringList, names);
        QFETCH(bool, opens);
        auto window = startedWindow();
        QList<QUrl> urls;
        for (const QString &name : names) {
            const QString path = QDir(m_sources->path()).filePath(name);
            QDir().mkpath(QFileInfo(path).absolutePath());
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            urls.append(QUrl::fromLocalFile(path));
        }
        QMimeData data;
        data.setUrls(urls);
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &enter);
        QCOMPARE(enter.isAccepted(), opens);
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &drop);
        QCOMPARE(m_hooks->addDialogs, opens ? 1 : 0);
        if (opens)
            QCOMPARE(m_hooks->droppedSource, QDir::toNativeSeparators(urls.first().toLocalFile()));
    }

    void commandsRefusedWhileTransfering_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("message");
        QTest::newRow("add") << "cmdAdd" << messageText("msgCmdWhenTransfering");
        QTest::newRow("edit") << "cmdEdit" << messageText("msgCmdWhenTransfering");
        QTest::newRow("exit") << "cmdExit" << messageText("msgStopBeforeExit");
    }
    void commandsRefusedWhileTransfering()
    {
        QFETCH(QString, command);
        QFETCH(QString, message);
        auto window = startedWindow();
        queueEntry(*window, "a.mp4");
        queueEntry(*window, "b.mp4", Transfering);
        selectRows(*window, {0});
        QSignalSpy closed(window.get(), &frmUpload::closed);
        m_hooks->rowsToAdd = 1;
        auto *b = button(*window, command.toLatin1().constData());
        b->setEnabled(true);
        b->click();
        QCOMPARE(messageTexts(), QStringList{message});
        QCOMPARE(m_hooks->addDialogs + m_hooks->batchDialogs, 0);
        QCOMPARE(states(*window), (QList<EntryState>{Waiting, Transfering}));
        QVERIFY(window->isVisible());
        QCOMPARE(closed.count(), 0);
    }

    void editRefusals_data()
    {
        QTest::addColumn<QList<int>>("selected");
        QTest::addColumn<QString>("message");
        QTest::newRow("two rows") << QList<int>{0, 1}
                                  << messageText("msgEditMultiRows", "Cannot edit more than one videos!");
        QTest::newRow("no row") << QList<int>{} << "Please select a row.";
    }
    void editRefusals()
    {
        QFETCH(QList<int>, selected);
        QFETCH(QString, message);
        auto window = startedWindow();
        queueEntry(*window, "a.mp4");
        queueEntry(*window, "b.mp4");
        selectRows(*window, selected);
        button(*window, "cmdEdit")->setEnabled(true);
        button(*window, "cmdEdit")->click();
        QCOMPARE(messageTexts(), QStringList{message});
        QCOMPARE(m_hooks->addDialogs, 0);
        QCOMPARE(states(*window), (QList<EntryState>{Waiting, Waiting}));
    }

    // The row is "Editing" while the dialog is open, and its entry keeps the
    // state the row had, to be given back when the dialog is left.
    void editOpensDialogOnExistingSource_data()
    {
        QTest::addColumn<EntryState>("state");
        QTest::newRow("waiting") << Waiting;
        QTest::newRow("failed") << Failed;
    }
    void editOpensDialogOnExistingSource()
    {
        QFETCH(EntryState, state);
        auto window = startedWindow();
        queueEntry(*window, "a.mp4");
        const QString path = queueEntry(*window, "b.mp4", state);
        selectRows(*window, {1});
        QVERIFY(button(*window, "cmdEdit")->isEnabled());
        button(*window, "cmdEdit")->click();
        QCOMPARE(m_hooks->addDialogs, 1);
        QVERIFY(m_hooks->editModeInDialog);
        QCOMPARE(m_hooks->stateInDialog, "Editing");
        QCOMPARE(window->queue().editPath, path);
        QCOMPARE(*window->queue().item(path)->state, state);
        QCOMPARE(window->queue().entryAt(1).state, state);
        QVERIFY(m_messages->messages.isEmpty());
    }

    void editMissingSource_data()
    {
        QTest::addColumn<Messages::Answer>("answer");
        QTest::addColumn<QStringList>("remaining");
        QTest::addColumn<QString>("error");
        QTest::newRow("no marks it failed")
            << Messages::Answer::No << QStringList{"a.mp4", "gone.mp4"} << "File not found";
        QTest::newRow("yes removes it") << Messages::Answer::Yes << QStringList{"a.mp4"} << QString();
    }
    void editMissingSource()
    {
        QFETCH(Messages::Answer, answer);
        QFETCH(QStringList, remaining);
        QFETCH(QString, error);
        auto window = startedWindow();
        queueEntry(*window, "a.mp4");
        const QString gone = queueEntry(*window, "gone.mp4", Canceled);
        QVERIFY(QFile::remove(gone));
        selectRows(*window, {1});
        m_messages->script = {answer};
        button(*window, "cmdEdit")->click();
        QCOMPARE(messageTexts(), QStringList{messageText("msgFileNotExist")});
        QCOMPARE(m_messages->messages.first().buttons, Messages::Buttons::YesNo);
        QCOMPARE(m_hooks->addDialogs, 0);
        QStringList names;
        for (int row = 0; row < window->queue().rowCount(); ++row)
            names.append(window->queue().cell(row, QueueModel::ColFileName));
        QCOMPARE(names, remaining);
        QCOMPARE(window->queue().GetEntryCell(gone, QueueModel::ColError), error);
        if (!error.isEmpty())
            QCOMPARE(window->queue().GetEntryCell(gone, QueueModel::ColState), "Failed");
    }

    void removeKeepsTransferingRow_data()
    {
        QTest::addColumn<QList<EntryState>>("rows");
        QTest::addColumn<QList<int>>("selected");
        QTest::addColumn<QList<EntryState>>("remaining");
        QTest::addColumn<int>("messages");
        QTest::addColumn<bool>("startEnabled");
        QTest::newRow("transfering among three")
            << QList{Waiting, Transfering, Failed, Finished} << QList<int>{0, 1, 2}
            << QList{Transfering, Finished} << 1 << false;
        QTest::newRow("waiting left over")
            << QList{Waiting, Finished, Waiting} << QList<int>{1} << QList{Waiting, Waiting} << 0 << true;
        QTest::newRow("everything") << QList{Waiting, Editing, Canceled} << QList<int>{0, 1, 2}
                                    << QList<EntryState>{} << 0 << false;
    }
    void removeKeepsTransferingRow()
    {
        QFETCH(QList<EntryState>, rows);
        QFETCH(QList<int>, selected);
        QFETCH(QList<EntryState>, remaining);
        QFETCH(int, messages);
        QFETCH(bool, startEnabled);
        auto window = startedWindow();
        for (int i = 0; i < rows.size(); ++i)
            queueEntry(*window, QStringLiteral("%1.mp4").arg(i), rows.at(i));
        window->setStartEnabled(true);
        selectRows(*window, selected);
        button(*window, "cmdRemove")->setEnabled(true);
        button(*window, "cmdRemove")->click();
        QCOMPARE(states(*window), remaining);
        QCOMPARE(messageTexts(), QStringList(messages, messageText("msgRemoveTransferingFile")));
        QCOMPARE(button(*window, "cmdStartUpload")->isEnabled(), startEnabled);
    }

    void clearAll_data()
    {
        QTest::addColumn<int>("transfering"); // -1: none
        QTest::addColumn<Messages::Answer>("answer");
        QTest::addColumn<int>("remaining");
        QTest::addColumn<QString>("question");
        QTest::newRow("third of five transfering") << 2 << Messages::Answer::Yes << 1 << "msgClearAll_1";
        QTest::newRow("last of five transfering") << 4 << Messages::Answer::Yes << 1 << "msgClearAll_1";
        QTest::newRow("none transfering") << -1 << Messages::Answer::Yes << 0 << "msgClearAll_2";
        QTest::newRow("answered no") << 2 << Messages::Answer::No << 5 << "msgClearAll_1";
    }
    void clearAll()
    {
        QFETCH(int, transfering);
        QFETCH(Messages::Answer, answer);
        QFETCH(int, remaining);
        QFETCH(QString, question);
        auto window = startedWindow();
        QString running;
        for (int row = 0; row < 5; ++row) {
            const QString path = queueEntry(*window, QStringLiteral("%1.mp4").arg(row),
                                            row == transfering ? Transfering : Waiting);
            if (row == transfering)
                running = path;
        }
        window->setStartEnabled(true);
        m_messages->script = {answer};
        button(*window, "cmdClearAll")->click();
        QCOMPARE(messageTexts(), QStringList{messageText(question)});
        QCOMPARE(window->queue().rowCount(), remaining);
        if (remaining == 1) {
            QCOMPARE(window->queue().entryAt(0).key, running);
            QCOMPARE(window->queue().entryAt(0).state, Transfering);
        }
        QCOMPARE(button(*window, "cmdStartUpload")->isEnabled(), answer == Messages::Answer::No);
    }

    void clearAllOnEmptyGridAsksNothing()
    {
        auto window = startedWindow();
        button(*window, "cmdClearAll")->click();
        QVERIFY(m_messages->messages.isEmpty());
    }

    void selectionFollowsState_data()
    {
        QTest::addColumn<EntryState>("state");
        QTest::addColumn<bool>("edit");
        QTest::addColumn<bool>("remove");
        QTest::newRow("waiting") << Waiting << true << true;
        QTest::newRow("transfering") << Transfering << false << false;
        QTest::newRow("finished") << Finished << false << true;
    }
    void selectionFollowsState()
    {
        QFETCH(EntryState, state);
        QFETCH(bool, edit);
        QFETCH(bool, remove);
        auto window = startedWindow();
        queueEntry(*window, "a.mp4", state);
        selectRows(*window, {0});
        QCOMPARE(button(*window, "cmdEdit")->isEnabled(), edit);
        QCOMPARE(button(*window, "cmdRemove")->isEnabled(), remove);
        // A run overrides the selection.
        window->vidFileEnabled(false);
        for (const char *name : {"cmdAdd", "cmdAddQvp", "cmdClearAll", "cmdExit", "cmdEdit", "cmdRemove"})
            QVERIFY2(!button(*window, name)->isEnabled(), name);
        window->vidFileEnabled(true);
        for (const char *name : {"cmdAdd", "cmdAddQvp", "cmdClearAll", "cmdExit"})
            QVERIFY2(button(*window, name)->isEnabled(), name);
        QCOMPARE(button(*window, "cmdEdit")->isEnabled(), false);
    }

    void stopAsksTheRunToEnd()
    {
        auto window = startedWindow();
        window->setStopEnabled(true);
        button(*window, "cmdStopUpload")->click();
        QCOMPARE(m_hooks->stopRuns, 1);
        QTRY_VERIFY(!button(*window, "cmdStopUpload")->isEnabled());
    }

    void closeSteps_data()
    {
        QTest::addColumn<bool>("keepQueue");
        QTest::addColumn<QList<EntryState>>("rowStates");
        QTest::addColumn<QStringList>("saved"); // file names in the queue file; empty: no file
        QTest::newRow("kept, finished dropped")
            << true << QList{Failed, Finished, Waiting} << QStringList{"0.mp4", "2.mp4"};
        QTest::newRow("kept, all finished") << true << QList{Finished, Finished} << QStringList{};
        QTest::newRow("not kept") << false << QList{Waiting, Failed} << QStringList{};
    }
    void closeSteps()
    {
        QFETCH(bool, keepQueue);
        QFETCH(QList<EntryState>, rowStates);
        QFETCH(QStringList, saved);
        writeQueueFile({"/old/entry.mp4"});
        WritePlainSetting("chkRemQueue", "0");
        auto window = startedWindow();
        for (int i = 0; i < rowStates.size(); ++i)
            queueEntry(*window, QStringLiteral("%1.mp4").arg(i), rowStates.at(i));
        window->findChild<QCheckBox *>("chkRemQueue")->setChecked(keepQueue);
        window->findChild<QCheckBox *>("chkHighSpeed")->setChecked(false);
        QFile bitmap(AppPaths::dataPath("tmpTest.bmp"));
        QVERIFY(bitmap.open(QIODevice::WriteOnly));
        bitmap.close();
        QSignalSpy closed(window.get(), &frmUpload::closed);
        // The open window keeps its queue in the journal, a change within a second.
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(journalFile()), 1000);

        QVERIFY(window->close());
        QCOMPARE(closed.count(), 1);
        QVERIFY(!QFileInfo::exists(journalFile()));
        // Work is kept for the entries that stay queued, and only for them.
        QCOMPARE(m_hooks->workKeys.last().size(), keepQueue ? rowStates.size() : 0);
        QVERIFY(!bitmap.exists());
        QStringList names;
        for (const QString &path : queuedPaths())
            names.append(QFileInfo(path).fileName());
        QCOMPARE(names, saved);
        QCOMPARE(QFileInfo::exists(queueFile()), !saved.isEmpty());
        QCOMPARE(ReadPlainSetting("chkRemQueue", {}), keepQueue ? "1" : "0");
        QCOMPARE(ReadPlainSetting("chkHighSpeed", {}), "0");
        QCOMPARE(m_hooks->stopRuns, 1);
        QCOMPARE(m_awake->releases, 1);
    }

    void closeRefusedWhileTransfering()
    {
        auto window = startedWindow();
        queueEntry(*window, "a.mp4", Transfering);
        QSignalSpy closed(window.get(), &frmUpload::closed);
        QVERIFY(!window->close());
        QVERIFY(window->isVisible());
        QCOMPARE(closed.count(), 0);
        QCOMPARE(messageTexts(), QStringList{messageText("msgStopBeforeExit")});
        QCOMPARE(m_hooks->stopRuns, 0);
        QCOMPARE(m_awake->releases, 0);
        QVERIFY(!QFile::exists(queueFile()));
    }

    // A signal to end the program stops the running entry, which goes back
    // to "Waiting" as the runner winds down, and then closes and saves.
    void shutdownStopsRunningEntryThenSaves()
    {
        auto window = startedWindow();
        const QString running = queueEntry(*window, "a.mp4", Transfering);
        queueEntry(*window, "b.mp4", Finished);
        m_hooks->onStopRun = [running](frmUpload *w) {
            QTimer::singleShot(50, w, [w, running] { w->queue().SetEntryState(running, Waiting); });
        };
        QSignalSpy closed(window.get(), &frmUpload::closed);
        window->shutdown();
        QTRY_COMPARE(closed.count(), 1);
        QCOMPARE(m_hooks->stopRuns, 1);
        QVERIFY(m_messages->messages.isEmpty());
        QCOMPARE(queuedPaths(), QStringList{running});
        QCOMPARE(m_awake->releases, 1);
    }

    void exitAndEscapeClose_data()
    {
        QTest::addColumn<bool>("escape");
        QTest::newRow("exit") << false;
        QTest::newRow("escape") << true;
    }
    void exitAndEscapeClose()
    {
        QFETCH(bool, escape);
        auto window = startedWindow();
        queueEntry(*window, "a.mp4");
        QSignalSpy closed(window.get(), &frmUpload::closed);
        if (escape) {
            window->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(window.get()));
            QTest::keyClick(window.get(), Qt::Key_Escape);
        } else
            button(*window, "cmdExit")->click();
        QTRY_COMPARE(closed.count(), 1);
        QVERIFY(!window->isVisible());
        // The stop runs once, by Exit or by the close itself.
        QCOMPARE(m_hooks->stopRuns, 1);
        QCOMPARE(queuedPaths().size(), 1);
    }

    // A running updater is looked for at three ticks; then the program ends.
    void runningUpdaterEndsProgram()
    {
        auto window = makeWindow();
        const QString updater = QDir(m_sources->path()).filePath("clipferry-updater");
        QVERIFY(QFile::copy("/bin/sleep", updater));
        QProcess process;
        process.start(updater, {"60"});
        QVERIFY(process.waitForStarted());
        QSignalSpy closed(window.get(), &frmUpload::closed);
        window->show();
        QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, 15000);
        process.kill();
        process.waitForFinished();
        QCOMPARE(window->initTicks(), quint16(3));
        QCOMPARE(messageTexts(), QStringList{"Please close qvUpdater first!"});
        QCOMPARE(m_messages->messages.first().title, "ClipFerry");
        QVERIFY(!window->findChild<QPushButton *>("cmdAdd")->isEnabled());
        QCOMPARE(m_hooks->updateChecks, 0);
    }

    void progressPanel()
    {
        ProgressPanelWidget panel;
        ProgressView &view = panel;
        view.setProgress(140);
        QCOMPARE(panel.findChild<QProgressBar *>("ProgressBar1")->value(), 100);
        view.setProgress(-3);
        QCOMPARE(panel.findChild<QProgressBar *>("ProgressBar1")->value(), 0);
        view.setOutputText("frame=1\nframe=2\n");
        auto *output = panel.findChild<QPlainTextEdit *>("txtOutput");
        QCOMPARE(output->textCursor().position(), output->document()->characterCount() - 2);
        view.appendOutputLine("note");
        QVERIFY(panel.outputText().endsWith("note"));
    }

    // A message shown while another is open waits for it, and a question
    // after them waits for both.
    void messageBoxesOneAtATime()
    {
        QWidget owner;
        owner.show();
        Messages::Channel channel;
        channel.setPresenter(std::make_unique<MessageBoxWidget>(&owner));
        channel.show("Please stop the upload first.");
        channel.show("Upload finished.");
        auto question = channel.ask("Go on?", {}, Messages::Buttons::YesNo);
        for (const char *text : {"Please stop the upload first.", "Upload finished.", "Go on?"}) {
            QMessageBox *box = nullptr;
            QTRY_VERIFY((box = owner.findChild<QMessageBox *>()) && box->isVisible());
            QCOMPARE(owner.findChildren<QMessageBox *>().size(), 1);
            QCOMPARE(box->text(), QString::fromLatin1(text));
            QVERIFY(box->windowModality() != Qt::NonModal && !question.isReady());
            // Esc on a question without Cancel answers No.
            if (box->text() == u"Go on?")
                QTest::keyClick(box, Qt::Key_Escape);
            else
                box->buttons().first()->click();
            QTRY_VERIFY(!owner.findChildren<QMessageBox *>().contains(box));
        }
        QTRY_VERIFY(question.isReady());
        QCOMPARE(QCoro::waitFor(question), Messages::Answer::No);
        QCOMPARE(channel.waiting(), 0);
    }
};

int runWindowTests(int argc, char *argv[])
{
    TestWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_app.moc"
