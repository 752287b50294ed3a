// A typical video, done by hand against the reference server: Add, choose
// the file, log in, pick a folder, a resolution and a bandwidth, OK, Start.

#include "add/frmAdd.h"
#include "add/frmCustomBps.h"
#include "app/AppHooks.h"
#include "app/frmUpload.h"
#include "pipeline/SampleMedia.h"
#include "pipeline/Session.h"
#include "platform/Messages.h"
#include "queue/QueueModel.h"
#include "server/FolderPickerWidget.h"
#include "server/FolderTreeModel.h"
#include "support/ServerProcess.h"
#include "support/TestFiles.h"
#include "support/TestProcesses.h"

#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
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

} // namespace

class TestTypicalVideo : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void addByHandThenUpload()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        ServerProcess server(dir.filePath(u"server"_qs));
        QVERIFY(server.start({u"--demo"_qs}));
        QVERIFY(!server.admin({u"setting"_qs, u"set"_qs, u"resolution"_qs, u"1920,1024,640"_qs}).isNull());
        SampleVideo sample;
        sample.output = dir.filePath(u"keynote.mp4"_qs);
        sample.width = 1280;
        sample.height = 720;
        sample.durationSeconds = 2;
        sample.frameRate = 10;
        QCOMPARE(QCoro::waitFor(sample.make(testProcesses())), QString());

        Session session;
        auto messages = session.messages().record();
        frmUpload window({session,
                          {u"-s"_qs},
                          std::make_unique<QuietKeepAwake>(),
                          std::make_unique<AppHooks>(session),
                          2});
        window.show();
        QTRY_VERIFY(window.initTicks() >= 1);

        // Add.
        buttonIn(&window, u"cmdAdd"_qs)->click();
        frmAdd *add = nullptr;
        QTRY_VERIFY((add = window.findChild<frmAdd *>()) && add->isVisible());

        // Log in.
        add->findChild<QLineEdit *>(u"txtServer"_qs)->setText(server.address());
        add->findChild<QLineEdit *>(u"txtAccount"_qs)->setText(u"demo"_qs);
        add->findChild<QLineEdit *>(u"txtPassword"_qs)->setText(u"demo"_qs);
        QTest::mouseClick(buttonIn(add, u"cmdLogIn"_qs), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(buttonIn(add, u"cmdBrowse"_qs)->isEnabled(), 60000);

        // Choose the file in the file dialog.
        QTest::mouseClick(buttonIn(add, u"cmdBrowse"_qs), Qt::LeftButton);
        QFileDialog *files = nullptr;
        QTRY_VERIFY((files = add->findChild<QFileDialog *>()) && files->isVisible());
        files->selectFile(sample.output);
        QMetaObject::invokeMethod(files, "accept");
        QTRY_VERIFY_WITH_TIMEOUT(buttonIn(add, u"cmdOK"_qs)->isEnabled(), 60000);

        // Pick a folder from the drop-down tree.
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

        // The entry waits with what was chosen.
        QueueModel &queue = window.queue();
        QCOMPARE(queue.rowCount(), 1);
        QCOMPARE(queue.entryAt(0).state, EntryState::Waiting);
        const CVideoItem *item = queue.item(sample.output);
        QVERIFY(item);
        QCOMPARE(item->title, u"keynote"_qs);
        QCOMPARE(item->Url, server.address());
        QCOMPARE(item->account, u"demo"_qs);
        QVERIFY(item->folderName.endsWith(folderName));
        QCOMPARE(item->dstCvtType, 0);
        QCOMPARE(item->dstResType, 1);
        QCOMPARE(item->videoWidth, 1024);
        QCOMPARE(item->videoHeight, 576);
        QCOMPARE(item->customBps, 1560); // 120 % of 1204 + 96
        QCOMPARE(item->vBitRate, u"1464k"_qs);
        QCOMPARE(item->aBitRate, u"96k"_qs);
        QCOMPARE(item->dstPostfix, u"hd"_qs);
        QCOMPARE(item->secDuration, 2);

        // Start uploads it.
        QPushButton *start = buttonIn(&window, u"cmdStartUpload"_qs);
        QVERIFY(start->isEnabled());
        start->click();
        QTRY_COMPARE_WITH_TIMEOUT(queue.entryAt(0).state, EntryState::Finished, 300000);
        QVERIFY(server.admin({u"content"_qs, u"list"_qs}).contains("keynote"));
        window.close();
    }
};

int runTypicalVideoTests(int argc, char *argv[])
{
    TestTypicalVideo test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_typical.moc"
