// The reference server over real HTTP on loopback, where the client's own runs
// do not reach: the tus protocol byte by byte, error codes, refused and hostile
// archives, idempotent registration, crashes while registering, the web pages.

#include "TestHttp.h"
#include "ZipArchive.h"
#include "support/ServerProcess.h"
#include "support/TestFiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <pugixml.hpp>
#include <sqlite3.h>
#include <zlib.h>

using namespace Qt::StringLiterals;

namespace {

QByteArray randomBytes(qsizetype size)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator generator(42);
    generator.fillRange(reinterpret_cast<quint32 *>(data.data()), size / 4);
    return data;
}

void put16(QByteArray &out, quint32 v)
{
    out.append(char(v & 0xff)).append(char((v >> 8) & 0xff));
}

void put32(QByteArray &out, quint32 v)
{
    put16(out, v & 0xffff);
    put16(out, v >> 16);
}

QByteArray deflated(const QByteArray &data)
{
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(static_cast<qsizetype>(deflateBound(&z, static_cast<uLong>(data.size()))),
                   Qt::Uninitialized);
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(static_cast<qsizetype>(z.total_out));
    deflateEnd(&z);
    return out;
}

using Entries = QList<QPair<QByteArray, QByteArray>>;

// A zip made here, stored (method 0) or deflated (8), also as the zip program never writes one:
// unsafe names, names twice, a wrong CRC for the last entry, `copies` more directory entries for
// the last entry's bytes.
QByteArray zip(const Entries &entries, quint16 method = 0, quint32 crcXor = 0, int copies = 0)
{
    QByteArray out;
    QByteArray directory;
    quint32 offset = 0;
    for (qsizetype i = 0; i < entries.size() + copies; ++i) {
        const auto &[entryName, data] = entries.at(std::min(i, entries.size() - 1));
        const QByteArray name = i < entries.size() ? entryName : entryName + QByteArray::number(i);
        const QByteArray packed = method == 8 ? deflated(data) : data;
        const quint32 crc = (i == entries.size() - 1 ? crcXor : 0) ^
                            static_cast<quint32>(crc32(0, reinterpret_cast<const Bytef *>(data.constData()),
                                                       static_cast<uInt>(data.size())));
        if (i < entries.size()) { // a copy has a directory entry only, for the last local header
            offset = static_cast<quint32>(out.size());
            put32(out, 0x04034b50);
            put16(out, 20), put16(out, 0), put16(out, method), put16(out, 0), put16(out, 0);
            put32(out, crc), put32(out, quint32(packed.size())), put32(out, quint32(data.size()));
            put16(out, quint32(name.size())), put16(out, 0);
            out += name + packed;
        }
        put32(directory, 0x02014b50);
        put16(directory, 20), put16(directory, 20), put16(directory, 0), put16(directory, method);
        put16(directory, 0), put16(directory, 0);
        put32(directory, crc), put32(directory, quint32(packed.size())),
            put32(directory, quint32(data.size()));
        put16(directory, quint32(name.size())), put16(directory, 0), put16(directory, 0), put16(directory, 0);
        put16(directory, 0), put32(directory, 0), put32(directory, offset);
        directory += name;
    }
    const quint32 directoryOffset = static_cast<quint32>(out.size());
    const quint32 count = static_cast<quint32>(entries.size() + copies);
    out += directory;
    put32(out, 0x06054b50);
    put16(out, 0), put16(out, 0), put16(out, count), put16(out, count);
    put32(out, quint32(directory.size())), put32(out, directoryOffset), put16(out, 0);
    return out;
}

QUrl at(const ServerProcess &server, const QString &path)
{
    return server.url().resolved(QUrl(path));
}

QByteArray profile(const QByteArray &title, const QByteArray &extra = {}, const QByteArray &type = "Mp4")
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<profile><type>" + type +
           "</type><metadata><title>" + title + "</title><author>Ann Author</author>" + extra +
           "</metadata></profile>";
}

} // namespace

class TestTarnServer final : public QObject
{
    Q_OBJECT

private:
    QUrl url(const QString &path) const { return at(*m_server, path); }
    QUrl uploads() const { return url(u"/tarn/putFile/uploads/"_s); }
    QByteArray package(const QByteArray &title, qsizetype videoSize = 20000);
    HttpReply uploadAndRegister(TestHttp &http, const QByteArray &archive, int folder, int content,
                                const QByteArray &sha256 = {});
    int contentCount() const;
    QStringList storedEntries() const;

    QTemporaryDir m_tmp{QDir::tempPath() + u"/tarn-XXXXXX"_s};
    std::unique_ptr<ServerProcess> m_server;
    TestHttp m_demo{u"demo"_s, u"demo"_s};
    TestHttp m_other{u"other"_s, u"pw"_s};
    int m_demoContent = 0;
    int m_otherContent = 0;

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void safeEntryNames_data();
    void safeEntryNames();
    void getfolderCredentials_data();
    void getfolderCredentials();
    void folderForms();
    void getVersion_data();
    void getVersion();
    void quotaAndServerSettings();
    void uploadRegistersContent();
    void refusedArchives_data();
    void refusedArchives();
    void repeatedRegistration_data();
    void repeatedRegistration();
    void extractedBytesCountAgainstQuota();
    void wrongPasswordsSlowDown();
    void passingFailureKeepsUpload();
    void serverKilledWhileRegistering();
    void serverKilledAfterAnsweredChunk();
    void staleStagingCleared();
    void creationLimits_data();
    void creationLimits();
    void tusRequests();
    void overwriteRefusals();
    void webPages();
    void tusJsClientInterop();
    void tls();
    void adminCommands();
    void unfinishedUploadsExpire();
};

QByteArray TestTarnServer::package(const QByteArray &title, qsizetype videoSize)
{
    return zip({{"tarn_profile.xml", profile(title)},
                {"video.mp4", randomBytes(videoSize)},
                {"video.xml", "<keyframes/>"},
                {"thumb.jpg", "jpeg"}});
}

HttpReply TestTarnServer::uploadAndRegister(TestHttp &http, const QByteArray &archive, int folder,
                                            int content, const QByteArray &sha256)
{
    HttpReply created;
    const QUrl upload =
        http.create(uploads(), archive.size(), uploadMetadata(archive, folder, content, sha256), &created);
    if (upload.isEmpty())
        return created;
    if (!http.uploadAll(upload, archive, 64 * 1024))
        return {};
    return http.form(url(u"/tarn/putFile/"_s), "upload=" + QUrl::toPercentEncoding(upload.toString()));
}

int TestTarnServer::contentCount() const
{
    return m_server->admin({u"content"_s, u"list"_s}).count('\n');
}

QStringList TestTarnServer::storedEntries() const
{
    QStringList entries;
    for (const char *folder : {"uploads", "contents"}) {
        for (const QString &name : QDir(m_server->dataDir() + u'/' + QLatin1String(folder))
                                       .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden))
            entries << QLatin1String(folder) + u'/' + name;
    }
    return entries;
}

void TestTarnServer::initTestCase()
{
    QVERIFY(m_tmp.isValid());
    m_server = std::make_unique<ServerProcess>(m_tmp.filePath(u"data"_s));
    QVERIFY(m_server->start({u"--demo"_s}));
    for (const QStringList &command :
         QList<QStringList>{{u"account"_s, u"add"_s, u"other"_s, u"pw"_s},
                            {u"account"_s, u"add"_s, u"small"_s, u"pw"_s, u"--maxsize"_s, u"1"_s},
                            {u"account"_s, u"add"_s, u"full"_s, u"pw"_s, u"--quota"_s, u"1"_s},
                            {u"account"_s, u"add"_s, u"off"_s, u"pw"_s},
                            {u"account"_s, u"disable"_s, u"off"_s}})
        QVERIFY2(!m_server->admin(command).isNull(), qPrintable(command.join(u' ')));

    // One content of each account in "Physics" (folder 3), for the overwrite answers.
    HttpReply r = uploadAndRegister(m_demo, package("Demo lecture"), 3, -1);
    m_demoContent = r.xml("contentID").toInt();
    QVERIFY2(m_demoContent > 0, r.body.constData());
    r = uploadAndRegister(m_other, package("Other lecture"), 3, -1);
    m_otherContent = r.xml("contentID").toInt();
    QVERIFY2(m_otherContent > 0, r.body.constData());
}

void TestTarnServer::cleanupTestCase()
{
    if (m_server)
        QVERIFY(m_server->stop());
}

void TestTarnServer::safeEntryNames_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("safe");
    QTest::newRow("nested") << QByteArray("slides/1.jpg") << true;
    QTest::newRow("folder entry") << QByteArray("slides/") << true;
    QTest::newRow("dots in a name") << QByteArray("a..b/c") << true;
    QTest::newRow("parent inside") << QByteArray("slides/../../evil") << false;
    QTest::newRow("absolute") << QByteArray("/etc/passwd") << false;
    QTest::newRow("backslash") << QByteArray("..\\evil") << false;
    QTest::newRow("drive letter") << QByteArray("C:evil") << false;
    QTest::newRow("empty segment") << QByteArray("a//b") << false;
    QTest::newRow("empty") << QByteArray("") << false;
}

void TestTarnServer::safeEntryNames()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, safe);
    QCOMPARE(isSafeEntryName(std::string_view(name.constData(), static_cast<size_t>(name.size()))), safe);
}

void TestTarnServer::getfolderCredentials_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("errInfo");
    QTest::newRow("plain") << u"demo"_s << u"demo"_s << QString();
    QTest::newRow("disabled account") << u"off"_s << u"pw"_s << u"1103"_s;
    QTest::newRow("disabled account, wrong password") << u"off"_s << u"x"_s << u"1102"_s;
    QTest::newRow("no credentials") << QString() << QString() << u"1101"_s;
}

void TestTarnServer::getfolderCredentials()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QString, errInfo);
    const HttpReply r = TestHttp(user, password).form(url(u"/tarn/getfolder/"_s), "tool=v.2.100603");
    QCOMPARE(r.status, 200);
    QVERIFY(r.body.startsWith("<?xml"));
    QCOMPARE(r.xml("errInfo"), errInfo);
    // Refusals carry sysinfo too: the client's retry rule reads enc from them.
    QCOMPARE(r.xml("sysinfo/enc"), u"1"_s);
    QCOMPARE(r.xml("folder").isNull(), !errInfo.isEmpty());
}

// The nested form's items reach the client whole (test_server's foldersCommand prints them); the
// flat form lists only folders that take uploads, each by its path.
void TestTarnServer::folderForms()
{
    HttpReply nested = m_demo.form(url(u"/tarn/getfolder/"_s), "tool=v.2.100603");
    QCOMPARE(nested.xml("sysinfo/resolution"), u"1280,854,640"_s);
    QCOMPARE(nested.xml("sysinfo/urloverwrite"), u"1"_s);
    QVERIFY(nested.body.contains("<tarn ver=\"2.0\" qvpver=\"8\">"));

    QVERIFY(!m_server->admin({u"setting"_s, u"set"_s, u"folderform"_s, u"flat"_s}).isNull());
    const HttpReply flat = m_demo.form(url(u"/tarn/getfolder/"_s), "tool=v.2.100603");
    m_server->admin({u"setting"_s, u"set"_s, u"folderform"_s, u"nested"_s});
    QVERIFY(flat.xml("folder").isNull());
    pugi::xml_document doc;
    doc.load_buffer(flat.body.constData(), static_cast<size_t>(flat.body.size()));
    QStringList items;
    for (pugi::xpath_node n : doc.select_nodes("/tarn/item"))
        items << QString::fromUtf8(n.node().child_value("id")) + u'|' +
                     QString::fromUtf8(n.node().child_value("pid")) + u'|' +
                     QString::fromUtf8(n.node().child_value("name"));
    QCOMPARE(items, (QStringList{u"1||Announcements"_s, u"3||Courses/Physics"_s,
                                 u"5||Courses/Chemistry/Lab sessions"_s, u"9||Inbox"_s}));
}

void TestTarnServer::getVersion_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("errInfo");
    QTest::addColumn<QString>("overwrite");
    const QByteArray demo = QByteArray::number(m_demoContent);
    const QByteArray host = "127.0.0.1:" + QByteArray::number(m_server->port());
    const auto ask = [](const QByteArray &folder, const QByteArray &content) {
        return "tool=v.2.100603&folderID=" + folder + "&contentID=" + content + "&projectVer=8.0";
    };
    const auto byUrl = [&](const QByteArray &address) {
        return "url=" + QUrl::toPercentEncoding(QString::fromUtf8(address)) + '&' + ask("-1", "-1");
    };
    QTest::newRow("new content") << ask("3", "-1") << u""_s << u""_s;
    QTest::newRow("another account's content")
        << ask("3", QByteArray::number(m_otherContent)) << u""_s << u"2"_s;
    QTest::newRow("content in another folder") << ask("9", demo) << u""_s << u"3"_s;
    QTest::newRow("unknown content id") << ask("3", "99999") << u""_s << u""_s;
    QTest::newRow("content id omitted") << QByteArray("tool=v.2.100603&folderID=3") << u""_s << u""_s;
    QTest::newRow("folder -1 without url") << ask("-1", "-1") << u"1201"_s << QString();
    QTest::newRow("folder without uploads") << ask("2", "-1") << u"1202"_s << QString();
    QTest::newRow("tool missing") << ask("3", "-1").mid(16) << u"1001"_s << QString();
    QTest::newRow("url with scheme") << byUrl("http://" + host + "/content/" + demo + "/") << u""_s << u"1"_s;
    QTest::newRow("url of another server")
        << byUrl("media.example.org/content/" + demo) << u"1403"_s << QString();
    QTest::newRow("url without a content path")
        << byUrl(host + "/lectures/" + demo) << u"1403"_s << QString();
    QTest::newRow("url of a removed content") << byUrl(host + "/content/99999") << u"1401"_s << QString();
}

void TestTarnServer::getVersion()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, errInfo);
    QFETCH(QString, overwrite);
    const HttpReply r = m_demo.form(url(u"/tarn/getVersion/"_s), body);
    QCOMPARE(r.status, 200);
    QVERIFY(r.body.startsWith("<?xml"));
    QCOMPARE(r.xml("errInfo"), errInfo);
    QCOMPARE(r.xml("overwrite"), overwrite);
    QCOMPARE(r.xml("videotype").isNull(), !errInfo.isEmpty());
}

// The full account's refusal text comes from its quota (test_upload's quotaRefusal); here the demo's
// contents count against its quota, and the settings reach the reply.
void TestTarnServer::quotaAndServerSettings()
{
    const QByteArray body = "tool=v.2.100603&folderID=3&contentID=-1&projectVer=8.0";
    HttpReply r = m_demo.form(url(u"/tarn/getVersion/"_s), body);
    QCOMPARE(r.xml("quota/total"), u"10240"_s);
    QVERIFY(r.xml("quota/free").toInt() < 10240);
    QCOMPARE(r.xml("quota/maxsize"), u"2048"_s);
    const QList<QStringList> settings{{u"videosrc"_s, u"0"_s, u"1"_s},
                                      {u"slidesize"_s, u"800x600"_s, u"640x480"_s}};
    for (const QStringList &setting : settings) {
        QCOMPARE(r.xml(setting[0].toUtf8().constData()), setting[1]);
        QVERIFY(!m_server->admin({u"setting"_s, u"set"_s, setting[0], setting[2]}).isNull());
    }
    r = m_demo.form(url(u"/tarn/getVersion/"_s), body);
    for (const QStringList &setting : settings) {
        QCOMPARE(r.xml(setting[0].toUtf8().constData()), setting[2]);
        m_server->admin({u"setting"_s, u"set"_s, setting[0], setting[1]});
    }
    QVERIFY(m_server->admin({u"setting"_s, u"set"_s, u"nosuchkey"_s, u"1"_s}).isNull());
}

void TestTarnServer::uploadRegistersContent()
{
    const QByteArray video = randomBytes(300000);
    const QByteArray archive = zip({{"tarn_profile.xml", profile("Waves &lt;&amp;&gt; tides")},
                                    {"video.mp4", video},
                                    {"slides/1.jpg", "slide"},
                                    {"thumb.jpg", "jpeg"}});
    const int id = uploadAndRegister(m_demo, archive, 5, 0).xml("contentID").toInt();
    QVERIFY(id > m_otherContent);

    const QString files = m_server->dataDir() + u"/contents/"_s + QString::number(id) + u"/files/"_s;
    QCOMPARE(readFile(files + u"video.mp4"_s), video);
    QVERIFY(QFile::exists(files + u"slides/1.jpg"_s));
    QVERIFY(m_server->admin({u"content"_s, u"list"_s}).contains("Waves <&> tides"));
    QVERIFY(QDir(m_server->dataDir() + u"/uploads"_s).isEmpty());

    // The extracted video is served to its owner with byte ranges, for the player.
    const HttpReply part =
        m_demo.send("GET", url(u"/content/%1/file/video.mp4"_s.arg(id)), {}, {{"Range", "bytes=10-19"}});
    QCOMPARE(part.status, 206);
    QCOMPARE(part.body, video.mid(10, 10));
    QCOMPARE(m_other.send("GET", url(u"/content/%1/file/video.mp4"_s.arg(id))).status, 404);
}

void TestTarnServer::refusedArchives_data()
{
    QTest::addColumn<QByteArray>("archive");
    QTest::addColumn<bool>("wrongSha");
    QTest::addColumn<QString>("errInfo");
    const QByteArray good = profile("Refused");
    const QByteArray video = randomBytes(5000);
    // The profile (none when null), the video, then `more`.
    const auto pack = [&](const QByteArray &profileText, const Entries &more = {}, quint32 crcXor = 0) {
        Entries entries{{"video.mp4", video}};
        if (!profileText.isNull())
            entries.prepend({"tarn_profile.xml", profileText});
        return zip(entries + more, 0, crcXor);
    };
    QTest::newRow("checksum mismatch") << package("Tampered") << true << u"1503"_s;
    QTest::newRow("zip-slip") << pack(good, {{"../../evil.txt", "x"}}) << false << u"1501"_s;
    QTest::newRow("not a zip") << randomBytes(70000) << false << u"1501"_s;
    // 300 directory entries share one stored MiB: 300 MiB once extracted.
    QTest::newRow("overlapping entries")
        << zip({{"tarn_profile.xml", good}, {"video.mp4", randomBytes(1 << 20)}}, 0, 0, 300) << false
        << u"1501"_s;
    QTest::newRow("data failing its CRC") << pack(good, {}, 1) << false << u"1501"_s;
    QTest::newRow("profile twice") << pack(good, {{"tarn_profile.xml", good}}) << false << u"1501"_s;
    QTest::newRow("a file where a folder should be")
        << pack(good, {{"slides", "x"}, {"slides/1.jpg", "j"}}) << false << u"1501"_s;
    QTest::newRow("compressed entries")
        << zip({{"tarn_profile.xml", good}, {"video.mp4", QByteArray(50000, 'a')}}, 8) << false << u"1501"_s;
    QTest::newRow("no profile") << pack({}) << false << u"1502"_s;
    QTest::newRow("profile with entities")
        << pack("<?xml version=\"1.0\"?><!DOCTYPE p [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>"
                "<profile><type>Mp4</type><metadata><title>&x;</title><author/></metadata></profile>")
        << false << u"1502"_s;
    QTest::newRow("profile not well-formed") << pack("<profile><type>Mp4</type>") << false << u"1502"_s;
    QTest::newRow("profile without title") << pack(profile("")) << false << u"1502"_s;
    QTest::newRow("profile names a missing source")
        << pack(profile("Src", "<srcname>src.mov</srcname>")) << false << u"1502"_s;
    QTest::newRow("package without a video")
        << zip({{"tarn_profile.xml", profile("Empty")}, {"thumb.jpg", "jpeg"}}) << false << u"1502"_s;
    QTest::newRow("recording without media")
        << zip({{"tarn_profile.xml", profile("Talk", {}, "Corvana")}, {"slides/1.jpg", "jpeg"}}) << false
        << u"1502"_s;
}

void TestTarnServer::refusedArchives()
{
    QFETCH(QByteArray, archive);
    QFETCH(bool, wrongSha);
    QFETCH(QString, errInfo);
    const int before = contentCount();
    const QStringList stored = storedEntries();
    const HttpReply r =
        uploadAndRegister(m_demo, archive, 9, -1, wrongSha ? QByteArray(64, 'a') : QByteArray());
    QCOMPARE(r.status, 200);
    QCOMPARE(r.xml("errInfo"), errInfo);
    QCOMPARE(r.xml("contentID"), QString());
    QCOMPARE(contentCount(), before);
    QCOMPARE(storedEntries(), stored);
    QVERIFY(!QFile::exists(m_tmp.filePath(u"evil.txt"_s)));
}

void TestTarnServer::extractedBytesCountAgainstQuota()
{
    // 600 KiB fit the 1 MiB quota as an archive, but not twice over once extracted.
    TestHttp full(u"full"_s, u"pw"_s);
    const HttpReply r = uploadAndRegister(full, package("Twice the size", 600 * 1024), 9, -1);
    QCOMPARE(r.xml("errInfo"), u"1301"_s);
}

void TestTarnServer::wrongPasswordsSlowDown()
{
    QVERIFY(!m_server->admin({u"account"_s, u"add"_s, u"guessed"_s, u"right"_s}).isNull());
    TestHttp wrong(u"guessed"_s, u"wrong"_s);
    TestHttp right(u"guessed"_s, u"right"_s);
    const QUrl getfolder = url(u"/tarn/getfolder/"_s);
    for (int i = 0; i < 6; ++i)
        QCOMPARE(wrong.form(getfolder, "tool=v.1").xml("errInfo"), u"1102"_s);
    // Within the pause even the right password is not checked; after it, it is.
    QCOMPARE(right.form(getfolder, "tool=v.1").xml("errInfo"), u"1102"_s);
    QTest::qWait(1200);
    QCOMPARE(right.form(getfolder, "tool=v.1").xml("errInfo"), QString());
    QVERIFY(readFile(m_server->dataDir() + u".log"_s).contains("wrong password for guessed from 127.0.0.1"));
    QCOMPARE(QFileInfo(m_server->dataDir()).permissions() & 0x0077, QFile::Permissions());
    QCOMPARE(QFileInfo(m_server->dataDir() + u"/tarn.db"_s).permissions() & 0x0077, QFile::Permissions());
}

void TestTarnServer::repeatedRegistration_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QByteArray>("checksum"); // "same", "other" or empty: none sent
    QTest::addColumn<QString>("errInfo");
    QTest::newRow("reply lost, sent again") << u"demo"_s << QByteArray() << u""_s;
    QTest::newRow("with the upload's checksum") << u"demo"_s << QByteArray("same") << u""_s;
    QTest::newRow("with another checksum") << u"demo"_s << QByteArray("other") << u"1504"_s;
    QTest::newRow("by another account") << u"other"_s << QByteArray() << u"1504"_s;
}

void TestTarnServer::repeatedRegistration()
{
    QFETCH(QString, user);
    QFETCH(QByteArray, checksum);
    QFETCH(QString, errInfo);
    const QByteArray archive = package("Sent twice");
    const QUrl upload = m_demo.create(uploads(), archive.size(), uploadMetadata(archive, 9, -1));
    QVERIFY(m_demo.uploadAll(upload, archive, 64 * 1024));
    const QByteArray body = "upload=" + upload.fileName().toUtf8();
    const HttpReply first = m_demo.form(url(u"/tarn/putFile/"_s), body);
    const int id = first.xml("contentID").toInt();
    QVERIFY2(id > 0, first.body.constData());
    const int contents = contentCount();

    QByteArray sha = QCryptographicHash::hash(archive, QCryptographicHash::Sha256).toHex();
    if (checksum == "other")
        sha.fill('a');
    TestHttp http(user, user == u"demo"_s ? u"demo"_s : u"pw"_s);
    const HttpReply again =
        http.form(url(u"/tarn/putFile/"_s), body + (checksum.isEmpty() ? "" : "&sha256=" + sha));
    QCOMPARE(again.xml("errInfo"), errInfo);
    QCOMPARE(again.xml("contentID").toInt(), errInfo.isEmpty() ? id : 0);
    QCOMPARE(contentCount(), contents);
}

void TestTarnServer::passingFailureKeepsUpload()
{
    const QByteArray archive = package("Kept");
    const QUrl upload = m_demo.create(uploads(), archive.size(), uploadMetadata(archive, 9, -1));
    QVERIFY(m_demo.uploadAll(upload, archive, 64 * 1024));
    // A file where the contents folder goes fails the registration as a full disk would.
    const QString contents = m_server->dataDir() + u"/contents"_s;
    QVERIFY(QDir().rename(contents, contents + u"-away"_s));
    writeFile(contents, {});
    const QByteArray body = "upload=" + upload.fileName().toUtf8();
    const HttpReply r = m_demo.form(url(u"/tarn/putFile/"_s), body);
    QVERIFY(QFile::remove(contents) && QDir().rename(contents + u"-away"_s, contents));
    QCOMPARE(r.status, 200);
    QCOMPARE(r.xml("errInfo"), u"1002"_s);
    QVERIFY(!QDir(contents).exists(u".staging-"_s + upload.fileName())); // the failure cleared its staging
    QCOMPARE(m_demo.offset(upload), archive.size());
    QVERIFY(m_demo.form(url(u"/tarn/putFile/"_s), body).xml("contentID").toInt() > 0);
}

void TestTarnServer::serverKilledWhileRegistering()
{
    ServerProcess server(m_tmp.filePath(u"killed"_s));
    qputenv("CLIPFERRY_SERVER_REGISTER_DELAY_MS", "20000");
    const bool started = server.start({u"--demo"_s});
    qunsetenv("CLIPFERRY_SERVER_REGISTER_DELAY_MS");
    QVERIFY(started);
    const QByteArray archive = package("Killed", 200000);
    const QUrl endpoint = at(server, u"/tarn/putFile/uploads/"_s);
    const QUrl upload = m_demo.create(endpoint, archive.size(), uploadMetadata(archive, 3, -1));
    QVERIFY(m_demo.uploadAll(upload, archive, 64 * 1024));

    // The registration stops between moving the content into place and committing it.
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, server.port());
    QVERIFY(socket.waitForConnected(10000));
    const QByteArray body = "upload=" + upload.fileName().toUtf8();
    socket.write("POST /tarn/putFile/ HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Basic " +
                 QByteArray("demo:demo").toBase64() +
                 "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                 QByteArray::number(body.size()) + "\r\n\r\n" + body);
    QVERIFY(socket.waitForBytesWritten(10000));
    const QDir contents(server.dataDir() + u"/contents"_s);
    QTRY_VERIFY_WITH_TIMEOUT(contents.exists(u"1/tarn_file.zip"_s), 15000);
    server.kill();
    QVERIFY(contents.mkpath(u".staging-0123/files"_s) && contents.mkpath(u"77/files"_s));

    QVERIFY(server.start());
    QCOMPARE(contents.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
    const QUrl resumed = at(server, u"/tarn/putFile/uploads/"_s + upload.fileName());
    QCOMPARE(m_demo.offset(resumed), archive.size());
    const HttpReply r = m_demo.form(at(server, u"/tarn/putFile/"_s), body);
    QCOMPARE(server.admin({u"content"_s, u"list"_s}).count('\n'), 1);
    QCOMPARE(readFile(contents.filePath(r.xml("contentID") + u"/tarn_file.zip"_s)), archive);
    QCOMPARE(QDir(server.dataDir() + u"/uploads"_s).entryList(QDir::Files), QStringList());
}

// A chunk is answered only once its bytes and offset are stored: killed right
// after, the server comes back at exactly the answered offset, and the upload
// resumed from there registers the exact archive.
void TestTarnServer::serverKilledAfterAnsweredChunk()
{
    ServerProcess server(m_tmp.filePath(u"killed-chunk"_s));
    QVERIFY(server.start({u"--demo"_s}));
    const QByteArray archive = package("Answered", 300000);
    const QUrl upload = m_demo.create(at(server, u"/tarn/putFile/uploads/"_s), archive.size(),
                                      uploadMetadata(archive, 3, -1));
    const qint64 half = archive.size() / 2;
    QCOMPARE(m_demo.patch(upload, 0, archive.left(half)).status, 204);
    QCOMPARE(m_demo.offset(upload), half);
    QCOMPARE(m_demo.patch(upload, 0, archive.left(half)).status, 409); // the answered offset holds
    server.kill();

    QVERIFY(server.start());
    const QUrl resumed = at(server, u"/tarn/putFile/uploads/"_s + upload.fileName());
    QCOMPARE(m_demo.offset(resumed), half);
    QVERIFY(m_demo.uploadAll(resumed, archive, 100000));
    const HttpReply r = m_demo.form(at(server, u"/tarn/putFile/"_s), "upload=" + upload.fileName().toUtf8());
    QCOMPARE(readFile(server.dataDir() + u"/contents/"_s + r.xml("contentID") + u"/tarn_file.zip"_s),
             archive);
}

// Staging that the upload's registration finds is an earlier try's: it goes,
// and none of its files reaches the content.
void TestTarnServer::staleStagingCleared()
{
    const QByteArray archive = package("Stale", 1000);
    const QUrl upload = m_demo.create(uploads(), archive.size(), uploadMetadata(archive, 3, -1));
    QVERIFY(m_demo.uploadAll(upload, archive, 64 * 1024));
    const QString staging = m_server->dataDir() + u"/contents/.staging-"_s + upload.fileName();
    QVERIFY(QDir().mkpath(staging + u"/files/stray"_s));
    const HttpReply r = m_demo.form(url(u"/tarn/putFile/"_s), "upload=" + upload.fileName().toUtf8());
    const QString files = m_server->dataDir() + u"/contents/"_s + r.xml("contentID") + u"/files/"_s;
    QVERIFY(QFileInfo::exists(files + u"video.mp4"_s) && !QFileInfo::exists(files + u"stray"_s));
    QVERIFY(!QFileInfo::exists(staging));
}

void TestTarnServer::creationLimits_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("errInfo");
    const qint64 twoMb = 2 << 20;
    QTest::newRow("above 2 GiB") << u"demo"_s << (qint64(2) << 30) + 1 << 413 << QString();
    QTest::newRow("exactly 2 GiB") << u"demo"_s << (qint64(2) << 30) << 201 << QString();
    QTest::newRow("above the account's maximum") << u"small"_s << twoMb << 413 << u"1302"_s;
    QTest::newRow("above the free quota") << u"full"_s << twoMb << 403 << u"1301"_s;
    QTest::newRow("disabled account") << u"off"_s << qint64(10) << 403 << u"1103"_s;
}

void TestTarnServer::creationLimits()
{
    QFETCH(QString, user);
    QFETCH(qint64, length);
    QFETCH(int, status);
    QFETCH(QString, errInfo);
    TestHttp http(user, user == u"demo"_s ? u"demo"_s : u"pw"_s);
    HttpReply r;
    const QUrl upload = http.create(uploads(), length, uploadMetadata("x", 3, -1), &r);
    QCOMPARE(r.status, status);
    QCOMPARE(r.header("Tus-Resumable"), QByteArray("1.0.0"));
    if (!errInfo.isNull())
        QCOMPARE(r.xml("errInfo"), errInfo);
    if (!upload.isEmpty())
        QCOMPARE(http.send("DELETE", upload, {}, {{"Tus-Resumable", "1.0.0"}}).status, 204);
}

void TestTarnServer::tusRequests()
{
    const HttpReply options = m_demo.send("OPTIONS", uploads());
    QCOMPARE(options.status, 204);
    QCOMPARE((QByteArrayList{options.header("Tus-Version"), options.header("Tus-Extension"),
                             options.header("Tus-Checksum-Algorithm"), options.header("Tus-Max-Size")}),
             (QByteArrayList{"1.0.0", "creation,termination,checksum,expiration", "sha1", "2147483648"}));

    const QByteArray archive = package("Protocol", 100000);
    HttpReply created;
    const QUrl upload = m_demo.create(uploads(), archive.size(), uploadMetadata(archive, 9, -1), &created);
    QVERIFY(!created.header("Upload-Expires").isEmpty());
    QCOMPARE(upload.host(), u"127.0.0.1"_s);
    QCOMPARE(m_demo.offset(upload), 0);

    QCOMPARE(m_demo.patch(upload, 0, archive.left(1000)).status, 204);
    QCOMPARE(m_demo.offset(upload), 1000);
    QCOMPARE(m_demo.patch(upload, 0, archive.left(1000)).status, 409);
    QByteArray bad = archive.mid(1000, 1000);
    bad[10] = char(bad[10] ^ 1);
    const auto sum = [](const char *name, const QByteArray &bytes, QCryptographicHash::Algorithm algorithm) {
        return QByteArray(name) + ' ' + QCryptographicHash::hash(bytes, algorithm).toBase64();
    };
    // One header changed at a time: the sum of other bytes, an unsupported sum, the type, the version.
    const Headers good{{"Tus-Resumable", "1.0.0"},
                       {"Content-Type", "application/offset+octet-stream"},
                       {"Upload-Offset", "1000"},
                       {"Upload-Checksum", sum("sha1", archive.mid(1000, 1000), QCryptographicHash::Sha1)}};
    const QList<std::tuple<int, QByteArray, int>> refusals{{3, {}, 460},
                                                           {3, sum("md5", bad, QCryptographicHash::Md5), 400},
                                                           {1, "application/octet-stream", 415},
                                                           {0, "-", 412}};
    for (const auto &[header, value, status] : refusals) {
        Headers headers = good;
        if (value == "-")
            headers.removeAt(header);
        else if (!value.isNull())
            headers[header].second = value;
        QCOMPARE(m_demo.send("PATCH", upload, bad, headers).status, status);
        QCOMPARE(m_demo.offset(upload), 1000);
    }
    QCOMPARE(m_demo.patch(upload, 1000, archive.mid(1000) + "overflow").status, 413);
    QCOMPARE(m_demo.offset(upload), 1000);
    // Without a checksum the bytes are kept as they come.
    QCOMPARE(m_demo.patch(upload, 1000, archive.mid(1000, 5000), false).status, 204);
    QCOMPARE(m_other.offset(upload), -1);
    QCOMPARE(m_other.patch(upload, 6000, archive.mid(6000)).status, 404);

    const QUrl registration = url(u"/tarn/putFile/"_s);
    QCOMPARE(m_demo.form(registration, "upload=" + upload.toString().toUtf8()).xml("errInfo"), u"1504"_s);
    QCOMPARE(m_demo.form(registration, "upload=").xml("errInfo"), u"1001"_s);
    QCOMPARE(m_other.form(registration, "upload=" + upload.fileName().toUtf8()).xml("errInfo"), u"1504"_s);
    QCOMPARE(m_demo.send("DELETE", upload, {}, {{"Tus-Resumable", "1.0.0"}}).status, 204);
    QCOMPARE(m_demo.offset(upload), -1);
    QCOMPARE(m_demo.form(registration, "upload=" + upload.fileName().toUtf8()).xml("errInfo"), u"1504"_s);

    HttpReply malformed;
    QVERIFY(m_demo.create(uploads(), 10, {{"filename", "tarn_file.zip"}, {"folderID", "9"}}, &malformed)
                .isEmpty());
    QCOMPARE(malformed.status, 400);
    QCOMPARE(malformed.xml("errInfo"), u"1001"_s);
}

// The owner's replacements run end to end in test_upload (replaceByContentId, overwriteQuestion);
// here the registrations that may not replace.
void TestTarnServer::overwriteRefusals()
{
    HttpReply r = uploadAndRegister(m_other, package("Hijack"), 3, m_demoContent);
    QCOMPARE(r.status, 403);
    QCOMPARE(r.xml("errInfo"), u"1402"_s);
    r = uploadAndRegister(m_demo, package("Moved"), 9, m_demoContent);
    QCOMPARE(r.status, 404);
    QCOMPARE(r.xml("errInfo"), u"1401"_s);
    // Another account has no announcement for folder -1.
    QCOMPARE(uploadAndRegister(m_other, package("No URL"), -1, -1).xml("errInfo"), u"1201"_s);
}

void TestTarnServer::webPages()
{
    TestHttp anonymous({}, {});
    HttpReply r = anonymous.send("GET", url(u"/"_s));
    QCOMPARE(r.status, 401);
    QVERIFY(r.header("WWW-Authenticate").startsWith("Basic"));
    r = m_demo.send("GET", url(u"/"_s));
    QVERIFY(r.body.contains("Demo lecture"));
    QVERIFY(!r.body.contains("Other lecture"));
    QVERIFY(r.body.contains("Ann Author"));
    QVERIFY(r.body.contains("/content/" + QByteArray::number(m_demoContent) + "/file/thumb.jpg"));
    QVERIFY(m_demo.send("GET", url(u"/content/%1"_s.arg(m_demoContent))).body.contains("<video controls"));
    QCOMPARE(m_demo.send("GET", url(u"/content/%1"_s.arg(m_otherContent))).status, 404);
    QCOMPARE(m_demo.send("GET", url(u"/content/99999999999999999999"_s)).status, 404);
    // Nothing outside the version folders is served.
    QCOMPARE(m_demo.send("GET", url(u"/version_ctrl/clipferry/version/%2E%2E/%2E%2E/tarn.db"_s)).status, 404);

    // A file name from an archive is data in the page, and its link still works.
    const QByteArray name = "video\" onerror=\"alert(6)\" x=\"?#%.mp4";
    const QByteArray video = randomBytes(3000);
    r = uploadAndRegister(m_demo, zip({{"tarn_profile.xml", profile("Hostile")}, {name, video}}), 9, -1);
    r = m_demo.send("GET", url(u"/content/"_s + r.xml("contentID")));
    QVERIFY(!r.body.contains("onerror=\""));
    auto src =
        QRegularExpression(u"<video[^>]* src=\"([^\"]*)\""_s).match(QString::fromUtf8(r.body)).captured(1);
    r = m_demo.send("GET", url(src.replace(u"&quot;"_s, u"\""_s).replace(u"&amp;"_s, u"&"_s)));
    QCOMPARE(r.body, video);
}

void TestTarnServer::tusJsClientInterop()
{
    const QString node = QStandardPaths::findExecutable(u"node"_s);
    if (node.isEmpty() ||
        !QFile::exists(QStringLiteral(INTEROP_DIR "/node_modules/tus-js-client/package.json")))
        QSKIP("node or tus-js-client is not installed (./setup.sh test installs it)");
    const QByteArray archive = package("From tus-js-client", 200000);
    const QString path = m_tmp.filePath(u"interop.zip"_s);
    writeFile(path, archive);
    QProcess process;
    process.start(
        node, {QStringLiteral(INTEROP_DIR "/upload.js"), uploads().toString(), path, u"demo"_s, u"demo"_s,
               u"9"_s, u"-1"_s,
               QString::fromLatin1(QCryptographicHash::hash(archive, QCryptographicHash::Sha256).toHex())});
    QVERIFY(process.waitForFinished(120000));
    const QByteArray out = process.readAllStandardOutput().trimmed();
    QVERIFY2(process.exitCode() == 0, process.readAllStandardError().constData());
    QCOMPARE(m_demo.offset(QUrl(QString::fromUtf8(out))), archive.size());
    QVERIFY(m_demo.form(url(u"/tarn/putFile/"_s), "upload=" + out).xml("contentID").toInt() > 0);
}

void TestTarnServer::tls()
{
    if (QStandardPaths::findExecutable(u"openssl"_s).isEmpty())
        QSKIP("the openssl program is needed to make a certificate");
    const QString key = m_tmp.filePath(u"key.pem"_s);
    const QString cert = m_tmp.filePath(u"cert.pem"_s);
    QProcess openssl;
    openssl.start(u"openssl"_s, {u"req"_s, u"-x509"_s, u"-newkey"_s, u"rsa:2048"_s, u"-nodes"_s, u"-keyout"_s,
                                 key, u"-out"_s, cert, u"-days"_s, u"2"_s, u"-subj"_s, u"/CN=127.0.0.1"_s});
    QVERIFY(openssl.waitForFinished(60000) && openssl.exitCode() == 0);

    ServerProcess secure(m_tmp.filePath(u"secure"_s));
    QVERIFY(secure.start({u"--demo"_s, u"--cert"_s, cert, u"--key"_s, key}));
    QCOMPARE(secure.url().scheme(), u"https"_s);
    TestHttp http(u"demo"_s, u"demo"_s);
    http.ignoreTlsErrors();
    HttpReply r = http.form(at(secure, u"/tarn/getfolder/"_s), "tool=v.2.100603");
    QCOMPARE(r.xml("errInfo"), u""_s);
    const QByteArray archive = package("Over TLS");
    const QUrl upload =
        http.create(at(secure, u"/tarn/putFile/uploads/"_s), archive.size(), uploadMetadata(archive, 9, -1));
    QCOMPARE(upload.scheme(), u"https"_s);
    QVERIFY(http.uploadAll(upload, archive, 64 * 1024));
    r = http.form(at(secure, u"/tarn/putFile/"_s), "upload=" + upload.toString().toUtf8());
    QCOMPARE(r.xml("contentID"), u"1"_s);
    QVERIFY(secure.stop());

    // A certificate that cannot be read stops the server with a message instead of serving plain HTTP.
    ServerProcess broken(m_tmp.filePath(u"broken"_s));
    QVERIFY(!broken.start({u"--cert"_s, m_tmp.filePath(u"missing.pem"_s), u"--key"_s, key}));
}

void TestTarnServer::adminCommands()
{
    const auto admin = [this](const QString &line) { return m_server->admin(line.split(u' ')); };
    QVERIFY(admin(u"folder add 999 Orphan"_s).isNull());
    const QByteArray id = admin(u"folder add 9 Guests --no-upload"_s).trimmed();
    QVERIFY(id.toInt() > 9);
    QVERIFY(admin(u"folder list"_s).contains(id + "\t9\tGuests\t(no upload)"));
    const HttpReply folders = m_demo.form(url(u"/tarn/getfolder/"_s), "tool=v.2.100603");
    QVERIFY(folders.body.contains("<id>" + id + "</id>"));
    QCOMPARE(m_demo.form(url(u"/tarn/getVersion/"_s), "tool=v.2.100603&folderID=" + id).xml("errInfo"),
             u"1202"_s);

    QVERIFY(admin(u"account add demo other"_s).isNull());
    QVERIFY(admin(u"account add bad:name pw"_s).isNull());
    QVERIFY(admin(u"account add nolimit pw --quota 0"_s).isNull());
    QVERIFY(admin(u"account list"_s).contains("\toff\tquota 10240 MB\tmaxsize 2048 MB\tdisabled"));
    QVERIFY(admin(u"account enable nobody"_s).isNull());

    const int content = uploadAndRegister(m_demo, package("To be removed"), 9, -1).xml("contentID").toInt();
    const QString folder = m_server->dataDir() + u"/contents/"_s + QString::number(content);
    QVERIFY(QFileInfo::exists(folder));
    QVERIFY(!admin(u"content remove "_s + QString::number(content)).isNull());
    QVERIFY(!QFileInfo::exists(folder));
    QVERIFY(!admin(u"content list"_s).contains("To be removed"));
    QVERIFY(admin(u"content remove "_s + QString::number(content)).isNull());
    QCOMPARE(m_demo.send("GET", url(u"/content/%1"_s.arg(content))).status, 404);
}

void TestTarnServer::unfinishedUploadsExpire()
{
    const QByteArray archive = package("Left behind");
    const QUrl upload = m_demo.create(uploads(), archive.size(), uploadMetadata(archive, 9, -1));
    QCOMPARE(m_demo.patch(upload, 0, archive.left(4096)).status, 204);
    const QString part = m_server->dataDir() + u"/uploads/"_s + upload.fileName() + u".part"_s;
    QVERIFY(QFile::exists(part));

    // A day passes: move the upload's expiry into the past, as the clock would.
    sqlite3 *db = nullptr;
    QCOMPARE(sqlite3_open(QFile::encodeName(m_server->dataDir() + u"/tarn.db"_s).constData(), &db),
             SQLITE_OK);
    sqlite3_busy_timeout(db, 10000);
    const QByteArray sql = "UPDATE uploads SET expires = 1 WHERE id = '" + upload.fileName().toLatin1() + "'";
    const int rc = sqlite3_exec(db, sql.constData(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
    QCOMPARE(rc, SQLITE_OK);

    QCOMPARE(m_demo.offset(upload), -1);
    QCOMPARE(m_demo.patch(upload, 4096, archive.mid(4096)).status, 404);
    QVERIFY(!QFile::exists(part));
    QCOMPARE(m_demo.form(url(u"/tarn/putFile/"_s), "upload=" + upload.fileName().toUtf8()).xml("errInfo"),
             u"1504"_s);
}

QTEST_GUILESS_MAIN(TestTarnServer)
#include "tst_tarnserver.moc"
