#include "queue/CVideoList.h"
#include "queue/QueueFile.h"
#include "queue/QueueModel.h"
#include "support/TestFiles.h"

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

struct Queue
{
    CVideoList list;
    QueueModel grid;
    void add(const CVideoItem &item)
    {
        grid.AddQueueRow(item.fileName, item.title, item.Author, item.path, item.Url, item.folderName);
        list.Add(item);
    }
};

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

private Q_SLOTS:
    void addRefusesTrimmedDuplicate()
    {
        CVideoList list;
        QVERIFY(list.Add(sampleItem(QStringLiteral("/v/a.mp4"))));
        CVideoItem padded = sampleItem(QStringLiteral(" /v/a.mp4 "));
        QVERIFY(!list.Add(padded));
        QVERIFY(list.itemExist(QStringLiteral("  /v/a.mp4")));
        QCOMPARE(list.count(), 1);

        // The key is the path as given; the stored path is trimmed.
        CVideoItem other = sampleItem(QStringLiteral(" /v/b.mp4"));
        other.title = QStringLiteral("  Spaced  ");
        QVERIFY(list.Add(other));
        QVERIFY(list.item(QStringLiteral(" /v/b.mp4")));
        QVERIFY(!list.item(QStringLiteral("/v/b.mp4")));
        QCOMPARE(list.item(QStringLiteral(" /v/b.mp4"))->path, QStringLiteral("/v/b.mp4"));
        QCOMPARE(list.item(QStringLiteral(" /v/b.mp4"))->title, QStringLiteral("Spaced"));

        list.Remove(QStringLiteral("/v/a.mp4"));
        QVERIFY(!list.itemExist(QStringLiteral("/v/a.mp4")));
        QCOMPARE(list.items().at(0).path, QStringLiteral("/v/b.mp4"));
        QVERIFY(list.Add(sampleItem(QStringLiteral("/v/a.mp4"))));
        QCOMPARE(list.items().last().path, QStringLiteral("/v/a.mp4"));
    }

    void addKeepsArgumentOrder()
    {
        CVideoList list;
        QVERIFY(list.Add(QStringLiteral("a.mp4"), QStringLiteral(" T "), QStringLiteral(" A "),
                         QStringLiteral("/p/a.mp4"), QStringLiteral("0:00:10"), 10, 640, 360, 1920, 1080,
                         QStringLiteral("800k"), QStringLiteral("64k"), QStringLiteral("url"),
                         QStringLiteral("acc"), QStringLiteral("pw"), QStringLiteral("7"),
                         QStringLiteral("9"), QStringLiteral("/f"), QStringLiteral("2.0"), true, 1, 2,
                         QStringLiteral("480"), 1200, true, 12345, QStringLiteral("date"),
                         QStringLiteral("http://doc"), true, QString()));
        const CVideoItem &item = list.items().at(0);
        QCOMPARE(item.videoWidth, 640);
        QCOMPARE(item.srcVideoWidth, 1920);
        QCOMPARE(item.srcVideoHeight, 1080);
        QCOMPARE(item.title, QStringLiteral("T"));
        QCOMPARE(item.customBps, 1200);
        QCOMPARE(item.OverwriteUrl, QStringLiteral("http://doc"));
        QVERIFY(item.useTmpName);
        QCOMPARE(item.fileSize, qint64(12345));
    }

    void dstFileName_data()
    {
        QTest::addColumn<QString>("postfix");
        QTest::addColumn<QString>("name");
        QTest::newRow("empty") << ""
                               << "video.mp4";
        QTest::newRow("480") << "480"
                             << "video_480.mp4";
    }
    void dstFileName()
    {
        QFETCH(QString, postfix);
        QFETCH(QString, name);
        CVideoItem item;
        item.dstPostfix = postfix;
        QCOMPARE(item.dstFileName(), name);
    }

    void sourceKind_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("kind");
        QTest::newRow("qvp") << "project.qvp"
                             << "Qvp";
        QTest::newRow("QVP capitals") << "PROJECT.QVP"
                                      << "Video";
        QTest::newRow("zdm") << "talk.zdm"
                             << "Zdm";
        QTest::newRow("video") << "talk.mp4"
                               << "Video";
        QTest::newRow("no extension") << "talk"
                                      << "Video";
    }
    void sourceKind()
    {
        QFETCH(QString, fileName);
        QFETCH(QString, kind);
        QCOMPARE(QueueModel::SourceKind(fileName), kind);
    }

    void stateColours_data()
    {
        QTest::addColumn<QString>("state");
        QTest::addColumn<QColor>("color");
        QTest::addColumn<bool>("bold");
        QTest::newRow("Waiting") << "Waiting" << QColor(0, 0, 0) << false;
        QTest::newRow("Transfering") << "Transfering" << QColor(0, 0, 255) << true;
        QTest::newRow("Editing") << "Editing" << QColor(0, 0, 255) << false;
        QTest::newRow("Finished") << "Finished" << QColor(0, 160, 15) << false;
        QTest::newRow("Failed") << "Failed" << QColor(255, 0, 0) << false;
        QTest::newRow("Canceled") << "Canceled" << QColor(170, 170, 170) << false;
        QTest::newRow("other text") << "Queued" << QColor(0, 0, 0) << false;
    }
    void stateColours()
    {
        QFETCH(QString, state);
        QFETCH(QColor, color);
        QFETCH(bool, bold);
        QueueModel grid;
        QFont font(QStringLiteral("Sans"), 11);
        grid.setBaseFont(font);
        grid.AddQueueRow(QStringLiteral("a.mp4"), {}, {}, QStringLiteral("/a"), {}, {});
        grid.SetEntryState(QStringLiteral("/a"), QStringLiteral("Transfering"));
        grid.SetEntryState(QStringLiteral("/a"), state);
        for (int column = 0; column < QueueModel::ColumnCount; ++column) {
            const QModelIndex index = grid.index(0, column);
            QCOMPARE(grid.data(index, Qt::ForegroundRole).value<QBrush>().color(), color);
            const QFont cellFont = grid.data(index, Qt::FontRole).value<QFont>();
            QCOMPARE(cellFont.bold(), bold);
            QCOMPARE(cellFont.pointSize(), 11);
        }
    }

    void rowOperations()
    {
        QueueModel grid;
        QAbstractItemModelTester tester(&grid, QAbstractItemModelTester::FailureReportingMode::QtTest);
        grid.AddQueueRow(QStringLiteral("a.qvp"), QStringLiteral("A"), QStringLiteral("x"),
                         QStringLiteral("/a"), QStringLiteral("u"), QStringLiteral("f"));
        grid.AddQueueRow(QStringLiteral("b.mp4"), QStringLiteral("B"), QStringLiteral("y"),
                         QStringLiteral("/b"), QStringLiteral("u"), QStringLiteral("f"));
        QCOMPARE(grid.RowOfPath(QStringLiteral("/b")), 2);
        QCOMPARE(grid.RowOfPath(QStringLiteral("/none")), 0);
        QCOMPARE(grid.GetEntryCell(QStringLiteral("/a"), QueueModel::ColClassify), QStringLiteral("Qvp"));
        QCOMPARE(grid.GetEntryCell(QStringLiteral("/a"), QueueModel::ColState), QStringLiteral("Waiting"));

        grid.SetEntryError(QStringLiteral("/a"), QStringLiteral("No such file!"));
        QCOMPARE(grid.GetEntryCell(QStringLiteral("/a"), QueueModel::ColState), QStringLiteral("Failed"));
        QCOMPARE(grid.GetEntryCell(QStringLiteral("/a"), QueueModel::ColError),
                 QStringLiteral("No such file!"));
        grid.SetEntryCell(QStringLiteral("/b"), QueueModel::ColCvtBeginTime, QStringLiteral("10:00:00"));

        grid.SwapQueueRows(1, 2);
        QCOMPARE(grid.RowOfPath(QStringLiteral("/b")), 1);
        QCOMPARE(grid.cell(1, QueueModel::ColCvtBeginTime), QStringLiteral("10:00:00"));
        grid.SwapQueueRows(0, 2);
        grid.SwapQueueRows(1, 3);
        QCOMPARE(grid.RowOfPath(QStringLiteral("/b")), 1);

        QVERIFY(grid.AnyEntryWaiting());
        QVERIFY(!grid.AnyEntryTransfering());
        QCOMPARE(grid.NextWaitingEntry(), 1);
        QCOMPARE(grid.currentPath, QStringLiteral("/b"));

        grid.UpdateQueueRow(2, QStringLiteral("c.zdm"), QStringLiteral("C"), {}, QStringLiteral("/c"), {},
                            {});
        QCOMPARE(grid.GetEntryCell(QStringLiteral("/c"), QueueModel::ColState), QStringLiteral("Waiting"));
        QCOMPARE(grid.GetEntryCell(QStringLiteral("/c"), QueueModel::ColClassify), QStringLiteral("Zdm"));
        QCOMPARE(grid.RowOfPath(QStringLiteral("/a")), 0);

        grid.removeQueueRow(1);
        QCOMPARE(grid.RowOfPath(QStringLiteral("/c")), 1);
        // Paths with no row change nothing.
        grid.SetEntryState(QStringLiteral("/gone"), QStringLiteral("Finished"));
        grid.SetEntryError(QStringLiteral("/gone"), QStringLiteral("x"));
        QCOMPARE(grid.rowCount(), 1);
    }

    void nextWaitingWithNoneLeft()
    {
        QueueModel grid;
        QSignalSpy noneLeft(&grid, &QueueModel::noWaitingEntry);
        QCOMPARE(grid.NextWaitingEntry(), 0);
        QCOMPARE(noneLeft.count(), 1);
        grid.AddQueueRow(QStringLiteral("a.mp4"), {}, {}, QStringLiteral("/a"), {}, {});
        grid.SetEntryError(QStringLiteral("/a"), QStringLiteral("bad"));
        grid.currentPath = QStringLiteral("/kept");
        QCOMPARE(grid.NextWaitingEntry(), 0);
        QCOMPARE(noneLeft.count(), 2);
        QCOMPARE(grid.currentPath, QStringLiteral("/kept"));
    }

    void tagNameAt_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("position");
        QTest::addColumn<QString>("name");
        QTest::newRow("start tag") << "<title></title>" << 0 << "title";
        QTest::newRow("end of start tag") << "<title></title>" << 6 << "title";
        QTest::newRow("end tag slash removed") << "<title></title>" << 7 << "title";
        QTest::newRow("attributes kept") << "<clipferry ver=\"2\">" << 0 << "clipferry ver=\"2\"";
        QTest::newRow("other character") << "<a>x</a>" << 3 << "";
        QTest::newRow("outside") << "<a>" << 9 << "";
    }
    void tagNameAt()
    {
        QFETCH(QString, text);
        QFETCH(int, position);
        QFETCH(QString, name);
        QCOMPARE(QueueFile::TagNameAt(text, position), name);
    }

    // The exact bytes of a one-entry queue file.
    void savedBytes()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("project.xml"));
        Queue q;
        CVideoItem item = sampleItem(QStringLiteral("/v/a.mp4"));
        item.title.clear();
        q.add(item);
        QVERIFY(QueueFile::SaveQueue(path, q.list, q.grid));
        const QByteArray expected =
            "<?xml version=\"1.0\"?>\r\n<clipferry ver=\"2.120222\">\r\n<queue>\r\n<file>\r\n"
            "<fileName>a.mp4</fileName>\r\n<title></title>\r\n<Author>Ann</Author>\r\n<state></state>\r\n"
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
        Queue saved;
        CVideoItem a = sampleItem(QStringLiteral("/v/a.mp4"));
        a.state = QStringLiteral("Waiting");
        CVideoItem b = sampleItem(QStringLiteral("/v/b.mp4"));
        b.OverwriteUrl = QStringLiteral("http://h/doc?id=1&x=2");
        b.title = QStringLiteral("Über <alles> & \"mehr\"");
        CVideoItem c = sampleItem(QStringLiteral("/v/c.mp4"));
        saved.add(a);
        saved.add(b);
        saved.add(c);
        saved.grid.SetEntryState(a.path, QStringLiteral("Finished"));
        saved.grid.SetEntryError(c.path, QStringLiteral("Open file error!"));
        QVERIFY(QueueFile::SaveQueue(path, saved.list, saved.grid));

        Queue loaded;
        QVERIFY(QueueFile::LoadQueue(path, loaded.list, loaded.grid));
        QCOMPARE(loaded.list.count(), 2);
        const CVideoItem &lb = loaded.list.items().at(0);
        QCOMPARE(lb.path, b.path);
        QCOMPARE(lb.title, b.title);
        QCOMPARE(lb.password, QStringLiteral("p<&>w"));
        QCOMPARE(lb.OverwriteUrl, b.OverwriteUrl);
        QCOMPARE(lb.fileSize, b.fileSize);
        QVERIFY(lb.useTmpName && lb.bEncPassword && !lb.bInterlaced);
        QCOMPARE(lb.dstPostfix, QStringLiteral("480"));
        // A failed entry comes back waiting, with no error.
        QCOMPARE(loaded.grid.GetEntryCell(c.path, QueueModel::ColState), QStringLiteral("Waiting"));
        QCOMPARE(loaded.grid.GetEntryCell(c.path, QueueModel::ColError), QString());
        QCOMPARE(loaded.grid.rowCount(), 2);
    }

    void allFinishedLeavesNoFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("project.xml"));
        writeFile(path, "old");
        Queue q;
        q.add(sampleItem(QStringLiteral("/v/a.mp4")));
        q.grid.SetEntryState(QStringLiteral("/v/a.mp4"), QStringLiteral("Finished"));
        QVERIFY(QueueFile::SaveQueue(path, q.list, q.grid));
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
        Queue q;
        QCOMPARE(QueueFile::LoadQueue(path, q.list, q.grid), startEnabled);
        QCOMPARE(q.grid.rowCount(), paths.size());
        QCOMPARE(q.list.count(), paths.size());
        for (int i = 0; i < paths.size(); ++i) {
            QCOMPARE(q.grid.cell(i + 1, QueueModel::ColPath), paths.at(i));
            QCOMPARE(q.list.items().at(i).OverwriteUrl, QString());
            QVERIFY(!q.list.items().at(i).useTmpName);
            QVERIFY(q.list.items().at(i).state.isEmpty());
        }
        QCOMPARE(QFileInfo::exists(path), fileKept);
    }

    void missingFileLoadsNothing()
    {
        Queue q;
        QVERIFY(!QueueFile::LoadQueue(QStringLiteral("/nonexistent/project.xml"), q.list, q.grid));
        QCOMPARE(q.grid.rowCount(), 0);
    }

    void unwritableFolderKeepsOldFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("project.xml"));
        writeFile(path, "previous");
        QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        Queue q;
        q.add(sampleItem(QStringLiteral("/v/a.mp4")));
        const bool saved = QueueFile::SaveQueue(path, q.list, q.grid);
        QFile::setPermissions(dir.path(),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        if (saved)
            QSKIP("running with rights that ignore folder permissions");
        QCOMPARE(readFile(path), QByteArray("previous"));
    }
};

QTEST_MAIN(TestQueue)
#include "test_queue.moc"
