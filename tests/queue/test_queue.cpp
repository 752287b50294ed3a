#include "queue/QueueFile.h"
#include "queue/QueueJournal.h"
#include "queue/QueueModel.h"
#include "support/TestFiles.h"
#include "support/TestLanguage.h"

#include <QAbstractItemModelTester>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

CVideoItem sampleItem(const QString &path)
{
    CVideoItem item;
    item.fileName = QFileInfo(path).fileName();
    item.title = u"Intro"_s;
    item.Author = u"Ann"_s;
    item.path = path;
    item.duration = u"0:01:05"_s;
    item.secDuration = 65;
    item.videoWidth = 640;
    item.videoHeight = 360;
    item.vBitRate = u"800k"_s;
    item.aBitRate = u"64k"_s;
    item.Url = u"http://127.0.0.1:7380"_s;
    item.account = u"demo"_s;
    item.password = u"p<&>w"_s;
    item.folderID = u"5"_s;
    item.contentID = u"0"_s;
    item.folderName = u"/talks"_s;
    item.sysVer = u"2.0"_s;
    item.bEncPassword = true;
    item.dstCvtType = 1;
    item.dstResType = 2;
    item.dstPostfix = u"480"_s;
    item.srcVideoWidth = 1280;
    item.srcVideoHeight = 720;
    item.fileSize = 5000000000LL;
    item.dateLastModified = u"2026-12-01 10:00:00"_s;
    item.useTmpName = true;
    return item;
}

QByteArray fileElement(const QByteArray &fields)
{
    return "<file>" + fields + "</file>";
}

QByteArray requiredFields(const QByteArray &path, const QByteArray &bools = "true")
{
    return "<fileName>a.mp4</fileName><title>T</title><Author>A</Author><state>Failed</state><path>" + path +
           "</path><duration>1</duration><secDuration>1</secDuration><videoWidth>2</videoWidth>"
           "<videoHeight>2</videoHeight><vBitRate/><aBitRate/><Url>u</Url><account/><password/><folderID/>"
           "<contentID/><folderName>f</folderName><sysVer/><bEncPassword>" +
           bools +
           "</bEncPassword><dstCvtType>0</dstCvtType><dstResType>0</dstResType><dstPostfix/>"
           "<srcVideoWidth>0</srcVideoWidth><srcVideoHeight>0</srcVideoHeight><customBps>0</customBps>"
           "<bInterlaced>" +
           bools + "</bInterlaced><fileSize>3</fileSize><dateLastModified/>";
}

} // namespace

class TestQueue : public QObject
{
    Q_OBJECT

    const LanguageTable m_language{languageFile()};
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_file;

    // Only the owner may read a file with passwords inside.
    static QFileDevice::Permissions readableByOthers(const QString &path)
    {
        return QFile::permissions(path) & (QFileDevice::ReadGroup | QFileDevice::ReadOther);
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_file = m_dir->filePath(u"project.xml"_s);
    }

    void addRefusesTrimmedDuplicate()
    {
        QueueModel queue(m_language);
        QVERIFY(queue.Add(sampleItem(u"/v/a.mp4"_s)));
        CVideoItem padded = sampleItem(u" /v/a.mp4 "_s);
        QVERIFY(!queue.Add(padded));
        QVERIFY(queue.itemExist(u"  /v/a.mp4"_s));
        QCOMPARE(queue.count(), 1);

        // The key is the path as given; the stored path is trimmed.
        CVideoItem other = sampleItem(u" /v/b.mp4"_s);
        other.title = u"  Spaced  "_s;
        QVERIFY(queue.Add(other));
        QVERIFY(queue.item(u" /v/b.mp4"_s));
        QVERIFY(!queue.item(u"/v/b.mp4"_s));
        QCOMPARE(queue.item(u" /v/b.mp4"_s)->path, u"/v/b.mp4"_s);
        QCOMPARE(queue.item(u" /v/b.mp4"_s)->title, u"Spaced"_s);
        QCOMPARE(queue.cell(1, QueueModel::ColPath), u" /v/b.mp4"_s);

        queue.Remove(u"/v/a.mp4"_s);
        QCOMPARE(queue.RowOfPath(u" /v/b.mp4"_s), 0);
        QVERIFY(queue.Add(sampleItem(u"/v/a.mp4"_s)));
        QCOMPARE(queue.entries().last().item.path, u"/v/a.mp4"_s);
    }

    void rowOperations()
    {
        QueueModel queue(m_language);
        QAbstractItemModelTester tester(&queue, QAbstractItemModelTester::FailureReportingMode::QtTest);
        queue.setBaseFont(QFont(u"Sans"_s, 11));
        CVideoItem a = sampleItem(u"/a.qvp"_s);
        CVideoItem b = sampleItem(u"/b.mp4"_s);
        QVERIFY(queue.Add(a));
        QVERIFY(queue.Add(b));
        QCOMPARE(queue.RowOfPath(u"/b.mp4"_s), 1);
        QCOMPARE(queue.RowOfPath(u"/none"_s), -1);
        QCOMPARE(queue.GetEntryCell(a.path, QueueModel::ColClassify), u"Qvp"_s);
        QCOMPARE(queue.GetEntryCell(a.path, QueueModel::ColState), u"Waiting"_s);

        queue.SetEntryState(a.path, EntryState::Transfering);
        const QModelIndex title = queue.index(0, QueueModel::ColTitle);
        QVERIFY(queue.data(title, Qt::FontRole).value<QFont>().bold());
        queue.SetEntryState(a.path, EntryState::Finished);
        QCOMPARE(queue.data(title, Qt::FontRole).value<QFont>(), QFont(u"Sans"_s, 11));
        QCOMPARE(queue.data(title, QueueModel::StateRole).value<EntryState>(), EntryState::Finished);

        queue.SetEntryError(a.path, u"No such file!"_s);
        QCOMPARE(queue.GetEntryCell(a.path, QueueModel::ColState), u"Failed"_s);
        QCOMPARE(queue.GetEntryCell(a.path, QueueModel::ColError), u"No such file!"_s);
        queue.SetEntryCell(b.path, QueueModel::ColCvtBeginTime, u"10:00:00"_s);
        // Cells that show the record are not written around it.
        queue.SetEntryCell(b.path, QueueModel::ColTitle, u"changed"_s);
        QCOMPARE(queue.item(b.path)->title, b.title);
        queue.SetEntryProgress(b.path, EntryProgress{EntryPhase::Uploading, 140});
        QCOMPARE(queue.data(queue.index(1, 0), QueueModel::ProgressRole).toInt(), 100);

        queue.SwapQueueRows(0, 1);
        QCOMPARE(queue.RowOfPath(b.path), 0);
        QCOMPARE(queue.cell(0, QueueModel::ColCvtBeginTime), u"10:00:00"_s);
        queue.SwapQueueRows(-1, 1);
        queue.SwapQueueRows(0, 2);
        QCOMPARE(queue.RowOfPath(b.path), 0);

        QVERIFY(queue.AnyEntryWaiting());
        QVERIFY(!queue.AnyEntryTransfering());
        QCOMPARE(queue.NextWaitingEntry(), 0);
        QCOMPARE(queue.currentPath, b.path);

        // An edit keeps its row, is "Waiting" again, and may not take another's path.
        CVideoItem c = sampleItem(u" /c.zdm"_s);
        c.state = EntryState::Failed;
        QVERIFY(!queue.UpdateQueueRow(1, sampleItem(u"/b.mp4 "_s)));
        QVERIFY(queue.UpdateQueueRow(1, c));
        QCOMPARE(queue.GetEntryCell(c.path, QueueModel::ColState), u"Waiting"_s);
        QCOMPARE(queue.GetEntryCell(c.path, QueueModel::ColClassify), u"Zdm"_s);
        QCOMPARE(queue.RowOfPath(c.path), 1);
        QCOMPARE(queue.RowOfPath(a.path), -1);
        QVERIFY(!queue.itemExist(a.path));
        QVERIFY(queue.itemExist(u"/c.zdm"_s));

        QVERIFY(queue.removeRow(0));
        QCOMPARE(queue.RowOfPath(c.path), 0);
        queue.SetEntryState(u"/gone"_s, EntryState::Finished);
        queue.SetEntryError(u"/gone"_s, u"x"_s);
        QCOMPARE(queue.rowCount(), 1);
    }

    // Edit mode keeps the state for a cancel; a change while it is open wins.
    void editGivesStateBack()
    {
        QueueModel queue(m_language);
        const QString path = u"/v/a.mp4"_s;
        queue.Add(sampleItem(path));
        queue.beginEdit(path);
        QVERIFY(queue.editMode);
        QCOMPARE(queue.editPath, path);
        QCOMPARE(queue.entryAt(0).state, EntryState::Editing);
        QCOMPARE(queue.item(path)->state, EntryState::Waiting);
        queue.SetEntryError(path, u"File not found"_s);
        queue.cancelEdit();
        QVERIFY(!queue.editMode);
        QCOMPARE(queue.entryAt(0).state, EntryState::Failed);
    }

    void nextWaitingWithNoneLeft()
    {
        QueueModel queue(m_language);
        QSignalSpy noneLeft(&queue, &QueueModel::noWaitingEntry);
        QCOMPARE(queue.NextWaitingEntry(), -1);
        QCOMPARE(noneLeft.count(), 1);
        queue.Add(sampleItem(u"/a"_s));
        queue.SetEntryError(u"/a"_s, u"bad"_s);
        queue.currentPath = u"/kept"_s;
        QCOMPARE(queue.NextWaitingEntry(), -1);
        QCOMPARE(noneLeft.count(), 2);
        QCOMPARE(queue.currentPath, u"/kept"_s);
    }

    void savedBytes()
    {
        QueueModel queue(m_language);
        CVideoItem item = sampleItem(u"/v/a.mp4"_s);
        item.title.clear();
        item.Author = QStringLiteral("A\x01\tn"); // a control character as a reference, a tab as it is
        queue.Add(item);
        QVERIFY(QueueFile::SaveQueue(m_file, queue));
        const QByteArray expected =
            "<?xml version=\"1.0\"?>\r\n<clipferry ver=\"2.120222\">\r\n<queue>\r\n<file>\r\n"
            "<fileName>a.mp4</fileName>\r\n<title></title>\r\n<Author>A&#01;\tn</Author>\r\n<state></"
            "state>\r\n"
            "<path>/v/a.mp4</path>\r\n<duration>0:01:05</duration>\r\n<secDuration>65</secDuration>\r\n"
            "<videoWidth>640</videoWidth>\r\n<videoHeight>360</videoHeight>\r\n<vBitRate>800k</vBitRate>\r\n"
            "<aBitRate>64k</aBitRate>\r\n<Url>http://127.0.0.1:7380</Url>\r\n<account>demo</account>\r\n"
            "<password>p&lt;&amp;&gt;w</password>\r\n<folderID>5</folderID>\r\n<contentID>0</contentID>\r\n"
            "<folderName>/talks</folderName>\r\n<sysVer>2.0</sysVer>\r\n<bEncPassword>true</bEncPassword>\r\n"
            "<dstCvtType>1</dstCvtType>\r\n<dstResType>2</dstResType>\r\n<dstPostfix>480</dstPostfix>\r\n"
            "<srcVideoWidth>1280</srcVideoWidth>\r\n<srcVideoHeight>720</srcVideoHeight>\r\n"
            "<customBps>0</customBps>\r\n<bInterlaced>false</bInterlaced>\r\n<fileSize>5000000000</"
            "fileSize>\r\n"
            "<dateLastModified>2026-12-01 10:00:00</dateLastModified>\r\n<OverwriteUrl></OverwriteUrl>\r\n"
            "<useTmpName>true</useTmpName>\r\n</file>\r\n</queue>\r\n</clipferry>";
        QCOMPARE(readFile(m_file), expected);
        QCOMPARE(readableByOthers(m_file), QFileDevice::Permissions());
    }

    void roundTrip()
    {
        QueueModel saved(m_language);
        CVideoItem a = sampleItem(u"/v/a.mp4"_s);
        CVideoItem b = sampleItem(u"/v/b.mp4"_s);
        b.OverwriteUrl = u"http://h/doc?id=1&x=2"_s;
        b.title = u"Über <alles> & \"mehr\""_s;
        CVideoItem c = sampleItem(u"/v/c.mp4"_s);
        c.state = EntryState::Failed; // written, and ignored when read
        saved.Add(a);
        saved.Add(c);
        saved.Add(b);
        saved.SetEntryState(a.path, EntryState::Finished);
        saved.SetEntryError(c.path, u"Open file error!"_s);
        // The file follows the grid's order, which is the processing order.
        saved.SwapQueueRows(1, 2);
        QVERIFY(QueueFile::SaveQueue(m_file, saved));

        QueueModel loaded(m_language);
        QVERIFY(QueueFile::LoadQueue(m_file, loaded));
        QCOMPARE(loaded.count(), 2);
        const CVideoItem &lb = loaded.entryAt(0).item;
        QCOMPARE((QStringList{lb.path, lb.title, lb.password, lb.OverwriteUrl, QString::number(lb.fileSize),
                              lb.dstPostfix}),
                 (QStringList{b.path, b.title, u"p<&>w"_s, b.OverwriteUrl, u"5000000000"_s, u"480"_s}));
        QVERIFY(lb.useTmpName && lb.bEncPassword && !lb.bInterlaced);
        QCOMPARE(loaded.GetEntryCell(c.path, QueueModel::ColState), u"Waiting"_s);
        QCOMPARE(loaded.GetEntryCell(c.path, QueueModel::ColError), QString());
        QCOMPARE(loaded.RowOfPath(c.path), 1);
        QVERIFY(!loaded.item(c.path)->state);
    }

    void allFinishedLeavesNoFile()
    {
        writeFile(m_file, "old");
        QueueModel queue(m_language);
        queue.Add(sampleItem(u"/v/a.mp4"_s));
        queue.SetEntryState(u"/v/a.mp4"_s, EntryState::Finished);
        QVERIFY(QueueFile::SaveQueue(m_file, queue));
        QVERIFY(!QFileInfo::exists(m_file));
    }

    // The entries a file gives, whether Start is offered, whether a bad file is deleted.
    void loadVariants()
    {
        const QByteArray head = "<?xml version=\"1.0\"?><clipferry ver=\"1\"><queue>";
        const QByteArray tail = "</queue></clipferry>";
        const QByteArray a = fileElement(requiredFields("/a"));
        const struct
        {
            QByteArray content;
            bool startEnabled;
            QStringList paths;
        } cases[] = {
            {"<clipferry><queue/></clipferry>", true, {}},
            {head + a + tail, true, {u"/a"_s}},
            // numeric and upper-case flags
            {head + fileElement(requiredFields("/a", "-1")) + fileElement(requiredFields("/b", "TRUE")) +
                 tail,
             true,
             {u"/a"_s, u"/b"_s}},
            {head + fileElement("<path>/x</path>") + a + tail, true, {u"/a"_s}}, // a field missing: skipped
            {head + fileElement(QByteArray(requiredFields("/x")).replace("<fileSize>3", "<fileSize>big")) +
                 tail,
             true,
             {}},
            {head + a + a + tail, true, {u"/a"_s}}, // a duplicate path: skipped
            {"<other><queue/></other>", false, {}},
            {"<clipferry><queue>", false, {}},
            {"<!DOCTYPE x><clipferry><queue/></clipferry>", false, {}},
        };
        for (const auto &c : cases) {
            const QString path = m_file + QString::number(&c - cases);
            writeFile(path, c.content);
            QFile::setPermissions(path, QFileDevice::ReadOwner);
            QueueModel queue(m_language);
            QVERIFY2(QueueFile::LoadQueue(path, queue) == c.startEnabled, c.content.constData());
            QVERIFY2(QFileInfo::exists(path) == c.startEnabled, c.content.constData());
            QStringList paths;
            for (const QueueEntry &entry : queue.entries()) {
                paths << entry.key;
                QVERIFY(entry.item.OverwriteUrl.isEmpty() && !entry.item.useTmpName && !entry.item.state);
                QCOMPARE(entry.state, EntryState::Waiting);
            }
            QCOMPARE(paths, c.paths);
        }
    }

    // A killed session returns from its journal; one not trusted gives way to the queue file.
    void journalRestores()
    {
        QueueModel saved(m_language);
        const QStringList paths{"/v/a.mp4", " /v/b.mp4", "/v/c.mp4", "/v/d.mp4"};
        saved.Add(sampleItem(paths[0]));
        QVERIFY(QueueFile::SaveQueue(m_file, saved));
        for (const QString &path : paths.mid(1))
            saved.Add(sampleItem(path));
        saved.SetEntryCell(paths[0], QueueModel::ColUploadEndTime, u"10:02"_s);
        saved.SetEntryState(paths[0], EntryState::Finished);
        saved.SetEntryCell(paths[1], QueueModel::ColCvtBeginTime, u"10:03"_s);
        saved.SetEntryState(paths[1], EntryState::Transfering);
        saved.SetEntryError(paths[2], u"Open file error!"_s);
        saved.SetEntryState(paths[3], EntryState::Canceled);
        saved.beginEdit(paths[3]);
        QueueJournal journal(saved, m_file);
        QVERIFY(journal.write());
        QCOMPARE(readableByOthers(journal.path()), QFileDevice::Permissions());
        const QByteArray intact = readFile(journal.path());
        // The queue file holds a.mp4 alone. Intact last: a restore may leave its queue behind.
        for (const QByteArray &bytes :
             {intact.left(intact.size() / 2), QByteArray(intact).replace(">65<", ">x<"),
              QByteArray(intact).replace("clipferryJournal", "x"), intact}) {
            writeFile(journal.path(), bytes);
            QueueModel loaded(m_language);
            const QueueJournal::Restored restored = QueueJournal::Restore(m_file, loaded);
            const bool trusted = bytes == intact;
            QVERIFY(restored.queued);
            QCOMPARE(restored.fromJournal, trusted);
            QCOMPARE(restored.warning.contains(u"is damaged"_s), !trusted);
            QList<EntryState> states;
            for (const QueueEntry &entry : loaded.entries())
                states.append(entry.state);
            using enum EntryState;
            QCOMPARE(states, (trusted ? QList{Finished, Waiting, Failed, Canceled} : QList{Waiting}));
            if (!trusted)
                continue;
            QCOMPARE(loaded.entryAt(1).key, paths[1]);
            QCOMPARE((QStringList{loaded.GetEntryCell(paths[0], QueueModel::ColUploadEndTime),
                                  loaded.GetEntryCell(paths[1], QueueModel::ColCvtBeginTime),
                                  loaded.GetEntryCell(paths[2], QueueModel::ColError),
                                  loaded.item(paths[1])->password}),
                     (QStringList{u"10:02"_s, u"10:03"_s, u"Open file error!"_s, u"p<&>w"_s}));
        }
    }

    // Changes are written within the delay, a finish at once, progress never; discard is final.
    void journalFollowsChanges()
    {
        QueueModel queue(m_language);
        QueueJournal journal(queue, m_file);
        const QString path = u"/v/a.mp4"_s;
        queue.Add(sampleItem(path));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(journal.path()), 1000);
        QVERIFY(QFile::remove(journal.path()));
        queue.SetEntryProgress(path, EntryProgress{EntryPhase::Uploading, 50});
        QTest::qWait(int(QueueJournal::kDelay.count()) + 100);
        QVERIFY(!QFileInfo::exists(journal.path()));
        queue.SetEntryState(path, EntryState::Finished);
        QVERIFY(readFile(journal.path()).contains("state=\"Finished\""));
        journal.discard();
        QVERIFY(!QFileInfo::exists(journal.path()));
        queue.Add(sampleItem(u"/v/b.mp4"_s));
        QTest::qWait(int(QueueJournal::kDelay.count()) + 100);
        QVERIFY(!QFileInfo::exists(journal.path()));
    }

    void unwritableFolderKeepsOldFile()
    {
        writeFile(m_file, "previous");
        QFile::setPermissions(m_dir->path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        QueueModel queue(m_language);
        queue.Add(sampleItem(u"/v/a.mp4"_s));
        const bool saved = QueueFile::SaveQueue(m_file, queue);
        QFile::setPermissions(m_dir->path(),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        if (saved)
            QSKIP("running with rights that ignore folder permissions");
        QCOMPARE(readFile(m_file), QByteArray("previous"));
    }
};

QTEST_MAIN(TestQueue)
#include "test_queue.moc"
