#include "common/Settings.h"
#include "common/XmlUtil.h"
#include "pipeline/Session.h"
#include "support/CuttingProxy.h"
#include "support/ServerProcess.h"
#include "support/TestFiles.h"
#include "support/TestProcesses.h"
#include "update/CVerList.h"
#include "update/Downloader.h"
#include "update/UpdateDownload.h"
#include "update/UpdateInstall.h"
#include "update/UpdateTrust.h"
#include "update/frmGetVerList.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QtTest>
#include <csignal>
#include <openssl/evp.h>
#include <openssl/pem.h>

using namespace Qt::StringLiterals;

namespace {

const QString kHash = QString(64, u'a');

QByteArray signWithTestKey(const QByteArray &message)
{
    FILE *file = std::fopen(UPDATE_TEST_KEY, "r");
    EVP_PKEY *key = file ? PEM_read_PrivateKey(file, nullptr, nullptr, nullptr) : nullptr;
    if (file)
        std::fclose(file);
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    unsigned char sig[64];
    size_t size = sizeof sig;
    EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key);
    EVP_DigestSign(ctx, sig, &size, reinterpret_cast<const unsigned char *>(message.constData()),
                   static_cast<size_t>(message.size()));
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
    return QByteArray(reinterpret_cast<const char *>(sig), static_cast<qsizetype>(size)).toBase64();
}

enum class ListMode
{
    Signed,
    ChangedAfterSigning,
    Unsigned,
    Refused
};

// A version list as the server writes it; items are "ver|fullPatch|sha256".
QByteArray versionList(const QStringList &items, ListMode mode = ListMode::Signed)
{
    pugi::xml_document doc;
    pugi::xml_node root = doc.append_child("verinfo");
    root.append_child("errInfo").text() = mode == ListMode::Refused ? "1001" : "";
    root.append_child("updater").append_child("sha256");
    pugi::xml_node list = root.append_child("list");
    for (const QString &spec : items) {
        const QStringList f = spec.split(u'|');
        pugi::xml_node item = list.append_child("item");
        item.append_child("ver").text() = f.at(0).toUtf8().constData();
        item.append_child("path").text() =
            ("/version_ctrl/clipferry/version/" + f.at(0)).toUtf8().constData();
        item.append_child("fullPatch").text() = f.at(1).toUtf8().constData();
        item.append_child("log").text() = "Faster\nSafer";
        item.append_child("sha256").text() = f.at(2).toUtf8().constData();
    }
    if (mode != ListMode::Unsigned)
        root.append_child("signature").text() = signWithTestKey(UpdateTrust::signedText(root)).constData();
    if (mode == ListMode::ChangedAfterSigning)
        list.first_child().child("path").text() = "/elsewhere";
    return Xml::serialize(doc);
}

bool writeTree(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

Q_DECLARE_METATYPE(ListMode)

class TestUpdate : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<ServerProcess> m_server;
    std::unique_ptr<Session> m_session;
    std::shared_ptr<Messages::RecordingPresenter::Log> m_messages;
    QString m_pristine;
    int m_installs = 0;

    QString path(const QString &rel) const { return m_dir.filePath(rel); }
    QString serverUrl() const { return m_server->url().toString(QUrl::StripTrailingSlash); }
    QString freshInstall()
    {
        const QString prefix = path(u"install%1"_s.arg(++m_installs));
        return runProgram(u"cp"_s, {u"-a"_s, m_pristine, prefix}).exitCode == 0 ? prefix : QString();
    }
    bool fetchList(const QString &server, const QStringList &arguments)
    {
        frmGetVerList check(*m_session, server, arguments);
        return QCoro::waitFor(check.run());
    }
    // Fetches the list and reads it back as the next start does, a day's notice not given yet.
    bool fetchNotice(StoredVerList &stored, const QString &server, const QStringList &arguments = {})
    {
        const bool fetched = fetchList(server, arguments);
        WritePlainSetting(u"newVer"_s, {});
        return NewVersionNotice(u"2.100603"_s, stored, QDate::currentDate()) && fetched;
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_pristine = path(u"pristine"_s);
        QVERIFY(runProgram(u"cmake"_s, {u"--install"_s, CLIPFERRY_BUILD_DIR, u"--prefix"_s, m_pristine})
                    .exitCode == 0);
        QVERIFY(writeTree(m_pristine + u"/share/clipferry/obsolete.txt"_s, "old"));
        const QByteArray res = readFile(m_pristine + u"/share/clipferry/res.xml"_s);

        // 2.15 is skipped: 2.2 holds the whole program; 2.3 also deletes a file.
        const auto patch = [&](const QString &ver, const QByteArray &resVer) {
            const QString folder = path(u"patch"_s + ver);
            if (!resVer.isEmpty())
                writeTree(folder + u"/share/clipferry/res.xml"_s,
                          QByteArray(res).replace("2.100603", resVer));
            writeTree(folder + u"/share/clipferry/marker"_s + ver + u".txt"_s, ver.toUtf8());
            return folder;
        };
        const QString full = patch(u"2.2"_s, "2.2");
        QDir().mkpath(full + u"/bin"_s);
        QVERIFY(QFile::copy(m_pristine + u"/bin/clipferry-updater"_s, full + u"/bin/clipferry-updater"_s));
        // Enough bytes that a download can be cut twice inside this patch.
        QByteArray filler(1 << 20, Qt::Uninitialized);
        QRandomGenerator(18).fillRange(reinterpret_cast<quint32 *>(filler.data()), filler.size() / 4);
        QVERIFY(writeTree(full + u"/share/clipferry/filler.bin"_s, filler));
        const QString last = patch(u"2.3"_s, "2.3");
        writeTree(last + u"/clipferry-delete.txt"_s, "share/clipferry/obsolete.txt\n");

        const QString data = path(u"data"_s);
        QVERIFY(writeTree(data + u"/update-key.pem"_s, readFile(UPDATE_TEST_KEY)));
        const QString server = ServerProcess::program();
        for (const QStringList &publish :
             {QStringList{u"2.15"_s, patch(u"2.15"_s, {})},
              QStringList{u"2.2"_s, full, u"--full"_s, u"--log"_s, u"The whole program"_s},
              QStringList{u"2.3"_s, last, u"--log"_s, u"Faster\nSafer"_s},
              QStringList{u"2.4"_s, patch(u"2.4"_s, "2.4"), u"--draft"_s}})
            QVERIFY(runProgram(server, QStringList{u"--data"_s, data, u"update"_s, u"publish"_s} + publish)
                        .exitCode == 0);
        m_server = std::make_unique<ServerProcess>(data);
        QVERIFY(m_server->start());
        m_session = std::make_unique<Session>();
        m_messages = m_session->messages().record();
    }

    // What a reply offers (ParseVerList) and whether StoreVerList keeps it instead of the last.
    void versionLists()
    {
        const QString h = u"|"_s + kHash;
        const struct
        {
            QByteArray reply;
            QStringList offered;
            bool stored;
        } cases[] = {
            // Older and equal versions skipped, the same version twice, an item without a hash refused.
            {versionList({u"2.110101|false"_s + h, u"2.100603|true"_s + h}), {u"2.110101"_s}, true},
            {versionList({u"2.2|false"_s + h, u" 2.2 |true"_s + h}), {u"2.2"_s}, true},
            {versionList({u"2.3|false|"_s, u"2.2|true"_s + h}), {u"2.2"_s}, true},
            {versionList({u"2.2|true"_s + h}, ListMode::ChangedAfterSigning), {}, false},
            {versionList({u"2.2|true"_s + h}, ListMode::Unsigned), {}, false},
            // A refusal is signed like any list; only the store looks at errInfo.
            {versionList({u"2.2|true"_s + h}, ListMode::Refused), {u"2.2"_s}, false},
            {"<verinfo><list>", {}, false},
        };
        for (const auto &c : cases) {
            pugi::xml_document doc;
            CVerList list;
            QCOMPARE(Xml::parseText(doc, c.reply) && ParseVerList(doc, u"2.100603"_s, list),
                     !c.offered.isEmpty());
            QStringList versions;
            for (const CVerItem &item : list.items())
                versions << item.ver;
            QCOMPARE(versions, c.offered);

            const QString old = path(u"previousList.xml"_s);
            QVERIFY(writeTree(old, "previous"));
            WritePlainSetting(u"verListPath"_s, old);
            QCOMPARE(StoreVerList(c.reply), c.stored);
            const QString now = ReadPlainSetting(u"verListPath"_s, {});
            QCOMPARE(QFile::exists(old), !c.stored);
            if (c.stored) {
                QVERIFY(QFileInfo(now).fileName().startsWith(u"_qvVerList_"_s));
                QCOMPARE(QFileInfo(now).absolutePath(), QFileInfo(QDir::tempPath()).absoluteFilePath());
                QCOMPARE(readFile(now), c.reply);
            } else {
                QCOMPARE(now, old);
            }
        }
    }

    void checkAgainstServer()
    {
        // Drafts only with "-d"; a "-d" inside the server's address does not count.
        QVERIFY(frmGetVerList::requestUrl(u"http://a"_s, {u"-d"_s}).endsWith(u"verinfo.php?draft=1"_s));
        QVERIFY(frmGetVerList::requestUrl(u"http://a-d"_s, {u"--update-server"_s, u"http://a-d"_s})
                    .endsWith(u"verinfo.php"_s));
        for (const bool draft : {false, true}) {
            StoredVerList stored;
            QVERIFY(fetchNotice(stored, serverUrl(), draft ? QStringList{u"-d"_s} : QStringList()));
            QCOMPARE(stored.list.item(1).ver, draft ? u"2.4"_s : u"2.3"_s);
            QCOMPARE(NewVersionNotice(u"2.100603"_s, stored, QDate::currentDate()), false);
            QCOMPARE(NewVersionNotice(u"2.100603"_s, stored, QDate::currentDate().addDays(1)), true);
        }
        m_messages->messages.clear();
        QVERIFY(!fetchList(u"http://127.0.0.1:1"_s, {}));
        QCOMPARE(m_messages->messages.size(), 1);
        QCOMPARE(m_messages->messages.first().title, u"Failed to get update info!"_s);
    }

    void quitLeavesNothingPending()
    {
        StoredVerList stored;
        QVERIFY(fetchNotice(stored, serverUrl()));
        UpdateDownload download({*m_session, stored.list, stored.doc, serverUrl(), 100, freshInstall()});
        QSignalSpy closed(&download, &UpdateDownload::closed);
        // A link planted at the shared name goes; what it points to stays.
        const QString folder = UpdateInstall::updateFolder();
        QVERIFY(writeTree(path(u"planted/keep.txt"_s), "keep") && QFile::link(path(u"planted"_s), folder));
        QVERIFY(download.Open());
        QVERIFY(QFile::exists(path(u"planted/keep.txt"_s)) && !QFileInfo(folder).isSymLink());
        QCOMPARE(QFileInfo(folder).permissions() & 0x77, QFile::Permissions());
        download.Update();
        download.Quit();
        QTest::qWait(300);
        QCOMPARE(closed, QList<QVariantList>{{false}});
        QCOMPARE(QDir(folder).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    }

    void sizes()
    {
        const std::pair<qint64, QString> cases[] = {
            {800, u"800.0 B"_s}, {1024, u"1.0 KB"_s}, {1500000, u"1.4 MB"_s}, {qint64(3) << 30, u"3.0 GB"_s}};
        for (const auto &[bytes, text] : cases) {
            const QString unit = UpdateDownload::SizeUnit(bytes);
            QCOMPARE(UpdateDownload::FormatSize(bytes, unit) + u' ' + unit, text);
            QCOMPARE(UpdateDownload::FormatSize(bytes, u"TB"_s), QString());
        }
    }

    void installAndUpdate_data()
    {
        QTest::addColumn<bool>("window");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<bool>("updated");
        QTest::newRow("headless") << false << QString() << true;
        QTest::newRow("window, download cut twice and resumed") << true << u"cut"_s << true;
        QTest::newRow("headless, tampered patch") << false << u"tamper"_s << false;
        QTest::newRow("window, tampered patch") << true << u"tamper"_s << false;
        QTest::newRow("headless, wrong signature") << false << u"key"_s << false;
        QTest::newRow("window, wrong signature") << true << u"key"_s << false;
        QTest::newRow("window, download cut twice, one retry") << true << u"cutOnce"_s << false;
        QTest::newRow("headless, full disk during the swap") << false << u"disk"_s << false;
        QTest::newRow("window, full disk during the swap") << true << u"disk"_s << false;
        QTest::newRow("headless, updater killed during the swap, run again") << false << u"crash"_s << true;
    }

    void installAndUpdate()
    {
        QFETCH(bool, window);
        QFETCH(QString, fault);
        QFETCH(bool, updated);
        const QString prefix = freshInstall();
        QVERIFY(!prefix.isEmpty());
        const QString data = m_server->dataDir();
        const QString patch = data + u"/updates/version/2.3/patch.zip"_s;
        const QString key = data + u"/update-key.pem"_s;
        const QByteArray patchBytes = readFile(patch);
        auto restore = qScopeGuard([&] {
            writeTree(patch, patchBytes);
            if (QFile::exists(key + u".aside"_s)) {
                QFile::remove(key);
                QVERIFY(QFile::rename(key + u".aside"_s, key) && m_server->stop() && m_server->start());
            }
        });
        if (fault == u"tamper")
            QVERIFY(writeTree(patch, patchBytes + "x"));
        if (fault == u"key") // started again, the server makes itself a new key: not the one built in
            QVERIFY(QFile::rename(key, key + u".aside"_s) && m_server->stop() && m_server->start());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (fault == u"disk")
            env.insert(u"CLIPFERRY_UPDATER_FAIL_SWAP"_s, u"2"_s);

        const QString cli = prefix + u"/bin/clipferry-cli"_s;
        const QStringList update{u"update"_s, u"--update-server"_s, serverUrl()};
        if (fault == u"crash") {
            // Half swapped: the next run puts the old files back before it installs.
            env.insert(u"CLIPFERRY_UPDATER_FAIL_SWAP"_s, u"crash:3"_s);
            QVERIFY(runProgram(cli, update, env).exitCode != 0);
            QVERIFY(QFile::exists(prefix + u"/.update-journal"_s));
            env.remove(u"CLIPFERRY_UPDATER_FAIL_SWAP"_s);
        }
        if (!window) {
            const ToolRun run = runProgram(cli, update, env);
            QVERIFY2((run.exitCode == 0) == updated, qPrintable(run.output));
            if (fault == u"key")
                QVERIFY(run.output.contains(u"signature is wrong"_s));
        } else {
            CuttingProxy proxy(m_server->port(), {});
            const qint64 updater = QFileInfo(data + u"/updates/version/updater.zip"_s).size();
            proxy.setReplyCuts({updater + 200000, updater + 600000});
            const bool cut = fault.startsWith(u"cut"_s);
            const QString server = cut ? u"http://127.0.0.1:%1"_s.arg(proxy.port()) : serverUrl();
            WritePlainSetting(u"verListPath"_s, {});
            StoredVerList stored;
            QCOMPARE(fetchNotice(stored, server), fault != u"key");
            if (fault != u"key") {
                UpdateDownload download({*m_session, stored.list, stored.doc, server, 51, prefix});
                download.downloader().setRetries(fault == u"cutOnce" ? 1 : 5, std::chrono::milliseconds(10));
                QStringList files;
                connect(&download, &UpdateDownload::fileText, this,
                        [&files](const QString &t) { files << t; });
                QSignalSpy closed(&download, &UpdateDownload::closed);
                QVERIFY(download.Open());
                download.Update();
                QVERIFY(closed.wait(120000));
                QCOMPARE(closed.first().first().toBool(), fault != u"cutOnce");
                QCOMPARE(proxy.cutsDone(), cut ? 2 : 0);
                if (fault != u"cutOnce") {
                    QCOMPARE(files, (QStringList{u"File (1/3):  updater.zip"_s,
                                                 u"File (2/3):  patch.zip  \u2500  v.2.2"_s,
                                                 u"File (3/3):  patch.zip  \u2500  v.2.3"_s}));
                    const QString folder = download.updateFolder();
                    QCOMPARE(readFile(folder + u"/verList.txt"_s), QByteArray("2.2\r\n2.3\r\n"));
                    // Handed over as the window does: the updater waits for the
                    // window's process, then starts ClipFerry again.
                    QProcess windowProcess;
                    windowProcess.start(u"sleep"_s, {u"0.5"_s});
                    QVERIFY(windowProcess.waitForStarted());
                    const ToolRun run =
                        runProgram(UpdateInstall::updaterPath(folder),
                                   UpdateInstall::updaterArguments(folder, prefix, windowProcess.processId(),
                                                                   true, {u"-s"_s}),
                                   env);
                    QCOMPARE(run.exitCode == 0, updated);
                    const auto started = QRegularExpression(u"started (\\d+)"_s).match(run.output);
                    QVERIFY2(started.hasMatch(), qPrintable(run.output));
                    const qint64 pid = started.captured(1).toLongLong();
                    QTest::qWait(300);
                    QCOMPARE(readFile(u"/proc/%1/cmdline"_s.arg(pid)).split('\0').first(),
                             (prefix + u"/bin/clipferry"_s).toUtf8());
                    ::kill(static_cast<pid_t>(pid), SIGTERM);
                }
            }
        }
        // Either the whole new version or the whole previous one, and nothing left over.
        const QString version = updated ? u"2.3"_s : u"2.100603"_s;
        QCOMPARE(UpdateInstall::installedVersion(prefix), version);
        QCOMPARE((QList<bool>{QFile::exists(prefix + u"/share/clipferry/marker2.2.txt"_s),
                              QFile::exists(prefix + u"/share/clipferry/marker2.3.txt"_s),
                              QFile::exists(prefix + u"/share/clipferry/obsolete.txt"_s)}),
                 (QList<bool>{updated, updated, !updated}));
        QCOMPARE(QDir(prefix).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 (QStringList{u"bin"_s, u"share"_s}));
        const ToolRun ran = runProgram(cli, {u"--version"_s});
        QVERIFY2(ran.exitCode == 0 && ran.output.trimmed() == version, qPrintable(ran.output));
    }

    void cleanupTestCase()
    {
        if (m_server)
            m_server->stop();
    }
};

#ifdef CLIPFERRY_UPDATE_WINDOW
QTEST_MAIN(TestUpdate)
#else
QTEST_GUILESS_MAIN(TestUpdate)
#endif
#include "test_update.moc"
