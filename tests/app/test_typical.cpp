// A typical video, done by hand against the reference server: Add, choose
// the file, log in, pick a folder, a resolution and a bandwidth, OK, Start.

#include "add/frmAdd.h"
#include "add/frmCustomBps.h"
#include "app/AppHooks.h"
#include "app/frmUpload.h"
#include "server/FolderPickerWidget.h"
#include "support/Rig.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPushButton>
#include <QRadioButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>

namespace {

class QuietKeepAwake final : public KeepAwake
{
public:
    void inhibit(const QString &) override {}
    void release() override {}
};

QPushButton *buttonIn(const QWidget *parent, const QString &name)
{
    return parent->findChild<QPushButton *>(name);
}

// The first folder below the server that takes uploads, as the tree shows it.
QModelIndex firstUploadFolder(const QAbstractItemModel *model, const QModelIndex &parent)
{
    for (int row = 0; row < model->rowCount(parent); ++row) {
        const QModelIndex index = model->index(row, 0, parent);
        if (index.flags() & Qt::ItemIsSelectable)
            return index;
        if (const QModelIndex below = firstUploadFolder(model, index); below.isValid())
            return below;
    }
    return {};
}

// Takes the addresses the window would open in a browser.
class UrlCatcher final : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public Q_SLOTS:
    void open(const QUrl &url) { urls.append(url); }
};

} // namespace

class TestTypicalVideo : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // A video added by hand and two more run with their progress shown per
    // entry; the third, failed, is retried afresh and finishes; a finished
    // one opens its page.
    void addByHandThenRun()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        DemoServer server(dir.filePath(u"server"_qs));
        QVERIFY(server.start());
        QVERIFY(!server.process.admin({u"setting"_qs, u"set"_qs, u"resolution"_qs, u"1920,1024,640"_qs})
                     .isNull());
        const QString keynote = dir.filePath(u"keynote.mp4"_qs);
        QCOMPARE(makeVideo(keynote, 2, {1280, 720}, 10), QString());

        Session session;
        auto messages = session.messages().record();
        frmUpload window({session,
                          {u"-s"_qs},
                          std::make_unique<QuietKeepAwake>(),
                          std::make_unique<AppHooks>(session),
                          2});
        window.show();
        QTRY_VERIFY(window.initTicks() >= 1);

        buttonIn(&window, u"cmdAdd"_qs)->click();
        frmAdd *add = nullptr;
        QTRY_VERIFY((add = window.findChild<frmAdd *>()) && add->isVisible());

        add->findChild<QLineEdit *>(u"txtServer"_qs)->setText(server.process.address());
        add->findChild<QLineEdit *>(u"txtAccount"_qs)->setText(u"demo"_qs);
        add->findChild<QLineEdit *>(u"txtPassword"_qs)->setText(u"demo"_qs);
        QTest::mouseClick(buttonIn(add, u"cmdLogIn"_qs), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(buttonIn(add, u"cmdBrowse"_qs)->isEnabled(), 60000);

        QTest::mouseClick(buttonIn(add, u"cmdBrowse"_qs), Qt::LeftButton);
        QFileDialog *files = nullptr;
        QTRY_VERIFY((files = add->findChild<QFileDialog *>()) && files->isVisible());
        files->selectFile(keynote);
        QMetaObject::invokeMethod(files, "accept");
        QTRY_VERIFY_WITH_TIMEOUT(buttonIn(add, u"cmdOK"_qs)->isEnabled(), 60000);

        auto *picker = add->findChild<FolderPickerWidget *>();
        picker->showPanel();
        QTreeView *tree = picker->view();
        tree->expandAll();
        const QModelIndex folder = firstUploadFolder(tree->model(), {});
        QVERIFY(folder.isValid());
        const QString folderName = folder.data().toString();
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualRect(folder).center());
        QVERIFY(picker->pathText().endsWith(folderName));

        // High resolution, and a fifth more bandwidth than it gets by default.
        QTest::mouseClick(add->findChild<QRadioButton *>(u"optHiRes"_qs), Qt::LeftButton);
        QTimer::singleShot(0, add, [add] {
            auto *bps = add->findChild<frmCustomBps *>();
            QVERIFY(bps);
            bps->findChildren<QRadioButton *>(u"optBps"_qs).at(1)->click();
            buttonIn(bps, u"cmdOK"_qs)->click();
        });
        QTest::mouseClick(buttonIn(add, u"lCustomBps"_qs), Qt::LeftButton);
        QTRY_VERIFY(!add->findChild<frmCustomBps *>());

        QTest::mouseClick(buttonIn(add, u"cmdOK"_qs), Qt::LeftButton);
        QTRY_VERIFY(!window.findChild<frmAdd *>());

        QueueModel &queue = window.queue();
        const CVideoItem *item = queue.item(keynote);
        QVERIFY(item && item->folderName.endsWith(folderName));
        QCOMPARE(item->customBps, 1560); // 120 % of 1204 + 96
        QCOMPARE(item->vBitRate, u"1464k"_qs);

        // Two more put straight into the queue; the third is gone while the queue runs.
        for (const QString &name : {u"second"_qs, u"third"_qs}) {
            const QString copy = dir.filePath(name + u".mp4"_qs);
            QVERIFY(QFile::copy(keynote, copy));
            CVideoItem next = *queue.item(keynote);
            next.path = copy;
            next.fileName = next.title = name;
            next.dateLastModified = LastModifiedText(copy);
            queue.Add(next);
        }
        const QString third = queue.entryAt(2).key;
        QVERIFY(QFile::rename(third, third + u".away"_qs));
        QHash<QString, QList<int>> percents;
        QList<qint64> queueLeft;
        connect(&queue, &QAbstractItemModel::dataChanged, this, [&](const QModelIndex &from) {
            percents[queue.entryAt(from.row()).key].append(queue.entryAt(from.row()).progress.percent);
            if (const qint64 left = queue.queueSecondsLeft(); queue.AnyEntryTransfering() && left >= 0)
                queueLeft.append(left);
        });

        // Each entry's progress rises to 100 % and the queue's time left falls.
        QPushButton *start = buttonIn(&window, u"cmdStartUpload"_qs);
        QVERIFY(start->isEnabled());
        start->click();
        QTRY_COMPARE_WITH_TIMEOUT(queue.entryAt(2).state, EntryState::Failed, 30000);
        // The third fails while it is prepared, which may be while the second uploads.
        QTRY_VERIFY_WITH_TIMEOUT(!queue.AnyEntryTransfering(), 30000);
        for (int row : {0, 1}) {
            QCOMPARE(queue.entryAt(row).state, EntryState::Finished);
            const QList<int> seen = percents.value(queue.entryAt(row).key);
            QVERIFY(std::any_of(seen.cbegin(), seen.cend(), [](int p) { return p > 0 && p < 100; }));
            QCOMPARE(seen.last(), 100);
        }
        QVERIFY(queueLeft.size() > 1 && queueLeft.first() > queueLeft.last());
        QVERIFY(server.contents().join(u'\n').contains(u"keynote"_qs));

        QVERIFY(QFile::rename(third + u".away"_qs, third));
        queue.SetEntryCell(third, QueueModel::ColCvtBeginTime, u"10:00:00"_qs);
        window.findChild<QTableView *>(u"gridQueue"_qs)->selectRow(2);
        QPushButton *retry = buttonIn(&window, u"cmdRetry"_qs);
        QTRY_VERIFY(retry->isEnabled() && buttonIn(&window, u"cmdRemove"_qs)->isEnabled());
        retry->click();
        QCOMPARE(queue.entryAt(2).state, EntryState::Waiting);
        QCOMPARE(queue.GetEntryCell(third, QueueModel::ColError), QString());
        QCOMPARE(queue.GetEntryCell(third, QueueModel::ColCvtBeginTime), QString());
        QVERIFY(start->isEnabled());
        start->click();
        QTRY_COMPARE_WITH_TIMEOUT(queue.entryAt(2).state, EntryState::Finished, 30000);

        UrlCatcher browser;
        QDesktopServices::setUrlHandler(u"http"_qs, &browser, "open");
        window.updateContextMenu();
        QAction *open = window.contextMenu()->findChild<QAction *>(u"mnuOpenServer"_qs);
        QVERIFY(open->isEnabled());
        open->trigger();
        QDesktopServices::unsetUrlHandler(u"http"_qs);
        QCOMPARE(browser.urls.size(), 1);
        QNetworkAccessManager network;
        QNetworkRequest request(browser.urls.first());
        request.setRawHeader("Authorization", "Basic " + QByteArray("demo:demo").toBase64());
        QNetworkReply *page = network.get(request);
        QTRY_VERIFY(page->isFinished());
        QCOMPARE(page->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
        QVERIFY(page->readAll().contains("<h2>third</h2>"));
        page->deleteLater();
        window.close();
    }
};

int runTypicalVideoTests(int argc, char *argv[])
{
    TestTypicalVideo test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_typical.moc"
