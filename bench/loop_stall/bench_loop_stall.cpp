// How long Qt's loop is held up while ClipFerry works, beside an idle loop
// measured in the same run: a recording prepared, packed and uploaded
// through the queue runner, and an archive uploaded through the transfer
// control, both to the reference server on loopback.
// Targets: the longest stall under 50 ms on a quiet machine, and within 2x
// the idle loop's on a loaded one. The same archive also goes up as one plain
// curl request (created, sent and registered alike), the peer of the chunked
// upload's throughput: target at least 0.9 of curl on a quiet machine, 0.8 on
// a loaded one.
//
// Each side runs ROUNDS times after a sync; the best of each counts.
//
//   bench_loop_stall [--upload-mb N, default 256] [--recording-seconds N, default 120] [--rounds N, default
//   3]
//                    [--link-mbit N: both uploads through a loopback link paced to N Mbit/s]

#include "BenchArgs.h"
#include "StallMeter.h"
#include "common/FileUtil.h"
#include "pipeline/ProgressView.h"
#include "pipeline/QueueRunner.h"
#include "pipeline/RunnerControls.h"
#include "pipeline/Session.h"
#include "platform/Messages.h"
#include "platform/ProcessRunner.h"
#include "recorder/SampleRecording.h"
#include "server/TransferControl.h"
#include "support/ServerProcess.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>
#include <unistd.h>

namespace {

qint64 idleStall(int ms)
{
    StallMeter meter;
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    return meter.longestMs();
}

// A stored archive of `megabytes` of random bytes, made by zip itself.
QString makeArchive(ProcessRunner &processes, const QString &folder, int megabytes)
{
    QFile payload(QDir(folder).filePath("payload.bin"));
    if (!payload.open(QIODevice::WriteOnly))
        return {};
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (int i = 0; i < megabytes; ++i) {
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
        payload.write(block);
    }
    payload.close();
    ProcessSpec spec = ProcessSpec::of("zip", {"-0", "-q", "tarn_file.zip", "payload.bin"}, folder);
    spec.timeout = std::chrono::minutes(10);
    const ProcessResult zipped = QCoro::waitFor(processes.run(spec));
    payload.remove();
    return zipped.ok() ? QDir(folder).filePath("tarn_file.zip") : QString();
}

// The same archive as one plain curl request, created, sent and registered
// as the chunked upload is.
bool curlUpload(const QString &archive, const QString &url, const QString &folder, const QByteArray &sha256)
{
    QProcess curl;
    curl.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const QString script =
        "set -eo pipefail\nb64() { printf '%s' \"$1\" | base64 -w0; }\n"
        "loc=$(curl -sS -i -X POST -u demo:demo -H 'Tus-Resumable: 1.0.0' -H 'Content-Length: 0' -H "
        "\"Upload-Length: $(stat -c %s \"$1\")\" "
        "-H \"Upload-Metadata: filename $(b64 tarn_file.zip),folderID $(b64 \"$3\"),contentID $(b64 -1),"
        "sha256 $(b64 \"$4\")\" \"$2/tarn/putFile/uploads/\" | tr -d '\\r' | sed -n 's/^Location: //Ip')\n"
        "curl -sS -f -o /dev/null -X PATCH -u demo:demo -H 'Tus-Resumable: 1.0.0' -H 'Upload-Offset: 0' "
        "-H 'Content-Type: application/offset+octet-stream' --data-binary @\"$1\" \"$loc\"\n"
        "curl -sS -f -o /dev/null -u demo:demo --data-urlencode \"upload=$loc\" \"$2/tarn/putFile/\"\n";
    curl.start("bash", {"-c", script, "curl", archive, url, folder, QString::fromLatin1(sha256.toHex())});
    return curl.waitForFinished(-1) && curl.exitCode() == 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    QTextStream out(stdout);
    QTemporaryDir dir;
    ServerProcess server(dir.filePath("server"));
    if (!server.start({"--demo"})) {
        out << "the reference server did not start" << Qt::endl;
        return 1;
    }
    const QString folderId = server.addFolder("Bench");
    Session session;
    session.messages().record();
    SilentProgressView view;
    NoRunnerControls controls;
    QueueRunner &runner = session.runner(view, controls);

    const qint64 idle = idleStall(2000);

    // A recording: verified, its slides rendered, packed and uploaded.
    SampleRecordingOptions options;
    options.durationSeconds = option(args, "--recording-seconds", 120);
    options.mediaItems = 20;
    const SampleRecordingResult made =
        QCoro::waitFor(makeSampleRecording(&session.processes(), dir.filePath("lecture"), options));
    if (!made.error.isEmpty()) {
        out << made.error << Qt::endl;
        return 1;
    }
    CVideoItem item;
    item.fileName = "project.qvp";
    item.title = "Stall";
    item.path = made.path;
    item.Url = server.url().toString();
    item.account = "demo";
    item.password = "demo";
    item.bEncPassword = true;
    item.folderID = folderId;
    item.contentID = "0";
    item.fileSize = FileSizeBytes(made.path);
    item.dateLastModified = LastModifiedText(made.path);
    session.queue().Add(item);
    qint64 recordingStall = 0;
    QElapsedTimer clock;
    clock.start();
    {
        StallMeter meter;
        QEventLoop loop;
        QObject::connect(&runner, &QueueRunner::runFinished, &loop, &QEventLoop::quit);
        runner.StartNextEntry();
        if (runner.isRunning())
            loop.exec();
        recordingStall = meter.longestMs();
    }
    const double recordingSeconds = double(clock.elapsed()) / 1000;
    const QString state = session.queue().GetEntryCell(made.path, QueueModel::ColState);

    // An archive uploaded chunk by chunk.
    const int megabytes = option(args, "--upload-mb", 256);
    const QString archive = makeArchive(session.processes(), dir.path(), megabytes);
    if (archive.isEmpty()) {
        out << "zip could not make the archive" << Qt::endl;
        return 1;
    }
    // The queue runner hands over the archive's SHA-256 from packing: neither side hashes it whole here.
    QByteArray sha256;
    {
        QFile file(archive);
        QCryptographicHash hash(QCryptographicHash::Sha256);
        if (file.open(QIODevice::ReadOnly) && hash.addData(&file))
            sha256 = hash.result();
    }
    // Rounds of both sides, each after a sync: neither inherits the other's (or the
    // archive's) writeback, which would throttle the server's writes.
    const int rounds = option(args, "--rounds", 3);
    // --link-mbit N: both sides go through a loopback link paced to N Mbit/s,
    // where the upload should run at the link's speed.
    QString url = server.url().toString();
    QProcess link;
    if (const int mbit = option(args, "--link-mbit", 0); mbit > 0) {
        link.start(QCoreApplication::applicationDirPath() + "/bench_queue_link",
                   {QString::number(server.port()), QString::number(qint64(mbit) * 1000000)});
        if (!link.waitForReadyRead(10000)) {
            out << "the paced link did not start" << Qt::endl;
            return 1;
        }
        url = QString::fromLatin1(link.readLine()).section(u' ', 2).trimmed();
    }
    qint64 uploadStall = 0;
    UploadResult uploaded;
    double uploadSeconds = 1e9;
    double curlSeconds = 1e9;
    bool curlDone = true;
    for (int round = 0; round < rounds && curlDone; ++round) {
        // Folders of their own: the same archive is not stored twice in one folder.
        const int chunkedFolder = server.addFolder(QString("Chunked %1").arg(round)).toInt();
        const QString curlFolder = server.addFolder(QString("Curl %1").arg(round));
        ::sync();
        clock.restart();
        {
            StallMeter meter;
            uploaded = QCoro::waitFor(session.transfer().PutFile(url + "/tarn/putFile/", "demo", "demo",
                                                                 chunkedFolder, -1, archive, {},
                                                                 UploadResume{{}, sha256}));
            uploadStall = std::max(uploadStall, meter.longestMs());
        }
        uploadSeconds = std::min(uploadSeconds, double(clock.elapsed()) / 1000);
        ::sync();
        clock.restart();
        curlDone = curlUpload(archive, url, curlFolder, sha256);
        curlSeconds = std::min(curlSeconds, double(clock.elapsed()) / 1000);
    }

    out << "idle loop, 2 s:                longest stall " << idle << " ms" << Qt::endl;
    out << "recording of " << options.durationSeconds << " s (" << state << ", "
        << QString::number(recordingSeconds, 'f', 1) << " s): longest stall " << recordingStall << " ms"
        << Qt::endl;
    out << "upload of " << megabytes << " MiB (" << uploaded.acknowledged / (1 << 20) << " MiB confirmed, "
        << QString::number(uploadSeconds, 'f', 1) << " s): longest stall " << uploadStall << " ms"
        << Qt::endl;
    if (curlDone)
        out << "throughput: chunked upload " << QString::number(megabytes / uploadSeconds, 'f', 1)
            << " MiB/s, one curl request " << QString::number(megabytes / curlSeconds, 'f', 1)
            << " MiB/s, ratio " << QString::number(curlSeconds / uploadSeconds, 'f', 2)
            << " (target: at least 0.9 quiet, 0.8 loaded; load " << QString::fromStdString(loadAverage())
            << ")" << Qt::endl;
    else
        out << "the curl upload failed" << Qt::endl;
    const qint64 worst = std::max(recordingStall, uploadStall);
    out << "targets: under 50 ms (" << (worst < 50 ? "met" : "missed") << "), within 2x the idle loop ("
        << (worst <= 2 * std::max<qint64>(idle, 25) ? "met" : "missed") << ")" << Qt::endl;
    return 0;
}
