#include "common/FileUtil.h"
#include "common/Lang.h"
#include "common/Password.h"
#include "common/Settings.h"
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

using namespace Qt::StringLiterals;

class TestCommon : public QObject
{
    Q_OBJECT

    Messages::Channel m_messages;

private Q_SLOTS:
    void init() { QFile::remove(AppPaths::settingsFile()); }

    void addresses()
    {
        const struct
        {
            QString address, stripped;
            bool https;
            QString host;
        } rows[] = {{" media.example:8080/tarn ", "media.example:8080/tarn", false, "media.example:8080"},
                    {"https://h.example:8443/a/b", "h.example:8443/a/b", true, "h.example:8443"},
                    {"http://hhttp://x", "hx", false, "hx"},
                    {"HTTP://h", "HTTP://h", false, "HTTP:"}}; // capitals stay
        for (const auto &row : rows) {
            bool useHttps = !row.https;
            QCOMPARE(StripScheme(row.address, useHttps), row.stripped);
            QVERIFY2(useHttps == row.https, qPrintable(row.address));
            QCOMPARE(HostOf(row.address), row.host);
        }
        // The overwrite address travels as a request parameter: exactly seven characters are escaped.
        QCOMPARE(UrlEncode(u"?&/=#@% é"_s), u"%3F%26%2F%3D%23%40%25 é"_s);
    }

    // The nearest even number; a tie goes up.
    void rounding()
    {
        for (const auto &[x, even] : {std::pair{5.0, 6}, {-1.0, 0}, {4.9, 4}, {5.1, 6}})
            QCOMPARE(RoundToEven(x), even);
    }

    void freeSpace()
    {
        // A folder that does not exist yet is measured where it will be made.
        QVERIFY(FreeSpaceMB(QDir::tempPath() + u"/not/yet/there"_s) > 0);
        QVERIFY(HasFreeSpace(QDir::tempPath(), 1024));
        QVERIFY(!HasFreeSpace(QDir::tempPath(), qint64(1) << 60));
    }

    void recreateFolder()
    {
        QTemporaryDir dir;
        QCOMPARE(RecreateFolder(dir.filePath(u"no/child"_s)), 1);
        QVERIFY(!QFileInfo::exists(dir.filePath(u"no"_s)));

        const QString work = dir.filePath(u"work"_s);
        QVERIFY(QDir().mkpath(work + u"/sub"_s));
        writeFile(work + u"/sub/locked.txt"_s, "x");
        QFile::setPermissions(work + u"/sub/locked.txt"_s, QFileDevice::ReadOwner);
        QCOMPARE(RecreateFolder(work), 0);
        QVERIFY(QDir(work).isEmpty());
    }

    void copyAndMoveReplace()
    {
        QTemporaryDir dir;
        const QString source = dir.filePath(u"a"_s);
        const QString target = dir.filePath(u"b"_s);
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
        QVERIFY(DeleteFolderIfExists(dir.filePath(u"none"_s)));
    }

    void passwordAsSent()
    {
        // The MD5 of the lower-case hex MD5 of the password's bytes in the local code page (UTF-8 here).
        const struct
        {
            QString password;
            bool hashed;
            QString sent;
        } rows[] = {
            {"  secret ", true, "7022cd14c42ff272619d6beacdc9ffde"}, // blanks trimmed before hashing
            {"é", true, "0eb2806d9c1fbdc5b47c671241ec8cd5"},
            {{}, true, "74be16979710d4c4e7c6647856088456"}, // the empty password hashes the empty digest
            {" secret ", false, " secret "}};
        for (const auto &row : rows)
            QCOMPARE(PasswordAsSent(row.password, row.hashed, m_messages), row.sent);
    }

    // Encoded settings hold each UTF-16 unit as four hex digits, low byte
    // first; a stored value this program did not write reads as missing.
    void encodedSettings()
    {
        const struct
        {
            QString value; // null: the stored text is not written by this program
            QString stored, read;
        } rows[] = {{"é中", "&HE9002D4E", "é中"}, {u""_s, u""_s, "dflt"},
                    {{}, "10.0.0.1", "10.0.0.1"}, // a plain long text stays
                    {{}, "ab", "dflt"},           // a plain short one gives the default
                    {{}, "&HZZ00", "dflt"},       {{}, "&H610", "dflt"}};
        for (const auto &[value, stored, read] : rows) {
            if (!value.isNull()) {
                WriteSetting(Settings::kSection, u"account"_s, value);
                QCOMPARE(QSettings(AppPaths::settingsFile(), QSettings::IniFormat).value("clipFerry/account"),
                         stored);
                QCOMPARE(ReadSetting(Settings::kSection, u"account"_s, u"dflt"_s), read);
            }
            QCOMPARE(DecodeSetting(stored, u"dflt"_s), read);
        }
    }

    void serverDefaults()
    {
        ServerDefaults empty = LoadServerDefaults();
        QCOMPARE((QStringList{empty.serverIP, empty.folderID, empty.folderName}),
                 (QStringList{"127.0.0.1", "1", "test"}));
        QVERIFY(!empty.ok);

        WriteSetting(Settings::kSection, u"serverIP"_s, u"  media.example  "_s);
        WriteSetting(Settings::kSection, u"account"_s, u"ann"_s);
        WriteSetting(Settings::kSection, u"secondRes"_s, u"0"_s);
        WriteSetting(Settings::kSection, u"thirdRes"_s, u"640"_s);
        ServerDefaults partial = LoadServerDefaults();
        QCOMPARE((QStringList{partial.serverIP, partial.account}), (QStringList{"media.example", "ann"}));
        QVERIFY(!partial.ok); // no password
        QVERIFY(!partial.secondRes.has_value());
        QCOMPARE(partial.thirdRes.value_or(0), 640);

        WriteSetting(Settings::kSection, u"password"_s, u"pw"_s);
        WriteSetting(Settings::kSection, u"secondRes"_s, u"wide"_s);
        ServerDefaults full = LoadServerDefaults();
        QVERIFY(full.ok);
        QVERIFY(!full.secondRes.has_value());
        // The file holds the password: only its owner may read it.
        QCOMPARE(QFile::permissions(AppPaths::settingsFile()),
                 QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser |
                     QFileDevice::WriteUser);
    }

    void defaultProjectVersion()
    {
        DefaultProject project;
        QVERIFY(project.LoadDefaultProject());
        QCOMPARE(project.DefaultProjectVersion(), u"8"_s);
    }

    void profileServer()
    {
        QTemporaryDir work;
        const QString profile = work.filePath(u"tarn_profile.xml"_s);
        const auto noProject = [] { return ProfileServer{}; };

        writeFile(profile, "<a/>\r\n");
        ProfileServer tiny = ReadProfileServer(work.path(), u"/v/a.mp4"_s, noProject);
        QVERIFY(!tiny.ok);
        QCOMPARE(tiny.contentID, u"0"_s);
        QVERIFY(!QFileInfo::exists(profile));

        writeFile(profile, "<profile><type>video</type><server><url> http://h/ </url><folderID>7</folderID>"
                           "<contentID></contentID></server></profile>");
        ProfileServer read = ReadProfileServer(work.path(), u"/v/a.mp4"_s, noProject);
        QVERIFY(read.ok);
        QCOMPARE((QStringList{read.url, read.folderID, read.contentID}),
                 (QStringList{"http://h/", "7", "0"}));

        QVERIFY(WriteProfileServer(work.path(), u"https://x"_s, u"9"_s, u"42"_s));
        QCOMPARE(
            readFile(profile),
            QByteArray("<profile>\r\n<type>video</type>\r\n<server>\r\n<url>https://x</url>\r\n"
                       "<folderID>9</folderID>\r\n<contentID>42</contentID>\r\n</server>\r\n</profile>"));

        const auto project = [] { return ProfileServer{u" u "_s, u"3"_s, {}, false}; };
        ProfileServer zdm = ReadProfileServer(work.path(), u"/r/talk.zdm"_s, project);
        QVERIFY(zdm.ok);
        QCOMPARE((QStringList{zdm.url, zdm.contentID}), (QStringList{"u", "0"}));
        QVERIFY(!WriteProfileServer(work.filePath(u"none"_s), {}, {}, {}));
    }

    void saveXmlPrettySplitsEmptyElements()
    {
        QTemporaryDir dir;
        pugi::xml_document doc;
        QVERIFY(Xml::parseText(doc, "<r><a>1\t2</a><b/></r>"));
        const QString path = dir.filePath(u"p.xml"_s);
        QVERIFY(Xml::SaveXmlPretty(doc, path));
        QCOMPARE(readFile(path), QByteArray("<r>\r\n<a>12</a>\r\n<b>\r\n</b>\r\n</r>"));
        QCOMPARE(Xml::GetTextByPath(doc, u"a"_s, {}), u"12"_s);
        // An empty element reads empty; only a missing one gives the default.
        QCOMPARE(Xml::GetTextByPath(doc, u"b"_s, u"d"_s), QString());
        QCOMPARE(Xml::GetTextByPath(doc, u"x.y"_s, u"d"_s), u"d"_s);
    }

    // An external entity, a missing root or an oversized text refuses the whole document.
    void untrustedXmlRefused()
    {
        for (const QByteArray &text : {QByteArray("<!DOCTYPE r SYSTEM \"file:///etc/passwd\"><r/>"),
                                       QByteArray("<?xml version=\"1.0\"?>"),
                                       "<r>" + QByteArray(Xml::kMaxDocumentBytes, 'x') + "</r>"}) {
            pugi::xml_document doc;
            const Xml::ParseResult result = Xml::parseText(doc, text);
            QVERIFY2(!result && !result.error.isEmpty(), text.left(40).constData());
            QVERIFY(!doc.document_element());
        }
    }

    void languageLookup()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"res.xml"_s);
        writeFile(path, "<?xml version=\"1.0\"?><lang>"
                        "<s name=\"frmUpload\"><t name=\"two\">first\\nsecond</t><t name=\"dup\">one</t>"
                        "<t name=\"dup\">two</t><t name=\"empty\"></t></s>"
                        "<s name=\"frmUpload\"><t name=\"only2\">hidden</t></s></lang>");
        const LanguageTable language(path);
        // "\n" reads as CR LF; the first section and the first key of a name count; letter case does.
        QStringList read;
        for (const QString &key : {u"two"_s, u"only2"_s, u"dup"_s, u"TWO"_s, u"empty"_s})
            read << language.text(u"frmUpload"_s, key, u"dflt"_s);
        QCOMPARE(read, (QStringList{"first\r\nsecond", "dflt", "one", "dflt", ""}));
        QCOMPARE(language.text(u"frmNone"_s, u"two"_s, u"dflt"_s), u"dflt"_s);
        // Without a language file every text is its default.
        const LanguageTable none(u"/nonexistent/res.xml"_s);
        QCOMPARE(none.text(u"frmUpload"_s, u"msgStopBeforeExit"_s, u"Stop first"_s), u"Stop first"_s);
    }

    // Each shipped language file holds every key the program looks up, and
    // every key of the English file.
    void shippedLanguageFilesAreComplete()
    {
        for (const QString &traditional : {u"zh-Hant-TW"_s, u" zh_HK.UTF-8"_s})
            QCOMPARE(LanguageFileName(traditional), u"res_zh_TW.xml"_s);
        for (const QString &english : {u"en_US"_s, u"zh-Hans-HK"_s})
            QCOMPARE(LanguageFileName(english), u"res.xml"_s);
        QStringList keys =
            QString::fromUtf8(readFile(QFINDTESTDATA("langkeys.txt"))).split(u'\n', Qt::SkipEmptyParts);
        QVERIFY(keys.size() > 100);
        pugi::xml_document english;
        QVERIFY(Xml::parseFile(english, languageFile()));
        for (const pugi::xml_node &section : english.document_element().children())
            for (const pugi::xml_node &key : section.children())
                keys << QString::fromUtf8(section.attribute("name").value()) + u'\t' +
                            QString::fromUtf8(key.attribute("name").value());
        for (const QString &file :
             {languageFile(), QFileInfo(languageFile()).dir().filePath(u"res_zh_TW.xml"_s)}) {
            const LanguageTable language(file);
            QStringList missing;
            for (const QString &line : std::as_const(keys)) {
                const QStringList parts = line.split(u'\t');
                const QString sentinel = u"\x01missing"_s;
                if (parts.size() == 2 && !parts.at(1).isEmpty() &&
                    language.text(parts.at(0), parts.at(1), sentinel) == sentinel)
                    missing << line;
            }
            QVERIFY2(missing.isEmpty(), qPrintable(file + u": "_s + missing.join(u',')));
        }
    }
};

QTEST_MAIN(TestCommon)
#include "test_common.moc"
