// Saves and loads a queue of 10,000 entries and compares the time with what
// pugixml alone needs to parse and serialise the same file and write it
// through the same atomic save (QSaveFile, synced to disk before it replaces
// the file), in the same run: the sync costs both sides alike, so the ratio
// measures our own code (the peer reads the file too, as the load does). Target: ClipFerry's save + load at
// most 2x the peer.

#include "common/Lang.h"
#include "common/XmlUtil.h"
#include "queue/QueueFile.h"
#include "queue/QueueModel.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTextStream>
#include <algorithm>
#include <optional>

namespace {

constexpr int kEntries = 10'000;
constexpr int kRounds = 9;

void fill(QueueModel &queue)
{
    for (int i = 0; i < kEntries; ++i) {
        CVideoItem item;
        item.fileName = QStringLiteral("lecture_%1.mp4").arg(i);
        item.title = QStringLiteral("Lecture %1: signals & <systems>").arg(i);
        item.Author = QStringLiteral("Prof. Ann Example");
        item.path = QStringLiteral("/home/ann/videos/course/lecture_%1.mp4").arg(i);
        item.duration = QStringLiteral("0:45:10");
        item.secDuration = 2710;
        item.videoWidth = 854;
        item.videoHeight = 480;
        item.vBitRate = QStringLiteral("586k");
        item.aBitRate = QStringLiteral("64k");
        item.Url = QStringLiteral("https://media.example.org");
        item.account = QStringLiteral("ann");
        item.password = QStringLiteral("s3cr3t&<>");
        item.folderID = QString::number(100 + i % 17);
        item.contentID = QStringLiteral("0");
        item.folderName = QStringLiteral("/courses/signals");
        item.sysVer = QStringLiteral("2.0");
        item.dstPostfix = QStringLiteral("480");
        item.fileSize = 734003200;
        item.dateLastModified = QStringLiteral("2026-11-30 09:12:44");
        queue.Add(item);
    }
}

double timed(const std::function<void()> &work)
{
    QElapsedTimer timer;
    timer.start();
    work();
    return static_cast<double>(timer.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("project.xml"));

    // The queue file has no captions: the model needs no texts.
    const LanguageTable noTexts;
    QueueModel queue(noTexts);
    fill(queue);

    // The three are timed in turn, round after round, and the best of each
    // counts: a machine busy for a moment slows one round, not one side.
    const auto peerRound = [&] {
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        const QByteArray bytes = file.readAll();
        pugi::xml_document doc;
        doc.load_buffer(bytes.constData(), static_cast<size_t>(bytes.size()));
        const QByteArray out = Xml::serialize(doc, pugi::format_raw);
        if (!Xml::writeFileAtomic(path + QStringLiteral(".peer"), out, true))
            qFatal("the peer could not write its file");
    };
    double save = 1e18;
    double load = 1e18;
    double peer = 1e18;
    for (int round = 0; round < kRounds; ++round) {
        save = std::min(save, timed([&] { QueueFile::SaveQueue(path, queue); }));
        // The loaded queue lives on, as the window's does: freeing it is not part of the load.
        std::optional<QueueModel> loaded;
        load = std::min(load, timed([&] {
                            loaded.emplace(noTexts);
                            QueueFile::LoadQueue(path, *loaded);
                        }));
        if (loaded->count() != kEntries)
            qFatal("the queue did not load back whole");
        peer = std::min(peer, timed(peerRound));
    }
    const double ours = save + load;
    const qint64 bytes = QFileInfo(path).size();
    QTextStream(stdout) << "queue file: " << kEntries << " entries, " << bytes / 1024 << " KiB\n"
                        << "save " << save << " ms + load " << load << " ms = " << ours
                        << " ms; pugixml parse + serialise + atomic synced write: " << peer << " ms\n"
                        << "ratio: " << QString::number(ours / peer, 'f', 2) << "x (target: at most 2x)\n";
    return 0;
}
