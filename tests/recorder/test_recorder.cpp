#include "common/Lang.h"
#include "platform/AppPaths.h"
#include "platform/Messages.h"
#include "recorder/CProjectFile.h"
#include "recorder/CTime.h"
#include "recorder/MediaLibraries.h"
#include "recorder/MediaLibrary.h"
#include "recorder/SampleRecording.h"
#include "support/TestFiles.h"
#include "support/TestLanguage.h"
#include "support/TestProcesses.h"

#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace {

const QByteArray kAbstract =
    "<title>Talk</title><author>Ann</author><manager>Bo</manager><company>Acme</company>"
    "<category>Science</category><keywords>k1 k2</keywords><comments>c</comments>";
const QByteArray kConfigure =
    "<profile><video><bitrate>96</bitrate><size>160x120</size><preview>1</preview></video>"
    "</profile><template>blue</template><photo size=\"160x120\" kind=\"gif\">me.gif</photo>"
    "<sound volume=\"5\" rate=\"8000\">beep.wav</sound><showcursor>0</showcursor>";

QByteArray item(const QByteArray &pos, const QByteArray &extra = {})
{
    const QByteArray url = pos == "-1" ? "<url>page.html</url>" : "";
    return "<item><title>At " + pos + "</title><pos>" + pos + "</pos><recdate>2024-03-01</recdate>" + url +
           extra + "</item>";
}

QByteArray indexOf(const QList<QByteArray> &positions)
{
    QByteArray items;
    for (const QByteArray &pos : positions)
        items += item(pos);
    return "<index type=\"TOC\" duration=\"00:10\">" + items + "</index>";
}

// A project file of the given version in that version's layout.
QByteArray projectText(const QByteArray &version, const QByteArray &index = indexOf({"0", "5000", "-1"}),
                       const QByteArray &extra = {})
{
    const QByteArray body =
        "<abstract>" + kAbstract + "</abstract><configure>" + kConfigure + "</configure>" + index + extra;
    if (version.startsWith('5'))
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><project ver=\"" + version + "\">" + body +
               "</project>";
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><qvp ver=\"" + version + "\"><project>" + body +
           "</project></qvp>";
}

} // namespace

class TestRecorder : public QObject
{
    Q_OBJECT

private:
    const LanguageTable m_language{languageFile()};
    Messages::Channel m_messages;
    std::shared_ptr<Messages::RecordingPresenter::Log> m_log = m_messages.record();
    QTemporaryDir m_dir;
    QString m_sound;   // project.qvp of a sound sample recording
    QString m_damaged; // its --damaged twin

    QString projectPath(const QByteArray &text)
    {
        static int count = 0;
        const QString folder = m_dir.filePath(u"p%1"_s.arg(++count));
        QDir().mkpath(folder);
        const QString path = QDir(folder).filePath(u"project.qvp"_s);
        writeFile(path, text);
        return path;
    }

    QString sample(const QString &name, SampleRecordingOptions options)
    {
        const SampleRecordingResult result =
            QCoro::waitFor(makeSampleRecording(testProcesses(), m_dir.filePath(name), options));
        if (!result.error.isEmpty())
            qWarning() << result.error;
        return result.path;
    }

    // The title and text of each message shown since the test function began.
    using Shown = QList<std::pair<QString, QString>>;
    Shown shown() const
    {
        Shown texts;
        for (const Messages::Message &message : std::as_const(m_log->messages))
            texts.append({message.title, message.text});
        return texts;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_sound = sample(u"sound"_s, {});
        m_damaged = sample(u"damaged"_s, {.damaged = true});
        QVERIFY(QFileInfo::exists(m_sound));
        QVERIFY(QFileInfo::exists(m_damaged));
    }

    void init() { m_log->messages.clear(); }

    // Both ways round halves to even; a text of four parts uses the first two.
    void timeTexts()
    {
        const struct
        {
            qint64 ms;
            QString unit, text;
        } shown[] = {{61005, "ms", "01:01.005"}, {83456, "sec", "01:23"}, {3723000, "ms", "1:02:03"},
                     {83500, "sec", "01:24"},    {82500, "sec", "01:22"}, {-1, "ms", "-"}};
        for (const auto &row : shown)
            QCOMPARE(CTime::GetString(row.ms, row.unit), row.text);
        const struct
        {
            QString text;
            qint64 ms; // -2: no value
        } read[] = {{"1:02:03.5", 3723500}, {"1:02:03:04", 62000}, {"00:00.0625", 62}, {"00:00.1875", 188},
                    {"2m:30s", 150000},     {"x:07", 7000},        {"605", -2}};
        for (const auto &row : read)
            QCOMPARE(CTime::GetSecond(row.text).value_or(-2), row.ms);
    }

    // A project loads in its version's layout; anything else is refused
    // naming the step that failed, and a silent load shows nothing.
    void load_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("message"); // empty: the project loads
        const auto changed = [](const QByteArray &from, const QByteArray &to) {
            return projectText("8.0").replace(from, to);
        };
        const QString failed = m_language.text(u"frmCommon"_s, u"msgQvpError"_s) + u' ';
        const auto step = [&failed](const char *name) { return failed + QString::fromLatin1(name); };
        const QString item3 = step("index.item(3).pos");
        const QString unknown = u"Unrecognized project version!"_s;
        QTest::newRow("5.1 under the root") << projectText("5.1") << QString();
        QTest::newRow("7.0 under project") << projectText("7.0") << QString();
        QTest::newRow("8.0") << projectText("8.0") << QString();
        QTest::newRow("4.0") << projectText("4.0") << unknown;
        QTest::newRow("9.0") << projectText("9.0") << unknown;
        QTest::newRow("7.0 laid out as 5")
            << QByteArray(projectText("5.0")).replace("ver=\"5.0\"", "ver=\"7.0\"") << step("abstract");
        QTest::newRow("no version attribute")
            << QByteArray("<project><abstract/></project>") << step("set default value");
        QTest::newRow("not XML") << QByteArray("<project ver=\"8\"><abstract>") << step("set default value");
        QTest::newRow("abstract child") << changed("<manager>Bo</manager>", "") << step("abstract");
        QTest::newRow("photo attribute")
            << changed("<photo size=\"160x120\" kind=\"gif\">", "<photo>") << step("configure");
        QTest::newRow("preview") << changed("<preview>1</preview>", "") << step("Configure.profile.video");
        QTest::newRow("index") << changed("index", "chapters") << step("index");
        QTest::newRow("duration") << changed(" duration=\"00:10\"", "") << step("index.duration");
        QTest::newRow("item pos") << changed("<pos>5000</pos>", "<pos>5 s</pos>")
                                  << step("index.item(2).pos");
        QTest::newRow("link url") << changed("<url>page.html</url>", "") << step("index.item(3).url");
        QTest::newRow("decreasing positions") << projectText("6.0", indexOf({"0", "5000", "3000"})) << item3;
        QTest::newRow("decreasing after a link")
            << projectText("6.0", indexOf({"4000", "-1", "3000"})) << item3;
    }

    void load()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, message);
        const QString path = projectPath(text);
        CProjectFile project(m_language, m_messages);
        QCOMPARE(project.Load(path, true), message.isEmpty());
        QVERIFY(m_log->messages.isEmpty());
        QCOMPARE(project.Load(path, false), message.isEmpty());
        QCOMPARE(shown(), message.isEmpty() ? Shown() : (Shown{{QString(), message}}));
        if (message.isEmpty()) {
            // Version 5 keeps its elements under the root, later ones under "project".
            QCOMPARE(project.pathPrefix, text.contains("<qvp") ? u"project."_s : QString());
            QCOMPARE(project.title, u"Talk"_s);
            QCOMPARE(project.items.size(), 3);
            QCOMPARE(project.isVersion8, text.contains("ver=\"8"));
        }
    }

    // A missing file is refused silently and changes nothing; an encoding this computer cannot
    // convert is refused naming it, and the project is then not saved.
    void refusedFiles()
    {
        CProjectFile project(m_language, m_messages);
        project.title = u"kept"_s;
        QVERIFY(!project.Load(m_dir.filePath(u"none/project.qvp"_s), false));
        QCOMPARE(project.title, u"kept"_s);
        QVERIFY(project.fileName.isEmpty());
        QVERIFY(m_log->messages.isEmpty());
        const QByteArray file =
            projectText("8.0").replace("encoding=\"UTF-8\"", "encoding=\"x-no-such-code-page\"");
        const QString path = projectPath(file);
        QVERIFY(!project.Load(path, false));
        QCOMPARE(m_log->messages.size(), 1);
        QVERIFY(m_log->messages.first().text.contains(u"\"x-no-such-code-page\""_s));
        QVERIFY(!project.Save());
        QCOMPARE(readFile(path), file);
    }

    // Equal positions may follow each other; links (any negative position)
    // stand outside the order, and only links keep a url.
    void indexItems()
    {
        QByteArray index = "<index duration=\"00:10\">" + item("2000", "<url>x.html</url>");
        for (const char *pos : {"5000", "5000", "-1", "9000", "-5", "9500"})
            index += item(pos);
        CProjectFile project(m_language, m_messages);
        QVERIFY(project.Load(projectPath(projectText("7.0", index + "</index>")), false));
        QStringList read;
        for (const CIndexItem &item : std::as_const(project.items))
            read << item.pos + u' ' + item.Url;
        QCOMPARE(read, (QStringList{"2000 ", "5000 ", "5000 ", "-1 page.html", "9000 ", "-5 ", "9500 "}));
        QCOMPARE(project.indexType, u"OL"_s);
        QCOMPARE(project.durationText, u"00:10"_s);
    }

    // Only two profiles exist: 96 kbit/s at 160x120 and 192 kbit/s at 240x180.
    void profileNormalised()
    {
        const struct
        {
            QByteArray bitrate, size;
            QString read; // bitrate and size as loaded
        } rows[] = {{"128", "240x180", "192 240x180"},
                    {"128", "", "96 "},
                    {"96", "320x240", "96 160x120"},
                    {"192", "160x120", "192 240x180"},
                    {"", "320x240", " 320x240"},
                    {" 192 ", " 240x180 ", "192 240x180"},
                    {"9", "", "96 "}};
        for (const auto &row : rows) {
            QByteArray text = projectText("8.0");
            text.replace("<bitrate>96</bitrate><size>160x120</size>",
                         "<bitrate>" + row.bitrate + "</bitrate><size>" + row.size + "</size>");
            CProjectFile project(m_language, m_messages);
            QVERIFY(project.Load(projectPath(text), false));
            QCOMPARE(project.bitrate + u' ' + project.size, row.read);
        }
    }

    void serverBinding()
    {
        const QByteArray binding = "<tarninfo><server><url> http://h:7380 </url><folderID> 12 </folderID>"
                                   "<contentID>34</contentID></server></tarninfo>";
        CProjectFile project(m_language, m_messages);
        QVERIFY(project.Load(projectPath(projectText("8.0", indexOf({"0"}), binding)), false));
        QCOMPARE((QStringList{project.url, project.folderID, project.contentID}),
                 (QStringList{"http://h:7380", "12", "34"}));

        QByteArray partial = binding;
        partial.replace("<contentID>34</contentID>", "");
        QVERIFY(project.Load(projectPath(projectText("8.0", indexOf({"0"}), partial)), false));
        QCOMPARE((QStringList{project.url, project.folderID, project.contentID}), (QStringList{"", "", "0"}));
    }

    void roundTrip_data()
    {
        QTest::addColumn<QByteArray>("version");
        for (const char *version : {"5.0", "6.0", "7.0", "8.0"})
            QTest::newRow(version) << QByteArray(version);
    }

    void roundTrip()
    {
        QFETCH(QByteArray, version);
        const QString path = projectPath(projectText(version));
        CProjectFile saved(m_language, m_messages);
        QVERIFY(saved.Load(path, false));
        // Every free text field gets a value of its own; the descriptive
        // texts (the first seven) lose their tabs on saving.
        const QList<QString CProjectFile::*> fields{
            &CProjectFile::title,          &CProjectFile::author,
            &CProjectFile::manager,        &CProjectFile::company,
            &CProjectFile::category,       &CProjectFile::keywords,
            &CProjectFile::comments,       &CProjectFile::preview,
            &CProjectFile::templateName,   &CProjectFile::photo,
            &CProjectFile::sound,          &CProjectFile::photoAttribute,
            &CProjectFile::soundAttribute, &CProjectFile::showcursor,
            &CProjectFile::indexType,      &CProjectFile::url,
            &CProjectFile::folderID,       &CProjectFile::contentID};
        const auto value = [](qsizetype i, bool tab) {
            return u"v%1 \u00e9 & <%2%1>"_s.arg(i).arg(tab ? u"\t"_s : QString());
        };
        for (qsizetype i = 0; i < fields.size(); ++i)
            saved.*fields[i] = value(i, i < 7);
        saved.bitrate = u"192"_s;
        saved.size = u"240x180"_s;
        saved.setDuration(65000);
        saved.RemoveIndex(-99);
        saved.AddIndex(u"One\t1"_s, u"0"_s, u"d1"_s, {}, {}, {}, false);
        saved.AddIndex(u"Two"_s, u"64999"_s, u"d2"_s, {}, {}, {}, false);
        saved.AddIndex(u"Web"_s, u"-1"_s, u"d3"_s, u"w.html"_s, {}, {}, false);
        QVERIFY(saved.Save());
        QVERIFY(m_log->messages.isEmpty());
        QVERIFY(!QFileInfo::exists(path + u".tmp"_s));

        CProjectFile loaded(m_language, m_messages);
        QVERIFY(loaded.Load(path, false));
        QCOMPARE(loaded.version, QString::fromLatin1(version));
        // Versions before 8 have no server binding and get none.
        QCOMPARE(readFile(path).contains("tarninfo"), loaded.isVersion8);
        const qsizetype compared = loaded.isVersion8 ? fields.size() : fields.size() - 3;
        for (qsizetype i = 0; i < compared; ++i)
            QCOMPARE(loaded.*fields[i], value(i, false));
        QCOMPARE((QStringList{loaded.bitrate, loaded.size, loaded.durationText}),
                 (QStringList{"192", "240x180", "01:05"}));
        QCOMPARE(loaded.duration(), std::optional<qint64>(65000));
        QStringList items;
        for (const CIndexItem &item : std::as_const(loaded.items))
            items << QStringList{item.title, item.pos, item.RecDate, item.Url}.join(u'|');
        QCOMPARE(items, (QStringList{"One1|0|d1|", "Two|64999|d2|", "Web|-1|d3|w.html"}));
    }

    // The saved file, byte for byte: CR LF between tags, the first attribute of photo and sound
    // written, a missing showcursor and the server binding added, unknown elements kept, and the
    // index written anew as the last child without items past the end or unknown parts.
    void savedLayout()
    {
        QByteArray text =
            projectText("8.0",
                        "<index type=\"TOC\" duration=\"00:10\" extra=\"x\">" + item("0", "<note>n</note>") +
                            item("-1") + item("9999") + item("10000") + item("12000") + "</index>",
                        "<notes>kept</notes>");
        text.replace("<showcursor>0</showcursor>", "");
        const QString path = projectPath(text);
        CProjectFile project(m_language, m_messages);
        QVERIFY(project.Load(path, false));
        QCOMPARE(project.contentID, u"0"_s);
        project.photoAttribute = u"240x180"_s;
        project.url = u"http://h"_s;
        project.folderID = u"3"_s;
        project.contentID = u"21"_s;
        project.items[0].size = u"4 KB"_s;
        QVERIFY(project.Save());
        QCOMPARE(project.items.size(), 3);
        const QByteArray expected =
            QByteArray(
                "<?xml version=\"1.0\" encoding=\"UTF-8\"?><qvp ver=\"8.0\"><project><abstract>"
                "<title>Talk</title><author>Ann</author><manager>Bo</manager><company>Acme</company>"
                "<category>Science</category><keywords>k1 k2</keywords><comments>c</comments></abstract>"
                "<configure><profile><video><bitrate>96</bitrate><size>160x120</size><preview>1</preview>"
                "</video></profile><template>blue</template>"
                "<photo size=\"240x180\" kind=\"gif\">me.gif</photo>"
                "<sound volume=\"5\" rate=\"8000\">beep.wav</sound><showcursor>1</showcursor></configure>"
                "<notes>kept</notes><tarninfo><server><url>http://h</url><folderID>3</folderID>"
                "<contentID>21</contentID></server></tarninfo><index duration=\"00:10\" type=\"TOC\">"
                "<item><title>At 0</title><recdate>2024-03-01</recdate><pos>0</pos><size>4 KB</size></item>"
                "<item><title>At -1</title><recdate>2024-03-01</recdate><pos>-1</pos><url>page.html</url>"
                "</item><item><title>At 9999</title><recdate>2024-03-01</recdate><pos>9999</pos></item>"
                "</index></project></qvp>")
                .replace("><", ">\r\n<");
        QCOMPARE(readFile(path), expected);
        // A second save keeps the layout.
        QVERIFY(project.Save());
        QCOMPARE(readFile(path), expected);

        // Without dropping, items past the end stay.
        project.items.append(CIndexItem{u"late"_s, u"20000"_s, {}, {}, {}, {}, false, {}});
        project.dropItemsBeyondEnd = false;
        QVERIFY(project.Save());
        QVERIFY(readFile(path).contains("<pos>20000</pos>"));
        QVERIFY(m_log->messages.isEmpty());
    }

    // A project is read and written in the encoding it declares: an unchanged text comes back
    // byte for byte; a character the code page lacks is written as a character reference.
    void declaredEncoding()
    {
        for (const auto &[encoding, text] :
             {std::pair{QByteArray("windows-1252"), u"R\u00e9sum\u00e9 \u2013 f\u00fcr"_s},
              std::pair{QByteArray("Big5"), u"\u7c21\u5831\u6a19\u984c \u6e2c\u8a66"_s}}) {
            QStringEncoder encoder(encoding.constData());
            const QByteArray comments = encoder(u"<comments>"_s + text + u"</comments>"_s);
            QByteArray file = projectText("8.0");
            file.replace("encoding=\"UTF-8\"", "encoding=\"" + encoding + '"');
            file.replace("<comments>c</comments>", comments);
            const QString path = projectPath(file);
            CProjectFile project(m_language, m_messages);
            QVERIFY(project.Load(path, false));
            QCOMPARE(project.comments, text);
            project.title = u"Smile \U0001F600"_s;
            QVERIFY(project.Save());
            const QByteArray saved = readFile(path);
            QVERIFY(saved.startsWith("<?xml version=\"1.0\" encoding=\"" + encoding + "\"?>"));
            QVERIFY2(saved.contains(comments), saved.constData());
            CProjectFile reloaded(m_language, m_messages);
            QVERIFY(reloaded.Load(path, false));
            QCOMPARE(reloaded.comments, text);
            QCOMPARE(reloaded.title, project.title);
        }
        QVERIFY(m_log->messages.isEmpty());
    }

    // Every failing step leaves the old file whole; only the last one leaves
    // the new content beside it.
    void saveFailures()
    {
        const QString save = u"qvp.Save"_s;
        const struct
        {
            QString failure, title, text;
        } rows[] = {
            {"abstract", save, "The element \"project.abstract.manager\" is missing.: abstract"},
            {"configure", save, "The element \"photo\" has no attribute.: configure"},
            {"duration", save, "The duration \"soon\" is not a time text.: index.item(1)"},
            {"tmp", {}, "Save 'project.qvp' error!"},
            {"locked", {}, "Save 'project.qvp' error! The updated project is saved as 'project.qvp.tmp'"}};
        for (const auto &[failure, title, text] : rows) {
            m_log->messages.clear();
            QString path = projectPath(projectText("8.0"));
            const QByteArray before = readFile(path);
            CProjectFile project(m_language, m_messages);
            QVERIFY(project.Load(path, false));
            project.title = u"Changed"_s;
            pugi::xml_node root = project.document().document_element().child("project");
            if (failure == "abstract"_L1) {
                root.child("abstract").remove_child("manager");
            } else if (failure == "configure"_L1) {
                root.child("configure").child("photo").remove_attributes();
            } else if (failure == "duration"_L1) {
                project.durationText = u"soon"_s;
            } else if (failure == "tmp"_L1) {
                QVERIFY(QDir().mkpath(path + u".tmp/x"_s));
            } else {
                // The old file cannot be deleted: here a non-empty folder holds its name.
                path = QFileInfo(path).absolutePath() + u"/locked/project.qvp"_s;
                QVERIFY(QDir().mkpath(path + u"/in-use"_s));
            }
            QVERIFY(!project.Save(path));
            QCOMPARE(shown(), (Shown{{title, text}}));
            const bool tmpLeft = failure == "locked"_L1;
            QCOMPARE(QFileInfo(path + u".tmp"_s).isFile(), tmpLeft);
            if (!tmpLeft) {
                QCOMPARE(readFile(path), before);
                continue;
            }
            CProjectFile updated(m_language, m_messages);
            QVERIFY(updated.Load(path + u".tmp"_s, false));
            QCOMPARE(updated.title, u"Changed"_s);
        }
    }

    void tinyProjectIsNotPutInPlace()
    {
        const QByteArray tiny =
            "<p v=\"5\"><abstract><title/><author/><manager/><company/><category/><keywords/>"
            "<comments/></abstract><configure><profile><video><bitrate/><size/><preview/></video>"
            "</profile><template/><photo a=\"\"/><sound a=\"\"/><showcursor/></configure>"
            "<index duration=\"00:01\"/></p>";
        const QString path = projectPath(tiny);
        CProjectFile project(m_language, m_messages);
        QVERIFY(project.Load(path, false));
        for (QString CProjectFile::*field :
             {&CProjectFile::title, &CProjectFile::preview, &CProjectFile::bitrate,
              &CProjectFile::templateName, &CProjectFile::photo, &CProjectFile::photoAttribute,
              &CProjectFile::soundAttribute, &CProjectFile::showcursor})
            (project.*field).clear();
        QVERIFY(!project.Save());
        QCOMPARE(shown(), (Shown{{QString(), u"Save 'project.qvp' error!"_s}}));
        QCOMPARE(readFile(path), tiny);
        QVERIFY(QFileInfo(path + u".tmp"_s).size() < 500);
    }

    void missingIndexIsReportedAndWritten()
    {
        const QString path = projectPath(projectText("6.0"));
        CProjectFile project(m_language, m_messages);
        QVERIFY(project.Load(path, false));
        project.document().document_element().child("project").remove_child("index");
        QVERIFY(project.Save());
        QCOMPARE(shown(),
                 (Shown{{u"RemoveIndexNode"_s, u"The index element is missing.: RemoveIndexNode"_s}}));
        CProjectFile reloaded(m_language, m_messages);
        QVERIFY(reloaded.Load(path, false));
        QCOMPARE(reloaded.items.size(), 3);
    }

    // The program's own empty project is a whole version 8 project that saves unchanged.
    void defaultProject()
    {
        const QString path = m_dir.filePath(u"default/project.qvp"_s);
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        QVERIFY(QFile::copy(AppPaths::resourcePath(u"default.qvp"_s), path));
        CProjectFile project(m_language, m_messages);
        QVERIFY(project.Load(path, false));
        QCOMPARE(project.version, u"8"_s);
        const QByteArray shipped = readFile(path);
        QVERIFY(project.Save());
        QCOMPARE(readFile(path), shipped);
    }

    // The library of the project's version decodes the whole media, a single-file project's
    // the media inside it; a version without a library calls nothing and gives 0.
    void verify()
    {
        const QString sound = QFileInfo(m_sound).dir().filePath(u"media.qv"_s);
        QByteArray bytes = readFile(sound);
        for (qsizetype i = bytes.size() / 2; i < bytes.size() / 2 + 64; ++i)
            bytes[i] = char(0xff);
        writeFile(m_dir.filePath(u"corrupted.qv"_s), bytes);
        writeFile(m_dir.filePath(u"text.qv"_s), "not a recording\n");
        const auto zdm = [this](const QString &name, const QString &project, bool withMedia) {
            const QDir folder = QFileInfo(project).dir();
            const QString path = m_dir.filePath(name + u".zdm"_s);
            QStringList args{u"-q"_s, u"-j"_s, path, folder.filePath(u"project.qvp"_s)};
            runProgram(u"zip"_s, withMedia ? args << folder.filePath(u"media.qv"_s) : args);
            return path;
        };
        const struct
        {
            QString version, path;
            int sound;
        } rows[] = {{"5.1", sound, 1},
                    {"8", QFileInfo(m_damaged).dir().filePath(u"media.qv"_s), 0},
                    {"8", m_dir.filePath(u"corrupted.qv"_s), 0},
                    {"8", m_dir.filePath(u"none.qv"_s), 0},
                    {"8", m_dir.filePath(u"text.qv"_s), 0},
                    {"8.0", zdm(u"sound"_s, m_sound, true), 1},
                    {"8", zdm(u"damaged"_s, m_damaged, true), 0},
                    {"8", zdm(u"nomedia"_s, m_sound, false), 0},
                    {"4.0", sound, 0},
                    {"9.0", sound, 0},
                    {{}, sound, 0}};
        for (const QString &name : {u"sound"_s, u"damaged"_s, u"nomedia"_s})
            QVERIFY(QFileInfo::exists(m_dir.filePath(name + u".zdm"_s)));
        for (const auto &[version, path, expected] : rows) {
            const QString row = version + u' ' + path;
            MediaLibraries libraries(*testProcesses());
            QVERIFY2(QCoro::waitFor(libraries.verifyWholeQvFile(version, path)) == expected, qPrintable(row));
            if (const MediaLibrary *library = libraries.forVersion(version)) {
                QVERIFY2(library->errorString().isEmpty() == (expected == 1), qPrintable(row));
            } else {
                const QString list = m_dir.filePath(u"none.txt"_s);
                QCOMPARE(libraries.ThumbCreate2(version, path, list, u"slides"_s, 80, 60), 0);
                QCOMPARE(libraries.ThumbTime(version), 0);
            }
            // What was unpacked for the check is gone again.
            QCOMPARE(QDir::temp().entryList({u".zdm_verify_*"_s}, QDir::AllEntries | QDir::Hidden),
                     QStringList());
        }
    }

    // The renderer works in the background while the caller polls every 200 ms, as the slide maker does.
    void thumbnailsOfLongRecording()
    {
        const QDir folder = QFileInfo(sample(u"long"_s, {.durationSeconds = 60})).dir();
        writeFile(folder.filePath(u"thumbList.txt"_s), "0\r\n12000\r\n30500\r\n45000\r\n59000\r\n90000\r\n");

        MediaLibraries libraries(*testProcesses());
        QCOMPARE(libraries.ThumbTime(u"8"_s), -1);
        QList<int> seen;
        QTimer poll;
        poll.callOnTimeout(this, [&] { seen.append(libraries.ThumbTime(u"8"_s)); });
        poll.start(200);
        QCOMPARE(libraries.ThumbCreate2(u"8.0"_s, folder.filePath(u"media.qv"_s),
                                        folder.filePath(u"thumbList.txt"_s), u"slides"_s, 560, 420),
                 1);
        QVERIFY(libraries.ThumbTime(u"8"_s) != -1);
        QTRY_VERIFY_WITH_TIMEOUT(!seen.isEmpty() && seen.last() == -1, 300'000);

        // The loop kept serving the poll while the frames were made.
        QVERIFY(std::any_of(seen.cbegin(), seen.cend(), [](int value) { return value > 0; }));
        // A frame for each position inside the recording, none past its end.
        const QDir slides(folder.filePath(u"slides"_s));
        QCOMPARE(slides.entryList(QDir::Files),
                 (QStringList{"0.jpg", "12000.jpg", "30500.jpg", "45000.jpg", "59000.jpg"}));
        for (const QString &image : slides.entryList(QDir::Files))
            QCOMPARE(QImageReader(slides.filePath(image)).size(), QSize(560, 420));
    }

    // Takes the project, cursor, photo and index files out of a single-file project, or puts them back.
    static int extendData(bool put, const QString &zdm, const QStringList &files)
    {
        MediaLibraries libraries(*testProcesses());
        return QCoro::waitFor(
            put ? libraries.SetExtendDataInProject(zdm, files[0], files[1], files[2], files[3])
                : libraries.GetExtendDataFromProject(zdm, files[0], files[1], files[2], files[3]));
    }

    void singleFileProject()
    {
        const QString zdm = sample(u"zdm"_s, {.singleFile = true, .durationSeconds = 2});
        const QString out = m_dir.filePath(u"zdm-out"_s);
        QVERIFY(QDir().mkpath(out));
        const QStringList paths = MediaLibrary::extendDataPaths(out + u"//"_s);
        QCOMPARE(paths.first(), out + u"/project.qvp"_s);
        QCOMPARE(extendData(false, zdm, paths), 1);
        for (const QString &path : paths)
            QVERIFY2(QFileInfo(path).size() > 0, qPrintable(path));
        QCOMPARE(QDir(out).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).size(), 4);

        CProjectFile project(m_language, m_messages);
        QVERIFY(project.Load(paths[0], false));
        project.title = u"Renamed"_s;
        QVERIFY(project.Save());
        QCOMPARE(extendData(true, zdm, paths), 1);
        const QStringList again = MediaLibrary::extendDataPaths(m_dir.filePath(u"zdm-again"_s));
        QVERIFY(QDir().mkpath(m_dir.filePath(u"zdm-again"_s)));
        QCOMPARE(extendData(false, zdm, again), 1);
        QVERIFY(project.Load(again[0], false));
        QCOMPARE(project.title, u"Renamed"_s);
        // The project is replaced inside the file, not added a second time.
        QCOMPARE(zipEntries(zdm),
                 (QStringList{"cursor.gif", "inteIndex.txt", "media.qv", "photo.gif", "project.qvp"}));
    }

    void singleFileFailures()
    {
        const QString folder = m_dir.filePath(u"zdm-bad"_s);
        const QStringList paths = MediaLibrary::extendDataPaths(folder);
        QVERIFY(QDir().mkpath(folder));
        const QString notZip = m_dir.filePath(u"text.zdm"_s);
        writeFile(notZip, "plain text");
        QCOMPARE(extendData(false, m_dir.filePath(u"none.zdm"_s), paths), 0);
        QCOMPARE(extendData(false, notZip, paths), 0);
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList());
        QCOMPARE(extendData(true, notZip, paths), 0);
    }
};

QTEST_GUILESS_MAIN(TestRecorder)
#include "test_recorder.moc"
