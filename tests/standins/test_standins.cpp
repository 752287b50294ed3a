// The stand-in programs run as the pipeline runs them: real child processes on real files;
// clipferry-thumb also with small scripts in the browser's place.

#include "support/TestFiles.h"
#include "support/TestProcesses.h"

#include <QDirIterator>
#include <QImage>
#include <QImageReader>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QColor kRed(255, 0, 0);
const QColor kBlue(0, 0, 255);
const QColor kGreen(0, 160, 0);
const QColor kYellow(255, 220, 0);
const QColor kWhite(255, 255, 255);

bool similar(QColor a, QColor b)
{
    // JPEG moves colours a little, never this far.
    return qAbs(a.red() - b.red()) < 40 && qAbs(a.green() - b.green()) < 40 && qAbs(a.blue() - b.blue()) < 40;
}

// A title card has dark lettering across its middle; a blank or broken image has none.
bool hasDarkMiddle(const QImage &image)
{
    const int y0 = image.height() / 4;
    for (int y = y0; y < image.height() - y0; ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qGray(image.pixel(x, y)) < 80)
                return true;
    return false;
}

} // namespace

class TestStandins final : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString path(const QString &relative) const { return m_dir.filePath(relative); }
    QStringList expand(QStringList texts) const
    {
        for (QString &text : texts)
            text.replace("%1", m_dir.path());
        return texts;
    }

    // Every file below a folder with its size: what a refused run must leave alone.
    QStringList snapshot(const QString &folder) const
    {
        QStringList files;
        QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QFileInfo info(it.next());
            files << QDir(m_dir.path()).relativeFilePath(info.filePath()) + ':' +
                         QString::number(info.size());
        }
        files.sort();
        return files;
    }

    void writeImage(const QString &relative, QSize size, QColor colour, const char *format)
    {
        QImage image(size, QImage::Format_RGB32);
        image.fill(colour);
        QVERIFY(image.save(path(relative), format));
    }

    // The stand-ins write nothing to standard output: what a run prints is its error text.
    ToolRun run(const QString &tool, const QStringList &args, const QStringList &env)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const QString &pair : env)
            environment.insert(pair.section('=', 0, 0), pair.section('=', 1));
        const QString tools = qEnvironmentVariable("CLIPFERRY_TOOLS", QCoreApplication::applicationDirPath());
        return runProgram(QDir(tools).filePath(tool), args, environment, 120'000);
    }

    ToolRun thumb(const QString &page, const QString &target, QSize size, const QStringList &env)
    {
        return run("clipferry-thumb",
                   {page, target, "800", "600", QString::number(size.width()), QString::number(size.height()),
                    "2000"},
                   env);
    }

    // Checks the slide written by a successful run: a JPEG of the asked size,
    // its centre and corner colours when given, a title card's lettering otherwise.
    void checkSlide(const QString &file, QSize size, QColor centre, QColor corner)
    {
        QImageReader reader(file);
        QCOMPARE(reader.format(), QByteArray("jpeg"));
        const QImage slide = reader.read();
        QCOMPARE(slide.size(), size);
        const QColor middle = slide.pixelColor(size.width() / 2, size.height() / 2);
        if (centre.isValid())
            QVERIFY2(similar(middle, centre), qPrintable(file + u' ' + middle.name()));
        else
            QVERIFY(hasDarkMiddle(slide));
        if (corner.isValid())
            QVERIFY2(similar(slide.pixelColor(1, 1), corner),
                     qPrintable(file + u' ' + slide.pixelColor(1, 1).name()));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        for (const char *folder : {"slides", "my folder/slides", "folder.html", "shots"})
            QVERIFY(QDir(m_dir.path()).mkpath(QString::fromLatin1(folder)));
        writeImage("red 4x3.png", {400, 300}, kRed, "PNG");
        // Qt writes no GIF: an 8 x 2 all-blue one, by hand.
        writeFile(path("wide.gif"),
                  QByteArray::fromHex("47494638396108000200800000ffffff0000ff2c0000000008000200"
                                      "00020d0cc3300cc3300cc3300cc33005003b"));
        writeImage("tall.bmp", {100, 400}, kGreen, "BMP");
        writeImage("image.dat", {80, 60}, kGreen, "PNG");
        writeImage("a,b.png", {40, 30}, kBlue, "PNG");
        writeImage("a b.png", {40, 30}, kRed, "PNG");
        writeImage("screen.png", {800, 600}, kYellow, "PNG");
        writeFile(path("my folder/page one.html"),
                  "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Quarterly results</title>"
                  "</head><body><p>Figures</p></body></html>");
        writeFile(path("notes.txt"), "no title here\n");
        writeFile(path("broken.png"), "this is not a picture");
        writeFile(path("clip.txt"), "not a video");
    }

    // Images are scaled into the slide keeping their shape, on white; pages
    // become title cards. Blanks in the page and slide paths come as commas.
    void renders()
    {
        const struct
        {
            QString page, written; // the slide, below the folder; asked for with commas for blanks
            QSize size;
            QColor centre, corner; // invalid: a title card
        } rows[] = {
            {"%1/wide.gif", "slides/2.jpg", {200, 150}, kBlue, kWhite}, // letterboxed, enlarged
            {"%1/tall.bmp", "slides/3.jpg", {120, 90}, kGreen, kWhite}, // pillarboxed, reduced
            {"%1/image.dat", "slides/5.jpg", {64, 48}, kGreen, kGreen}, // known by its content
            {"%1/notes.txt", "slides/7.jpg", {160, 120}, {}, {}},       // a page without a title
            {"%1/my,folder/page,one.html", "my folder/slides/8.jpg", {320, 240}, {}, {}},
            {"file://%1/my,folder/page,one.html", "my folder/slides/9.jpg", {320, 240}, {}, {}},
            {"%1/a,b.png", "slides/10.jpg", {40, 30}, kBlue, kBlue}}; // commas kept where the file has them
        for (const auto &[page, written, size, centre, corner] : rows) {
            const QStringList before = snapshot(m_dir.path());
            const QStringList paths = expand({page, u"%1/"_s + QString(written).replace(u' ', u',')});
            const ToolRun outcome = thumb(paths[0], paths[1], size, {"CLIPFERRY_BROWSER=" + path("none")});
            QVERIFY2(outcome.exitCode == 0 && outcome.output.isEmpty(),
                     qPrintable(page + u' ' + outcome.output));
            checkSlide(path(written), size, centre, corner);
            // The slide is the only new file: no temporary is left beside it.
            QStringList added = snapshot(m_dir.path());
            for (const QString &file : before)
                added.removeOne(file);
            QCOMPARE(added, QStringList{written + u':' + QString::number(QFileInfo(path(written)).size())});
        }
    }

    // A refusal says why in one line (the thumbnailer) and writes nothing.
    void refusals()
    {
        const QStringList slide{"800", "600", "160", "120", "2000"};
        const QString red = u"%1/red 4x3.png"_s;
        const struct
        {
            QString tool;
            QStringList args;
            int exitCode;
        } rows[] = {{"clipferry-thumb", QStringList{"%1/folder.html", "%1/slides/x.jpg"} + slide, 1},
                    {"clipferry-thumb", QStringList{"%1/broken.png", "%1/slides/x.jpg"} + slide, 1},
                    {"clipferry-thumb", QStringList{red, "%1/no such folder/x.jpg"} + slide, 1},
                    {"clipferry-thumb", QStringList{red, "%1/slides"} + slide, 1},
                    {"clipferry-thumb", {red, "%1/slides/x.jpg"}, 2}, // too few arguments
                    {"clipferry-thumb", {red, "%1/slides/x.jpg", "800", "600", "160", "0", "2000"}, 2},
                    {"clipferry-mp4box", {"%1/clip.txt", "-inter", "500", "-out", "%1/slides/out.mp4"}, 1},
                    {"clipferry-mp4box", {"%1/clip.txt"}, 2},
                    {"clipferry-keyframes", {"%1/clip.txt", "%1/slides/keys.txt"}, 1},
                    {"clipferry-keyframes", {"%1/clip.txt"}, 2}};
        for (const auto &[tool, args, exitCode] : rows) {
            const QStringList before = snapshot(m_dir.path());
            const ToolRun outcome = run(tool, expand(args), {"CLIPFERRY_BROWSER=" + path("none")});
            const QString row = tool + u' ' + args.join(u' ') + u": "_s + outcome.output;
            QVERIFY2(outcome.exitCode == exitCode && !outcome.output.trimmed().isEmpty(), qPrintable(row));
            if (tool == "clipferry-thumb")
                QVERIFY2(outcome.output.count('\n') == 1, qPrintable(row));
            QCOMPARE(snapshot(m_dir.path()), before);
        }
    }

    void browser_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QColor>("centre"); // invalid: a title card

        QTest::newRow("screenshot scaled to the slide")
            << QByteArray("printf '%s\\n' \"$@\" > \"$FAKE_DIR/browser-args.txt\"\n"
                          "for a in \"$@\"; do case \"$a\" in --screenshot=*) cp \"$FAKE_DIR/screen.png\" "
                          "\"${a#--screenshot=}\";; esac; done")
            << 0 << kYellow;
        QTest::newRow("browser fails: title card instead") << QByteArray("exit 3") << 0 << QColor();
        QTest::newRow("browser crashes: title card instead") << QByteArray("kill -SEGV $$") << 0 << QColor();
        QTest::newRow("browser never ends: killed, nothing written")
            << QByteArray("sleep 600 &\necho $! >> \"$FAKE_DIR/browser-pids.txt\"\n"
                          "echo $$ >> \"$FAKE_DIR/browser-pids.txt\"\nexec sleep 600")
            << 1 << QColor();
    }

    void browser()
    {
        QFETCH(QByteArray, script);
        QFETCH(int, exitCode);
        QFETCH(QColor, centre);

        const QString target = path("shots/slide.jpg");
        QFile::remove(target);
        QFile::remove(path("browser-pids.txt"));
        writeScript(path("fake-browser"), script);
        const ToolRun outcome = thumb(path("my,folder/page,one.html"), target, {200, 150},
                                      {"CLIPFERRY_BROWSER=" + path("fake-browser"),
                                       "FAKE_DIR=" + m_dir.path(), "CLIPFERRY_THUMB_TIMEOUT_MS=500"});
        QCOMPARE(outcome.exitCode, exitCode);
        // The browser's own folder (profile, screenshot) is removed in every case.
        QCOMPARE(QDir::temp().entryList({"clipferry-thumb-*"}, QDir::AllEntries | QDir::Hidden),
                 QStringList());
        if (exitCode != 0) {
            QCOMPARE(outcome.output.count('\n'), 1);
            QCOMPARE(snapshot(path("shots")), QStringList()); // nothing written
            // The browser and everything it started are gone.
            const QList<QByteArray> pids = readFile(path("browser-pids.txt")).split('\n');
            QVERIFY(pids.size() >= 2);
            for (const QByteArray &pid : pids)
                if (!pid.isEmpty())
                    QTRY_VERIFY2(!processAlive(pid.toLongLong()), pid.constData());
            return;
        }
        checkSlide(target, {200, 150}, centre, QColor());
        if (centre.isValid()) {
            const QList<QByteArray> args = readFile(path("browser-args.txt")).split('\n');
            for (const QByteArray &expected :
                 {QByteArray("--headless"), QByteArray("--window-size=800,600"),
                  QByteArray("--virtual-time-budget=2000"),
                  "file://" + m_dir.path().toUtf8() + "/my%20folder/page%20one.html"})
                QVERIFY2(args.contains(expected), expected.constData());
        }
    }
};

QTEST_MAIN(TestStandins)
#include "test_standins.moc"