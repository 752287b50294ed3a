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
#include "support/TestLanguage.h"
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

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
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

bool sameFile(const QString &a, const QString &b)
{
    QFile fa(a), fb(b);
    if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly) || fa.size() != fb.size())
        return false;
    while (!fa.atEnd()) {
        if (fa.read(1 << 20) != fb.read(1 << 20))
            return false;
    }
    return true;
}

// `size` random bytes, none repeating a block that a misplaced chunk could stand for; its path.
QString bytesFile(const QString &path, qint64 size)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (qint64 left = size; left > 0; left -= block.size()) {
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
        file.write(block.constData(), std::min<qint64>(left, block.size()));
    }
    return path;
}

// A stored package the server registers: a profile and a video, zipped by the real zip.
QString makeArchive(const QString &dir, qint64 videoBytes)
{
    if (bytesFile(dir + u"/pkg/video.mp4"_qs, videoBytes).isEmpty() ||
        !Xml::writeFileAtomic(
            dir + u"/pkg/tarn_profile.xml"_qs,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<profile><type>video</type><metadata>"
            "<title>Cut connection</title><author>Tester</author></metadata></profile>\n"))
        return {};
    QProcess zip;
    zip.setWorkingDirectory(dir + u"/pkg"_qs);
    zip.start(u"zip"_qs, {u"-0"_qs, u"-r"_qs, u"-q"_qs, dir + u"/tarn_file.zip"_qs, u"."_qs});
    if (!zip.waitForFinished(120000) || zip.exitCode() != 0)
        return {};
    return dir + u"/tarn_file.zip"_qs;
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

} // namespace

class TestServerAccess final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void resolutionList();
    void folderForms_data();
    void folderForms();
    void replyRules_data();
    void replyRules();
    void requestShape();
    void passwordRetry_data();
    void passwordRetry();
    void selectionSurvivesRefreshAndCache();
    void stopEndsCallAtOnce_data();
    void stopEndsCallAtOnce();
    void certificateFailureNamesHost();
    void uploadSurvivesCutConnections();
    void stopLeavesNothingRegistered();
    void uploadRefusals_data();
    void uploadRefusals();
    void untrustworthyTusAnswers_data();
    void untrustworthyTusAnswers();
    void publicTusServerReceivesBytes();
    void foldersCommand_data();
    void foldersCommand();
#ifdef CLIPFERRY_TEST_WIDGETS
    void pickerTakesOnlyUploadableFolders();
    void panelFollowsLoginAndEdits();
#endif

private:
    // A login as a dialog runs it: the access state, its own transfer control and the session.
    struct Rig
    {
        Rig(TestServerAccess &test, const QString &section = u"frmAdd"_qs)
            : control(test.m_network), session(access, test.m_language, test.m_channel, &control, section)
        {}
        bool login(const QString &server, const QString &account, const QString &password);

        ServerAccess access;
        TransferControl control;
        LoginSession session;
    };
    ServerProcess &server();
    qint64 serverLogCount(const char *request);
    // Uploads `file` to folder 1 of `address` through m_control.
    UploadResult put(const QString &address, const QString &file, const QString &password = u"demo"_qs,
                     int folder = 1, StopToken stop = {});

    QNetworkAccessManager m_network;
    std::unique_ptr<TransferControl> m_control;
    std::unique_ptr<ServerProcess> m_server;
    const LanguageTable m_language{languageFile()};
    Messages::Channel m_channel;
    std::shared_ptr<Messages::RecordingPresenter::Log> m_messages;
};

void TestServerAccess::init()
{
    m_messages = m_channel.record();
    m_control = std::make_unique<TransferControl>(m_network);
    m_control->setLimits({.firstPause = 50ms});
}

UploadResult TestServerAccess::put(const QString &address, const QString &file, const QString &password,
                                   int folder, StopToken stop)
{
    return QCoro::waitFor(m_control->PutFile(u"http://"_qs + address + u"/tarn/putFile/"_qs, u"demo"_qs,
                                             password, folder, 0, file, std::move(stop)));
}

ServerProcess &TestServerAccess::server()
{
    if (!m_server) {
        m_server = std::make_unique<ServerProcess>(QDir::temp().filePath(u"server-data"_qs));
        if (!m_server->start({u"--demo"_qs}))
            qFatal("clipferry-server did not start");
    }
    return *m_server;
}

bool TestServerAccess::Rig::login(const QString &address, const QString &account, const QString &password)
{
    QSignalSpy ended(&session, &LoginSession::loginEnded);
    session.setLogin({address, account, password});
    return session.RequestFolderList() && ended.wait(60000) && ended.first().first().toBool();
}

// The previous values are 1024 and 640; values above 1920, zero and junk are dropped.
void TestServerAccess::resolutionList()
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

struct FolderCase
{
    const char *name;
    QByteArray xml;
    int adId;
    QString tree;
    int selected; // 0: the structure is refused
};

void TestServerAccess::folderForms_data()
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
        {"repeated id added once", nested({{1, 0, "News", true}, {1, 0, "Again", true}, {2, 1, "Sub", true}}),
         -99, u"1 News*,-2 Sub*"_qs, 1},
        {"flat",
         "<?xml version=\"1.0\"?><tarn ver=\"2.0\"><errInfo/><item><id>7</id><name>A</name></item>"
         "<item><id>8</id><name>B/C</name></item><item><id>9</id><name>D</name></item></tarn>",
         -99, u"7 A*,8 B/C*,9 D*"_qs, 7},
        // What was placed stays, untrimmed.
        {"orphan", nested({{1, 0, "News", false}, {2, 99, "Orphan", true}}), -99, u"1 News"_qs, 0},
    });
}

void TestServerAccess::folderForms()
{
    QFETCH(FolderCase, c);
    pugi::xml_document doc;
    QVERIFY(Xml::parseText(doc, c.xml));
    CFolderTree tree;
    tree.adId = c.adId;
    QCOMPARE(tree.BuildFolderTree(doc, m_channel), c.selected != 0);
    QCOMPARE(dump(tree), c.tree);
    if (c.selected == 0) {
        QCOMPARE(m_messages->messages.size(), 1);
        QCOMPARE(m_messages->messages.first().text, u"Folder structure error!"_qs);
        return;
    }
    QVERIFY(tree.Selected);
    QCOMPARE(tree.Selected->ID, c.selected);
    QVERIFY(m_messages->messages.isEmpty());
    // The index behind FindNode follows trimming.
    for (const CFolderNode *node : tree.Nodes())
        QCOMPARE(tree.FindNode(node->ID), node);
}

struct ReplyCase
{
    const char *name;
    QByteArray body;
    QString message; // empty: the login succeeds
    int qvpVer = 5;
    int adId = -99;
    bool oldServer = false;
};

void TestServerAccess::replyRules_data()
{
    const QByteArray sysinfo = "<sysinfo><ver>1.0</ver><enc>1</enc><cvtSetting><noCvtForMp4>1</noCvtForMp4>"
                               "<customBps>1</customBps></cvtSetting><adID>4</adID><resolution>1920,1280,854"
                               "</resolution></sysinfo>";
    const QString upload = u"frmUpload"_qs;
    const QString add = u"frmAdd"_qs;
    addRows<ReplyCase>({
        {"good", reply("ver=\"2.0\" qvpver=\"7.9\"", "", sysinfo), {}, 7, 4},
        {"no sysinfo, no qvpver", reply("ver=\"2.0\"", "", ""), {}, 5, -99, true},
        {"not XML", "<html>gateway</html>", m_language.text(upload, u"msg_0"_qs)},
        {"does not parse", "<?xml version=\"1.0\"?><tarn ver=\"2.0\"><errInfo>",
         m_language.text(add, u"msgParseXmlErr"_qs)},
        {"ver 2.00", reply("ver=\"2.00\"", "", sysinfo), m_language.text(add, u"msgUnsupportedXmlVer"_qs)},
        {"unknown code", reply("ver=\"2.0\"", "9876", sysinfo),
         u"9876\r\n"_qs + m_language.text(upload, u"tarnError"_qs)},
    });
}

void TestServerAccess::replyRules()
{
    QFETCH(ReplyCase, c);
    CannedServer canned({c.body});
    Rig rig(*this);
    QSignalSpy status(&rig.session, &LoginSession::statusChanged);
    QCOMPARE(rig.login(canned.address(), u"demo"_qs, u"demo"_qs), c.message.isEmpty());
    QCOMPARE(canned.seen().size(), 1);
    QVERIFY(!rig.session.busy());
    if (!c.message.isEmpty()) {
        QCOMPARE(m_messages->messages.size(), 1);
        QVERIFY2(m_messages->messages.first().text.startsWith(c.message),
                 qPrintable(m_messages->messages.first().text));
        QCOMPARE(status.last(), (QVariantList{m_language.text(u"frmAdd"_qs, u"msg_refreshFirst"_qs), true}));
        return;
    }
    QVERIFY(m_messages->messages.isEmpty());
    const ServerSettings &got = rig.access.settings;
    QCOMPARE(
        (QVariantList{got.supportedQvpVer, got.adId, got.serverSysVer.isEmpty(), got.noCvtForMp4,
                      got.customBps, got.secondRes}),
        (QVariantList{c.qvpVer, c.adId, c.oldServer, !c.oldServer, !c.oldServer, c.oldServer ? 1024 : 1280}));
    QCOMPARE(status.last().at(0).toString(),
             c.oldServer ? m_language.text(u"frmAdd"_qs, u"msg_oldSysTip"_qs) : QString());
    QVERIFY(rig.access.folderTree.FindNode(4));
}

// The request line follows the server field's path; the account goes as UTF-8, the password trimmed.
void TestServerAccess::requestShape()
{
    CannedServer canned({reply("ver=\"2.0\"", "", "")});
    Rig rig(*this);
    rig.access.hashPassword = false;
    QVERIFY(rig.login(u"http://%1/portal/"_qs.arg(canned.address()), u"démo"_qs, u" secret "_qs));
    QVERIFY(!rig.access.useHttps);
    const CannedServer::Seen seen = canned.seen().first();
    QCOMPARE(seen.requestLine, "POST /portal/tarn/getfolder/ HTTP/1.1");
    QCOMPARE(seen.authorization, "Basic " + u"démo:secret"_qs.toUtf8().toBase64());
    QCOMPARE(seen.body, "tool=v." + m_language.text(u"frmUpload"_qs, u"frmVersion"_qs).toUtf8());
}

struct PasswordCase
{
    const char *name;
    QString enc, account, password;
    int requests;
    QString message; // empty: logged in
    bool hashAfter;
};

void TestServerAccess::passwordRetry_data()
{
    const QString upload = u"frmUpload"_qs;
    addRows<PasswordCase>({
        {"enc 1, hashed accepted", u"1"_qs, u"demo"_qs, u"demo"_qs, 1, {}, true},
        {"enc 0, retried plain", u"0"_qs, u"demo"_qs, u"demo"_qs, 2, {}, false},
        {"enc 0, wrong twice", u"0"_qs, u"demo"_qs, u"nope"_qs, 2, m_language.text(upload, u"msg_1102"_qs),
         false},
        {"enc 1, unknown account at once", u"1"_qs, u"nobody"_qs, u"demo"_qs, 1,
         m_language.text(upload, u"msg_1101"_qs), true},
    });
}

void TestServerAccess::passwordRetry()
{
    QFETCH(PasswordCase, c);
    QVERIFY(!server().admin({u"setting"_qs, u"set"_qs, u"enc"_qs, c.enc}).isNull());
    Rig rig(*this);
    QCOMPARE(rig.login(server().address(), c.account, c.password), c.message.isEmpty());
    QCOMPARE(rig.session.requestsSent(), c.requests);
    QCOMPARE(rig.access.hashPassword, c.hashAfter);
    if (c.message.isEmpty()) {
        QVERIFY(m_messages->messages.isEmpty());
        QVERIFY(rig.access.folderTree.Selected);
    } else {
        QCOMPARE(m_messages->messages.size(), 1);
        QCOMPARE(m_messages->messages.first().text, c.message);
        QCOMPARE(m_messages->messages.first().title, u"GetFolder"_qs);
    }
    server().admin({u"setting"_qs, u"set"_qs, u"enc"_qs, u"1"_qs});
}

void TestServerAccess::selectionSurvivesRefreshAndCache()
{
    // A default profile of another server: its folder means nothing on this one.
    const QString profile = AppPaths::dataPath(u"tarn_profile.xml"_qs);
    QVERIFY(Xml::writeFileAtomic(profile,
                                 "<?xml version=\"1.0\"?>\n<profile><server><url>elsewhere.example.org</url>"
                                 "<folderID>77</folderID><contentID>5</contentID></server></profile>\n"));
    const auto profileServer = [] {
        const ProfileServer saved = ReadProfileServer(AppPaths::dataDir(), {}, {});
        return QStringList{saved.url, saved.folderID, saved.contentID};
    };

    Rig rig(*this);
    ServerAccess &access = rig.access;
    QVERIFY(rig.login(server().address(), u"demo"_qs, u"demo"_qs));
    QCOMPARE(profileServer(), (QStringList{server().address(), u"0"_qs, u"5"_qs}));
    CFolderTree &tree = access.folderTree;
    // The demo's ad folder is its first uploadable one, so the default is the next.
    QVERIFY(tree.Selected);
    QVERIFY(tree.Selected->ID != access.settings.adId);
    const CFolderNode *grey = nullptr;
    const CFolderNode *other = nullptr;
    for (const auto &node : tree.Nodes()) {
        if (node != tree.Root && !node->Uploadable)
            grey = node;
        if (node->Uploadable && node != tree.Selected && node->ID != access.settings.adId)
            other = node;
    }
    QVERIFY(grey && other);
    const int chosen = other->ID;
    tree.SelectFolderById(grey->ID); // a grey folder cannot be chosen
    QVERIFY(tree.Selected != grey);
    tree.SelectFolderById(chosen);
    QVERIFY(rig.login(server().address(), u"demo"_qs, u"demo"_qs));
    QCOMPARE(tree.Selected->ID, chosen);
    QCOMPARE(ReadSetting(Settings::kSection, u"folderID"_qs, {}), QString::number(chosen));
    QCOMPARE(ReadSetting(Settings::kSection, u"account"_qs, {}), u"demo"_qs);
    // Same server and account as last time: the profile follows the folder.
    QCOMPARE(profileServer(), (QStringList{server().address(), QString::number(chosen), u"5"_qs}));

    // The next dialog starts from the cached reply, on the folder saved last.
    Rig next(*this, u"frmAddBatch"_qs);
    QVERIFY(next.session.LoadCachedFolderList());
    QVERIFY(next.session.loggedIn());
    QCOMPARE(next.access.folderTree.Selected->ID, chosen);
    QCOMPARE(dump(next.access.folderTree), dump(tree));
}

void TestServerAccess::stopEndsCallAtOnce_data()
{
    QTest::addColumn<bool>("upload");
    QTest::addColumn<bool>("silent"); // a server that never answers, else none at all
    QTest::newRow("request to a silent server") << false << true;
    QTest::newRow("upload to a silent server") << true << true;
    QTest::newRow("upload pausing between attempts") << true << false;
}

void TestServerAccess::stopEndsCallAtOnce()
{
    QFETCH(bool, upload);
    QFETCH(bool, silent);
    const QString archive = bytesFile(QDir::temp().filePath(u"stop.bin"_qs), 1000);
    CannedServer canned({}, CannedServer::Mode::Silent);
    const QString url = u"http://%1/tarn/putFile/"_qs.arg(silent ? canned.address() : closedAddress());
    m_control->setLimits({.idle = 10min, .firstPause = 10min});
    StopSource source;
    auto ended = std::make_shared<std::optional<TransferReply>>();
    const auto keep = [ended](const TransferReply &reply) { *ended = reply; };
    if (upload)
        QCoro::connect(m_control->PutFile(url, u"a"_qs, u"b"_qs, 1, 0, archive, source.token()), this, keep);
    else
        QCoro::connect(m_control->Request(url, u"a"_qs, u"b"_qs, {}, source.token()), this, keep);
    QTRY_VERIFY(!silent || canned.seen().size() == 1);
    QTest::qWait(silent ? 0 : 500); // refused at once, then a long pause
    source.requestStop();
    QVERIFY(!ended->has_value()); // never inside the caller's Stop
    QTRY_VERIFY_WITH_TIMEOUT(ended->has_value(), 5000);
    QVERIFY(ended->value().stopped());
}

void TestServerAccess::certificateFailureNamesHost()
{
    const QString dir = QDir::temp().filePath(u"tls"_qs);
    QDir().mkpath(dir);
    const QString openssl = QStandardPaths::findExecutable(u"openssl"_qs);
    if (openssl.isEmpty())
        QSKIP("openssl is not installed");
    QProcess make;
    make.start(openssl, {u"req"_qs, u"-x509"_qs, u"-newkey"_qs, u"rsa:2048"_qs, u"-nodes"_qs, u"-days"_qs,
                         u"1"_qs, u"-subj"_qs, u"/CN=localhost"_qs, u"-keyout"_qs, dir + u"/key.pem"_qs,
                         u"-out"_qs, dir + u"/cert.pem"_qs});
    QVERIFY(make.waitForFinished(60000) && make.exitCode() == 0);
    ServerProcess tls(QDir::temp().filePath(u"tls-data"_qs));
    if (!tls.start({u"--demo"_qs, u"--cert"_qs, dir + u"/cert.pem"_qs, u"--key"_qs, dir + u"/key.pem"_qs}))
        QSKIP("the server was built without TLS");

    Rig rig(*this);
    QVERIFY(!rig.login(u"https://"_qs + tls.address() + u"/portal"_qs, u"demo"_qs, u"demo"_qs));
    QVERIFY(rig.access.useHttps);
    QCOMPARE(rig.session.lastRequestUrl(), u"https://"_qs + tls.address() + u"/portal/tarn/getfolder/"_qs);
    QCOMPARE(m_messages->messages.size(), 1);
    const QString text = m_messages->messages.first().text;
    QVERIFY2(text.startsWith(m_language.text(u"frmUpload"_qs, u"msg_0"_qs)), qPrintable(text));
    QVERIFY2(text.contains(u"127.0.0.1: "_qs) && text.contains(u"SSL"_qs, Qt::CaseInsensitive),
             qPrintable(text));
}

// Requests of the server's log whose line begins with `request`.
qint64 TestServerAccess::serverLogCount(const char *request)
{
    QFile log(server().dataDir() + u".log"_qs);
    if (!log.open(QIODevice::ReadOnly))
        return 0;
    qint64 count = 0;
    while (!log.atEnd()) {
        if (log.readLine().startsWith(request))
            ++count;
    }
    return count;
}

void TestServerAccess::uploadSurvivesCutConnections()
{
    const QString archive = makeArchive(QDir::temp().filePath(u"big"_qs), 200ll * 1024 * 1024);
    QVERIFY(!archive.isEmpty());
    const qint64 size = QFileInfo(archive).size();
    CuttingProxy proxy(server().port(), {30ll << 20, 75ll << 20, 150ll << 20});
    proxy.setRefuseAfterCut(true);
    const qint64 offsetQueries = serverLogCount("HEAD /tarn/putFile/uploads/");
    TransferControl &control = *m_control;

    // Progress may fall back after a cut, but never below what the server confirmed.
    int lowest = 100;
    bool backwards = false;
    bool registering = false;
    qint64 lastAcknowledged = 0;
    connect(&control, &TransferControl::uploadProgress, this, [&](qint64 acknowledged, qint64, int percent) {
        backwards = backwards || acknowledged < lastAcknowledged || percent < lastAcknowledged * 100 / size;
        lastAcknowledged = acknowledged;
        lowest = std::min(lowest, percent);
    });
    connect(&control, &TransferControl::registering, this, [&] { registering = lastAcknowledged == size; });
    const UploadResult result = put(u"127.0.0.1:%1"_qs.arg(proxy.port()), archive);
    QVERIFY(!backwards);
    QCOMPARE(lowest, 0);
    QVERIFY(registering);
    QCOMPARE(proxy.cutsDone(), 3);
    // Each cut loses at most the chunk in flight; nothing starts over from zero.
    QVERIFY(proxy.upstreamBytes() < size + 3 * TransferControl::Limits().chunkBytes);
    // Every cut was picked up by asking the server for its offset.
    QVERIFY(serverLogCount("HEAD /tarn/putFile/uploads/") - offsetQueries >= 3);
    QVERIFY2(result.outcome == TransferOutcome::Replied, qPrintable(result.error));
    QCOMPARE(field(result.text, u"errInfo"_qs), QString());
    const QString content = field(result.text, u"contentID"_qs); // a stored copy of the archive proves it
    QVERIFY(sameFile(archive, server().dataDir() + u"/contents/"_qs + content + u"/tarn_file.zip"_qs));
    QFile::remove(archive);
}

void TestServerAccess::stopLeavesNothingRegistered()
{
    const auto before = server().admin({u"content"_qs, u"list"_qs});
    QVERIFY(!before.isNull());
    const QString archive = bytesFile(QDir::temp().filePath(u"cancel.bin"_qs), 40ll * 1024 * 1024);
    QVERIFY(!archive.isEmpty());
    m_control->setLimits({.firstPause = 50ms, .chunkBytes = 4 << 20});
    StopSource source;
    connect(m_control.get(), &TransferControl::uploadProgress, this, [&](qint64 acknowledged) {
        if (acknowledged > 0)
            source.requestStop();
    });
    const UploadResult result = put(server().address(), archive, u"demo"_qs, 1, source.token());
    QVERIFY(result.stopped());
    QVERIFY(result.acknowledged > 0 && result.acknowledged < QFileInfo(archive).size());
    const QDir uploads(server().dataDir() + u"/uploads"_qs);
    QTRY_VERIFY_WITH_TIMEOUT(uploads.entryList(QDir::Files).isEmpty(), 60000);
    QCOMPARE(server().admin({u"content"_qs, u"list"_qs}), before);
}

struct RefusalCase
{
    const char *name;
    QString password;
    int folder;
    QString code;  // the refusal's errInfo; empty: the server is gone
    QString error; // how the error begins
};

void TestServerAccess::uploadRefusals_data()
{
    addRows<RefusalCase>({
        {"no such folder", u"demo"_qs, 999, u"1201"_qs, u"127.0.0.1: HTTP 404"_qs},
        {"grey folder", u"demo"_qs, 2, u"1202"_qs, u"127.0.0.1: HTTP 403"_qs},
        {"wrong password", u"nope"_qs, 1, u"1102"_qs, u"127.0.0.1: HTTP 401"_qs},
        {"server gone, retries run out", u"demo"_qs, 1, {}, u"127.0.0.1: Connection refused"_qs},
    });
}

void TestServerAccess::uploadRefusals()
{
    QFETCH(RefusalCase, c);
    const QString archive = bytesFile(QDir::temp().filePath(u"refused.bin"_qs), 1000);
    const UploadResult result =
        put(c.code.isEmpty() ? closedAddress() : server().address(), archive, c.password, c.folder);
    QVERIFY2(result.error.startsWith(c.error), qPrintable(result.error));
    QCOMPARE(c.code.isEmpty() ? result.text : field(result.text, u"errInfo"_qs), c.code);
}

void TestServerAccess::untrustworthyTusAnswers_data()
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

void TestServerAccess::untrustworthyTusAnswers()
{
    QFETCH(QList<QByteArray>, answers);
    QFETCH(QString, error);
    const QString archive = bytesFile(QDir::temp().filePath(u"hostile.bin"_qs), 1000);
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

void TestServerAccess::publicTusServerReceivesBytes()
{
    const QString script = QStringLiteral(INTEROP_DIR "/tus-server.mjs");
    if (!QFileInfo::exists(QStringLiteral(INTEROP_DIR "/node_modules/@tus/server")))
        QSKIP("the interoperability packages are not installed (npm install in tests/server/interop)");
    const QString store = QDir::temp().filePath(u"tus-store"_qs);
    QDir().mkpath(store);
    QProcess node;
    node.start(u"node"_qs, {script, store});
    QVERIFY(node.waitForStarted(30000));
    QByteArray out;
    while (!out.contains('\n') && node.waitForReadyRead(60000))
        out += node.readAllStandardOutput();
    const auto match = QRegularExpression(u"listening on (\\d+)"_qs).match(QString::fromUtf8(out));
    QVERIFY2(match.hasMatch(), out.constData());

    const QString archive = bytesFile(QDir::temp().filePath(u"interop.bin"_qs), 5 * 1024 * 1024 + 123);
    m_control->setLimits({.firstPause = 50ms, .chunkBytes = 2 << 20}); // several PATCH requests
    const UploadResult result = put(u"127.0.0.1:"_qs + match.captured(1), archive, u"demo"_qs, 3);
    QVERIFY2(result.error.isEmpty(), qPrintable(result.error));
    node.kill();
    node.waitForFinished(30000);
    const QStringList stored = QDir(store).entryList(QDir::Files).filter(QRegularExpression(u"^[^.]+$"_qs));
    QCOMPARE(stored.size(), 1);
    QVERIFY(sameFile(archive, store + u'/' + stored.first()));
}

struct FoldersCase
{
    const char *name;
    QStringList options;
    QString password; // in CLIPFERRY_PASSWORD
    int status;
    QString out;
    QString err;
};

void TestServerAccess::foldersCommand_data()
{
    const QString tree =
        u"  1 Announcements (uploadable)\n  2 Courses\n    3 Physics (uploadable) (default)\n"
        u"    4 Chemistry\n      5 Lab sessions (uploadable)\n  9 Inbox (uploadable)\n"_qs;
    const QString file = QDir::temp().filePath(u"password"_qs);
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write("demo\n") == 5);
    addRows<FoldersCase>({
        {"plain", {u"--password"_qs, u"demo"_qs, u"--plain"_qs}, {}, 0, tree, {}},
        {"wrong password",
         {u"--password"_qs, u"nope"_qs},
         {},
         1,
         {},
         m_language.text(u"frmUpload"_qs, u"msg_1102"_qs)},
        {"both forms", {u"--hash"_qs, u"--plain"_qs}, {}, 2, {}, u"--hash"_qs},
        // Out of the process list: from the environment, or from a file, which wins.
        {"password from the environment", {}, u"demo"_qs, 0, tree, {}},
        {"password file", {u"--password-file"_qs, file}, u"nope"_qs, 0, tree, {}},
        {"password file missing",
         {u"--password-file"_qs, file + u"x"_qs},
         u"demo"_qs,
         2,
         {},
         u"cannot read"_qs},
    });
}

void TestServerAccess::foldersCommand()
{
    QFETCH(FoldersCase, c);
    const QString cli = QDir(qEnvironmentVariable("CLIPFERRY_TOOLS")).absoluteFilePath(u"clipferry-cli"_qs);
    if (!QFileInfo(cli).isExecutable())
        QSKIP("clipferry-cli is not built");
    WriteSetting(Settings::kSection, u"folderID"_qs, {}); // no folder remembered: the server's default
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(u"CLIPFERRY_PASSWORD"_qs);
    if (!c.password.isEmpty())
        env.insert(u"CLIPFERRY_PASSWORD"_qs, c.password);
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(
        cli, QStringList{u"folders"_qs, u"--server"_qs, server().address(), u"--account"_qs, u"demo"_qs} +
                 c.options);
    QVERIFY(process.waitForFinished(120000));
    QCOMPARE(process.exitCode(), c.status);
    QCOMPARE(QString::fromUtf8(process.readAllStandardOutput()),
             c.out.isEmpty() ? QString() : server().address() + u'\n' + c.out);
    const QString complaint = QString::fromUtf8(process.readAllStandardError());
    QVERIFY2(complaint.contains(c.err), qPrintable(complaint));
}

#ifdef CLIPFERRY_TEST_WIDGETS
void TestServerAccess::pickerTakesOnlyUploadableFolders()
{
    pugi::xml_document doc;
    QVERIFY(Xml::parseText(
        doc, nested({{1, 0, "Courses", false}, {2, 1, "Physics", true}, {3, 0, "Inbox", true}})));
    CFolderTree tree;
    FolderPickerWidget picker(tree, m_channel);
    picker.SetTreeViewData(doc, u"media.example.org"_qs);
    FolderTreeModel *model = picker.model();
    const QModelIndex server = model->index(0, 0);
    QCOMPARE(server.data().toString(), u"media.example.org"_qs);
    QVERIFY(picker.view()->isExpanded(server));
    const QModelIndex courses = model->index(0, 0, server);
    const QModelIndex physics = model->index(0, 0, courses);
    const QModelIndex inbox = model->index(1, 0, server);
    QCOMPARE(physics.data().toString(), u"Physics"_qs);
    QVERIFY(!(model->flags(courses) & Qt::ItemIsSelectable));
    QCOMPARE((QStringList{picker.folderId(), picker.folderPath()}),
             (QStringList{u"2"_qs, u"Courses/Physics"_qs}));

    QSignalSpy chosen(&picker, &FolderPickerWidget::folderChosen);
    Q_EMIT picker.view()->clicked(courses);
    Q_EMIT picker.view()->clicked(server);
    QCOMPARE(picker.folderId(), u"2"_qs);
    Q_EMIT picker.view()->clicked(inbox);
    QCOMPARE(picker.folderId(), u"3"_qs);
    QCOMPARE(chosen.size(), 1);
    QCOMPARE(picker.pathText(), u"Inbox"_qs);
    QCOMPARE(model->parent(physics), courses);
    QCOMPARE(model->rowCount(courses), 1);
}

// An edit after a login asks for a new one, and the password is hashed again until the server says otherwise.
void TestServerAccess::panelFollowsLoginAndEdits()
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
    auto *status = dialog.findChild<QLabel *>(u"lStatus"_qs);
    auto *password = dialog.findChild<QLineEdit *>(u"txtPassword"_qs);
    QVERIFY(logIn && status && password);
    QSignalSpy parts(panel, &LoginPanelWidget::serverDependentPartsEnabled);
    QSignalSpy ended(panel->session(), &LoginSession::loginEnded);
    panel->setLogin({server().address(), u"demo"_qs, u"demo"_qs});
    QTest::mouseClick(logIn, Qt::LeftButton);
    QVERIFY(ended.wait(60000));
    QCOMPARE(logIn->text(), m_language.text(u"frmAdd"_qs, u"cmdRefresh"_qs));
    QCOMPARE(parts.last().first().toBool(), true);
    QCOMPARE(picker->folderPath(), picker->pathText());
    QVERIFY(!picker->pathText().isEmpty()); // a folder is chosen
    QCOMPARE(picker->model()->index(0, 0).data().toString(), server().address());

    access.hashPassword = false;
    QTest::keyClick(password, Qt::Key_X);
    QCOMPARE(logIn->text(), m_language.text(u"frmAdd"_qs, u"cmdLogIn"_qs));
    QCOMPARE(parts.last().first().toBool(), false);
    QCOMPARE(status->text(), m_language.text(u"frmAdd"_qs, u"msg_refreshFirst"_qs));
    QVERIFY(access.hashPassword);
    QVERIFY(!panel->isLoggedIn());
}
#endif

QTEST_MAIN(TestServerAccess)
#include "test_server.moc"
