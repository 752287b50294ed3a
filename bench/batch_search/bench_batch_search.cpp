// The batch dialog's search of a generated tree of 100,000 files in 5,000
// folders, 1,000 of them small videos, against `find DIR -type f` in the
// same run. Targets: listing the tree at most 2x find; probing the videos
// with N at a time at most 1/N of probing them one after another plus 20 %;
// the longest loop stall while the grid fills under 50 ms.
//
//   bench_batch_search [--folders N, default 5000] [--videos N, default 1000]
//                      [--parallel N, default the cores]
//   bench_batch_search --screenshot FILE   (the dialog with a search's results)

#include "BenchArgs.h"
#include "StallMeter.h"
#include "add/SourceSearch.h"
#include "add/frmAddBatch.h"
#include "pipeline/SampleMedia.h"
#include "pipeline/Session.h"
#include "platform/ProcessRunner.h"
#include "recorder/SampleRecording.h"
#include "support/ServerProcess.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>
#include <QThread>
#include <QTimer>

namespace {

constexpr int kFilesPerFolder = 20;

QString makeClip(ProcessRunner &processes, const QString &path, int width, int height)
{
    SampleVideo clip;
    clip.output = path;
    clip.width = width;
    clip.height = height;
    clip.durationSeconds = 1;
    clip.frameRate = 5;
    QDir().mkpath(QFileInfo(path).absolutePath());
    return QCoro::waitFor(clip.make(&processes)).isEmpty() ? path : QString();
}

// Folders in groups of 100; each has 20 files, and every `videoEvery`-th
// folder has one copy of the clip among them.
bool makeTree(const QString &root, const QString &clip, int folders, int videos)
{
    const int videoEvery = std::max(1, folders / std::max(1, videos));
    int made = 0;
    for (int f = 0; f < folders; ++f) {
        const QString folder = QStringLiteral("%1/g%2/f%3").arg(root).arg(f / 100, 3, 10, QChar(u'0')).arg(f);
        if (!QDir().mkpath(folder))
            return false;
        for (int i = 0; i < kFilesPerFolder; ++i) {
            const QString name = QStringLiteral("%1/file%2.%3").arg(folder).arg(i).arg(i % 2 ? "txt" : "jpg");
            if (i == 0 && f % videoEvery == 0 && made < videos) {
                if (!QFile::copy(clip, QStringLiteral("%1/lecture%2.mp4").arg(folder).arg(f)))
                    return false;
                ++made;
                continue;
            }
            QFile file(name);
            if (!file.open(QIODevice::WriteOnly))
                return false;
            file.write("x");
        }
    }
    return true;
}

// The best of three: the disk cache is warm after the first.
template <typename Run> qint64 bestMs(Run run)
{
    qint64 best = std::numeric_limits<qint64>::max();
    for (int i = 0; i < 3; ++i) {
        QElapsedTimer clock;
        clock.start();
        run();
        best = std::min(best, clock.elapsed());
    }
    return best;
}

qint64 idleStall(int ms)
{
    StallMeter meter;
    QTest::qWait(ms);
    return meter.longestMs();
}

struct Fill
{
    qint64 ms = 0;
    qint64 cpuMs = 0;
    qint64 stallMs = 0;
    qint64 stallWorkingMs = 0;
    qsizetype rows = 0;
};

// The dialog searching `root` with `parallel` probes at a time.
Fill fillGrid(Session &session, const QString &root, int parallel)
{
    frmAddBatch dialog(session);
    dialog.show();
    dialog.search()->setParallel(parallel);
    StallMeter meter;
    QElapsedTimer clock;
    clock.start();
    const qint64 cpu = StallMeter::threadCpuMs();
    dialog.searchFolder(root);
    if (!QTest::qWaitFor([&] { return !dialog.isSearching(); }, 3600 * 1000))
        return {};
    return {clock.elapsed(), StallMeter::threadCpuMs() - cpu, meter.longestMs(), meter.workingMs(),
            dialog.finds().size()};
}

int screenshot(const QString &file)
{
    QTemporaryDir dir;
    ServerProcess server(dir.filePath(QStringLiteral("server")));
    if (!server.start({QStringLiteral("--demo")}))
        return 1;
    Session session;
    session.messages().record();
    const QString root = dir.filePath(QStringLiteral("Lectures"));
    const QString clip =
        makeClip(session.processes(), root + QStringLiteral("/Week 1/Introduction.mp4"), 1280, 720);
    if (clip.isEmpty())
        return 1;
    for (const char *name : {"Week 1/Course overview.mkv", "Week 2/Vectors and matrices.mp4",
                             "Week 2/Lab session.MOV", "Week 3/Eigenvalues.m4v"}) {
        QDir().mkpath(QFileInfo(root + u'/' + QString::fromUtf8(name)).absolutePath());
        QFile::copy(clip, root + u'/' + QString::fromUtf8(name));
    }
    QFile(root + QStringLiteral("/Week 3/notes.mp4")).open(QIODevice::WriteOnly);
    SampleRecordingOptions recording;
    recording.durationSeconds = 2;
    QCoro::waitFor(makeSampleRecording(&session.processes(),
                                       root + QStringLiteral("/Week 2/Recorded lecture"), recording));

    frmAddBatch dialog(session);
    dialog.resize(940, 600);
    dialog.show();
    dialog.findChild<QLineEdit *>(QStringLiteral("txtServer"))->setText(server.address());
    dialog.findChild<QLineEdit *>(QStringLiteral("txtAccount"))->setText(QStringLiteral("demo"));
    dialog.findChild<QLineEdit *>(QStringLiteral("txtPassword"))->setText(QStringLiteral("demo"));
    dialog.findChild<QPushButton *>(QStringLiteral("cmdLogIn"))->click();
    if (!QTest::qWaitFor([&] { return session.access().folderTree.Selected != nullptr; }, 60000))
        return 1;
    dialog.searchFolder(root);
    if (!QTest::qWaitFor([&] { return !dialog.isSearching(); }, 60000))
        return 1;
    auto *grid = dialog.findChild<QTableView *>(QStringLiteral("gridResult"));
    for (int row : {0, 1, 3})
        grid->selectionModel()->select(grid->model()->index(row, 0),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
    QTest::qWait(200);
    return dialog.grab().save(file) ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (const qsizetype at = args.indexOf(QStringLiteral("--screenshot")); at > 0 && at + 1 < args.size())
        return screenshot(args[at + 1]);
    QTextStream out(stdout);
    const int folders = option(args, QStringLiteral("--folders"), 5000);
    const int videos = option(args, QStringLiteral("--videos"), 1000);
    QTemporaryDir dir;
    Session session;
    session.messages().record();
    const QString root = dir.filePath(QStringLiteral("tree"));
    const QString clip = makeClip(session.processes(), dir.filePath(QStringLiteral("clip.mp4")), 160, 120);
    if (clip.isEmpty() || !makeTree(root, clip, folders, videos)) {
        out << "could not make the tree" << Qt::endl;
        return 1;
    }
    out << "tree: " << folders * kFilesPerFolder << " files in " << folders << " folders, " << videos
        << " videos" << Qt::endl;

    const qint64 findMs = bestMs([&] {
        QProcess find;
        find.setStandardOutputFile(QProcess::nullDevice());
        find.start(QStringLiteral("find"), {root, QStringLiteral("-type"), QStringLiteral("f")});
        find.waitForFinished(-1);
    });
    const QString patterns = SourceSearch::patternList(8);
    qsizetype listed = 0;
    const qint64 walkMs = bestMs([&] {
        listed = 0;
        SourceSearch::walk(root, patterns, [&listed](const QStringList &found) {
            listed += found.size();
            return true;
        });
    });
    out << "listing: find " << findMs << " ms, search " << walkMs << " ms (" << listed << " matches), ratio "
        << double(walkMs) / std::max<qint64>(findMs, 1) << " (target <= 2)" << Qt::endl;

    const int cores = std::max(1, QThread::idealThreadCount());
    const Fill one = fillGrid(session, root, 1);
    const int parallel = option(args, QStringLiteral("--parallel"), cores);
    const Fill many = fillGrid(session, root, parallel);
    const double ratio = double(many.ms) / std::max<qint64>(one.ms, 1);
    out << "probing " << one.rows << " finds: one at a time " << one.ms << " ms, " << parallel
        << " at a time on " << cores << " cores " << many.ms << " ms, ratio " << ratio
        << " (target <= " << 1.0 / parallel + 0.2 << ")" << Qt::endl;
    out << "the loop's own processor time per find: "
        << double(many.cpuMs) / std::max<qsizetype>(many.rows, 1) << " ms" << Qt::endl;
    const Fill &stalled = one.stallMs > many.stallMs ? one : many;
    out << "longest loop stall while the grid fills: " << stalled.stallMs
        << " ms (target < 50), of it working " << stalled.stallWorkingMs
        << " ms; an idle loop's in the same run: " << idleStall(5000) << " ms" << Qt::endl;
    return 0;
}
