// The main window's own rules, with its dialogs, queue runner and update
// check replaced by hooks that record what they are handed.

#include "add/frmAdd.h"
#include "add/frmAddBatch.h"
#include "add/frmConfirm.h"
#include "add/frmCustomBps.h"
#include "app/MessageBoxWidget.h"
#include "app/ProgressPanelWidget.h"
#include "app/frmUpload.h"
#include "common/Settings.h"
#include "pipeline/Session.h"
#include "queue/QueueFile.h"
#include "queue/QueueJournal.h"
#include "queue/QueueModel.h"
#include "support/Rig.h"
#include "support/TestFiles.h"
#include "support/TestLanguage.h"
#include "update/CVerList.h"
#include "update/frmDownloader.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QDropEvent>
#include <QMessageBox>
#include <QMimeData>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

using enum EntryState;

// Rows' states as letters: Waiting, Transfering, Failed, Done, Editing, Canceled.
constexpr std::array kStates{Waiting, Transfering, Failed, Finished, Editing, Canceled};
constexpr QStringView kLetters = u"WTFDEC";

EntryState stateOf(QChar letter)
{
    return kStates.at(static_cast<std::size_t>(kLetters.indexOf(letter.toUpper())));
}

// Queues `path` in the state its letter gives.
void addEntry(QueueModel &queue, const QString &path, QChar state = u'W')
{
    CVideoItem item;
    item.path = path;
    item.fileName = QFileInfo(path).fileName();
    queue.Add(item);
    queue.SetEntryState(path, stateOf(state));
}

// The fakes log what the window hands over: "inhibit", "release",
// "add:<dropped file>", "edit:<the row's state cell>", "batch" (which adds
// `rowsToAdd` rows), "stop" and "updates".
struct FakeKeepAwake final : KeepAwake
{
    explicit FakeKeepAwake(QStringList &calls) : calls(calls) {}
    void inhibit(const QString &) override { calls << "inhibit"; }
    void release() override { calls << "release"; }
    QStringList &calls;
};

class FakeHooks final : public WindowHooks
{
public:
    explicit FakeHooks(QStringList &calls) : calls(calls) {}
    QCoro::Task<> showAddDialog(frmUpload *window, QString file) override
    {
        const QueueModel &q = window->queue();
        calls << (q.editMode ? "edit:" + q.GetEntryCell(q.editPath, QueueModel::ColState) : "add:" + file);
        co_return;
    }
    QCoro::Task<> showBatchDialog(frmUpload *window) override
    {
        calls << "batch";
        for (int i = 0; i < rowsToAdd; ++i)
            addEntry(window->queue(), QStringLiteral("/added/%1.mp4").arg(window->queue().rowCount()));
        co_return;
    }
    void StartNextEntry(frmUpload *) override {}
    void stopRun() override
    {
        calls << "stop";
        if (onStopRun)
            onStopRun();
    }
    void removeUnownedWork(const QStringList &keys) override { workKeys.append(keys); }
    void checkForUpdates(frmUpload *) override { calls << "updates"; }

    QStringList &calls;
    int rowsToAdd = 0;
    std::function<void()> onStopRun;
    QList<QStringList> workKeys;
};

} // namespace

// Writes a queue file of the given entries; the program tests share it.
void writeQueueFile(const QString &file, const QStringList &paths)
{
    const LanguageTable noTexts;
    QueueModel queue(noTexts);
    for (const QString &path : paths)
        addEntry(queue, path);
    QVERIFY(QueueFile::SaveQueue(file, queue));
}

class TestWindow : public QObject
{
    Q_OBJECT

    FakeHooks *m_hooks = nullptr; // owned by the test's window
    QStringList m_calls;
    std::shared_ptr<Messages::RecordingPresenter::Log> m_messages;
    std::unique_ptr<QTemporaryDir> m_sources;
    CVerList m_verList;
    pugi::xml_document m_verDoc;
    const LanguageTable m_language{languageFile()};
    const LanguageTable m_noTexts;
    const QString m_queueFile = QueueFile::defaultPath();
    // Each window's session; they go after the test's windows.
    std::vector<std::unique_ptr<Session>> m_sessions;

    QString text(const QString &key) const { return m_language.text(QStringLiteral("frmUpload"), key); }
    Session &newSession() { return *m_sessions.emplace_back(std::make_unique<Session>()); }
    // A window with its fakes, shown and past its first tick unless told not to.
    std::unique_ptr<frmUpload> startedWindow(QStringList arguments = {}, int processors = 4, bool show = true)
    {
        Session &session = newSession();
        m_messages = session.messages().record();
        m_calls.clear();
        auto awake = std::make_unique<FakeKeepAwake>(m_calls);
        auto hooks = std::make_unique<FakeHooks>(m_calls);
        m_hooks = hooks.get();
        auto window = std::make_unique<frmUpload>(
            frmUpload::Setup{session, std::move(arguments), std::move(awake), std::move(hooks), processors});
        if (show) {
            window->show();
            [&] { QTRY_VERIFY(window->initTicks() >= 1); }();
        }
        return window;
    }
    // Queues an entry a row, "0.mp4" and on, in the states the letters
    // give; a small letter's source is gone, the others' exist.
    QStringList queueRows(frmUpload &window, const QString &letters)
    {
        QStringList paths;
        for (const QChar letter : letters) {
            const QString path = QDir(m_sources->path()).filePath(QStringLiteral("%1.mp4").arg(paths.size()));
            if (letter.isUpper())
                writeFile(path, "source");
            addEntry(window.queue(), path, letter);
            paths.append(path);
        }
        return paths;
    }
    static auto *button(frmUpload &w, const QString &name) { return w.findChild<QPushButton *>(name); }
    // The command buttons that are on, without their "cmd", sorted.
    static QString enabledCommands(frmUpload &window)
    {
        QStringList names;
        for (const QPushButton *b : window.findChildren<QPushButton *>(QRegularExpression("^cmd")))
            if (b->isEnabled())
                names.append(b->objectName().mid(3));
        names.sort();
        return names.join(u' ');
    }
    static QTableView *grid(frmUpload &window) { return window.findChild<QTableView *>("gridQueue"); }
    static void selectRows(frmUpload &window, const QList<int> &rows)
    {
        QTableView *view = grid(window);
        view->clearSelection();
        for (int row : rows)
            view->selectionModel()->select(view->model()->index(row, 0),
                                           QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    static QString states(frmUpload &window)
    {
        QString letters;
        for (const QueueEntry &queued : window.queue().entries())
            letters += kLetters.at(std::ranges::find(kStates, queued.state) - kStates.begin());
        return letters;
    }
    QStringList queuedNames() const
    {
        QueueModel queue(m_noTexts);
        QueueFile::LoadQueue(m_queueFile, queue);
        QStringList names;
        for (const QueueEntry &queued : queue.entries())
            names.append(queued.item.fileName);
        return names;
    }

    struct Startup
    {
        const char *name;
        QString keepQueue, highSpeed, journal; // null: unset; a journal "left" or "damaged"
        int processors;
        QStringList arguments;
        QString after; // the rows' states
        bool highSpeedOn, updates;
    };
    struct Command
    {
        const char *name;
        QString rows, after; // a small letter: the source is gone
        QList<int> selected;
        const char *command, *message; // a button or "close"; the key of the one message, or none
        Messages::Answer answer;
        bool startEnabled;
    };

private Q_SLOTS:
    // Every control a person operates has the name a screen reader speaks
    // and is reached with Tab.
    void controlsNamedAndReachable()
    {
        Session &s = newSession();
        const std::unique_ptr<QWidget> windows[] = {
            startedWindow(),
            std::make_unique<frmAdd>(s),
            std::make_unique<frmAddBatch>(s),
            std::make_unique<frmCustomBps>(s.language(), 8, nullptr),
            std::make_unique<frmConfirm>(s.language()),
            std::make_unique<frmDownloader>(UpdateDownload::Setup{s, m_verList, m_verDoc, {}, 100, {}})};
        // The parts Qt builds inside a view, a combo or a spin box speak through it.
        const auto composite = [](QWidget *c) {
            return c->inherits("QAbstractItemView") || c->inherits("QComboBox") ||
                   c->inherits("QAbstractSpinBox");
        };
        QStringList faults;
        for (const std::unique_ptr<QWidget> &window : windows) {
            for (QWidget *w : window->findChildren<QWidget *>()) {
                bool part = false;
                for (QWidget *p = w->parentWidget(); p != window.get(); p = p->parentWidget())
                    part = part || composite(p);
                if (part || !(composite(w) || w->inherits("QAbstractButton") || w->inherits("QLineEdit") ||
                              w->inherits("QPlainTextEdit")))
                    continue;
                const QString name =
                    QLatin1String(window->metaObject()->className()) + u'.' + w->objectName();
                if (QAccessible::queryAccessibleInterface(w)->text(QAccessible::Name).trimmed().isEmpty())
                    faults << name + u'(' + QLatin1String(w->metaObject()->className()) + ") has no name";
                if (!(w->focusPolicy() & Qt::TabFocus))
                    faults << name + " is not reached with Tab";
            }
        }
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(", ")));
    }

    void init()
    {
        for (const QString &file :
             {m_queueFile, QueueJournal::pathFor(m_queueFile), AppPaths::settingsFile()})
            QFile::remove(file);
        m_sources = std::make_unique<QTemporaryDir>();
    }

    // The first tick reads the stored options, the queue (when kept, or a
    // killed window's journal even when not; a damaged one refused aloud),
    // the processor count (high speed needs three, its caption says so)
    // and the command line ("-s" anywhere skips the update check).
    void startup_data()
    {
        const Startup cases[] = {
            {"unset, four, no arguments", {}, {}, {}, 4, {}, "WWW", true, true},
            {"off, two, -s after another", "0", "1", {}, 2, {"-d", "-s"}, {}, false, false},
            {"not a number, off, --silent", "yes", "0", {}, 4, {"--silent"}, {}, false, false},
            {"on, capital S", "1", "1", {}, 4, {"-S"}, "WWW", true, true},
            {"journal, queue not kept", "0", {}, "left", 4, {}, "DWF", true, true},
            {"damaged journal", "1", {}, "damaged", 4, {}, "WWW", true, true},
        };
        QTest::addColumn<Startup>("c");
        for (const Startup &c : cases)
            QTest::newRow(c.name) << c;
    }
    void startup()
    {
        QFETCH(Startup, c);
        writeQueueFile(m_queueFile, {"/v/a.mp4", "/v/b.qvp", "/v/c.zdm"});
        if (!c.keepQueue.isNull())
            WritePlainSetting("chkRemQueue", c.keepQueue);
        if (!c.highSpeed.isNull())
            WritePlainSetting("chkHighSpeed", c.highSpeed);
        if (!c.journal.isNull()) {
            QueueModel killed(m_noTexts);
            QueueJournal written(killed, m_queueFile);
            for (const QChar letter : QStringView(u"DTF"))
                addEntry(killed, QStringLiteral("/v/%1.mp4").arg(letter), letter);
            QVERIFY(written.write());
        }
        if (c.journal == u"damaged")
            writeFile(QueueJournal::pathFor(m_queueFile), "<clipferryJournal><entry");
        auto window = startedWindow(c.arguments, c.processors);
        QCOMPARE(states(*window), c.after);
        QCOMPARE(button(*window, "cmdStartUpload")->isEnabled(), !c.after.isEmpty());
        QCOMPARE(messageTexts(*m_messages).join(u' ').contains("is damaged"), c.journal == u"damaged");
        QCOMPARE(window->findChild<QCheckBox *>("chkRemQueue")->isChecked(),
                 c.keepQueue.isNull() || c.keepQueue == u"1");
        QVERIFY(QFile::exists(m_queueFile));
        auto *box = window->findChild<QCheckBox *>("chkHighSpeed");
        QCOMPARE(box->isChecked(), c.highSpeedOn);
        QCOMPARE(window->runOptions().highSpeed, c.highSpeedOn);
        QCOMPARE(window->runOptions().cpuCount, c.processors);
        QCOMPARE(box->isEnabled(), c.processors > 2);
        QCOMPARE(box->text(), c.processors > 2 ? text("chkHighSpeed")
                                               : text("chkHighSpeed") + ' ' + text("msgBelowDualCore"));
        // The whole caption shows, however the window is sized.
        window->resize(window->minimumSize());
        QTRY_VERIFY(box->width() >= box->sizeHint().width());
        QCOMPARE(m_calls, (c.updates ? QStringList{"inhibit", "updates"} : QStringList{"inhibit"}));
    }

    // Add and batch add never open in edit mode; Edit shows its row as
    // "Editing", its entry keeping the state to give back. Rows added are
    // selected, Start goes on, and Edit follows the last row.
    void dialogs_data()
    {
        QTest::addColumn<QString>("rows");
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("added");
        QTest::addColumn<QString>("call");
        QTest::newRow("add, cancelled") << QString("D") << QString("cmdAdd") << 0 << QString("add:");
        QTest::newRow("batch, three rows") << QString("D") << QString("cmdAddQvp") << 3 << QString("batch");
        QTest::newRow("edit, failed") << QString("WF") << QString("cmdEdit") << 0 << QString("edit:Editing");
    }
    void dialogs()
    {
        QFETCH(QString, rows);
        QFETCH(QString, command);
        QFETCH(int, added);
        QFETCH(QString, call);
        auto window = startedWindow();
        const QString path = queueRows(*window, rows).last();
        selectRows(*window, {static_cast<int>(rows.size()) - 1});
        m_hooks->rowsToAdd = added;
        window->queue().editMode = true;
        button(*window, command)->click();
        QCOMPARE(m_calls, (QStringList{"inhibit", "updates", call}));
        if (command == u"cmdEdit") {
            QCOMPARE(window->queue().editPath, path);
            QCOMPARE(*window->queue().item(path)->state, stateOf(rows.back()));
        }
        const int count = window->queue().rowCount();
        QCOMPARE(count, rows.size() + added);
        QVERIFY(grid(*window)->selectionModel()->isRowSelected(count - 1, {}));
        QCOMPARE(button(*window, "cmdEdit")->isEnabled(), !states(*window).endsWith(u'D'));
        QCOMPARE(button(*window, "cmdStartUpload")->isEnabled(), added > 0);
        QVERIFY(m_messages->messages.isEmpty());
    }

    // A video file or project dropped onto the window opens Add with it;
    // anything else is not taken.
    void dropOpensAdd()
    {
        auto window = startedWindow();
        const QDir dir(m_sources->path());
        QVERIFY(dir.mkdir("week1"));
        QStringList taken;
        for (const QString &names :
             QStringList{"talk.MKV", "week1/project.qvp", "notes.txt", "a.mp4 b.mp4"}) {
            QMimeData data;
            for (const QString &name : names.split(u' ')) {
                writeFile(dir.filePath(name), {});
                data.setUrls(data.urls() << QUrl::fromLocalFile(dir.filePath(name)));
            }
            QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(window.get(), &enter);
            if (enter.isAccepted())
                taken << "add:" + QDir::toNativeSeparators(dir.filePath(names));
            QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(window.get(), &drop);
        }
        QCOMPARE(taken, (QStringList{"add:" + QDir::toNativeSeparators(dir.filePath("talk.MKV")),
                                     "add:" + QDir::toNativeSeparators(dir.filePath("week1/project.qvp"))}));
        QCOMPARE(m_calls, QStringList({"inhibit", "updates"}) + taken);
    }

    // A command on the queued rows: the rows left, the one message shown (a
    // Yes/No question where an answer is given), and Start (on before)
    // after it. None opens a dialog, stops a run or closes the window.
    void commands_data()
    {
        using enum Messages::Answer; // Ok: not a question
        const Command cases[] = {
            {"add while transfering", "WT", "WT", {0}, "cmdAdd", "msgCmdWhenTransfering", Ok, true},
            {"edit while transfering", "WT", "WT", {0}, "cmdEdit", "msgCmdWhenTransfering", Ok, true},
            {"exit while transfering", "WT", "WT", {}, "cmdExit", "msgStopBeforeExit", Ok, true},
            {"close while transfering", "WT", "WT", {}, "close", "msgStopBeforeExit", Ok, true},
            {"edit two rows", "WW", "WW", {0, 1}, "cmdEdit", "msgEditMultiRows", Ok, true},
            {"edit no row", "WW", "WW", {}, "cmdEdit", "msgSelectRow", Ok, true},
            {"edit a gone source, no", "Wc", "WF", {1}, "cmdEdit", "msgFileNotExist", No, true},
            {"edit a gone source, yes", "Wc", "W", {1}, "cmdEdit", "msgFileNotExist", Yes, true},
            {"remove, running", "WTFD", "TD", {0, 1, 2}, "cmdRemove", "msgRemoveTransferingFile", Ok, false},
            {"remove, waiting left", "WDW", "WW", {1}, "cmdRemove", nullptr, Ok, true},
            {"remove all", "WEC", "", {0, 1, 2}, "cmdRemove", nullptr, Ok, false},
            {"clear, transfering kept", "WWTWW", "T", {}, "cmdClearAll", "msgClearAll_1", Yes, false},
            {"clear, none transfering", "WF", "", {}, "cmdClearAll", "msgClearAll_2", Yes, false},
            {"clear, answered no", "WT", "WT", {}, "cmdClearAll", "msgClearAll_1", No, true},
            {"clear, empty grid", "", "", {}, "cmdClearAll", nullptr, Ok, true},
        };
        QTest::addColumn<Command>("c");
        for (const Command &c : cases)
            QTest::newRow(c.name) << c;
    }
    void commands()
    {
        QFETCH(Command, c);
        auto window = startedWindow();
        const QStringList paths = queueRows(*window, c.rows);
        window->setStartEnabled(true);
        selectRows(*window, c.selected);
        m_messages->script = {c.answer};
        if (qstrcmp(c.command, "close") == 0) {
            QVERIFY(!window->close());
        } else {
            button(*window, QLatin1String(c.command))->setEnabled(true);
            button(*window, QLatin1String(c.command))->click();
        }
        QTRY_COMPARE(states(*window), c.after);
        QCOMPARE(messageTexts(*m_messages),
                 c.message ? QStringList{text(QLatin1String(c.message))} : QStringList());
        QCOMPARE(m_messages->messages.value(0).buttons,
                 c.answer == Messages::Answer::Ok ? Messages::Buttons::Ok : Messages::Buttons::YesNo);
        QCOMPARE(button(*window, "cmdStartUpload")->isEnabled(), c.startEnabled);
        for (const QString &path : paths)
            if (!QFile::exists(path) && window->queue().itemExist(path))
                QCOMPARE(window->queue().GetEntryCell(path, QueueModel::ColError), "File not found");
        QCOMPARE(m_calls, (QStringList{"inhibit", "updates"}));
        QVERIFY(window->isVisible());
        QVERIFY(!QFile::exists(m_queueFile));
    }

    // The commands on follow the selected row's state; a run turns them
    // off, its end leaves Edit and Remove to the next selection, and Stop
    // asks the run to end and turns itself off.
    void commandsFollowSelection()
    {
        auto window = startedWindow();
        queueRows(*window, "TFDW");
        QStringList enabled;
        for (int row : {0, 1, 2, 3}) {
            selectRows(*window, {row});
            enabled << enabledCommands(*window);
        }
        QCOMPARE(enabled, (QStringList{"Add AddQvp ClearAll Exit Output",
                                       "Add AddQvp ClearAll Edit Exit Output Remove Retry",
                                       "Add AddQvp ClearAll Exit Output Remove",
                                       "Add AddQvp ClearAll Edit Exit Output Remove"}));
        window->vidFileEnabled(false);
        QCOMPARE(enabledCommands(*window), "Output");
        window->vidFileEnabled(true);
        window->setStopEnabled(true);
        QCOMPARE(enabledCommands(*window), "Add AddQvp ClearAll Exit Output StopUpload");
        button(*window, "cmdStopUpload")->click();
        QCOMPARE(m_calls.last(), "stop");
        QTRY_COMPARE(enabledCommands(*window), "Add AddQvp ClearAll Edit Exit Output Remove");
    }

    // Exit, Escape, close and a signal run the same steps, stopping the run
    // once (a signal waits for the running entry to go back to "Waiting"):
    // the queue saved without finished entries or not at all, the journal
    // and the test bitmap gone, the options stored.
    void closeSteps_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("keepQueue");
        QTest::addColumn<QString>("rows");
        QTest::addColumn<QStringList>("saved"); // file names in the queue file; empty: no file
        QTest::newRow("Exit, finished dropped") << "exit" << true << "FDW" << QStringList{"0.mp4", "2.mp4"};
        QTest::newRow("Escape, kept, all finished") << "escape" << true << "DD" << QStringList{};
        QTest::newRow("close, not kept") << "close" << false << "WF" << QStringList{};
        QTest::newRow("signal, running entry kept") << "signal" << true << "TD" << QStringList{"0.mp4"};
    }
    void closeSteps()
    {
        QFETCH(QString, how);
        QFETCH(bool, keepQueue);
        QFETCH(QString, rows);
        QFETCH(QStringList, saved);
        writeQueueFile(m_queueFile, {"/old/entry.mp4"});
        WritePlainSetting("chkRemQueue", "0");
        auto window = startedWindow();
        const QString running = queueRows(*window, rows).value(rows.indexOf(u'T'));
        m_hooks->onStopRun = [w = window.get(), running] {
            QTimer::singleShot(50, w, [w, running] { w->queue().SetEntryState(running, Waiting); });
        };
        window->findChild<QCheckBox *>("chkRemQueue")->setChecked(keepQueue);
        window->findChild<QCheckBox *>("chkHighSpeed")->setChecked(false);
        const QString bitmap = AppPaths::dataPath("tmpTest.bmp");
        writeFile(bitmap, {});
        QSignalSpy closed(window.get(), &frmUpload::closed);
        // The open window keeps its queue in the journal, a change within a second.
        const QString journal = QueueJournal::pathFor(m_queueFile);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(journal), 1000);

        if (how == u"escape") {
            window->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(window.get()));
            QTest::keyClick(window.get(), Qt::Key_Escape);
        } else if (how == u"exit") {
            button(*window, "cmdExit")->click();
        } else if (how == u"signal") {
            window->shutdown();
        } else {
            QVERIFY(window->close());
        }
        QTRY_COMPARE(closed.count(), 1);
        QVERIFY(!window->isVisible());
        QVERIFY(!QFileInfo::exists(journal));
        // Work is kept for the entries that stay queued, and only for them.
        QCOMPARE(m_hooks->workKeys.last().size(), keepQueue ? rows.size() : 0);
        QVERIFY(!QFile::exists(bitmap));
        QCOMPARE(queuedNames(), saved);
        QCOMPARE(QFileInfo::exists(m_queueFile), !saved.isEmpty());
        QCOMPARE(ReadPlainSetting("chkRemQueue", {}), keepQueue ? "1" : "0");
        QCOMPARE(ReadPlainSetting("chkHighSpeed", {}), "0");
        QCOMPARE(m_calls, (QStringList{"inhibit", "updates", "stop", "release"}));
        QVERIFY(m_messages->messages.isEmpty());
    }

    // Add waits for the first tick; a running updater is looked for at
    // three ticks, then the program ends.
    void runningUpdaterEndsProgram()
    {
        auto window = startedWindow({}, 4, false);
        QCOMPARE(enabledCommands(*window), "AddQvp ClearAll Exit Output");
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
        QCOMPARE(messageTexts(*m_messages), QStringList{"Please close qvUpdater first!"});
        QCOMPARE(m_messages->messages.first().title, "ClipFerry");
        QCOMPARE(enabledCommands(*window), "AddQvp ClearAll Exit Output");
        QCOMPARE(m_calls, (QStringList{"inhibit", "stop", "release"}));
    }

    // The bar shows a percentage out of range at its nearest end.
    void progressPanelClampsPercent()
    {
        ProgressPanelWidget panel;
        panel.setProgress(140);
        QCOMPARE(panel.findChild<QProgressBar *>("ProgressBar1")->value(), 100);
        panel.setProgress(-3);
        QCOMPARE(panel.findChild<QProgressBar *>("ProgressBar1")->value(), 0);
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
            // Esc closes a message, and answers No to a question without Cancel.
            QTest::keyClick(box, Qt::Key_Escape);
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
