#include "common/Lang.h"
#include "common/XmlUtil.h"
#include "platform/AppPaths.h"
#include "platform/Messages.h"
#include "platform/ToolLocator.h"
#include "recorder/CProjectFile.h"
#include "recorder/CTime.h"
#include "recorder/MediaLibraries.h"
#include "recorder/MediaLibrary.h"
#include "recorder/SampleRecording.h"
#include "support/TestFiles.h"
#include "support/TestLanguage.h"
#include "support/TestProcesses.h"

#include <QCoroTask>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImageReader>
#include <QProcess>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

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

QByteArray indexOf(const QList<QByteArray> &positions,
                   const QByteArray &attributes = "type=\"TOC\" duration=\"00:10\"")
{
    QByteArray items;
    for (const QByteArray &pos : positions)
        items += item(pos);
    return "<index " + attributes + ">" + items + "</index>";
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

QString runTool(const QString &program, const QStringList &args)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    process.waitForFinished(60'000);
    return QString::fromLocal8Bit(process.readAll());
}

QSize imageSize(const QString &path)
{
    return QImageReader(path).size();
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
        const QString folder = m_dir.filePath(QStringLiteral("p%1").arg(++count));
        QDir().mkpath(folder);
        const QString path = QDir(folder).filePath(QStringLiteral("project.qvp"));
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

    QString msgQvpError(const QString &step) const
    {
        return m_language.text(QStringLiteral("frmCommon"), QStringLiteral("msgQvpError")) + u' ' + step;
    }

    QStringList messageTexts() const
    {
        QStringList texts;
        for (const Messages::Message &message : std::as_const(m_log->messages))
            texts.append(message.text);
        return texts;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        SampleRecordingOptions options;
        m_sound = sample(QStringLiteral("sound"), options);
        options.damaged = true;
        m_damaged = sample(QStringLiteral("damaged"), options);
        QVERIFY(QFileInfo::exists(m_sound));
        QVERIFY(QFileInfo::exists(m_damaged));
    }

    void init() { m_log->messages.clear(); }

    // --- time texts -------------------------------------------------------

    void timeString_data()
    {
        QTest::addColumn<qint64>("ms");
        QTest::addColumn<QString>("unit");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << qint64(0) << "ms"
                              << "00:00";
        QTest::newRow("fraction") << qint64(83456) << "ms"
                                  << "01:23.456";
        QTest::newRow("fraction in sec") << qint64(83456) << "sec"
                                         << "01:23";
        QTest::newRow("last ms of a minute") << qint64(59999) << "ms"
                                             << "00:59.999";
        QTest::newRow("whole minute") << qint64(60000) << "sec"
                                      << "01:00";
        QTest::newRow("hours, ms") << qint64(3723000) << "ms"
                                   << "1:02:03";
        QTest::newRow("hours, sec") << qint64(3723000) << "sec"
                                    << "1:02:03";
        QTest::newRow("ten hours") << qint64(36005000) << "sec"
                                   << "10:00:05";
        QTest::newRow("half up to even") << qint64(83500) << "sec"
                                         << "01:24";
        QTest::newRow("half down to even") << qint64(82500) << "sec"
                                           << "01:22";
        QTest::newRow("small fraction") << qint64(1005) << "ms"
                                        << "00:01.005";
        QTest::newRow("link") << qint64(-1) << "ms"
                              << "-";
    }

    void timeString()
    {
        QFETCH(qint64, ms);
        QFETCH(QString, unit);
        QFETCH(QString, text);
        QCOMPARE(CTime::GetString(ms, unit), text);
    }

    void timeValue_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("ms"); // -2: no value
        QTest::newRow("minutes") << "10:05" << qint64(605000);
        QTest::newRow("fraction") << "01:23.456" << qint64(83456);
        QTest::newRow("hours") << "1:02:03" << qint64(3723000);
        QTest::newRow("hours with fraction") << "1:02:03.5" << qint64(3723500);
        QTest::newRow("four parts use the first two") << "1:02:03:04" << qint64(62000);
        QTest::newRow("tie down to even") << "00:00.0625" << qint64(62);
        QTest::newRow("tie up to even") << "00:00.1875" << qint64(188);
        QTest::newRow("leading digits only") << "2m:30s" << qint64(150000);
        QTest::newRow("part without digits") << "x:07" << qint64(7000);
        QTest::newRow("empty") << "" << qint64(-2);
        QTest::newRow("no colon") << "605" << qint64(-2);
    }

    void timeValue()
    {
        QFETCH(QString, text);
        QFETCH(qint64, ms);
        const std::optional<qint64> value = CTime::GetSecond(text);
        if (ms == -2)
            QVERIFY(!value);
        else
            QCOMPARE(value.value_or(-2), ms);
    }

    // --- loading ----------------------------------------------------------

    void versionLayouts_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("loads");
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<QString>("message");
        QTest::newRow("5.1 under the root") << projectText("5.1") << true << ""
                                            << "";
        QTest::newRow("6.0") << projectText("6.0") << true << "project."
                             << "";
        QTest::newRow("7.0 under project") << projectText("7.0") << true << "project."
                                           << "";
        QTest::newRow("8.0") << projectText("8.0") << true << "project."
                             << "";
        QTest::newRow("9.0") << projectText("9.0") << false << ""
                             << "Unrecognized project version!";
        QTest::newRow("x") << projectText("x") << false << ""
                           << "Unrecognized project version!";
        QByteArray flat7 = projectText("5.0");
        flat7.replace("ver=\"5.0\"", "ver=\"7.0\"");
        QTest::newRow("7.0 laid out as 5") << flat7 << false << "" << msgQvpError(QStringLiteral("abstract"));
        QTest::newRow("no version attribute") << QByteArray("<project><abstract/></project>") << false << ""
                                              << msgQvpError(QStringLiteral("set default value"));
        QTest::newRow("not XML") << QByteArray("<project ver=\"8\"><abstract>") << false << ""
                                 << msgQvpError(QStringLiteral("set default value"));
    }

    void versionLayouts()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, loads);
        QFETCH(QString, prefix);
        QFETCH(QString, message);
        const QString path = projectPath(text);
        CProjectFile project(m_language, m_messages);
        QCOMPARE(project.Load(path, true), loads);
        QVERIFY(m_log->messages.isEmpty());
        QCOMPARE(project.Load(path, false), loads);
        if (loads) {
            QCOMPARE(project.pathPrefix, prefix);
            QCOMPARE(project.title, QStringLiteral("Talk"));
            QCOMPARE(project.items.size(), 3);
            QCOMPARE(project.isVersion8, text.contains("ver=\"8"));
            QVERIFY(m_log->messages.isEmpty());
        } else {
            QCOMPARE(messageTexts(), QStringList{message});
        }
    }

    void missingFile()
    {
        CProjectFile project(m_language, m_messages);
        project.title = QStringLiteral("kept");
        QVERIFY(!project.Load(m_dir.filePath(QStringLiteral("none/project.qvp")), false));
        QCOMPARE(project.title, QStringLiteral("kept"));
        QVERIFY(project.fileName.isEmpty());
        QVERIFY(m_log->messages.isEmpty());
    }

    void loadFailureSteps_data()
    {
        QTest::addColumn<QByteArray>("from");
        QTest::addColumn<QByteArray>("to");
        QTest::addColumn<QString>("step");
        QTest::newRow("abstract child") << QByteArray("<manager>Bo</manager>") << QByteArray() << "abstract";
        QTest::newRow("template") << QByteArray("<template>blue</template>") << QByteArray() << "configure";
        QTest::newRow("photo attribute")
            << QByteArray("<photo size=\"160x120\" kind=\"gif\">") << QByteArray("<photo>") << "configure";
        QTest::newRow("sound") << QByteArray("<sound volume=\"5\" rate=\"8000\">beep.wav</sound>")
                               << QByteArray() << "configure";
        QTest::newRow("preview") << QByteArray("<preview>1</preview>") << QByteArray()
                                 << "Configure.profile.video";
        QTest::newRow("index") << QByteArray("index") << QByteArray("chapters") << "index";
        QTest::newRow("duration") << QByteArray(" duration=\"00:10\"") << QByteArray() << "index.duration";
        QTest::newRow("item title") << QByteArray("<title>At 5000</title>") << QByteArray()
                                    << "index.item(2).title";
        QTest::newRow("item pos") << QByteArray("<pos>5000</pos>") << QByteArray("<pos>5 s</pos>")
                                  << "index.item(2).pos";
        QTest::newRow("recdate") << QByteArray("<recdate>2024-03-01</recdate><url>") << QByteArray("<url>")
                                 << "index.item(3).recdate";
        QTest::newRow("link url") << QByteArray("<url>page.html</url>") << QByteArray()
                                  << "index.item(3).url";
    }

    void loadFailureSteps()
    {
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QFETCH(QString, step);
        QByteArray text = projectText("8.0");
        QVERIFY(text.contains(from));
        text.replace(from, to);
        CProjectFile project(m_language, m_messages);
        QVERIFY(!project.Load(projectPath(text), false));
        QCOMPARE(project.currentStep(), step);
        QCOMPARE(messageTexts(), QStringList{msgQvpError(step)});
    }

    void positions_data()
    {
        QTest::addColumn<QList<QByteArray>>("positions");
        QTest::addColumn<QString>("failedStep");
        QTest::newRow("equal and link between") << QList<QByteArray>{"0", "5000", "5000", "-1", "9000"} << "";
        QTest::newRow("decreasing") << QList<QByteArray>{"0", "5000", "3000"} << "index.item(3).pos";
        QTest::newRow("decreasing after link")
            << QList<QByteArray>{"4000", "-1", "3000"} << "index.item(3).pos";
        QTest::newRow("other negatives are links") << QList<QByteArray>{"7000", "-5", "8000"} << "";
    }

    void positions()
    {
        QFETCH(QList<QByteArray>, positions);
        QFETCH(QString, failedStep);
        CProjectFile project(m_language, m_messages);
        const bool loaded = project.Load(projectPath(projectText("6.0", indexOf(positions))), false);
        QCOMPARE(loaded, failedStep.isEmpty());
        if (!loaded) {
            QCOMPARE(messageTexts(), QStringList{msgQvpError(failedStep)});
            return;
        }
        QCOMPARE(project.items.size(), positions.size());
        for (qsizetype i = 0; i < positions.size(); ++i) {
            QCOMPARE(project.items[i].pos.toUtf8(), positions[i]);
            QCOMPARE(project.items[i].Url, positions[i] == "-1" ? QStringLiteral("page.html") : QString());
        }
    }

    void urlOnlyForLinks()
    {
        const QByteArray index =
            "<index duration=\"00:10\">" + item("2000", "<url>x.html</url>") + item("-1") + "</index>";
        CProjectFile project(m_language, m_messages);
        QVERIFY(project.Load(projectPath(projectText("7.0", index)), false));
        QCOMPARE(project.items[0].Url, QString());
        QCOMPARE(project.items[1].Url, QStringLiteral("page.html"));
        QCOMPARE(project.indexType, QStringLiteral("OL"));
        QCOMPARE(project.durationText, QStringLiteral("00:10"));
    }

    void profileNormalised_data()
    {
        QTest::addColumn<QByteArray>("bitrate");
        QTest::addColumn<QByteArray>("size");
        QTest::addColumn<QString>("wantBitrate");
        QTest::addColumn<QString>("wantSize");
        QTest::newRow("128 at 240x180") << QByteArray("128") << QByteArray("240x180") << "192"
                                        << "240x180";
        QTest::newRow("128 elsewhere") << QByteArray("128") << QByteArray("") << "96"
                                       << "";
        QTest::newRow("96 at 320x240") << QByteArray("96") << QByteArray("320x240") << "96"
                                       << "160x120";
        QTest::newRow("192 at 160x120") << QByteArray("192") << QByteArray("160x120") << "192"
                                        << "240x180";
        QTest::newRow("192 without size") << QByteArray("192") << QByteArray("") << "192"
                                          << "";
        QTest::newRow("empty stays") << QByteArray("") << QByteArray("") << ""
                                     << "";
        QTest::newRow("empty with size") << QByteArray("") << QByteArray("320x240") << ""
                                         << "320x240";
        QTest::newRow("trimmed") << QByteArray(" 192 ") << QByteArray(" 240x180 ") << "192"
                                 << "240x180";
        QTest::newRow("part of the list") << QByteArray("9") << QByteArray("") << "96"
                                          << "";
    }

    void profileNormalised()
    {
        QFETCH(QByteArray, bitrate);
        QFETCH(QByteArray, size);
        QFETCH(QString, wantBitrate);
        QFETCH(QString, wantSize);
        QByteArray text = projectText("8.0");
        text.replace("<bitrate>96</bitrate><size>160x120</size>",
                     "<bitrate>" + bitrate + "</bitrate><size>" + size + "</size>");
        CProjectFile project(m_language, m_messages);
        QVERIFY(project.Load(projectPath(text), false));
        QCOMPARE(project.bitrate, wantBitrate);
        QCOMPARE(project.size, wantSize);
    }

    void missingShowcursorIsAdded()
    {
        QByteArray text = projectText("5.0");
        text.replace("<showcursor>0</showcursor>", "");
        const QString path = projectPath(text);
        CProjectFile project(m_language, m_messages);
        QVERIFY(project.Load(path, false));
        QCOMPARE(project.showcursor, QStringLiteral("1"));
        QVERIFY(project.Save());
        pugi::xml_document doc;
        QVERIFY(Xml::parseFile(doc, path));
        QCOMPARE(Xml::GetTextByPath(doc, QStringLiteral("configure.showcursor")), QStringLiteral("1"));
    }

    void serverBinding()
    {
        const QByteArray binding = "<tarninfo><server><url> http://h:7380 </url><folderID> 12 </folderID>"
                                   "<contentID>34</contentID></server></tarninfo>";
        CProjectFile project(m_language, m_messages);
        QVERIFY(project.Load(projectPath(projectText("8.0", indexOf({"0"}), binding)), false));
        QCOMPARE(project.url, QStringLiteral("http://h:7380"));
        QCOMPARE(project.folderID, QStringLiteral("12"));
        QCOMPARE(project.contentID, QStringLiteral("34"));

        QByteArray partial = binding;
        partial.replace("<contentID>34</contentID>", "");
        QVERIFY(project.Load(projectPath(projectText("8.0", indexOf({"0"}), partial)), false));
        QCOMPARE(project.url, QString());
        QCOMPARE(project.folderID, QString());
        QCOMPARE(project.contentID, QStringLiteral("0"));
    }

    // --- saving -----------------------------------------------------------

    void roundTrip_data()
    {
        QTest::addColumn<QByteArray>("version");
        QTest::newRow("5") << QByteArray("5.0");
        QTest::newRow("6") << QByteArray("6.0");
        QTest::newRow("7") << QByteArray("7.0");
        QTest::newRow("8") << QByteArray("8.0");
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
            return QStringLiteral("v%1 \u00e9 & <%2%1>").arg(i).arg(tab ? QStringLiteral("\t") : QString());
        };
        for (qsizetype i = 0; i < fields.size(); ++i)
            saved.*fields[i] = value(i, i < 7);
        saved.bitrate = QStringLiteral("192");
        saved.size = QStringLiteral("240x180");
        saved.setDuration(65000);
        saved.RemoveIndex(-99);
        saved.AddIndex(QStringLiteral("One\t1"), QStringLiteral("0"), QStringLiteral("d1"), {}, {}, {},
                       false);
        saved.AddIndex(QStringLiteral("Two"), QStringLiteral("64999"), QStringLiteral("d2"), {}, {}, {},
                       false);
        saved.AddIndex(QStringLiteral("Web"), QStringLiteral("-1"), QStringLiteral("d3"),
                       QStringLiteral("w.html"), {}, {}, false);
        QVERIFY(saved.Save());
        QVERIFY(m_log->messages.isEmpty());
        QVERIFY(!QFileInfo::exists(path + QStringLiteral(".tmp")));

        CProjectFile loaded(m_language, m_messages);
        QVERIFY(loaded.Load(path, false));
        QCOMPARE(loaded.version, QString::fromLatin1(version));
        const qsizetype compared = loaded.isVersion8 ? fields.size() : fields.size() - 3;
        for (qsizetype i = 0; i < compared; ++i)
            QCOMPARE(loaded.*fields[i], value(i, false));
        QCOMPARE(loaded.bitrate, saved.bitrate);
        QCOMPARE(loaded.size, saved.size);
        QCOMPARE(loaded.durationText, QStringLiteral("01:05"));
        QCOMPARE(loaded.duration(), std::optional<qint64>(65000));
        QCOMPARE(loaded.items.size(), 3);
        QCOMPARE(loaded.items[0].title, QStringLiteral("One1"));
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(loaded.items[i].pos, saved.items[i].pos);
            QCOMPARE(loaded.items[i].RecDate, saved.items[i].RecDate);
            QCOMPARE(loaded.items[i].Url, saved.items[i].Url);
        }
    }

    void savedLayout()
    {
        const QString path = projectPath(projectText("8.0"));
        CProjectFile project(m_language, m_messages);
        QVERIFY(project.Load(path, false));
        project.photoAttribute = QStringLiteral("240x180");
        QVERIFY(project.Save());
        const QByteArray bytes = readFile(path);
        QVERIFY(!bytes.contains("><"));
        QVERIFY(bytes.contains(">\r\n<"));
        QVERIFY(bytes.startsWith("<?xml"));
        // Attributes keep their order; the first one is the one written.
        QVERIFY2(bytes.contains("<photo size=\"240x180\" kind=\"gif\">"), bytes.constData());
        QVERIFY(bytes.contains("<sound volume=\"5\" rate=\"8000\">"));
        // A second save of the same document keeps the layout stable.
        QVERIFY(project.Save());
        QCOMPARE(readFile(path), bytes);
    }

    // A project is read and written in the encoding it declares: an
    // unchanged text comes back byte for byte; a character the code page
    // lacks is written as a character reference.
    void declaredEncoding_data()
    {
        QTest::addColumn<QByteArray>("encoding");
        QTest::addColumn<QString>("text");
        QTest::newRow("windows-1252")
            << QByteArray("windows-1252") << QStringLiteral("R\u00e9sum\u00e9 \u2013 f\u00fcr");
        QTest::newRow("Big5") << QByteArray("Big5")
                              << QStringLiteral("\u7c21\u5831\u6a19\u984c \u6e2c\u8a66");
        QTest::newRow("UTF-8") << QByteArray("UTF-8")
                               << QStringLiteral("Caf\u00e9 \u2013 na\u00efve \u7c21\u5831");
    }
    void declaredEncoding()
    {
        QFETCH(QByteArray, encoding);
        QFETCH(QString, text);
        QStringEncoder encoder(encoding.constData());
        const QByteArray comments =
            encoder(QStringLiteral("<comments>") + text + QStringLiteral("</comments>"));
        QByteArray file = projectText("8.0");
        file.replace("encoding=\"UTF-8\"", "encoding=\"" + encoding + '"');
        file.replace("<comments>c</comments>", comments);
        const QString path = projectPath(file);
        CProjectFile project(m_language, m_messages);
        QVERIFY(project.Load(path, false));
        QCOMPARE(project.comments, text);
        project.title = QStringLiteral("Smile \U0001F600");
        QVERIFY(project.Save());
        const QByteArray saved = readFile(path);
        QVERIFY(saved.startsWith("<?xml version=\"1.0\" encoding=\"" + encoding + "\"?>"));
        QVERIFY2(saved.contains(comments), saved.constData());
        CProjectFile reloaded(m_language, m_messages);
        QVERIFY(reloaded.Load(path, false));
        QCOMPARE(reloaded.comments, text);
        QCOMPARE(reloaded.title, project.title);
        QVERIFY(m_log->messages.isEmpty());
    }

    void unknownEncodingRefused()
    {
        QByteArray file = projectText("8.0");
        file.replace("encoding=\"UTF-8\"", "encoding=\"x-no-such-code-page\"");
        const QString path = projectPath(file);
        CProjectFile project(m_language, m_messages);
        QVERIFY(!project.Load(path, false));
        QCOMPARE(m_log->messages.size(), 1);
        QVERIFY(m_log->messages.first().text.contains(QStringLiteral("\"x-no-such-code-page\"")));
        QVERIFY(!project.Save());
        QCOMPARE(readFile(path), file);
    }

    void saveRebuildsIndex()
    {
        const QByteArray index = "<index type=\"TOC\" duration=\"00:10\" extra=\"x\">" +
                                 item("0", "<note>n</note>") + item("-1") + item("9999") + item("10000") +
                                 item("12000") + "</index>";
        const QByteArray after =
            "<tarninfo><server><url>u</url><folderID>1</folderID><contentID>2</contentID>"
            "</server></tarninfo><notes>kept</notes>";
        const QString path = projectPath(projectText("8.0", index, after));
        CProjectFile project(m_language, m_messages);
        QVERIFY(project.Load(path, false));
        project.items[0].size = QStringLiteral("4 KB");
        QVERIFY(project.Save());
        QCOMPARE(project.items.size(), 3);

        pugi::xml_document doc;
        QVERIFY(Xml::parseFile(doc, path));
        const pugi::xml_node parent = doc.document_element().child("project");
        QCOMPARE(QString::fromUtf8(parent.last_child().name()), QStringLiteral("index"));
        QCOMPARE(Xml::GetTextByPath(doc, QStringLiteral("project.notes")), QStringLiteral("kept"));
        const pugi::xml_node newIndex = parent.child("index");
        QVERIFY(!newIndex.attribute("extra"));
        QCOMPARE(QString::fromUtf8(newIndex.first_attribute().name()), QStringLiteral("duration"));
        QCOMPARE(QString::fromUtf8(newIndex.attribute("type").value()), QStringLiteral("TOC"));
        QStringList layout;
        for (const pugi::xml_node &entry : newIndex.children()) {
            QStringList children;
            for (const pugi::xml_node &child : entry.children())
                children.append(QString::fromUtf8(child.name()));
            layout.append(children.join(u','));
        }
        QCOMPARE(layout,
                 (QStringList{QStringLiteral("title,recdate,pos,size"),
                              QStringLiteral("title,recdate,pos,url"), QStringLiteral("title,recdate,pos")}));

        // Without dropping, items past the end stay.
        project.items.append(
            CIndexItem{QStringLiteral("late"), QStringLiteral("20000"), {}, {}, {}, {}, false, {}});
        project.dropItemsBeyondEnd = false;
        QVERIFY(project.Save());
        CProjectFile reloaded(m_language, m_messages);
        QVERIFY(reloaded.Load(path, false));
        QCOMPARE(reloaded.items.size(), 4);
        QCOMPARE(reloaded.items.last().pos, QStringLiteral("20000"));
    }

    void createTarnInfo()
    {
        const QString path = projectPath(projectText("8.0"));
        CProjectFile project(m_language, m_messages);
        QVERIFY(project.Load(path, false));
        QCOMPARE(project.contentID, QStringLiteral("0"));
        project.url = QStringLiteral("http://h");
        project.folderID = QStringLiteral("3");
        project.contentID = QStringLiteral("21");
        QVERIFY(project.Save());
        pugi::xml_document doc;
        QVERIFY(Xml::parseFile(doc, path));
        QCOMPARE(Xml::GetTextByPath(doc, QStringLiteral("project.tarninfo.server.url")),
                 QStringLiteral("http://h"));
        QCOMPARE(Xml::GetTextByPath(doc, QStringLiteral("project.tarninfo.server.folderID")),
                 QStringLiteral("3"));
        QCOMPARE(Xml::GetTextByPath(doc, QStringLiteral("project.tarninfo.server.contentID")),
                 QStringLiteral("21"));

        // Versions before 8 have no binding and get none.
        const QString seven = projectPath(projectText("7.0"));
        QVERIFY(project.Load(seven, false));
        QVERIFY(project.Save());
        QVERIFY(!readFile(seven).contains("tarninfo"));
    }

    void saveFailures_data()
    {
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("tmpLeft");
        QTest::newRow("abstract") << "abstract"
                                  << "qvp.Save"
                                  << "The element \"project.abstract.manager\" is missing.: abstract"
                                  << false;
        QTest::newRow("configure") << "configure"
                                   << "qvp.Save"
                                   << "The element \"photo\" has no attribute.: configure" << false;
        QTest::newRow("profile") << "profile"
                                 << "qvp.Save"
                                 << "The element \"project.configure.profile.video.preview\" is missing.: "
                                    "configure.profile.video"
                                 << false;
        QTest::newRow("duration") << "duration"
                                  << "qvp.Save"
                                  << "The duration \"soon\" is not a time text.: index.item(1)" << false;
        QTest::newRow("temporary file") << "tmp"
                                        << ""
                                        << "Save 'project.qvp' error!" << false;
        QTest::newRow("locked file")
            << "locked"
            << ""
            << "Save 'project.qvp' error! The updated project is saved as 'project.qvp.tmp'" << true;
    }

    // Every failing step leaves the old file whole; only the last one leaves
    // the new content beside it.
    void saveFailures()
    {
        QFETCH(QString, failure);
        QFETCH(QString, title);
        QFETCH(QString, text);
        QFETCH(bool, tmpLeft);
        QString path = projectPath(projectText("8.0"));
        const QByteArray before = readFile(path);
        CProjectFile project(m_language, m_messages);
        QVERIFY(project.Load(path, false));
        project.title = QStringLiteral("Changed");
        pugi::xml_node root = project.document().document_element();
        if (failure == QLatin1String("abstract")) {
            root.child("project").child("abstract").remove_child("manager");
        } else if (failure == QLatin1String("configure")) {
            pugi::xml_node photo = root.child("project").child("configure").child("photo");
            photo.remove_attributes();
        } else if (failure == QLatin1String("profile")) {
            root.child("project").child("configure").child("profile").child("video").remove_child("preview");
        } else if (failure == QLatin1String("duration")) {
            project.durationText = QStringLiteral("soon");
        } else if (failure == QLatin1String("tmp")) {
            QVERIFY(QDir().mkpath(path + QStringLiteral(".tmp/x")));
        } else if (failure == QLatin1String("locked")) {
            // The old file cannot be deleted: here a non-empty folder holds its name.
            path = QFileInfo(path).absolutePath() + QStringLiteral("/locked/project.qvp");
            QVERIFY(QDir().mkpath(path + QStringLiteral("/in-use")));
        }
        QVERIFY(!project.Save(path));
        QCOMPARE(m_log->messages.size(), 1);
        QCOMPARE(m_log->messages.first().title, title);
        QCOMPARE(m_log->messages.first().text, text);
        const QString tmp = path + QStringLiteral(".tmp");
        if (failure == QLatin1String("locked")) {
            QVERIFY(QFileInfo(path).isDir());
        } else {
            QCOMPARE(readFile(path), before);
        }
        QCOMPARE(QFileInfo(tmp).isFile(), tmpLeft);
        if (tmpLeft) {
            CProjectFile updated(m_language, m_messages);
            QVERIFY(updated.Load(tmp, false));
            QCOMPARE(updated.title, QStringLiteral("Changed"));
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
        project.title.clear();
        project.preview.clear();
        project.bitrate.clear();
        project.templateName.clear();
        project.photo.clear();
        project.photoAttribute.clear();
        project.soundAttribute.clear();
        project.showcursor.clear();
        QVERIFY(!project.Save());
        QCOMPARE(messageTexts(), QStringList{QStringLiteral("Save 'project.qvp' error!")});
        QCOMPARE(readFile(path), tiny);
        QVERIFY(QFileInfo(path + QStringLiteral(".tmp")).size() < 500);
    }

    void missingIndexIsReportedAndWritten()
    {
        const QString path = projectPath(projectText("6.0"));
        CProjectFile project(m_language, m_messages);
        QVERIFY(project.Load(path, false));
        project.document().document_element().child("project").remove_child("index");
        QVERIFY(project.Save());
        QCOMPARE(m_log->messages.size(), 1);
        QCOMPARE(m_log->messages.first().title, QStringLiteral("RemoveIndexNode"));
        QCOMPARE(m_log->messages.first().text,
                 QStringLiteral("The index element is missing.: RemoveIndexNode"));
        CProjectFile reloaded(m_language, m_messages);
        QVERIFY(reloaded.Load(path, false));
        QCOMPARE(reloaded.items.size(), 3);
    }

    // The program's own empty project is a whole version 8 project that
    // reloads unchanged after a save.
    void defaultProject()
    {
        const QString path = m_dir.filePath(QStringLiteral("default/project.qvp"));
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        QVERIFY(QFile::copy(AppPaths::resourcePath(QStringLiteral("default.qvp")), path));
        CProjectFile project(m_language, m_messages);
        QVERIFY(project.Load(path, false));
        QCOMPARE(project.version, QStringLiteral("8"));
        QVERIFY(project.isVersion8);
        QCOMPARE(project.title, QStringLiteral("Corvana Title"));
        QCOMPARE(project.photoAttribute, QStringLiteral("160x120"));
        QCOMPARE(project.soundAttribute, QStringLiteral("3"));
        QCOMPARE(project.contentID, QStringLiteral("0"));
        QCOMPARE(project.duration(), std::optional<qint64>(0));
        const QByteArray shipped = readFile(path);
        QVERIFY(project.Save());
        QCOMPARE(readFile(path), shipped);
    }

    // --- media library ----------------------------------------------------

    void verify_data()
    {
        QTest::addColumn<QString>("media");
        QTest::addColumn<int>("sound");
        QTest::newRow("sound") << "sound" << 1;
        QTest::newRow("truncated") << "damaged" << 0;
        QTest::newRow("corrupted") << "corrupted" << 0;
        QTest::newRow("missing") << "missing" << 0;
        QTest::newRow("not media") << "text" << 0;
        // A single-file project is checked by the media inside it.
        QTest::newRow("single-file project") << "zdm sound" << 1;
        QTest::newRow("single-file project, truncated") << "zdm damaged" << 0;
        QTest::newRow("single-file project without media") << "zdm nomedia" << 0;
    }

    void verify()
    {
        QFETCH(QString, media);
        QFETCH(int, sound);
        const QString soundMedia = QFileInfo(m_sound).dir().filePath(QStringLiteral("media.qv"));
        QString path = soundMedia;
        if (media == QLatin1String("damaged")) {
            path = QFileInfo(m_damaged).dir().filePath(QStringLiteral("media.qv"));
        } else if (media == QLatin1String("corrupted")) {
            path = m_dir.filePath(QStringLiteral("corrupted.qv"));
            QByteArray bytes = readFile(soundMedia);
            for (qsizetype i = bytes.size() / 2; i < bytes.size() / 2 + 64; ++i)
                bytes[i] = char(0xff);
            writeFile(path, bytes);
        } else if (media == QLatin1String("missing")) {
            path = m_dir.filePath(QStringLiteral("none.qv"));
        } else if (media == QLatin1String("text")) {
            path = m_dir.filePath(QStringLiteral("text.qv"));
            writeFile(path, "not a recording\n");
        } else if (media.startsWith(QLatin1String("zdm "))) {
            const QDir project = QFileInfo(media == QLatin1String("zdm damaged") ? m_damaged : m_sound).dir();
            path = m_dir.filePath(media.mid(4) + QStringLiteral(".zdm"));
            QStringList args{QStringLiteral("-q"), QStringLiteral("-j"), path,
                             project.filePath(QStringLiteral("project.qvp"))};
            if (media != QLatin1String("zdm nomedia"))
                args.append(project.filePath(QStringLiteral("media.qv")));
            QFile::remove(path);
            runTool(QStringLiteral("zip"), args);
            QVERIFY(QFileInfo::exists(path));
        }
        MediaLibrary library(*testProcesses());
        QCOMPARE(QCoro::waitFor(library.verifyWholeQvFile(path)), sound);
        QCOMPARE(library.errorString().isEmpty(), sound == 1);
        // What was unpacked for the check is gone again.
        QCOMPARE(QDir::temp().entryList({QStringLiteral(".zdm_verify_*")}, QDir::AllEntries | QDir::Hidden),
                 QStringList());
    }

    void versionSelector_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<int>("result");
        QTest::newRow("5") << "5.1" << 1;
        QTest::newRow("8") << "8" << 1;
        QTest::newRow("4") << "4.0" << 0;
        QTest::newRow("9") << "9.0" << 0;
        QTest::newRow("empty") << "" << 0;
    }

    void versionSelector()
    {
        QFETCH(QString, version);
        QFETCH(int, result);
        MediaLibraries libraries(*testProcesses());
        const QString media = QFileInfo(m_sound).dir().filePath(QStringLiteral("media.qv"));
        QCOMPARE(QCoro::waitFor(libraries.verifyWholeQvFile(version, media)), result);
        QCOMPARE(libraries.forVersion(version) != nullptr, result == 1);
        if (result == 0) {
            QCOMPARE(libraries.ThumbCreate2(version, media, m_dir.filePath(QStringLiteral("none.txt")),
                                            QStringLiteral("slides"), 80, 60),
                     0);
            QCOMPARE(libraries.ThumbTime(version), 0);
        }
    }

    // The renderer works in the background while the caller polls every
    // 200 ms, as the slide maker does.
    void thumbnailsOfLongRecording()
    {
        SampleRecordingOptions options;
        options.durationSeconds = 60;
        const QString project = sample(QStringLiteral("long"), options);
        QVERIFY(!project.isEmpty());
        const QDir folder = QFileInfo(project).dir();
        const QList<qint64> positions{0, 12000, 30500, 45000, 59000, 90000};
        QByteArray list;
        for (qint64 position : positions)
            list += QByteArray::number(position) + "\r\n";
        writeFile(folder.filePath(QStringLiteral("thumbList.txt")), list);

        MediaLibraries libraries(*testProcesses());
        QCOMPARE(libraries.ThumbTime(QStringLiteral("8")), -1);
        QElapsedTimer sinceTick;
        qint64 longestGap = 0;
        QTimer ticker;
        ticker.setInterval(10);
        connect(&ticker, &QTimer::timeout, this,
                [&] { longestGap = std::max(longestGap, sinceTick.restart()); });
        QList<int> seen;
        QTimer poll;
        poll.setInterval(200);
        connect(&poll, &QTimer::timeout, this,
                [&] { seen.append(libraries.ThumbTime(QStringLiteral("8"))); });

        sinceTick.start();
        ticker.start();
        poll.start();
        QCOMPARE(libraries.ThumbCreate2(QStringLiteral("8.0"), folder.filePath(QStringLiteral("media.qv")),
                                        folder.filePath(QStringLiteral("thumbList.txt")),
                                        QStringLiteral("slides"), 560, 420),
                 1);
        QVERIFY(libraries.ThumbTime(QStringLiteral("8")) != -1);
        QTRY_VERIFY_WITH_TIMEOUT(!seen.isEmpty() && seen.last() == -1, 300'000);
        qInfo("longest gap of Qt's loop while rendering: %lld ms", longestGap);

        // The loop kept serving the poll while the frames were made.
        QVERIFY(std::any_of(seen.cbegin(), seen.cend(), [](int value) { return value > 0; }));
        for (qint64 position : positions) {
            const QString image = folder.filePath(QStringLiteral("slides/%1.jpg").arg(position));
            if (position < 60000)
                QCOMPARE(imageSize(image), QSize(560, 420));
            else
                QVERIFY(!QFileInfo::exists(image));
        }
    }

    void singleFileProject()
    {
        SampleRecordingOptions options;
        options.singleFile = true;
        options.durationSeconds = 2;
        const QString zdm = sample(QStringLiteral("zdm"), options);
        QVERIFY(zdm.endsWith(QLatin1String(".zdm")));
        QVERIFY(!QFileInfo::exists(QFileInfo(zdm).dir().filePath(QStringLiteral("project.qvp"))));

        MediaLibraries libraries(*testProcesses());
        const QString out = m_dir.filePath(QStringLiteral("zdm-out"));
        QVERIFY(QDir().mkpath(out));
        const QStringList paths = MediaLibrary::extendDataPaths(out + QStringLiteral("//"));
        QCOMPARE(paths.first(), out + QStringLiteral("/project.qvp"));
        QCOMPARE(
            QCoro::waitFor(libraries.GetExtendDataFromProject(zdm, paths[0], paths[1], paths[2], paths[3])),
            1);
        for (const QString &path : paths)
            QVERIFY2(QFileInfo(path).size() > 0, qPrintable(path));
        QCOMPARE(QDir(out).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).size(), 4);

        CProjectFile project(m_language, m_messages);
        QVERIFY(project.Load(paths[0], false));
        project.title = QStringLiteral("Renamed");
        QVERIFY(project.Save());
        QCOMPARE(
            QCoro::waitFor(libraries.SetExtendDataInProject(zdm, paths[0], paths[1], paths[2], paths[3])), 1);

        const QString again = m_dir.filePath(QStringLiteral("zdm-again"));
        QVERIFY(QDir().mkpath(again));
        const QStringList second = MediaLibrary::extendDataPaths(again);
        QCOMPARE(QCoro::waitFor(
                     libraries.GetExtendDataFromProject(zdm, second[0], second[1], second[2], second[3])),
                 1);
        QVERIFY(project.Load(second[0], false));
        QCOMPARE(project.title, QStringLiteral("Renamed"));
        const QString listing = runTool(QStringLiteral("unzip"), {QStringLiteral("-l"), zdm});
        QVERIFY2(listing.contains(QLatin1String("media.qv")), qPrintable(listing));
        QCOMPARE(listing.count(QLatin1String("project.qvp")), 1);
    }

    void singleFileFailures()
    {
        MediaLibraries libraries(*testProcesses());
        const QStringList paths = MediaLibrary::extendDataPaths(m_dir.filePath(QStringLiteral("zdm-bad")));
        QVERIFY(QDir().mkpath(m_dir.filePath(QStringLiteral("zdm-bad"))));
        QCOMPARE(QCoro::waitFor(libraries.GetExtendDataFromProject(m_dir.filePath(QStringLiteral("none.zdm")),
                                                                   paths[0], paths[1], paths[2], paths[3])),
                 0);
        const QString notZip = m_dir.filePath(QStringLiteral("text.zdm"));
        writeFile(notZip, "plain text");
        QCOMPARE(QCoro::waitFor(
                     libraries.GetExtendDataFromProject(notZip, paths[0], paths[1], paths[2], paths[3])),
                 0);
        QVERIFY(!QFileInfo::exists(paths[0]));
        QCOMPARE(QDir(m_dir.filePath(QStringLiteral("zdm-bad")))
                     .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList());
        QCOMPARE(
            QCoro::waitFor(libraries.SetExtendDataInProject(notZip, paths[0], paths[1], paths[2], paths[3])),
            0);
    }

    // --- sample recordings ------------------------------------------------

    void samples_data()
    {
        QTest::addColumn<int>("version");
        QTest::addColumn<int>("mediaItems");
        QTest::addColumn<int>("linkItems");
        QTest::newRow("5") << 5 << 2 << 1;
        QTest::newRow("6") << 6 << 1 << 0;
        QTest::newRow("7") << 7 << 4 << 2;
        QTest::newRow("8") << 8 << 0 << 3;
    }

    void samples()
    {
        QFETCH(int, version);
        QFETCH(int, mediaItems);
        QFETCH(int, linkItems);
        SampleRecordingOptions options;
        options.version = version;
        options.mediaItems = mediaItems;
        options.linkItems = linkItems;
        options.durationSeconds = 2;
        const QString path = sample(QStringLiteral("v%1").arg(version), options);
        QVERIFY(!path.isEmpty());
        CProjectFile project(m_language, m_messages);
        QVERIFY(project.Load(path, false));
        QCOMPARE(project.version.front(), QChar(u'0' + version));
        QCOMPARE(project.duration(), std::optional<qint64>(2000));
        QCOMPARE(project.items.size(), mediaItems + linkItems);
        QCOMPARE(project.templateName, QStringLiteral("default"));
        QCOMPARE(project.photo, QStringLiteral("photo.gif"));
        QCOMPARE(project.photoAttribute, QStringLiteral("160x120"));
        QCOMPARE(project.soundAttribute, QStringLiteral("3"));
        QCOMPARE(project.showcursor, QStringLiteral("1"));
        QCOMPARE(project.preview, QStringLiteral("0"));
        QCOMPARE(project.size, QStringLiteral("160x120"));
        const QDir folder = QFileInfo(path).dir();
        for (const QString &name : {QStringLiteral("media.qv"), QStringLiteral("photo.gif"),
                                    QStringLiteral("cursor.gif"), QStringLiteral("inteIndex.txt")})
            QVERIFY2(QFileInfo(folder.filePath(name)).size() > 0, qPrintable(name));
        for (const CIndexItem &entry : std::as_const(project.items)) {
            if (!entry.isMediaItem())
                QVERIFY2(QFileInfo::exists(folder.filePath(entry.Url)), qPrintable(entry.Url));
        }
        QVERIFY(!readFile(path).contains("><"));
    }

    void sampleCommand_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("status");
        QTest::newRow("folder project")
            << QStringList{"--version", "6", "--items", "1", "--duration", "1"} << 0;
        QTest::newRow("single file") << QStringList{"--zdm", "--link-items", "0", "--duration", "1"} << 0;
        QTest::newRow("unknown version") << QStringList{"--version", "4"} << 1;
        QTest::newRow("not a number") << QStringList{"--items", "many"} << 2;
    }

    void sampleCommand()
    {
        QFETCH(QStringList, args);
        QFETCH(int, status);
        static int count = 0;
        const QString folder = m_dir.filePath(QStringLiteral("cli%1").arg(++count));
        QProcess cli;
        cli.start(ToolLocator::find(QStringLiteral("clipferry-cli")),
                  QStringList{QStringLiteral("sample"), QStringLiteral("recording"), folder} + args);
        QVERIFY(cli.waitForFinished(120'000));
        QCOMPARE(cli.exitCode(), status);
        const QString path = QString::fromLocal8Bit(cli.readAllStandardOutput()).trimmed();
        if (status != 0) {
            QVERIFY(path.isEmpty());
            return;
        }
        QVERIFY(path.startsWith(folder));
        if (path.endsWith(QLatin1String(".zdm"))) {
            QVERIFY(runTool(QStringLiteral("unzip"), {QStringLiteral("-l"), path})
                        .contains(QLatin1String("media.qv")));
            return;
        }
        CProjectFile project(m_language, m_messages);
        QVERIFY(project.Load(path, false));
        QVERIFY(project.version.startsWith(u'6'));
        QCOMPARE(project.items.size(), 2);
    }

    void sampleOptionsChecked()
    {
        SampleRecordingOptions options;
        options.version = 9;
        const SampleRecordingResult result = QCoro::waitFor(
            makeSampleRecording(testProcesses(), m_dir.filePath(QStringLiteral("bad")), options));
        QVERIFY(result.path.isEmpty());
        QVERIFY(!result.error.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestRecorder)
#include "test_recorder.moc"
