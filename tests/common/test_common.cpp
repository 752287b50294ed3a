#include "common/FileUtil.h"
#include "common/Lang.h"
#include "common/Password.h"
#include "common/Settings.h"
#include "common/SystemUtil.h"
#include "common/TextUtil.h"
#include "common/XmlUtil.h"
#include "platform/AppPaths.h"
#include "platform/Messages.h"
#include "support/TestFiles.h"
#include "support/TestLanguage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

namespace {

QString storedSetting(const QString &key)
{
    QSettings store(AppPaths::settingsFile(), QSettings::IniFormat);
    return store.value(QStringLiteral("clipFerry/") + key).toString();
}

} // namespace

class TestCommon : public QObject
{
    Q_OBJECT

    Messages::Channel m_messages;

private Q_SLOTS:
    void init() { QFile::remove(AppPaths::settingsFile()); }

    void urlEncode_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("encoded");
        QTest::newRow("pairs") << "a=b&c"
                               << "a%3Db%26c";
        QTest::newRow("all seven") << "?&/=#@%"
                                   << "%3F%26%2F%3D%23%40%25";
        QTest::newRow("blank and non-ASCII stay") << "a b é"
                                                  << "a b é";
        QTest::newRow("empty") << ""
                               << "";
    }
    void urlEncode()
    {
        QFETCH(QString, text);
        QFETCH(QString, encoded);
        QCOMPARE(UrlEncode(text), encoded);
    }

    void secondsToHms_data()
    {
        QTest::addColumn<qint64>("seconds");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << qint64(0) << "0:00:00";
        QTest::newRow("59") << qint64(59) << "0:00:59";
        QTest::newRow("3725") << qint64(3725) << "1:02:05";
        QTest::newRow("ten hours") << qint64(36000) << "10:00:00";
        QTest::newRow("past a day") << qint64(100 * 3600 + 61) << "100:01:01";
    }
    void secondsToHms()
    {
        QFETCH(qint64, seconds);
        QFETCH(QString, text);
        QCOMPARE(SecondsToHMS(seconds), text);
    }

    void timeNowShape()
    {
        QVERIFY(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d$")).match(TimeNow()).hasMatch());
    }

    void addresses_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("stripped");
        QTest::addColumn<bool>("https");
        QTest::addColumn<QString>("host");
        QTest::newRow("plain") << " media.example:8080/tarn "
                               << "media.example:8080/tarn" << false << "media.example:8080";
        QTest::newRow("http") << "http://h/x"
                              << "h/x" << false << "h";
        QTest::newRow("https with port and path") << "https://h.example:8443/a/b"
                                                  << "h.example:8443/a/b" << true << "h.example:8443";
        QTest::newRow("http inside too") << "http://hhttp://x"
                                         << "hx" << false << "hx";
        QTest::newRow("HTTP capitals stay") << "HTTP://h"
                                            << "HTTP://h" << false << "HTTP:";
    }
    void addresses()
    {
        QFETCH(QString, address);
        QFETCH(QString, stripped);
        QFETCH(bool, https);
        QFETCH(QString, host);
        bool useHttps = !https;
        QCOMPARE(StripScheme(address, useHttps), stripped);
        QCOMPARE(useHttps, https);
        QCOMPARE(HostOf(address), host);
    }

    void rounding_data()
    {
        QTest::addColumn<double>("x");
        QTest::addColumn<int>("even");
        QTest::newRow("tie 5 goes up") << 5.0 << 6;
        QTest::newRow("tie 3 goes up") << 3.0 << 4;
        QTest::newRow("tie -1 goes up") << -1.0 << 0;
        QTest::newRow("4.9") << 4.9 << 4;
        QTest::newRow("5.1") << 5.1 << 6;
        QTest::newRow("359.99") << 359.99 << 360;
        QTest::newRow("even stays") << 480.0 << 480;
    }
    void rounding()
    {
        QFETCH(double, x);
        QFETCH(int, even);
        QCOMPARE(RoundToEven(x), even);
    }

    void fileSizeKb_data()
    {
        QTest::addColumn<int>("bytes");
        QTest::addColumn<qint64>("kb");
        QTest::newRow("half to even 0") << 512 << qint64(0);
        QTest::newRow("half to even 2") << 1536 << qint64(2);
        QTest::newRow("half to even 2 again") << 2560 << qint64(2);
        QTest::newRow("just over half") << 1537 << qint64(2);
        QTest::newRow("just under") << 1535 << qint64(1);
    }
    void fileSizeKb()
    {
        QFETCH(int, bytes);
        QFETCH(qint64, kb);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("f"));
        writeFile(path, QByteArray(bytes, 'x'));
        QCOMPARE(FileSizeKB(path), kb);
        QCOMPARE(FileSizeBytes(path), qint64(bytes));
        QCOMPARE(FileSizeKB(dir.filePath(QStringLiteral("missing"))), qint64(0));
    }

    void freeSpace()
    {
        QCOMPARE(FreeSpaceMB(QStringLiteral("\\\\server\\share\\x")), qint64(101));
        QVERIFY(FreeSpaceMB(QDir::tempPath()) > 0);
        // A folder that does not exist yet is measured where it will be made.
        QCOMPARE(FreeSpaceMB(QDir::tempPath() + QStringLiteral("/not/yet/there")) > 0, true);
        QVERIFY(HasFreeSpace(QDir::tempPath(), 1024));
        QVERIFY(!HasFreeSpace(QDir::tempPath(), qint64(1) << 60));
    }

    void recreateFolder()
    {
        QTemporaryDir dir;
        const QString missingParent = dir.filePath(QStringLiteral("no/child"));
        QCOMPARE(RecreateFolder(missingParent), 1);
        QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("no"))));

        const QString work = dir.filePath(QStringLiteral("work"));
        QVERIFY(QDir().mkpath(work + QStringLiteral("/sub")));
        writeFile(work + QStringLiteral("/sub/locked.txt"), "x");
        QFile::setPermissions(work + QStringLiteral("/sub/locked.txt"), QFileDevice::ReadOwner);
        QCOMPARE(RecreateFolder(work), 0);
        QVERIFY(QDir(work).isEmpty());
    }

    void copyAndMoveReplace()
    {
        QTemporaryDir dir;
        const QString source = dir.filePath(QStringLiteral("a"));
        const QString target = dir.filePath(QStringLiteral("b"));
        QVERIFY(!CopyFileReplace(source, target));
        QVERIFY(!MoveFileReplace(source, target));
        writeFile(source, "new");
        writeFile(target, "old");
        QFile::setPermissions(target, QFileDevice::ReadOwner);
        QVERIFY(CopyFileReplace(source, target));
        QCOMPARE(readFile(target), QByteArray("new"));
        writeFile(source, "newer");
        QFile::setPermissions(target, QFileDevice::ReadOwner);
        QVERIFY(MoveFileReplace(source, target));
        QCOMPARE(readFile(target), QByteArray("newer"));
        QVERIFY(!QFileInfo::exists(source));
        QVERIFY(DeleteFileIfExists(target));
        QVERIFY(!QFileInfo::exists(target));
        QVERIFY(DeleteFolderIfExists(dir.filePath(QStringLiteral("none"))));
    }

    void uniqueTempNames()
    {
        QTemporaryDir dir;
        QVERIFY(UniqueTempFolder(dir.filePath(QStringLiteral("missing")), QStringLiteral("cf")).isEmpty());
        QVERIFY(UniqueTempFile(dir.filePath(QStringLiteral("missing")), QStringLiteral("xml"), {}).isEmpty());
        const QString folder = UniqueTempFolder(dir.path(), QStringLiteral("clip_"));
        QVERIFY(folder.startsWith(dir.filePath(QStringLiteral("clip_"))));
        QVERIFY(!QFileInfo::exists(folder));
        const QString file = UniqueTempFile(dir.path(), QStringLiteral("xml"), QStringLiteral("_qvVerList_"));
        QVERIFY(file.startsWith(dir.filePath(QStringLiteral("_qvVerList_"))));
        QVERIFY(file.endsWith(QStringLiteral(".xml")));
    }

    void hashString()
    {
        QCOMPARE(HashString(QStringLiteral("abc"), m_messages),
                 QStringLiteral("900150983CD24FB0D6963F7D28E17F72"));
        QCOMPARE(HashString(QString(), m_messages), QStringLiteral("D41D8CD98F00B204E9800998ECF8427E"));
        // A two-byte character is hashed over both of its bytes.
        QCOMPARE(HashString(QStringLiteral("é"), m_messages),
                 QStringLiteral("66DDCD97CFDEABB2F6FB8A999B4BC76F"));
    }

    void passwordAsSent_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("hashed");
        QTest::addColumn<QString>("sent");
        // md5("secret") = 5ebe2294ecd0e0f08eab7690d2a6ee69
        const QString twice = QString::fromLatin1(
            QCryptographicHash::hash("5ebe2294ecd0e0f08eab7690d2a6ee69", QCryptographicHash::Md5).toHex());
        QTest::newRow("hashed") << "secret" << true << twice;
        QTest::newRow("blanks trimmed before hashing") << "  secret " << true << twice;
        QTest::newRow("empty hashes the empty digest")
            << "" << true
            << QString::fromLatin1(
                   QCryptographicHash::hash("d41d8cd98f00b204e9800998ecf8427e", QCryptographicHash::Md5)
                       .toHex());
        QTest::newRow("plain as stored") << " secret " << false << " secret ";
    }
    void passwordAsSent()
    {
        QFETCH(QString, password);
        QFETCH(bool, hashed);
        QFETCH(QString, sent);
        QCOMPARE(PasswordAsSent(password, hashed, m_messages), sent);
    }

    void encodedSettings_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("stored");
        QTest::newRow("abc") << "abc"
                             << "&H610062006300";
        QTest::newRow("one character takes six") << "x"
                                                 << "&H7800";
        QTest::newRow("non-Latin") << "é中"
                                   << "&HE9002D4E";
        QTest::newRow("empty stored empty") << ""
                                            << "";
    }
    void encodedSettings()
    {
        QFETCH(QString, value);
        QFETCH(QString, stored);
        WriteSetting(Settings::kSection, QStringLiteral("account"), value);
        QCOMPARE(storedSetting(QStringLiteral("account")), stored);
        QCOMPARE(ReadSetting(Settings::kSection, QStringLiteral("account"), QStringLiteral("dflt")),
                 value.isEmpty() ? QStringLiteral("dflt") : value);
    }

    void decodeSetting_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("read");
        QTest::newRow("plain long stays") << "10.0.0.1"
                                          << "10.0.0.1";
        QTest::newRow("plain short gives default") << "ab"
                                                   << "default";
        QTest::newRow("bare &H gives default") << "&H"
                                               << "default";
        QTest::newRow("lower-case &h is plain") << "&h6100"
                                                << "&h6100";
        QTest::newRow("bad hex gives default") << "&HZZ00"
                                               << "default";
        QTest::newRow("odd length gives default") << "&H610"
                                                  << "default";
    }
    void decodeSetting()
    {
        QFETCH(QString, stored);
        QFETCH(QString, read);
        QCOMPARE(DecodeSetting(stored, QStringLiteral("default")), read);
    }

    void settingsFileIsPrivate()
    {
        WritePlainSetting(QStringLiteral("chkRemQueue"), QStringLiteral("0"));
        QCOMPARE(ReadPlainSetting(QStringLiteral("chkRemQueue"), QStringLiteral("1")), QStringLiteral("0"));
        QCOMPARE(QFile::permissions(AppPaths::settingsFile()),
                 QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser |
                     QFileDevice::WriteUser);
    }

    void serverDefaults()
    {
        ServerDefaults empty = LoadServerDefaults();
        QCOMPARE(empty.serverIP, QStringLiteral("127.0.0.1"));
        QCOMPARE(empty.folderID, QStringLiteral("1"));
        QCOMPARE(empty.folderName, QStringLiteral("test"));
        QVERIFY(!empty.ok);

        WriteSetting(Settings::kSection, QStringLiteral("serverIP"), QStringLiteral("  media.example  "));
        WriteSetting(Settings::kSection, QStringLiteral("account"), QStringLiteral("ann"));
        WriteSetting(Settings::kSection, QStringLiteral("secondRes"), QStringLiteral("0"));
        WriteSetting(Settings::kSection, QStringLiteral("thirdRes"), QStringLiteral("640"));
        ServerDefaults partial = LoadServerDefaults();
        QCOMPARE(partial.serverIP, QStringLiteral("media.example"));
        QCOMPARE(partial.account, QStringLiteral("ann"));
        QVERIFY(!partial.ok); // no password
        QVERIFY(!partial.secondRes.has_value());
        QCOMPARE(partial.thirdRes.value_or(0), 640);

        WriteSetting(Settings::kSection, QStringLiteral("password"), QStringLiteral("pw"));
        WriteSetting(Settings::kSection, QStringLiteral("secondRes"), QStringLiteral("wide"));
        ServerDefaults full = LoadServerDefaults();
        QVERIFY(full.ok);
        QVERIFY(!full.secondRes.has_value());
    }

    void defaultProjectVersion()
    {
        DefaultProject project;
        QVERIFY(project.LoadDefaultProject());
        QCOMPARE(project.DefaultProjectVersion(), QStringLiteral("8"));
    }

    void profileServer()
    {
        QTemporaryDir work;
        const QString profile = work.filePath(QStringLiteral("tarn_profile.xml"));
        const auto noProject = [] { return ProfileServer{}; };

        writeFile(profile, "<a/>\r\n");
        ProfileServer tiny = ReadProfileServer(work.path(), QStringLiteral("/v/a.mp4"), noProject);
        QVERIFY(!tiny.ok);
        QCOMPARE(tiny.contentID, QStringLiteral("0"));
        QVERIFY(!QFileInfo::exists(profile));

        writeFile(profile, "<profile><type>video</type><server><url> http://h/ </url><folderID>7</folderID>"
                           "<contentID></contentID></server></profile>");
        ProfileServer read = ReadProfileServer(work.path(), QStringLiteral("/v/a.mp4"), noProject);
        QVERIFY(read.ok);
        QCOMPARE(read.url, QStringLiteral("http://h/"));
        QCOMPARE(read.folderID, QStringLiteral("7"));
        QCOMPARE(read.contentID, QStringLiteral("0"));

        QVERIFY(WriteProfileServer(work.path(), QStringLiteral("https://x"), QStringLiteral("9"),
                                   QStringLiteral("42")));
        QCOMPARE(
            readFile(profile),
            QByteArray("<profile>\r\n<type>video</type>\r\n<server>\r\n<url>https://x</url>\r\n"
                       "<folderID>9</folderID>\r\n<contentID>42</contentID>\r\n</server>\r\n</profile>"));

        const auto project = [] {
            return ProfileServer{QStringLiteral(" u "), QStringLiteral("3"), {}, false};
        };
        ProfileServer zdm = ReadProfileServer(work.path(), QStringLiteral("/r/talk.zdm"), project);
        QVERIFY(zdm.ok);
        QCOMPARE(zdm.url, QStringLiteral("u"));
        QCOMPARE(zdm.contentID, QStringLiteral("0"));
        QVERIFY(!WriteProfileServer(work.filePath(QStringLiteral("none")), {}, {}, {}));
    }

    void saveXmlPrettySplitsEmptyElements()
    {
        QTemporaryDir dir;
        pugi::xml_document doc;
        QVERIFY(Xml::parseText(doc, "<r><a>1\t2</a><b/></r>"));
        const QString path = dir.filePath(QStringLiteral("p.xml"));
        QVERIFY(Xml::SaveXmlPretty(doc, path));
        QCOMPARE(readFile(path), QByteArray("<r>\r\n<a>12</a>\r\n<b>\r\n</b>\r\n</r>"));
        QCOMPARE(Xml::GetTextByPath(doc, QStringLiteral("a"), {}), QStringLiteral("12"));
    }

    void xmlConveniences()
    {
        pugi::xml_document doc;
        QVERIFY(Xml::parseText(doc, "<reply><quota><free>12</free></quota><errInfo></errInfo></reply>"));
        QCOMPARE(Xml::GetTextByPath(doc, QStringLiteral("quota.free"), QStringLiteral("d")),
                 QStringLiteral("12"));
        QCOMPARE(Xml::GetTextByPath(doc, QStringLiteral("quota.total"), QStringLiteral("d")),
                 QStringLiteral("d"));
        QCOMPARE(Xml::GetTextByPath(doc, QStringLiteral("errInfo"), QStringLiteral("d")), QString());
        pugi::xml_node added = Xml::AppendElement(doc.document_element(), QStringLiteral("item"),
                                                  QStringLiteral("x&y"), QStringLiteral("id"));
        QVERIFY(added.attribute("id"));
        QCOMPARE(Xml::GetChildText(doc.document_element(), QStringLiteral("item")), QStringLiteral("x&y"));
        QVERIFY(Xml::SetChildText(doc.document_element(), QStringLiteral("item"), QStringLiteral("z")));
        QVERIFY(!Xml::SetChildText(doc.document_element(), QStringLiteral("none"), QStringLiteral("z")));
        QVERIFY(!Xml::AppendElement(doc.document_element(), QStringLiteral("e"), {}).first_child());
    }

    void untrustedXmlRefused_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("doctype") << QByteArray(
            "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY e \"x\">]><r>&e;</r>");
        QTest::newRow("external entity") << QByteArray("<!DOCTYPE r SYSTEM \"file:///etc/passwd\"><r/>");
        QTest::newRow("broken") << QByteArray("<r><a></r>");
        QTest::newRow("no root") << QByteArray("<?xml version=\"1.0\"?>");
        QTest::newRow("too large") << QByteArray("<r>") + QByteArray(Xml::kMaxDocumentBytes, 'x') + "</r>";
    }
    void untrustedXmlRefused()
    {
        QFETCH(QByteArray, text);
        pugi::xml_document doc;
        const Xml::ParseResult result = Xml::parseText(doc, text);
        QVERIFY(!result);
        QVERIFY(!result.error.isEmpty());
        QVERIFY(!doc.document_element());
    }

    void languageLookup_data()
    {
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("expected");
        QTest::newRow("two lines") << "frmUpload"
                                   << "two"
                                   << "first\r\nsecond";
        QTest::newRow("first section only") << "frmUpload"
                                            << "only2"
                                            << "dflt";
        QTest::newRow("first key wins") << "frmUpload"
                                        << "dup"
                                        << "one";
        QTest::newRow("case differs") << "frmUpload"
                                      << "TWO"
                                      << "dflt";
        QTest::newRow("empty text is not the default") << "frmUpload"
                                                       << "empty"
                                                       << "";
        QTest::newRow("missing section") << "frmNone"
                                         << "two"
                                         << "dflt";
    }
    void languageLookup()
    {
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("res.xml"));
        writeFile(path, "<?xml version=\"1.0\"?><lang>"
                        "<s name=\"frmUpload\"><t name=\"two\">first\\nsecond</t><t name=\"dup\">one</t>"
                        "<t name=\"dup\">two</t><t name=\"empty\"></t></s>"
                        "<s name=\"frmUpload\"><t name=\"only2\">hidden</t></s></lang>");
        const LanguageTable language(path);
        QCOMPARE(language.text(section, key, QStringLiteral("dflt")), expected);
    }

    void missingLanguageFileGivesDefaults()
    {
        const LanguageTable language(QStringLiteral("/nonexistent/res.xml"));
        QCOMPARE(language.text(QStringLiteral("frmUpload"), QStringLiteral("msgStopBeforeExit"),
                               QStringLiteral("Please stop uploading first!")),
                 QStringLiteral("Please stop uploading first!"));
        QCOMPARE(language.text(QStringLiteral("frmUpload"), QStringLiteral("frmUpload")), QString());
    }

    // Each shipped language file holds every key the program looks up, and
    // every key of the English file.
    void shippedLanguageFileIsComplete_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("English") << languageFile();
        QTest::newRow("Traditional Chinese")
            << QFileInfo(languageFile()).dir().filePath(LanguageFileName(QStringLiteral("zh-Hant-TW")));
    }
    void shippedLanguageFileIsComplete()
    {
        QFETCH(QString, file);
        QVERIFY(file != languageFile() || LanguageFileName(QStringLiteral("en_US")) == u"res.xml");
        const LanguageTable language(file);
        const QString keys = QFINDTESTDATA("langkeys.txt");
        QVERIFY(!keys.isEmpty());
        QStringList lines = QString::fromUtf8(readFile(keys)).split(u'\n', Qt::SkipEmptyParts);
        QVERIFY(lines.size() > 100);
        pugi::xml_document english;
        QVERIFY(Xml::parseFile(english, languageFile()));
        for (const pugi::xml_node &section : english.document_element().children())
            for (const pugi::xml_node &key : section.children())
                lines << QString::fromUtf8(section.attribute("name").value()) + u'\t' +
                             QString::fromUtf8(key.attribute("name").value());
        QStringList missing;
        for (const QString &line : lines) {
            const QStringList parts = line.split(u'\t');
            if (parts.size() != 2 || parts.at(1).isEmpty())
                continue;
            const QString sentinel = QStringLiteral("\x01missing");
            if (language.text(parts.at(0), parts.at(1), sentinel) == sentinel)
                missing << line;
        }
        QVERIFY2(missing.isEmpty(), qPrintable(missing.join(u',')));
        QCOMPARE(language.text(QStringLiteral("frmUpload"), QStringLiteral("gridState")).isEmpty(), false);
    }

    void copyFontKeepsItalic()
    {
        QFont source(QStringLiteral("Serif"), 13);
        source.setItalic(true);
        source.setUnderline(true);
        QFont target;
        CopyFont(target, source);
        QVERIFY(target.italic());
        QVERIFY(target.underline());
        QCOMPARE(target.pointSize(), 13);
        QVERIFY(TextWidthOf(QStringLiteral("wide text"), target) > TextWidthOf(QStringLiteral("w"), target));
        QVERIFY(OsVersionNumber() >= 62);
    }
};

QTEST_MAIN(TestCommon)
#include "test_common.moc"
