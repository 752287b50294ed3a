#include "CannedServer.h"
#include "common/Lang.h"
#include "common/Settings.h"
#include "common/XmlUtil.h"
#include "platform/AppPaths.h"
#include "platform/Messages.h"
#include "server/LoginSession.h"
#include "server/ServerSettings.h"
#include "server/TransferControl.h"
#include "support/CuttingProxy.h"
#include "support/ServerProcess.h"
#include "support/TestFiles.h"
#include "support/TestLanguage.h"
#include "support/TestProcesses.h"
#include "support/TestRows.h"

#ifdef CLIPFERRY_TEST_WIDGETS
#include "common/LanguageWidget.h"
#include "server/FolderPickerWidget.h"
#include "server/LoginPanelWidget.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeView>
#endif

#include <QNetworkAccessManager>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QtTest>

using namespace std::chrono_literals;

namespace {

QString dump(const CFolderTree &tree)
{
    QStringList lines;
    for (const CFolderNode *n = tree.GetNextNode(tree.Root); n; n = tree.GetNextNode(n)) {
        int depth = 0;
        for (const CFolderNode *p = n->Parent; p != tree.Root; p = p->Parent)
            ++depth;
        lines << QString(depth, u'-') + QString::number(n->ID) + u' ' + n->Name +
                     (n->Uploadable ? u"*"_qs : u""_qs);
    }
    return lines.join(u',');
}

QByteArray nested(const QList<std::tuple<int, int, const char *, bool>> &items)
{
    QByteArray xml = "<?xml version=\"1.0\"?><tarn ver=\"2.0\"><errInfo/><folder>";
    for (const auto &[id, pid, name, up] : items)
        xml += "<item><id>" + QByteArray::number(id) + "</id><pid>" + QByteArray::number(pid) +
               "</pid><name>" + name + "</name><uploadable>" + (up ? "1" : "0") + "</uploadable></item>";
    return xml + "</folder></tarn>";
}

QByteArray reply(const QByteArray &rootAttributes, const QByteArray &errInfo, const QByteArray &sysinfo)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><tarn " + rootAttributes + "><errInfo>" + errInfo +
           "</errInfo>" + sysinfo + "<item><id>4</id><name>Inbox</name></item></tarn>";
}

// `size` random bytes in the temporary folder, so that no misplaced chunk passes for the right one; its path.
QString randomFile(const QString &name, qint64 size)
{
    QByteArray bytes((size / 4 + 1) * 4, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
    bytes.truncate(size);
    const QString path = QDir::temp().filePath(name);
    writeFile(path, bytes);
    return path;
}

// A package the server registers: a profile and a video, stored by the real zip.
QString makeArchive(qint64 videoBytes)
{
    const QString profile = QDir::temp().filePath(u"tarn_profile.xml"_qs);
    writeFile(profile, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<profile><type>video</type><metadata>"
                       "<title>Cut connection</title><author>Tester</author></metadata></profile>\n");
    const QString archive = QDir::temp().filePath(u"tarn_file.zip"_qs);
    const QStringList args{u"-0jq"_qs, archive, randomFile(u"video.mp4"_qs, videoBytes), profile};
    return runProgram(u"zip"_qs, args).exitCode == 0 ? archive : QString();
}

// A field of a server's XML reply; null when the reply is not XML.
QString field(const QString &text, const QString &path)
{
    pugi::xml_document doc;
    return Xml::parseText(doc, text.toUtf8()) ? Xml::GetTextByPath(doc, path) : QString();
}

// A port that was free a moment ago: nothing answers there.
QString closedAddress()
{
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost);
    return u"127.0.0.1:"_qs + QString::number(closed.serverPort());
}

struct FolderCase
{
    const char *name;
    QByteArray xml;
    int adId;
    QString tree;
    int selected; // 0: the structure is refused
};

struct ReplyCase
{
    const char *name;
    QByteArray body;
    QString message; // empty: the login succeeds
    int qvpVer = 5;
    int adId = -99;
    bool oldServer = false;
};

} // namespace

class TestServerAccess final : public QObject
{
    Q_OBJECT

    // A login as a dialog runs it: the access state, its own transfer control and the session.
    struct Rig
    {
        Rig(TestServerAccess &test, const QString &section = u"frmAdd"_qs)
            : control(test.m_network), session(access, test.m_language, test.m_channel, &control, section)
        {}
        bool login(const QString &address, const QString &account, const QString &password)
        {
            QSignalSpy ended(&session, &LoginSession::loginEnded);
            session.setLogin({address, account, password});
            return session.RequestFolderList() && ended.wait(60000) && ended.first().first().toBool();
        }

        ServerAccess access;
        TransferControl control;
        LoginSession session;
    };

    QNetworkAccessManager m_network;
    std::unique_ptr<TransferControl> m_control;
    std::unique_ptr<ServerProcess> m_server;
    const LanguageTable m_language{languageFile()};
    Messages::Channel m_channel;
    std::shared_ptr<Messages::RecordingPresenter::Log> m_messages;

    ServerProcess &server()
    {
        if (!m_server) {
            m_server = std::make_unique<ServerProcess>(QDir::temp().filePath(u"server-data"_qs));
            if (!m_server->start({u"--demo"_qs}))
                qFatal("clipferry-server did not start");
        }
        return *m_server;
    }
    QStringList shown() const
    {
        QStringList texts;
        for (const Messages::Message &message : m_messages->messages)
            texts << message.title + u": "_qs + message.text;
        return texts;
    }
    UploadResult put(const QString &address, const QString &file, const QString &password = u"demo"_qs,
                     int folder = 1, StopToken stop = {})
    {
        return QCoro::waitFor(m_control->PutFile(u"http://"_qs + address + u"/tarn/putFile/"_qs, u"demo"_qs,
                                                 password, folder, 0, file, std::move(stop)));
    }

private Q_SLOTS:
    void init()
    {
        m_messages = m_channel.record();
        m_control = std::make_unique<TransferControl>(m_network);
        m_control->setLimits({.firstPause = 50ms});
    }

    // The previous values are 1024 and 640; values above 1920, zero and junk are dropped.
    void resolutionList()
    {
        const struct
        {
            QString list;
            int second, third;
        } cases[] = {{u"1280,854"_qs, 1024, 640},
                     {u"2560,1920,1280,640"_qs, 1280, 640},
                     {u"0,abc,1280px,854,640"_qs, 1280, 854}};
        for (const auto &c : cases) {
            ServerSettings settings;
            settings.resolutionList = c.list;
            ParseResolutionList(settings);
            QVERIFY2(settings.secondRes == c.second && settings.thirdRes == c.third, qPrintable(c.list));
        }
    }

    void folderForms_data()
    {
        addRows<FolderCase>({
            // Placed in passes: 2, 1 and 3 in the first, 4 in the second, 5 in the third.
            {"nested, deep and shuffled",
             nested({{5, 4, "Lab", true},
                     {4, 2, "Chemistry", false},
                     {2, 0, "Courses", false},
                     {1, 0, "News", true},
                     {3, 2, "Physics", true}}),
             -99, u"2 Courses,-3 Physics*,-4 Chemistry,--5 Lab*,1 News*"_qs, 1},
            {"ad folder alone stays default", nested({{1, 0, "Ads", true}, {2, 0, "Grey", false}}), 1,
             u"1 Ads*"_qs, 1},
            {"repeated id added once",
             nested({{1, 0, "News", true}, {1, 0, "Again", true}, {2, 1, "Sub", true}}), -99,
             u"1 News*,-2 Sub*"_qs, 1},
            {"flat",
             "<?xml version=\"1.0\"?><tarn ver=\"2.0\"><errInfo/><item><id>7</id><name>A</name></item>"
             "<item><id>8</id><name>B/C</name></item><item><id>9</id><name>D</name></item></tarn>",
             -99, u"7 A*,8 B/C*,9 D*"_qs, 7},
            // What was placed stays, untrimmed.
            {"orphan", nested({{1, 0, "News", false}, {2, 99, "Orphan", true}}), -99, u"1 News"_qs, 0},
        });
    }
    void folderForms()
    {
        QFETCH(FolderCase, c);
        pugi::xml_document doc;
        QVERIFY(Xml::parseText(doc, c.xml));
        CFolderTree tree;
        tree.adId = c.adId;
        QCOMPARE(tree.BuildFolderTree(doc, m_channel), c.selected != 0);
        QCOMPARE(dump(tree), c.tree);
        QCOMPARE(tree.Selected ? tree.Selected->ID : 0, c.selected);
        QCOMPARE(shown(), c.selected ? QStringList() : QStringList{u": Folder structure error!"_qs});
        // The index behind FindNode follows trimming.
        for (const CFolderNode *node : tree.Nodes())
            QCOMPARE(tree.FindNode(node->ID), node);
    }

    void replyRules_data()
    {
        const QByteArray sysinfo =
            "<sysinfo><ver>1.0</ver><enc>1</enc><cvtSetting><noCvtForMp4>1</noCvtForMp4>"
            "<customBps>1</customBps></cvtSetting><adID>4</adID><resolution>1920,1280,854"
            "</resolution></sysinfo>";
        addRows<ReplyCase>({
            {"good", reply("ver=\"2.0\" qvpver=\"7.9\"", "", sysinfo), {}, 7, 4},
            {"no sysinfo, no qvpver", reply("ver=\"2.0\"", "", ""), {}, 5, -99, true},
            {"not XML", "<html>gateway</html>", m_language.text("frmUpload", "msg_0")},
            {"does not parse", "<?xml version=\"1.0\"?><tarn ver=\"2.0\"><errInfo>",
             m_language.text("frmAdd", "msgParseXmlErr")},
            {"ver 2.00", reply("ver=\"2.00\"", "", sysinfo),
             m_language.text("frmAdd", "msgUnsupportedXmlVer")},
            {"unknown code", reply("ver=\"2.0\"", "9876", sysinfo),
             u"9876\r\n"_qs + m_language.text("frmUpload", "tarnError")},
        });
    }
    // Each reply is asked for at the path under the server field's, the account as UTF-8, the password
    // trimmed.
    void replyRules()
    {
        QFETCH(ReplyCase, c);
        CannedServer canned({c.body});
        Rig rig(*this);
        rig.access.hashPassword = false;
        QSignalSpy status(&rig.session, &LoginSession::statusChanged);
        const bool loggedIn =
            rig.login(u"http://%1/portal/"_qs.arg(canned.address()), u"démo"_qs, u" secret "_qs);
        QCOMPARE(canned.seen().size(), 1);
        const CannedServer::Seen seen = canned.seen().first();
        QCOMPARE((QByteArrayList{seen.requestLine, seen.authorization, seen.body}),
                 (QByteArrayList{"POST /portal/tarn/getfolder/ HTTP/1.1",
                                 "Basic " + u"démo:secret"_qs.toUtf8().toBase64(),
                                 "tool=v." + m_language.text("frmUpload", "frmVersion").toUtf8()}));
        QVERIFY(!rig.session.busy() && !rig.access.useHttps);
        if (!c.message.isEmpty()) {
            QVERIFY(!loggedIn);
            QCOMPARE(m_messages->messages.size(), 1);
            QVERIFY2(m_messages->messages.first().text.startsWith(c.message),
                     qPrintable(m_messages->messages.first().text));
            QCOMPARE(status.last(), (QVariantList{m_language.text("frmAdd", "msg_refreshFirst"), true}));
            return;
        }
        const ServerSettings &got = rig.access.settings;
        QCOMPARE((QVariantList{loggedIn, got.supportedQvpVer, got.adId, got.serverSysVer.isEmpty(),
                               got.noCvtForMp4, got.customBps, got.secondRes, status.last().at(0), shown()}),
                 (QVariantList{true, c.qvpVer, c.adId, c.oldServer, !c.oldServer, !c.oldServer,
                               c.oldServer ? 1024 : 1280,
                               c.oldServer ? m_language.text("frmAdd", "msg_oldSysTip") : QString(),
                               QStringList()}));
        QVERIFY(rig.access.folderTree.FindNode(4));
    }

    // Refused on enc 0, a hashed password is sent again plain, once; on enc 1 a refusal ends the login.
    void passwordRetry()
    {
        const struct
        {
            QString enc, account, password;
            int requests;
            QString message; // empty: logged in
        } cases[] = {{u"0"_qs, u"demo"_qs, u"demo"_qs, 2, {}},
                     {u"0"_qs, u"demo"_qs, u"nope"_qs, 2, m_language.text("frmUpload", "msg_1102")},
                     {u"1"_qs, u"nobody"_qs, u"demo"_qs, 1, m_language.text("frmUpload", "msg_1101")}};
        for (const auto &c : cases) {
            m_messages = m_channel.record();
            QVERIFY(!server().admin({u"setting"_qs, u"set"_qs, u"enc"_qs, c.enc}).isNull());
            Rig rig(*this);
            const bool loggedIn = rig.login(server().address(), c.account, c.password);
            server().admin({u"setting"_qs, u"set"_qs, u"enc"_qs, u"1"_qs});
            QCOMPARE((QVariantList{loggedIn, rig.session.requestsSent(), rig.access.hashPassword,
                                   rig.access.folderTree.Selected != nullptr, shown()}),
                     (QVariantList{c.message.isEmpty(), c.requests, c.enc == u"1", c.message.isEmpty(),
                                   c.message.isEmpty() ? QStringList()
                                                       : QStringList{u"GetFolder: "_qs + c.message}}));
        }
    }

    // A default profile saved for another server takes this one without its folder; on the same server
    // and account it follows the folder chosen, which the next login and the cached reply keep.
    void selectionSurvivesRefreshAndCache()
    {
        QVERIFY(
            Xml::writeFileAtomic(AppPaths::dataPath(u"tarn_profile.xml"_qs),
                                 "<?xml version=\"1.0\"?>\n<profile><server><url>elsewhere.example.org</url>"
                                 "<folderID>77</folderID><contentID>5</contentID></server></profile>\n"));
        Rig rig(*this);
        CFolderTree &tree = rig.access.folderTree;
        const auto saved = [&tree] {
            const ProfileServer profile = ReadProfileServer(AppPaths::dataDir(), {}, {});
            return QStringList{profile.url,
                               profile.folderID,
                               profile.contentID,
                               QString::number(tree.Selected->ID),
                               ReadSetting(Settings::kSection, u"folderID"_qs, {}),
                               ReadSetting(Settings::kSection, u"account"_qs, {})};
        };
        // The demo's first uploadable folder 1 is its ad folder: the default is 3; 2 is grey.
        QVERIFY(rig.login(server().address(), u"demo"_qs, u"demo"_qs));
        QCOMPARE(saved(), (QStringList{server().address(), u"0"_qs, u"5"_qs, u"3"_qs, u"3"_qs, u"demo"_qs}));
        tree.SelectFolderById(2);
        QCOMPARE(tree.Selected->ID, 3);
        tree.SelectFolderById(5);
        QVERIFY(rig.login(server().address(), u"demo"_qs, u"demo"_qs));
        QCOMPARE(saved(), (QStringList{server().address(), u"5"_qs, u"5"_qs, u"5"_qs, u"5"_qs, u"demo"_qs}));

        Rig next(*this, u"frmAddBatch"_qs);
        QVERIFY(next.session.LoadCachedFolderList() && next.session.loggedIn());
        QCOMPARE(next.access.folderTree.Selected->ID, 5);
        QCOMPARE(dump(next.access.folderTree), dump(tree));
    }

    void stopEndsCallAtOnce_data()
    {
        QTest::addColumn<bool>("upload");
        QTest::addColumn<bool>("silent"); // a server that never answers, else none at all
        QTest::newRow("request to a silent server") << false << true;
        QTest::newRow("upload to a silent server") << true << true;
        QTest::newRow("upload pausing between attempts") << true << false;
    }
    void stopEndsCallAtOnce()
    {
        QFETCH(bool, upload);
        QFETCH(bool, silent);
        const QString archive = randomFile(u"stop.bin"_qs, 1000);
        CannedServer canned({}, CannedServer::Mode::Silent);
        const QString url = u"http://%1/tarn/putFile/"_qs.arg(silent ? canned.address() : closedAddress());
        m_control->setLimits({.idle = 10min, .firstPause = 10min});
        StopSource source;
        auto ended = std::make_shared<std::optional<TransferReply>>();
        const auto keep = [ended](const TransferReply &reply) { *ended = reply; };
        if (upload)
            QCoro::connect(m_control->PutFile(url, u"a"_qs, u"b"_qs, 1, 0, archive, source.token()), this,
                           keep);
        else
            QCoro::connect(m_control->Request(url, u"a"_qs, u"b"_qs, {}, source.token()), this, keep);
        QTRY_VERIFY(!silent || canned.seen().size() == 1);
        QTest::qWait(silent ? 0 : 500); // refused at once, then a long pause
        source.requestStop();
        QVERIFY(!ended->has_value()); // never inside the caller's Stop
        QTRY_VERIFY_WITH_TIMEOUT(ended->has_value(), 5000);
        QVERIFY(ended->value().stopped());
    }

    void certificateFailureNamesHost()
    {
        const QString openssl = QStandardPaths::findExecutable(u"openssl"_qs);
        if (openssl.isEmpty())
            QSKIP("openssl is not installed");
        const QString key = QDir::temp().filePath(u"key.pem"_qs),
                      cert = QDir::temp().filePath(u"cert.pem"_qs);
        QCOMPARE(runProgram(openssl,
                            {u"req"_qs, u"-x509"_qs, u"-newkey"_qs, u"rsa:2048"_qs, u"-nodes"_qs, u"-days"_qs,
                             u"1"_qs, u"-subj"_qs, u"/CN=localhost"_qs, u"-keyout"_qs, key, u"-out"_qs, cert})
                     .exitCode,
                 0);
        ServerProcess tls(QDir::temp().filePath(u"tls-data"_qs));
        if (!tls.start({u"--demo"_qs, u"--cert"_qs, cert, u"--key"_qs, key}))
            QSKIP("the server was built without TLS");
        Rig rig(*this);
        const QString portal = u"https://"_qs + tls.address() + u"/portal"_qs;
        QVERIFY(!rig.login(portal, u"demo"_qs, u"demo"_qs));
        QVERIFY(rig.access.useHttps);
        QCOMPARE(rig.session.lastRequestUrl(), portal + u"/tarn/getfolder/"_qs);
        QCOMPARE(m_messages->messages.size(), 1);
        const QString text = m_messages->messages.first().text;
        QVERIFY2(text.startsWith(m_language.text("frmUpload", "msg_0")) && text.contains(u"127.0.0.1: "_qs) &&
                     text.contains(u"SSL"_qs, Qt::CaseInsensitive),
                 qPrintable(text));
    }

    // Three cuts, each followed by a refused connection: every one is picked up by asking the server
    // for its offset and loses at most the chunk in flight; the server stores the archive as it is.
    // Then the same upload stopped after its first chunk: the server is told to drop it.
    void uploadSurvivesCutConnectionsAndStop()
    {
        const QString archive = makeArchive(12 << 20);
        QVERIFY(!archive.isEmpty());
        const qint64 size = QFileInfo(archive).size();
        constexpr qint64 chunk = 1 << 20;
        m_control->setLimits({.firstPause = 50ms, .chunkBytes = chunk});
        CuttingProxy proxy(server().port(), {2500000, 5500000, 9500000});
        proxy.setRefuseAfterCut(true);
        const auto offsetQueries = [this] {
            return readFile(server().dataDir() + u".log"_qs).count("\nHEAD /tarn/putFile/uploads/");
        };
        const qsizetype queriesBefore = offsetQueries();
        // Progress may fall back after a cut, but never below what the server confirmed.
        int lowest = 100;
        bool backwards = false, registering = false;
        qint64 last = 0;
        QObject watching;
        connect(m_control.get(), &TransferControl::uploadProgress, &watching,
                [&](qint64 acknowledged, qint64, int percent) {
                    backwards = backwards || acknowledged < last || percent < last * 100 / size;
                    last = acknowledged;
                    lowest = std::min(lowest, percent);
                });
        connect(m_control.get(), &TransferControl::registering, &watching,
                [&] { registering = last == size; });
        UploadResult result = put(u"127.0.0.1:%1"_qs.arg(proxy.port()), archive);
        QVERIFY2(result.outcome == TransferOutcome::Replied, qPrintable(result.error));
        QCOMPARE((QVariantList{backwards, lowest, registering, proxy.cutsDone(),
                               field(result.text, u"errInfo"_qs)}),
                 (QVariantList{false, 0, true, 3, QString()}));
        QVERIFY(proxy.upstreamBytes() < size + 3 * chunk);
        QVERIFY(offsetQueries() - queriesBefore >= 3);
        const QString content = field(result.text, u"contentID"_qs);
        QVERIFY(readFile(archive) ==
                readFile(server().dataDir() + u"/contents/"_qs + content + u"/tarn_file.zip"_qs));

        const QByteArray contents = server().admin({u"content"_qs, u"list"_qs});
        StopSource source;
        connect(m_control.get(), &TransferControl::uploadProgress, this, [&](qint64 acknowledged) {
            if (acknowledged > 0)
                source.requestStop();
        });
        result = put(server().address(), archive, u"demo"_qs, 1, source.token());
        QVERIFY(result.stopped() && result.acknowledged > 0 && result.acknowledged < size);
        QTRY_VERIFY_WITH_TIMEOUT(QDir(server().dataDir() + u"/uploads"_qs).entryList(QDir::Files).isEmpty(),
                                 60000);
        QCOMPARE(server().admin({u"content"_qs, u"list"_qs}), contents);
    }

    // The real server's refusals keep its errInfo; a server gone fails once the retries run out.
    void uploadRefusals()
    {
        const QString archive = randomFile(u"refused.bin"_qs, 1000);
        const struct
        {
            QString password;
            int folder;
            QString code, error; // the refusal's errInfo (empty: the server is gone), how the error begins
        } cases[] = {{u"demo"_qs, 999, u"1201"_qs, u"127.0.0.1: HTTP 404"_qs},
                     {u"nope"_qs, 1, u"1102"_qs, u"127.0.0.1: HTTP 401"_qs},
                     {u"demo"_qs, 1, {}, u"127.0.0.1: Connection refused"_qs}};
        for (const auto &c : cases) {
            const UploadResult result =
                put(c.code.isEmpty() ? closedAddress() : server().address(), archive, c.password, c.folder);
            QVERIFY2(result.error.startsWith(c.error), qPrintable(result.error));
            QCOMPARE(c.code.isEmpty() ? result.text : field(result.text, u"errInfo"_qs), c.code);
        }
    }

    void untrustworthyTusAnswers_data()
    {
        QTest::addColumn<QList<QByteArray>>("answers"); // one per request; nothing is sent after the last
        QTest::addColumn<QString>("error");
        const auto answer = [](const char *status, const QByteArray &headers = {}) {
            return "HTTP/1.1 " + QByteArray(status) + "\r\n" + headers + "Content-Length: 0\r\n\r\n";
        };
        const auto offset = [&](const char *status, int bytes) {
            return answer(status, "Upload-Offset: " + QByteArray::number(bytes) + "\r\n");
        };
        const QByteArray created = answer("201 Created", "Location: /tarn/putFile/uploads/1\r\n");
        const QByteArray conflict = answer("409 Conflict");
        const QString elsewhere = u"127.0.0.1: the server sent the upload to another address"_qs;
        const QString beyond = u"127.0.0.1: the server claims %1 bytes of a 1000-byte upload"_qs;
        const QString back = u"127.0.0.1: the server went back from 400 confirmed bytes to %1"_qs;
        QTest::newRow("no Location") << QList{answer("201 Created")}
                                     << u"127.0.0.1: the server created the upload without its address"_qs;
        QTest::newRow("Location on another port")
            << QList{answer("201 Created", "Location: http://127.0.0.1:{other}/u/1\r\n")} << elsewhere;
        QTest::newRow("Location on another scheme")
            << QList{answer("201 Created", "Location: https://127.0.0.1:{port}/u/1\r\n")} << elsewhere;
        QTest::newRow("offset beyond the file")
            << QList{created, offset("204 No Content", 1001)} << beyond.arg(1001);
        QTest::newRow("asked offset beyond the file")
            << QList{created, conflict, offset("200 OK", 5000)} << beyond.arg(5000);
        QTest::newRow("offset going back")
            << QList{created, offset("204 No Content", 400), offset("204 No Content", 300)} << back.arg(300);
        QTest::newRow("asked offset going back")
            << QList{created, offset("204 No Content", 400), conflict, offset("200 OK", 0)} << back.arg(0);
    }
    void untrustworthyTusAnswers()
    {
        QFETCH(QList<QByteArray>, answers);
        QFETCH(QString, error);
        const QString archive = randomFile(u"hostile.bin"_qs, 1000);
        CannedServer other({});
        for (QByteArray &answer : answers)
            answer.replace("{other}", QByteArray::number(other.port()));
        CannedServer canned(answers);
        m_control->setLimits({.firstPause = 50ms, .chunkBytes = 400});
        const UploadResult result = put(canned.address(), archive);
        QVERIFY2(result.error.startsWith(error), qPrintable(result.error));
        QCOMPARE(canned.seen().size(), answers.size());
        QVERIFY(other.seen().isEmpty()); // the credentials went nowhere else
    }

    void publicTusServerReceivesBytes()
    {
        if (!QFileInfo::exists(QStringLiteral(INTEROP_DIR "/node_modules/@tus/server")))
            QSKIP("the interoperability packages are not installed (npm install in tests/server/interop)");
        const QString store = QDir::temp().filePath(u"tus-store"_qs);
        QDir().mkpath(store);
        QProcess node;
        node.start(u"node"_qs, {QStringLiteral(INTEROP_DIR "/tus-server.mjs"), store});
        QVERIFY(node.waitForStarted(30000));
        QByteArray out;
        while (!out.contains('\n') && node.waitForReadyRead(60000))
            out += node.readAllStandardOutput();
        const auto match = QRegularExpression(u"listening on (\\d+)"_qs).match(QString::fromUtf8(out));
        QVERIFY2(match.hasMatch(), out.constData());

        const QString archive = randomFile(u"interop.bin"_qs, 5 * 1024 * 1024 + 123);
        m_control->setLimits({.firstPause = 50ms, .chunkBytes = 2 << 20}); // several PATCH requests
        const UploadResult result = put(u"127.0.0.1:"_qs + match.captured(1), archive, u"demo"_qs, 3);
        QVERIFY2(result.error.isEmpty(), qPrintable(result.error));
        node.kill();
        node.waitForFinished(30000);
        const QStringList stored =
            QDir(store).entryList(QDir::Files).filter(QRegularExpression(u"^[^.]+$"_qs));
        QCOMPARE(stored.size(), 1);
        QVERIFY(readFile(archive) == readFile(store + u'/' + stored.first()));
    }

    // The password from the command line, the environment or a file, which wins; the tree as the dialog
    // offers it.
    void foldersCommand()
    {
        const QString file = QDir::temp().filePath(u"password"_qs);
        writeFile(file, "demo\n");
        const QString tree =
            server().address() +
            u"\n  1 Announcements (uploadable)\n  2 Courses\n    3 Physics (uploadable) (default)\n"
            u"    4 Chemistry\n      5 Lab sessions (uploadable)\n  9 Inbox (uploadable)\n"_qs;
        const struct
        {
            QStringList options;
            QString password; // in CLIPFERRY_PASSWORD
            int status;
            QString output; // the whole output, or a part of a complaint
        } cases[] = {
            {{u"--password"_qs, u"demo"_qs, u"--plain"_qs}, {}, 0, tree},
            {{u"--password"_qs, u"nope"_qs}, {}, 1, m_language.text("frmUpload", "msg_1102")},
            {{u"--hash"_qs, u"--plain"_qs}, {}, 2, u"--hash and --plain exclude each other"_qs},
            {{}, u"demo"_qs, 0, tree},
            {{u"--password-file"_qs, file}, u"nope"_qs, 0, tree},
            {{u"--password-file"_qs, file + u"x"_qs},
             u"demo"_qs,
             2,
             u"cannot read the password from "_qs + file + u'x'},
        };
        WriteSetting(Settings::kSection, u"folderID"_qs, {}); // no folder remembered: the server's default
        for (const auto &c : cases) {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.remove(u"CLIPFERRY_PASSWORD"_qs);
            if (!c.password.isEmpty())
                env.insert(u"CLIPFERRY_PASSWORD"_qs, c.password);
            const ToolRun run = runCli(
                QStringList{u"folders"_qs, u"--server"_qs, server().address(), u"--account"_qs, u"demo"_qs} +
                    c.options,
                env);
            QVERIFY2(run.exitCode == c.status &&
                         (c.status ? run.output.contains(c.output) && !run.output.contains(tree)
                                   : run.output == tree),
                     qPrintable(run.output));
        }
    }

#ifdef CLIPFERRY_TEST_WIDGETS
    // The picker takes only folders that take uploads: a click on a grey folder or on the server keeps the
    // choice. An edit after a login asks for a new one, and the password is hashed again until the server
    // says otherwise.
    void panelAndPickerFollowLoginAndEdits()
    {
        ServerAccess access;
        TransferControl control(m_network);
        QWidget dialog;
        dialog.setObjectName(u"frmAdd"_qs);
        auto *panel = new LoginPanelWidget(access, m_language, m_channel, &control, u"frmAdd"_qs, &dialog);
        auto *picker = new FolderPickerWidget(access.folderTree, m_channel, &dialog);
        picker->attach(panel->session());
        ApplyLanguage(m_language, &dialog);
        auto *logIn = dialog.findChild<QPushButton *>(u"cmdLogIn"_qs);
        QSignalSpy parts(panel, &LoginPanelWidget::serverDependentPartsEnabled);
        QSignalSpy ended(panel->session(), &LoginSession::loginEnded);
        panel->setLogin({server().address(), u"demo"_qs, u"demo"_qs});
        QTest::mouseClick(logIn, Qt::LeftButton);
        QVERIFY(ended.wait(60000));
        const FolderTreeModel *model = picker->model();
        const QModelIndex top = model->index(0, 0), courses = model->index(1, 0, top);
        const QModelIndex physics = model->index(0, 0, courses), inbox = model->index(2, 0, top);
        QVERIFY(picker->view()->isExpanded(top) && !(model->flags(courses) & Qt::ItemIsSelectable));
        QCOMPARE(
            (QVariantList{logIn->text(), parts.last().first(), top.data(), physics.data(),
                          model->parent(physics), model->rowCount(courses), picker->folderId(),
                          picker->folderPath(), picker->pathText()}),
            (QVariantList{m_language.text("frmAdd", "cmdRefresh"), true, server().address(), u"Physics"_qs,
                          courses, 2, u"3"_qs, u"Courses/Physics"_qs, u"Courses/Physics"_qs}));
        QSignalSpy chosen(picker, &FolderPickerWidget::folderChosen);
        Q_EMIT picker->view()->clicked(courses);
        Q_EMIT picker->view()->clicked(top);
        QCOMPARE(picker->folderId(), u"3"_qs);
        Q_EMIT picker->view()->clicked(inbox);
        QCOMPARE((QVariantList{picker->folderId(), picker->pathText(), chosen.size()}),
                 (QVariantList{u"9"_qs, u"Inbox"_qs, 1}));

        access.hashPassword = false;
        QTest::keyClick(dialog.findChild<QLineEdit *>(u"txtPassword"_qs), Qt::Key_X);
        QCOMPARE((QVariantList{logIn->text(), parts.last().first(),
                               dialog.findChild<QLabel *>(u"lStatus"_qs)->text(), access.hashPassword,
                               panel->isLoggedIn()}),
                 (QVariantList{m_language.text("frmAdd", "cmdLogIn"), false,
                               m_language.text("frmAdd", "msg_refreshFirst"), true, false}));
    }
#endif
};

QTEST_MAIN(TestServerAccess)
#include "test_server.moc"
