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
#include <QSignalSpy>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using WindowMaker = std::function<std::unique_ptr<QWidget>(Session &)>;
Q_DECLARE_METATYPE(WindowMaker)
Q_DECLARE_METATYPE(Messages::Answer)

namespace {

using enum EntryState;

// Rows' states written as letters: Waiting, Transfering, Failed, Done,
// Editing, Canceled.
constexpr std::array kStates{Waiting, Transfering, Failed, Finished, Editing, Canceled};
constexpr QStringView kLetters = u"WTFDEC";

EntryState stateOf(QChar letter)
{
    return kStates.at(static_cast<std::size_t>(kLetters.indexOf(letter.toUpper())));
}

CVideoItem entry(const QString &path)
{
    CVideoItem item;
    item.path = path;
    item.fileName = QFileInfo(path).fileName();
    return item;
}

class FakeKeepAwake final : public KeepAwake
{
public:
    void inhibit(const QString &) override { ++inhibits; }
    void release() override { ++releases; }
    int inhibits = 0;
    int releases = 0;
};

// Records what the window hands over. The add and batch dialogs add
// `rowsToAdd` rows and leave.
class FakeHooks final : public WindowHooks
{
public:
    QCoro::Task<> showAddDialog(frmUpload *window, QString source) override
    {
        ++addDialogs;
        droppedSource = source;
        const QueueModel &queue = window->queue();
        editModeInDialog = queue.editMode;
        stateInDialog = queue.GetEntryCell(queue.editPath, QueueModel::ColState);
        addRows(window->queue());
        co_return;
    }
    QCoro::Task<> showBatchDialog(frmUpload *window) override
    {
        ++batchDialogs;
        addRows(window->queue());
        co_return;
    }
    void StartNextEntry(frmUpload *) override {}
    void stopRun() override
    {
        ++stopRuns;
        if (onStopRun)
            onStopRun();
    }
    void removeUnownedWork(const QStringList &keys) override { workKeys.append(keys); }
    void checkForUpdates(frmUpload *) override { ++updateChecks; }

    int addDialogs = 0;
    int batchDialogs = 0;
    int stopRuns = 0;
    int updateChecks = 0;
    int rowsToAdd = 0;
    QString droppedSource;
    bool editModeInDialog = false;
    QString stateInDialog;
    std::function<void()> onStopRun;
    QList<QStringList> workKeys;

private:
    void addRows(QueueModel &queue)
    {
        for (int i = 0; i < rowsToAdd; ++i)
            queue.Add(entry(QStringLiteral("/added/%1.mp4").arg(queue.rowCount())));
    }
};

QString queueFile()
{
    return QueueFile::defaultPath();
}

// The file names of the entries in the queue file.
QStringList queuedNames()
{
    const LanguageTable noTexts;
    QueueModel queue(noTexts);
    QueueFile::LoadQueue(queueFile(), queue);
    QStringList names;
    for (const QueueEntry &queued : queue.entries())
        names.append(queued.item.fileName);
    return names;
}

} // namespace

// Writes a queue file of the given entries; the program tests share it.
void writeQueueFile(const QString &file, const QStringList &paths)
{
    const LanguageTable noTexts;
    QueueModel queue(noTexts);
    for (const QString &path : paths)
        queue.Add(entry(path));
    QVERIFY(QueueFile::SaveQueue(file, queue));
}

class TestWindow : public QObject
{
    Q_OBJECT

    // The fakes of the test's window, which owns them.
    FakeKeepAwake *m_awake = nullptr;
    FakeHooks *m_hooks = nullptr;
    std::shared_ptr<Messages::RecordingPresenter::Log> m_messages;
    std::unique_ptr<QTemporaryDir> m_sources;
    CVerList m_verList;
    pugi::xml_document m_verDoc;
    const LanguageTable m_language{languageFile()};
    // Each window's session; they go after the test's windows.
    std::vector<std::unique_ptr<Session>> m_sessions;

    QString text(const QString &key, const QString &defaultText = {}) const
    {
        return m_language.text(QStringLiteral("frmUpload"), key, defaultText);
    }
    Session &newSession() { return *m_sessions.emplace_back(std::make_unique<Session>()); }
    std::unique_ptr<frmUpload> makeWindow(QStringList arguments = {}, int processors = 4)
    {
        Session &session = newSession();
        m_messages = session.messages().record();
        auto awake = std::make_unique<FakeKeepAwake>();
        auto hooks = std::make_unique<FakeHooks>();
        m_awake = awake.get();
        m_hooks = hooks.get();
        return std::make_unique<frmUpload>(
            frmUpload::Setup{session, std::move(arguments), std::move(awake), std::move(hooks), processors});
    }
    std::unique_ptr<frmUpload> startedWindow(QStringList arguments = {}, int processors = 4)
    {
        auto window = makeWindow(std::move(arguments), processors);
        window->show();
        [&] { QTRY_VERIFY(window->initTicks() >= 1); }();
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
            window.queue().Add(entry(path));
            window.queue().SetEntryState(path, stateOf(letter));
            paths.append(path);
        }
        return paths;
    }
    static QPushButton *button(frmUpload &window, const char *name)
    {
        return window.findChild<QPushButton *>(QString::fromLatin1(name));
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
            letters +=
                kLetters.at(std::find(kStates.cbegin(), kStates.cend(), queued.state) - kStates.cbegin());
        return letters;
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
        // The parts Qt builds inside a view, a combo or a spin box speak through it.
        const auto composite = [](QWidget *c) {
            return c->inherits("QAbstractItemView") || c->inherits("QComboBox") ||
                   c->inherits("QAbstractSpinBox");
        };
        QStringList faults;
        for (QWidget *w : window->findChildren<QWidget *>()) {
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
        QFile::remove(QueueJournal::pathFor(queueFile()));
        QFile::remove(AppPaths::settingsFile());
        m_sources = std::make_unique<QTemporaryDir>();
    }

    // The first tick reads the stored options, the queue, the processor
    // count and the command line. The queue file is read when the queue is
    // kept; a journal left by a killed window is read even when it is not,
    // since that choice was never applied, and a damaged one is refused
    // aloud. High speed needs three processors, and its caption says so.
    // The update check runs unless "-s" is anywhere in the command line.
    void startup_data()
    {
        QTest::addColumn<QString>("keepQueue"); // null: unset
        QTest::addColumn<QString>("journal");   // "left", "damaged" or none
        QTest::addColumn<QString>("after");
        QTest::addColumn<QString>("highSpeed");
        QTest::addColumn<int>("processors");
        QTest::addColumn<bool>("highSpeedOn");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("updateChecks");
        const QString unset;
        const QStringList none;
        QTest::newRow("unset, four, no arguments")
            << unset << unset << "WWW" << unset << 4 << true << none << 1;
        QTest::newRow("off, two, -s after another")
            << "0" << unset << unset << "1" << 2 << false << QStringList{"-d", "-s"} << 0;
        QTest::newRow("not a number, off, --silent")
            << "yes" << unset << unset << "0" << 4 << false << QStringList{"--silent"} << 0;
        QTest::newRow("on, capital S") << "1" << unset << "WWW"
                                       << "1" << 4 << true << QStringList{"-S"} << 1;
        QTest::newRow("journal, queue not kept")
            << "0" << QString("left") << "DWF" << unset << 4 << true << none << 1;
        QTest::newRow("damaged journal")
            << "1" << QString("damaged") << "WWW" << unset << 4 << true << none << 1;
    }
    void startup()
    {
        QFETCH(QString, keepQueue);
        QFETCH(QString, journal);
        QFETCH(QString, after);
        QFETCH(QString, highSpeed);
        QFETCH(int, processors);
        QFETCH(bool, highSpeedOn);
        QFETCH(QStringList, arguments);
        QFETCH(int, updateChecks);
        writeQueueFile(queueFile(), {"/v/a.mp4", "/v/b.qvp", "/v/c.zdm"});
        if (!keepQueue.isNull())
            WritePlainSetting("chkRemQueue", keepQueue);
        if (!highSpeed.isNull())
            WritePlainSetting("chkHighSpeed", highSpeed);
        if (!journal.isEmpty()) {
            const LanguageTable noTexts;
            QueueModel killed(noTexts);
            QueueJournal written(killed, queueFile());
            for (const QChar letter : QStringView(u"DTF")) {
                killed.Add(entry(QStringLiteral("/v/%1.mp4").arg(letter)));
                killed.SetEntryState(QStringLiteral("/v/%1.mp4").arg(letter), stateOf(letter));
            }
            QVERIFY(written.write());
        }
        if (journal == u"damaged")
            writeFile(QueueJournal::pathFor(queueFile()), "<clipferryJournal><entry");
        auto window = startedWindow(arguments, processors);
        QCOMPARE(states(*window), after);
        QCOMPARE(button(*window, "cmdStartUpload")->isEnabled(), !after.isEmpty());
        QCOMPARE(messageTexts().join(u' ').contains("is damaged"), journal == u"damaged");
        QCOMPARE(window->findChild<QCheckBox *>("chkRemQueue")->isChecked(),
                 keepQueue.isNull() || keepQueue == u"1");
        QVERIFY(QFile::exists(queueFile()));
        auto *box = window->findChild<QCheckBox *>("chkHighSpeed");
        QCOMPARE(box->isChecked(), highSpeedOn);
        QCOMPARE(window->runOptions().highSpeed, highSpeedOn);
        QCOMPARE(window->runOptions().cpuCount, processors);
        QCOMPARE(box->isEnabled(), processors > 2);
        QVERIFY(box->text().startsWith(text("chkHighSpeed")));
        QCOMPARE(box->text().endsWith(' ' + text("msgBelowDualCore")), processors <= 2);
        // The whole caption shows, however the window is sized.
        window->resize(window->minimumSize());
        QTRY_VERIFY(box->width() >= box->sizeHint().width());
        QCOMPARE(m_hooks->updateChecks, updateChecks);
    }

    // Add and batch add never open in edit mode; Edit opens the dialog on
    // the selected row, "Editing" while it is open, its entry keeping the
    // state the row had for the dialog to give back. Rows added are
    // selected, Start goes on, and Edit follows the last row.
    void dialogs_data()
    {
        QTest::addColumn<QString>("rows");
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("added");
        QTest::newRow("add, cancelled") << "D"
                                        << "cmdAdd" << 0;
        QTest::newRow("batch, three rows") << "D"
                                           << "cmdAddQvp" << 3;
        QTest::newRow("edit a failed row") << "WF"
                                           << "cmdEdit" << 0;
    }
    void dialogs()
    {
        QFETCH(QString, rows);
        QFETCH(QString, command);
        QFETCH(int, added);
        const bool edit = command == u"cmdEdit";
        auto window = startedWindow();
        const QString path = queueRows(*window, rows).last();
        selectRows(*window, {static_cast<int>(rows.size()) - 1});
        m_hooks->rowsToAdd = added;
        window->queue().editMode = true;
        QVERIFY(button(*window, qPrintable(command))->isEnabled());
        button(*window, qPrintable(command))->click();
        QCOMPARE(command == u"cmdAddQvp" ? m_hooks->batchDialogs : m_hooks->addDialogs, 1);
        QCOMPARE(m_hooks->editModeInDialog, edit);
        if (edit) {
            QCOMPARE(m_hooks->stateInDialog, "Editing");
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
    void dropOpensAdd_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<bool>("opens");
        QTest::newRow("video") << QStringList{"talk.MKV"} << true;
        QTest::newRow("project") << QStringList{"week1/project.qvp"} << true;
        QTest::newRow("other file") << QStringList{"notes.txt"} << false;
        QTest::newRow("two videos") << QStringList{"a.mp4", "b.mp4"} << false;
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
            writeFile(path, {});
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

    // A command on the queued rows: the rows left, the one message shown (a
    // Yes/No question where an answer is given), and Start (on before)
    // after it. None opens a dialog, stops a run or closes the window.
    void commands_data()
    {
        QTest::addColumn<QString>("rows"); // a small letter: the source is gone
        QTest::addColumn<QList<int>>("selected");
        QTest::addColumn<QString>("command"); // a button, or "close"
        QTest::addColumn<Messages::Answer>("answer");
        QTest::addColumn<QString>("after");
        QTest::addColumn<QString>("message"); // empty: none
        QTest::addColumn<bool>("startEnabled");
        const auto ok = Messages::Answer::Ok; // not a question
        const auto yes = Messages::Answer::Yes;
        const auto no = Messages::Answer::No;
        const QList<int> none;
        const QString busy = text("msgCmdWhenTransfering");
        const QString stopFirst = text("msgStopBeforeExit");
        const QString multi = text("msgEditMultiRows", "Cannot edit more than one videos!");
        const QString selectRow = text("msgSelectRow", "Please select a row.");
        const QString nothing;
        const QString gone = text("msgFileNotExist");
        const QString clear1 = text("msgClearAll_1");
        QTest::newRow("add while transfering") << "WT" << QList{0} << "cmdAdd" << ok << "WT" << busy << true;
        QTest::newRow("edit while transfering")
            << "WT" << QList{0} << "cmdEdit" << ok << "WT" << busy << true;
        QTest::newRow("exit while transfering")
            << "WT" << none << "cmdExit" << ok << "WT" << stopFirst << true;
        QTest::newRow("close while transfering")
            << "WT" << none << "close" << ok << "WT" << stopFirst << true;
        QTest::newRow("edit two rows") << "WW" << QList{0, 1} << "cmdEdit" << ok << "WW" << multi << true;
        QTest::newRow("edit no row") << "WW" << none << "cmdEdit" << ok << "WW" << selectRow << true;
        QTest::newRow("edit a gone source, no")
            << "Wc" << QList{1} << "cmdEdit" << no << "WF" << gone << true;
        QTest::newRow("edit a gone source, yes")
            << "Wc" << QList{1} << "cmdEdit" << yes << "W" << gone << true;
        QTest::newRow("remove, transfering kept") << "WTFD" << QList{0, 1, 2} << "cmdRemove" << ok << "TD"
                                                  << text("msgRemoveTransferingFile") << false;
        QTest::newRow("remove, waiting left")
            << "WDW" << QList{1} << "cmdRemove" << ok << "WW" << nothing << true;
        QTest::newRow("remove all") << "WEC" << QList{0, 1, 2} << "cmdRemove" << ok << nothing << nothing
                                    << false;
        QTest::newRow("clear, transfering kept")
            << "WWTWW" << none << "cmdClearAll" << yes << "T" << clear1 << false;
        QTest::newRow("clear, none transfering")
            << "WF" << none << "cmdClearAll" << yes << nothing << text("msgClearAll_2") << false;
        QTest::newRow("clear, answered no") << "WT" << none << "cmdClearAll" << no << "WT" << clear1 << true;
        QTest::newRow("clear, empty grid")
            << nothing << none << "cmdClearAll" << ok << nothing << nothing << true;
    }
    void commands()
    {
        QFETCH(QString, rows);
        QFETCH(QList<int>, selected);
        QFETCH(QString, command);
        QFETCH(Messages::Answer, answer);
        QFETCH(QString, after);
        QFETCH(QString, message);
        QFETCH(bool, startEnabled);
        auto window = startedWindow();
        const QStringList paths = queueRows(*window, rows);
        window->setStartEnabled(true);
        selectRows(*window, selected);
        m_messages->script = {answer};
        QSignalSpy closed(window.get(), &frmUpload::closed);
        if (command == u"close") {
            QVERIFY(!window->close());
        } else {
            button(*window, qPrintable(command))->setEnabled(true);
            button(*window, qPrintable(command))->click();
        }
        QTRY_COMPARE(states(*window), after);
        QCOMPARE(messageTexts(), message.isEmpty() ? QStringList() : QStringList{message});
        for (const Messages::Message &shown : m_messages->messages)
            QCOMPARE(shown.buttons,
                     answer == Messages::Answer::Ok ? Messages::Buttons::Ok : Messages::Buttons::YesNo);
        QCOMPARE(button(*window, "cmdStartUpload")->isEnabled(), startEnabled);
        for (const QString &path : paths)
            if (!QFile::exists(path) && window->queue().itemExist(path))
                QCOMPARE(window->queue().GetEntryCell(path, QueueModel::ColError), "File not found");
        QCOMPARE(m_hooks->addDialogs + m_hooks->batchDialogs + m_hooks->stopRuns + m_awake->releases, 0);
        QVERIFY(window->isVisible());
        QCOMPARE(closed.count(), 0);
        QVERIFY(!QFile::exists(queueFile()));
    }

    void selectionFollowsState_data()
    {
        QTest::addColumn<QString>("state");
        QTest::addColumn<bool>("edit");
        QTest::addColumn<bool>("remove");
        QTest::newRow("waiting") << "W" << true << true;
        QTest::newRow("transfering") << "T" << false << false;
        QTest::newRow("finished") << "D" << false << true;
    }
    void selectionFollowsState()
    {
        QFETCH(QString, state);
        QFETCH(bool, edit);
        QFETCH(bool, remove);
        auto window = startedWindow();
        queueRows(*window, state);
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
        QVERIFY(!button(*window, "cmdEdit")->isEnabled());
    }

    void stopAsksTheRunToEnd()
    {
        auto window = startedWindow();
        window->setStopEnabled(true);
        button(*window, "cmdStopUpload")->click();
        QCOMPARE(m_hooks->stopRuns, 1);
        QTRY_VERIFY(!button(*window, "cmdStopUpload")->isEnabled());
    }

    // Exit, Escape, the window's own close and a signal to end the program
    // run the same steps, stopping the run once: the queue saved without its
    // finished entries (or not at all), the journal and the test bitmap
    // gone, the options stored. The signal first waits for the running
    // entry, which goes back to "Waiting" as the runner winds down.
    void closeSteps_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("keepQueue");
        QTest::addColumn<QString>("rows");
        QTest::addColumn<QStringList>("saved"); // file names in the queue file; empty: no file
        QTest::newRow("Exit, kept, finished dropped")
            << "exit" << true << "FDW" << QStringList{"0.mp4", "2.mp4"};
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
        writeQueueFile(queueFile(), {"/old/entry.mp4"});
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
        const QString journal = QueueJournal::pathFor(queueFile());
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
        QCOMPARE(QFileInfo::exists(queueFile()), !saved.isEmpty());
        QCOMPARE(ReadPlainSetting("chkRemQueue", {}), keepQueue ? "1" : "0");
        QCOMPARE(ReadPlainSetting("chkHighSpeed", {}), "0");
        QCOMPARE(m_hooks->stopRuns, 1);
        QCOMPARE(m_awake->inhibits, 1);
        QCOMPARE(m_awake->releases, 1);
        QVERIFY(m_messages->messages.isEmpty());
    }

    // Only the queue-building commands are on at load, Add after the first
    // tick; a running updater is looked for at three ticks, then the
    // program ends.
    void runningUpdaterEndsProgram()
    {
        auto window = makeWindow();
        for (const char *name : {"cmdEdit", "cmdRemove", "cmdStartUpload", "cmdStopUpload", "cmdAdd"})
            QVERIFY2(!button(*window, name)->isEnabled(), name);
        QVERIFY(button(*window, "cmdAddQvp")->isEnabled());
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
        QVERIFY(!button(*window, "cmdAdd")->isEnabled());
        QCOMPARE(m_hooks->updateChecks, 0);
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
