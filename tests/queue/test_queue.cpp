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

namespace {

CVideoItem sampleItem(const QString &path)
{
    CVideoItem item;
    item.fileName = QFileInfo(path).fileName();
    item.title = QStringLiteral("Intro");
    item.Author = QStringLiteral("Ann");
    item.path = path;
    item.duration = QStringLiteral("0:01:05");
    item.secDuration = 65;
    item.videoWidth = 640;
    item.videoHeight = 360;
    item.vBitRate = QStringLiteral("800k");
    item.aBitRate = QStringLiteral("64k");
    item.Url = QStringLiteral("http://127.0.0.1:7380");
    item.account = QStringLiteral("demo");
    item.password = QStringLiteral("p<&>w");
    item.folderID = QStringLiteral("5");
    item.contentID = QStringLiteral("0");
    item.folderName = QStringLiteral("/talks");
    item.sysVer = QStringLiteral("2.0");
    item.bEncPassword = true;
    item.dstCvtType = 1;
    item.dstResType = 2;
    item.dstPostfix = QStringLiteral("480");
    item.srcVideoWidth = 1280;
    item.srcVideoHeight = 720;
    item.customBps = 0;
    item.bInterlaced = false;
    item.fileSize = 5000000000LL;
    item.dateLastModified = QStringLiteral("2026-12-01 10:00:00");
    item.useTmpName = true;
    item.OverwriteUrl = QString();
    return item;
}

// One `file` element as the queue file holds it, from the given field lines.
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

private Q_SLOTS:
    void addRefusesTrimmedDuplicate()
    {
        QueueModel queue(m_language);
        QVERIFY(queue.Add(sampleItem(QStringLiteral("/v/a.mp4"))));
        CVideoItem padded = sampleItem(QStringLiteral(" /v/a.mp4 "));
        QVERIFY(!queue.Add(padded));
        QVERIFY(queue.itemExist(QStringLiteral("  /v/a.mp4")));
        QCOMPARE(queue.count(), 1);

        // The key is the path as given; the stored path is trimmed.
        CVideoItem other = sampleItem(QStringLiteral(" /v/b.mp4"));
        other.title = QStringLiteral("  Spaced  ");
        QVERIFY(queue.Add(other));
        QVERIFY(queue.item(QStringLiteral(" /v/b.mp4")));
        QVERIFY(!queue.item(QStringLiteral("/v/b.mp4")));
        QCOMPARE(queue.item(QStringLiteral(" /v/b.mp4"))->path, QStringLiteral("/v/b.mp4"));
        QCOMPARE(queue.item(QStringLiteral(" /v/b.mp4"))->title, QStringLiteral("Spaced"));
        QCOMPARE(queue.cell(1, QueueModel::ColPath), QStringLiteral(" /v/b.mp4"));

        queue.Remove(QStringLiteral("/v/a.mp4"));
        QVERIFY(!queue.itemExist(QStringLiteral("/v/a.mp4")));
        QCOMPARE(queue.RowOfPath(QStringLiteral(" /v/b.mp4")), 0);
        QVERIFY(queue.Add(sampleItem(QStringLiteral("/v/a.mp4"))));
        QCOMPARE(queue.entries().last().item.path, QStringLiteral("/v/a.mp4"));
    }

    void rowOperations()
    {
        QueueModel queue(m_language);
        QAbstractItemModelTester tester(&queue, QAbstractItemModelTester::FailureReportingMode::QtTest);
        queue.setBaseFont(QFont(QStringLiteral("Sans"), 11));
        CVideoItem a = sampleItem(QStringLiteral("/a.qvp"));
        CVideoItem b = sampleItem(QStringLiteral("/b.mp4"));
        QVERIFY(queue.Add(a));
        QVERIFY(queue.Add(b));
        QCOMPARE(queue.RowOfPath(QStringLiteral("/b.mp4")), 1);
        QCOMPARE(queue.RowOfPath(QStringLiteral("/none")), -1);
        QCOMPARE(queue.GetEntryCell(a.path, QueueModel::ColClassify), QStringLiteral("Qvp"));
        QCOMPARE(queue.GetEntryCell(a.path, QueueModel::ColState), QStringLiteral("Waiting"));

        // A transferring row is blue and bold; finished, it is green and no longer bold.
        queue.SetEntryState(a.path, EntryState::Transfering);
        const QModelIndex title = queue.index(0, QueueModel::ColTitle);
        QCOMPARE(queue.data(title, Qt::ForegroundRole).value<QBrush>().color(), QColor(0, 0, 255));
        QVERIFY(queue.data(title, Qt::FontRole).value<QFont>().bold());
        queue.SetEntryState(a.path, EntryState::Finished);
        QCOMPARE(queue.data(title, Qt::ForegroundRole).value<QBrush>().color(), QColor(0, 160, 15));
        QCOMPARE(queue.data(title, Qt::FontRole).value<QFont>(), QFont(QStringLiteral("Sans"), 11));
        QCOMPARE(queue.data(title, QueueModel::StateRole).value<EntryState>(), EntryState::Finished);

        queue.SetEntryError(a.path, QStringLiteral("No such file!"));
        QCOMPARE(queue.GetEntryCell(a.path, QueueModel::ColState), QStringLiteral("Failed"));
        QCOMPARE(queue.GetEntryCell(a.path, QueueModel::ColError), QStringLiteral("No such file!"));
        queue.SetEntryCell(b.path, QueueModel::ColCvtBeginTime, QStringLiteral("10:00:00"));
        // Cells that show the record are not written around it.
        queue.SetEntryCell(b.path, QueueModel::ColTitle, QStringLiteral("changed"));
        QCOMPARE(queue.item(b.path)->title, b.title);
        queue.SetEntryProgress(b.path, 140);
        QCOMPARE(queue.data(queue.index(1, 0), QueueModel::ProgressRole).toInt(), 100);

        queue.SwapQueueRows(0, 1);
        QCOMPARE(queue.RowOfPath(b.path), 0);
        QCOMPARE(queue.cell(0, QueueModel::ColCvtBeginTime), QStringLiteral("10:00:00"));
        queue.SwapQueueRows(-1, 1);
        queue.SwapQueueRows(0, 2);
        QCOMPARE(queue.RowOfPath(b.path), 0);

        QVERIFY(queue.AnyEntryWaiting());
        QVERIFY(!queue.AnyEntryTransfering());
        QCOMPARE(queue.NextWaitingEntry(), 0);
        QCOMPARE(queue.currentPath, b.path);

        // An edit keeps its row and is "Waiting" again; it may not take
        // another entry's path.
        CVideoItem c = sampleItem(QStringLiteral(" /c.zdm"));
        c.state = EntryState::Failed;
        QVERIFY(!queue.UpdateQueueRow(1, sampleItem(QStringLiteral("/b.mp4 "))));
        QVERIFY(queue.UpdateQueueRow(1, c));
        QCOMPARE(queue.GetEntryCell(c.path, QueueModel::ColState), QStringLiteral("Waiting"));
        QCOMPARE(queue.GetEntryCell(c.path, QueueModel::ColClassify), QStringLiteral("Zdm"));
        QCOMPARE(queue.RowOfPath(c.path), 1);
        QCOMPARE(queue.RowOfPath(a.path), -1);
        QVERIFY(!queue.itemExist(a.path));
        QVERIFY(queue.itemExist(QStringLiteral("/c.zdm")));

        QVERIFY(queue.removeRow(0));
        QCOMPARE(queue.RowOfPath(c.path), 0);
        // Paths with no row change nothing.
        queue.SetEntryState(QStringLiteral("/gone"), EntryState::Finished);
        queue.SetEntryError(QStringLiteral("/gone"), QStringLiteral("x"));
        QCOMPARE(queue.rowCount(), 1);
    }

    // Edit mode keeps the state the row had and gives it back on cancel,
    // unless something else changed the row meanwhile.
    void editGivesStateBack_data()
    {
        QTest::addColumn<EntryState>("before");
        QTest::addColumn<bool>("changedMeanwhile");
        QTest::addColumn<EntryState>("after");
        QTest::newRow("canceled") << EntryState::Canceled << false << EntryState::Canceled;
        QTest::newRow("changed while open") << EntryState::Waiting << true << EntryState::Failed;
    }
    void editGivesStateBack()
    {
        QFETCH(EntryState, before);
        QFETCH(bool, changedMeanwhile);
        QFETCH(EntryState, after);
        QueueModel queue(m_language);
        const QString path = QStringLiteral("/v/a.mp4");
        queue.Add(sampleItem(path));
        queue.SetEntryState(path, before);
        queue.beginEdit(path);
        QVERIFY(queue.editMode);
        QCOMPARE(queue.editPath, path);
        QCOMPARE(queue.entryAt(0).state, EntryState::Editing);
        QCOMPARE(queue.item(path)->state, before);
        if (changedMeanwhile)
            queue.SetEntryError(path, QStringLiteral("File not found"));
        queue.cancelEdit();
        QVERIFY(!queue.editMode);
        QCOMPARE(queue.entryAt(0).state, after);
    }

    void nextWaitingWithNoneLeft()
    {
        QueueModel queue(m_language);
        QSignalSpy noneLeft(&queue, &QueueModel::noWaitingEntry);
        QCOMPARE(queue.NextWaitingEntry(), -1);
        QCOMPARE(noneLeft.count(), 1);
        queue.Add(sampleItem(QStringLiteral("/a")));
        queue.SetEntryError(QStringLiteral("/a"), QStringLiteral("bad"));
        queue.currentPath = QStringLiteral("/kept");
        QCOMPARE(queue.NextWaitingEntry(), -1);
        QCOMPARE(noneLeft.count(), 2);
        QCOMPARE(queue.currentPath, QStringLiteral("/kept"));
    }

    // The exact bytes of a one-entry queue file.
    void savedBytes()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("project.xml"));
        QueueModel queue(m_language);
        CVideoItem item = sampleItem(QStringLiteral("/v/a.mp4"));
        item.title.clear();
        item.Author = QStringLiteral("A\x01\tn"); // a control character as a reference, a tab as it is
        queue.Add(item);
        QVERIFY(QueueFile::SaveQueue(path, queue));
        const QByteArray expected =
            "<?xml version=\"1.0\"?>\r\n<clipferry ver=\"2.120222\">\r\n<queue>\r\n<file>\r\n"
            "<fileName>a.mp4</fileName>\r\n<title></title>\r\n<Author>A&#01;\tn</Author>\r\n<state></state>\r\n"
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
        QCOMPARE(readFile(path), expected);
        // Passwords inside: the owner alone may read it.
        QCOMPARE(QFile::permissions(path) & (QFileDevice::ReadGroup | QFileDevice::ReadOther),
                 QFileDevice::Permissions());
    }

    void roundTrip()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("project.xml"));
        QueueModel saved(m_language);
        CVideoItem a = sampleItem(QStringLiteral("/v/a.mp4"));
        CVideoItem b = sampleItem(QStringLiteral("/v/b.mp4"));
        b.OverwriteUrl = QStringLiteral("http://h/doc?id=1&x=2");
        b.title = QStringLiteral("Über <alles> & \"mehr\"");
        CVideoItem c = sampleItem(QStringLiteral("/v/c.mp4"));
        c.state = EntryState::Failed; // written, and ignored when read
        saved.Add(a);
        saved.Add(c);
        saved.Add(b);
        saved.SetEntryState(a.path, EntryState::Finished);
        saved.SetEntryError(c.path, QStringLiteral("Open file error!"));
        // The file follows the grid's order, which is the processing order.
        saved.SwapQueueRows(1, 2);
        QVERIFY(QueueFile::SaveQueue(path, saved));

        QueueModel loaded(m_language);
        QVERIFY(QueueFile::LoadQueue(path, loaded));
        QCOMPARE(loaded.count(), 2);
        const CVideoItem &lb = loaded.entryAt(0).item;
        QCOMPARE(lb.path, b.path);
        QCOMPARE(lb.title, b.title);
        QCOMPARE(lb.password, QStringLiteral("p<&>w"));
        QCOMPARE(lb.OverwriteUrl, b.OverwriteUrl);
        QCOMPARE(lb.fileSize, b.fileSize);
        QVERIFY(lb.useTmpName && lb.bEncPassword && !lb.bInterlaced);
        QCOMPARE(lb.dstPostfix, QStringLiteral("480"));
        // A failed entry comes back waiting, with no error.
        QCOMPARE(loaded.GetEntryCell(c.path, QueueModel::ColState), QStringLiteral("Waiting"));
        QCOMPARE(loaded.GetEntryCell(c.path, QueueModel::ColError), QString());
        QCOMPARE(loaded.RowOfPath(c.path), 1);
        QVERIFY(!loaded.item(c.path)->state);
    }

    void allFinishedLeavesNoFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("project.xml"));
        writeFile(path, "old");
        QueueModel queue(m_language);
        queue.Add(sampleItem(QStringLiteral("/v/a.mp4")));
        queue.SetEntryState(QStringLiteral("/v/a.mp4"), EntryState::Finished);
        QVERIFY(QueueFile::SaveQueue(path, queue));
        QVERIFY(!QFileInfo::exists(path));
    }

    void loadVariants_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("startEnabled");
        QTest::addColumn<QStringList>("paths");
        QTest::addColumn<bool>("fileKept");
        const QByteArray head = "<?xml version=\"1.0\"?><clipferry ver=\"1\"><queue>";
        const QByteArray tail = "</queue></clipferry>";
        QTest::newRow("empty queue") << QByteArray("<clipferry><queue/></clipferry>") << true << QStringList{}
                                     << true;
        QTest::newRow("without optional fields")
            << head + fileElement(requiredFields("/a")) + tail << true << QStringList{"/a"} << true;
        QTest::newRow("numeric and upper-case flags") << head + fileElement(requiredFields("/a", "-1")) +
                                                             fileElement(requiredFields("/b", "TRUE")) + tail
                                                      << true << QStringList{"/a", "/b"} << true;
        QTest::newRow("entry missing a field skipped")
            << head + fileElement("<path>/x</path>") + fileElement(requiredFields("/a")) + tail << true
            << QStringList{"/a"} << true;
        QTest::newRow("non-numeric size skipped")
            << head + fileElement(QByteArray(requiredFields("/x")).replace("<fileSize>3", "<fileSize>big")) +
                   tail
            << true << QStringList{} << true;
        QTest::newRow("duplicate path skipped")
            << head + fileElement(requiredFields("/a")) + fileElement(requiredFields("/a")) + tail << true
            << QStringList{"/a"} << true;
        QTest::newRow("foreign root deleted")
            << QByteArray("<other><queue/></other>") << false << QStringList{} << false;
        QTest::newRow("broken deleted")
            << QByteArray("<clipferry><queue>") << false << QStringList{} << false;
        QTest::newRow("doctype deleted")
            << QByteArray("<!DOCTYPE x><clipferry><queue/></clipferry>") << false << QStringList{} << false;
    }
    void loadVariants()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, startEnabled);
        QFETCH(QStringList, paths);
        QFETCH(bool, fileKept);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("project.xml"));
        writeFile(path, content);
        QFile::setPermissions(path, QFileDevice::ReadOwner);
        QueueModel queue(m_language);
        QCOMPARE(QueueFile::LoadQueue(path, queue), startEnabled);
        QCOMPARE(queue.rowCount(), paths.size());
        for (int i = 0; i < paths.size(); ++i) {
            const QueueEntry &entry = queue.entryAt(i);
            QCOMPARE(entry.key, paths.at(i));
            QCOMPARE(entry.item.OverwriteUrl, QString());
            QVERIFY(!entry.item.useTmpName);
            QVERIFY(!entry.item.state);
            QCOMPARE(entry.state, EntryState::Waiting);
        }
        QCOMPARE(QFileInfo::exists(path), fileKept);
    }

    // A killed session comes back from its journal: finished stays
    // finished, running is waiting again, errors and times return. A journal
    // that cannot be trusted is refused whole and the queue file is used.
    void journalRestores_data()
    {
        QTest::addColumn<QByteArray>("from");
        QTest::addColumn<QByteArray>("to");
        QTest::addColumn<QList<EntryState>>("states");
        QTest::newRow("intact") << QByteArray() << QByteArray()
                                << QList<EntryState>{EntryState::Finished, EntryState::Waiting,
                                                     EntryState::Failed, EntryState::Canceled};
        // The queue file of the last close holds a.mp4 alone.
        const QList<EntryState> queueFile{EntryState::Waiting};
        QTest::newRow("cut short") << QByteArray("cut") << QByteArray() << queueFile;
        QTest::newRow("unreadable entry") << QByteArray(">65<") << QByteArray(">x<") << queueFile;
        QTest::newRow("foreign root") << QByteArray("clipferryJournal") << QByteArray("x") << queueFile;
    }
    void journalRestores()
    {
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QFETCH(QList<EntryState>, states);
        QTemporaryDir dir;
        const QString queueFile = dir.filePath(QStringLiteral("project.xml"));
        QueueModel saved(m_language);
        const QStringList paths{"/v/a.mp4", " /v/b.mp4", "/v/c.mp4", "/v/d.mp4"};
        saved.Add(sampleItem(paths[0]));
        QVERIFY(QueueFile::SaveQueue(queueFile, saved));
        for (const QString &path : paths.mid(1))
            saved.Add(sampleItem(path));
        saved.SetEntryCell(paths[0], QueueModel::ColUploadEndTime, QStringLiteral("10:02"));
        saved.SetEntryState(paths[0], EntryState::Finished);
        saved.SetEntryCell(paths[1], QueueModel::ColCvtBeginTime, QStringLiteral("10:03"));
        saved.SetEntryState(paths[1], EntryState::Transfering);
        saved.SetEntryError(paths[2], QStringLiteral("Open file error!"));
        saved.SetEntryState(paths[3], EntryState::Canceled);
        saved.beginEdit(paths[3]);
        QueueJournal journal(saved, queueFile);
        QVERIFY(journal.write());
        QCOMPARE(QFile::permissions(journal.path()) & (QFileDevice::ReadGroup | QFileDevice::ReadOther),
                 QFileDevice::Permissions());
        QByteArray bytes = readFile(journal.path());
        if (from == "cut")
            bytes.chop(bytes.size() / 2);
        else if (!from.isEmpty())
            bytes.replace(from, to);
        writeFile(journal.path(), bytes);

        QueueModel loaded(m_language);
        const QueueJournal::Restored restored = QueueJournal::Restore(queueFile, loaded);
        QVERIFY(restored.queued);
        QCOMPARE(restored.fromJournal, from.isEmpty());
        QCOMPARE(restored.warning.contains(QStringLiteral("is damaged")), !from.isEmpty());
        QList<EntryState> loadedStates;
        for (const QueueEntry &entry : loaded.entries())
            loadedStates.append(entry.state);
        QCOMPARE(loadedStates, states);
        if (!from.isEmpty())
            return;
        QCOMPARE(loaded.entryAt(1).key, paths[1]);
        QCOMPARE(loaded.GetEntryCell(paths[0], QueueModel::ColUploadEndTime), QStringLiteral("10:02"));
        QCOMPARE(loaded.GetEntryCell(paths[1], QueueModel::ColCvtBeginTime), QStringLiteral("10:03"));
        QCOMPARE(loaded.GetEntryCell(paths[2], QueueModel::ColError), QStringLiteral("Open file error!"));
        QCOMPARE(loaded.item(paths[1])->password, QStringLiteral("p<&>w"));
    }

    // Changes reach the disk within the delay, a finished entry at once;
    // progress alone writes nothing, and a discarded journal is gone for good.
    void journalFollowsChanges()
    {
        QTemporaryDir dir;
        const QString queueFile = dir.filePath(QStringLiteral("project.xml"));
        QueueModel queue(m_language);
        QueueJournal journal(queue, queueFile);
        const QString path = QStringLiteral("/v/a.mp4");
        queue.Add(sampleItem(path));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(journal.path()), 1000);
        QVERIFY(QFile::remove(journal.path()));
        queue.SetEntryProgress(path, 50);
        QTest::qWait(int(QueueJournal::kDelay.count()) + 100);
        QVERIFY(!QFileInfo::exists(journal.path()));
        queue.SetEntryState(path, EntryState::Finished);
        QVERIFY(readFile(journal.path()).contains("state=\"Finished\""));
        journal.discard();
        QVERIFY(!QFileInfo::exists(journal.path()));
        queue.Add(sampleItem(QStringLiteral("/v/b.mp4")));
        QTest::qWait(int(QueueJournal::kDelay.count()) + 100);
        QVERIFY(!QFileInfo::exists(journal.path()));
    }

    void unwritableFolderKeepsOldFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("project.xml"));
        writeFile(path, "previous");
        QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        QueueModel queue(m_language);
        queue.Add(sampleItem(QStringLiteral("/v/a.mp4")));
        const bool saved = QueueFile::SaveQueue(path, queue);
        QFile::setPermissions(dir.path(),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        if (saved)
            QSKIP("running with rights that ignore folder permissions");
        QCOMPARE(readFile(path), QByteArray("previous"));
    }
};

QTEST_MAIN(TestQueue)
#include "test_queue.moc"
