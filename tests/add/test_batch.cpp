#include "AddTests.h"
#include "add/frmAddBatch.h"
#include "add/frmConfirm.h"
#include "pipeline/Session.h"
#include "server/FolderPickerWidget.h"
#include "support/Rig.h"

#include <QFontMetrics>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

class TestBatchDialog : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<ServerProcess> m_server;
    QString m_otherFolder;
    QString m_tree;
    QStringList m_videos; // in the grid's order

    // A logged-in dialog over its own queue that has searched the tree.
    struct Rig
    {
        Session session;
        std::shared_ptr<Messages::RecordingPresenter::Log> messages = session.messages().record();
        std::unique_ptr<frmAddBatch> dialog;
        QStringList asked; // the paths frmConfirm asked about
        QList<frmConfirm::Answer> answers;

        template <typename T> T *child(const QString &name) const { return dialog->findChild<T *>(name); }
        void clickOk() const { QTest::mouseClick(child<QPushButton>(u"cmdOK"_qs), Qt::LeftButton); }
        // Answers each question as it opens, from `answers` in order.
        void answerQuestions()
        {
            auto *timer = new QTimer(dialog.get());
            QObject::connect(timer, &QTimer::timeout, dialog.get(), [this] {
                for (frmConfirm *question : dialog->findChildren<frmConfirm *>()) {
                    if (!question->isVisible() || question->ConfirmResult != frmConfirm::NoAnswer)
                        continue;
                    asked << question->path();
                    const int id = answers.isEmpty() ? frmConfirm::No : answers.takeFirst();
                    static const QStringList names{
                        {}, u"cmdYes"_qs, u"cmdNo"_qs, u"cmdAllYes"_qs, u"cmdAllNo"_qs};
                    question->findChild<QPushButton *>(names.at(id))->click();
                }
            });
            timer->start(20);
        }
    };

    bool openSearched(Rig &rig)
    {
        rig.dialog = std::make_unique<frmAddBatch>(rig.session);
        rig.dialog->show();
        rig.dialog->findChild<QLineEdit *>(u"txtServer"_qs)->setText(m_server->address());
        rig.dialog->findChild<QLineEdit *>(u"txtAccount"_qs)->setText(u"demo"_qs);
        rig.dialog->findChild<QLineEdit *>(u"txtPassword"_qs)->setText(u"demo"_qs);
        QTest::mouseClick(rig.child<QPushButton>(u"cmdLogIn"_qs), Qt::LeftButton);
        if (!QTest::qWaitFor([&] { return rig.session.access().folderTree.Selected != nullptr; }, 60000))
            return false;
        rig.dialog->searchFolder(m_tree);
        if (!QTest::qWaitFor([&] { return !rig.dialog->isSearching(); }, 60000))
            return false;
        rig.child<QTableView>(u"gridResult"_qs)->selectAll();
        return rig.dialog->finds().size() == m_videos.size() + 1;
    }

    void queueOld(Rig &rig, const QString &path) const
    {
        CVideoItem item;
        item.path = path;
        item.fileName = QFileInfo(path).fileName();
        item.title = u"old"_qs;
        QVERIFY(rig.session.queue().Add(item));
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_server = std::make_unique<ServerProcess>(m_dir.filePath(u"server"_qs));
        QVERIFY(m_server->start({u"--demo"_qs}));
        m_otherFolder = m_server->addFolder(u"Other"_qs);
        m_tree = m_dir.filePath(u"tree"_qs);
        for (const char *name : {"a.mp4", "b.mp4", "c/d.mkv"}) {
            m_videos << QDir(m_tree).filePath(QString::fromLatin1(name));
            QCOMPARE(makeVideo(m_videos.last(), 1, {160, 120}, 5), QString());
        }
        // Listed, but never queued.
        QDir().mkpath(m_tree + u"/p"_qs);
        QFile(m_tree + u"/p/project.qvp"_qs).open(QIODevice::WriteOnly);
    }

    // All No at the first of two duplicates keeps both, All Yes replaces both.
    void duplicates()
    {
        const struct
        {
            QList<frmConfirm::Answer> answers;
            QStringList titles;
            int questions;
        } cases[] = {
            {{frmConfirm::AllNo}, {u"old"_qs, u"old"_qs, u"d"_qs}, 1},
            {{frmConfirm::AllYes}, {u"a"_qs, u"b"_qs, u"d"_qs}, 1},
            {{frmConfirm::No, frmConfirm::Yes}, {u"old"_qs, u"b"_qs, u"d"_qs}, 2},
        };
        for (const auto &c : cases) {
            Rig rig;
            queueOld(rig, m_videos[0]);
            queueOld(rig, m_videos[1]);
            QVERIFY(openSearched(rig));
            rig.answers = c.answers;
            rig.answerQuestions();
            rig.clickOk();
            QTRY_VERIFY_WITH_TIMEOUT(!rig.dialog->isVisible(), 60000);
            QCOMPARE(rig.asked.size(), c.questions);
            QCOMPARE(rig.asked.first(), m_videos[0]);
            QStringList queued;
            for (const QueueEntry &entry : rig.session.queue().entries())
                queued << entry.item.title;
            QCOMPARE(queued, c.titles);
            const CVideoItem *added = rig.session.queue().item(m_videos[2]);
            QCOMPARE(added->folderID, QString::number(rig.session.access().folderTree.Selected->ID));
            QCOMPARE(added->dstResType, int(SourceResolution)); // narrower than the high width
        }
    }

    // A destination changed while OK queues skips the rest with "msg_checkFolder".
    void folderChangedDuringOk()
    {
        Rig rig;
        QVERIFY(openSearched(rig));
        connect(&rig.session.queue(), &QAbstractItemModel::rowsInserted, rig.dialog.get(), [&] {
            rig.dialog->findChild<FolderPickerWidget *>()->SelectFolderById(m_otherFolder.toInt());
        });
        rig.clickOk();
        QTRY_VERIFY_WITH_TIMEOUT(!rig.dialog->isVisible(), 60000);
        QCOMPARE(rig.session.queue().count(), 1);
        QCOMPARE(rig.messages->messages.size(), 2);
        for (const Messages::Message &message : rig.messages->messages) {
            QCOMPARE(message.text, rig.session.language().text(u"frmUpload"_qs, u"msg_checkFolder"_qs));
            QCOMPARE(message.title, u"CheckFolder"_qs);
        }
    }

    // Cancel is refused while the search runs; Stop ends it at once.
    void cancelWhileSearching()
    {
        Rig rig;
        rig.dialog = std::make_unique<frmAddBatch>(rig.session);
        rig.dialog->show();
        rig.dialog->searchFolder(m_tree);
        rig.dialog->reject();
        QVERIFY(rig.dialog->isVisible());
        QCOMPARE(messageTexts(*rig.messages),
                 QStringList{rig.session.language().text(u"frmAddBatch"_qs, u"msg_searchSopWarning"_qs)});
        QTest::mouseClick(rig.child<QPushButton>(u"cmdStop"_qs), Qt::LeftButton);
        QVERIFY(!rig.dialog->isSearching());
        rig.dialog->reject();
        QVERIFY(!rig.dialog->isVisible());
    }

    // Contracted from the second part on until it fits: {path, its width as text, expected}.
    void contractStr()
    {
        const QString windows = u"C:\\lectures\\b\\c\\file.mp4"_qs;
        const QString cases[][3] = {
            {windows, windows, windows},
            {windows, u"C:"_qs, u"C:\\...\\file.mp4"_qs}, // never below the shortest
            {u"/home/ann/talks/2024/file.mp4"_qs, u"/.../2024/file.mp4"_qs, u"/.../2024/file.mp4"_qs},
            {u"C:\\a-long-file-name.mp4"_qs, u"C:"_qs, u"C:\\a-long-file-name.mp4"_qs}, // one separator
        };
        const QFontMetrics metrics(QFont{});
        for (const auto &c : cases)
            QCOMPARE(frmConfirm::contractStr(c[0], metrics.horizontalAdvance(c[1]), metrics), c[2]);
    }
};

int runBatchDialogTests(int argc, char *argv[])
{
    TestBatchDialog test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_batch.moc"
