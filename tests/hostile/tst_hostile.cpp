// Hostile peers on loopback: the client against servers that redirect, drip
// and flood; the real server against clients that send slow headers, huge
// bodies and many ranges. Each case asserts the bound it must keep.

#include "HostilePeer.h"
#include "TestHttp.h"
#include "server/TransferControl.h"
#include "support/ServerProcess.h"

#include <QCoroTask>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <memory>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

constexpr qint64 kFileSize = 5 * 1024 * 1024;

// "VmHWM" (peak) or "VmRSS" of a process, in KiB.
qint64 memoryKib(qint64 pid, const char *field)
{
    QFile status(u"/proc/%1/status"_s.arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qstrlen(field) + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Starts a new peak: the kernel sets the high-water mark back to what is resident now.
void resetPeak(qint64 pid)
{
    QFile clear(u"/proc/%1/clear_refs"_s.arg(pid));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

// A client that sends a request's headers one short line at a time and never ends them.
struct SlowSender
{
    std::unique_ptr<QTcpSocket> socket = std::make_unique<QTcpSocket>();
    std::unique_ptr<QTimer> timer = std::make_unique<QTimer>();
    qint64 closedAfter = -1;
};

// A client that announces a huge body, sends it as fast as the server takes
// it, and keeps the status line of the answer.
struct HugeSender
{
    std::unique_ptr<QTcpSocket> socket = std::make_unique<QTcpSocket>();
    QByteArray answer;
    qint64 left = 300LL * 1024 * 1024;
};

} // namespace

class TestHostile final : public QObject
{
    Q_OBJECT

private:
    QUrl url(const QString &path) const { return m_server->url().resolved(QUrl(path)); }

    QTemporaryDir m_tmp{QDir::tempPath() + u"/hostile-XXXXXX"_s};
    std::unique_ptr<ServerProcess> m_server;

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void clientBounds_data();
    void clientBounds();
    void ranges_data();
    void ranges();
    void attacks_data();
    void attacks();
    void cliPassword_data();
    void cliPassword();
};

void TestHostile::initTestCase()
{
    QVERIFY(m_tmp.isValid());
    const QString data = m_tmp.filePath(u"data"_s);
    QVERIFY(QDir().mkpath(data + u"/updates"_s));
    QFile big(data + u"/updates/big.bin"_s);
    QVERIFY(big.open(QIODevice::WriteOnly) && big.write(QByteArray(kFileSize, 'r')) == kFileSize);
    big.close();
    qputenv("CLIPFERRY_SERVER_HEADER_MS", "1500");
    m_server = std::make_unique<ServerProcess>(data);
    QVERIFY(m_server->start({u"--demo"_s}));
    // The first check of a password is slow on purpose; the timed requests below come after it.
    QCOMPARE(TestHttp(u"demo"_s, u"demo"_s).form(url(u"/tarn/getfolder/"_s), "tool=v.1").xml("errInfo"),
             QString());
}

void TestHostile::cleanupTestCase()
{
    if (m_server)
        QVERIFY(m_server->stop());
}

void TestHostile::clientBounds_data()
{
    QTest::addColumn<HostilePeer::Mode>("mode");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("problem");
    using M = HostilePeer::Mode;
    QTest::newRow("listing redirected to another port")
        << M::Redirect << u"/tarn/getfolder/"_s << u"redirected to another address"_s;
    QTest::newRow("upload creation redirected to another port")
        << M::Redirect << u"/tarn/putFile/"_s << u"redirected to another address"_s;
    QTest::newRow("a byte every 100 ms")
        << M::Drip << u"/tarn/getfolder/"_s << u"no complete answer within 2"_s;
    QTest::newRow("600 MB announced") << M::Flood << u"/tarn/getfolder/"_s << u"reply is larger than"_s;
    QTest::newRow("600 MB unannounced")
        << M::FloodUnannounced << u"/tarn/getfolder/"_s << u"reply is larger than"_s;
}

void TestHostile::clientBounds()
{
    QFETCH(HostilePeer::Mode, mode);
    QFETCH(QString, path);
    QFETCH(QString, problem);
    HostilePeer elsewhere(HostilePeer::Mode::Answer);
    HostilePeer peer(mode);
    peer.setTarget(elsewhere.url(path));
    QNetworkAccessManager network;
    TransferControl control(network);
    TransferControl::Limits limits;
    limits.idle = 1s;
    limits.deadline = 2s;
    limits.retries = 0;
    control.setLimits(limits);
    QFile file(m_tmp.filePath(u"small.zip"_s));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(1000, 'z')) == 1000);
    file.close();

    // A call that never ends is stopped, so that it fails here instead of hanging.
    StopSource giveUp;
    QTimer stopLate;
    stopLate.setSingleShot(true);
    connect(&stopLate, &QTimer::timeout, &stopLate, [&giveUp] { giveUp.requestStop(); });
    stopLate.start(15s);
    const qint64 self = QCoreApplication::applicationPid();
    resetPeak(self);
    const qint64 before = memoryKib(self, "VmRSS");
    QElapsedTimer clock;
    clock.start();
    const QString address = peer.url(path).toString();
    const QString error =
        path.contains(u"putFile"_s)
            ? QCoro::waitFor(
                  control.PutFile(address, u"demo"_s, u"pw"_s, 1, 0, file.fileName(), giveUp.token()))
                  .error
            : QCoro::waitFor(control.Request(address, u"demo"_s, u"pw"_s, u"tool=v.1"_s, giveUp.token()))
                  .error;
    QVERIFY2(error.contains(problem), qPrintable(error));
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    // The peer shares this process and keeps a few MiB in flight; a reply held whole would be 600 MB.
    const qint64 grown = memoryKib(self, "VmHWM") - before;
    QVERIFY2(grown < 200 * 1024, qPrintable(u"grew by %1 KiB"_s.arg(grown)));
    QVERIFY(!peer.authorizations().isEmpty());
    QCOMPARE(elsewhere.authorizations(), QList<QByteArray>()); // nothing, credentials least of all
}

void TestHostile::ranges_data()
{
    QTest::addColumn<QByteArray>("range");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentRange");
    QTest::addColumn<qint64>("length");
    const QByteArray size = QByteArray::number(kFileSize);
    QTest::newRow("one range") << QByteArray("bytes=100-199") << 206 << "bytes 100-199/" + size
                               << qint64(100);
    QTest::newRow("the last bytes") << QByteArray("bytes=-100") << 206
                                    << "bytes " + QByteArray::number(kFileSize - 100) + "-" +
                                           QByteArray::number(kFileSize - 1) + "/" + size
                                    << qint64(100);
    QTest::newRow("an end past the size")
        << QByteArray("bytes=" + QByteArray::number(kFileSize - 1) + "-99999999") << 206
        << "bytes " + QByteArray::number(kFileSize - 1) + "-" + QByteArray::number(kFileSize - 1) + "/" + size
        << qint64(1);
    QTest::newRow("a start past the end")
        << QByteArray("bytes=6000000-") << 416 << "bytes */" + size << qint64(0);
    QByteArray many = "bytes=0-";
    for (int i = 1; i < 40; ++i)
        many += ",0-";
    QTest::newRow("40 whole-file ranges: the file once") << many << 200 << QByteArray() << kFileSize;
}

void TestHostile::ranges()
{
    QFETCH(QByteArray, range);
    QFETCH(int, status);
    QFETCH(QByteArray, contentRange);
    QFETCH(qint64, length);
    TestHttp anonymous({}, {});
    const HttpReply r =
        anonymous.send("GET", url(u"/version_ctrl/clipferry/big.bin"_s), {}, {{"Range", range}});
    QCOMPARE(r.status, status);
    QCOMPARE(r.header("Content-Range"), contentRange);
    QCOMPARE(r.body.size(), length);
}

void TestHostile::attacks_data()
{
    QTest::addColumn<int>("slow");
    QTest::addColumn<int>("huge");
    QTest::addColumn<QByteArray>("hugeHeaders");
    QTest::addColumn<QByteArray>("answer");
    const QByteArray form = "Content-Type: application/x-www-form-urlencoded\r\n";
    const QByteArray length = "Content-Length: 314572800\r\n";
    QTest::newRow("24 slow header senders") << 24 << 0 << QByteArray() << QByteArray();
    QTest::newRow("8 form bodies of 300 MB") << 0 << 8 << form + length << QByteArray("HTTP/1.1 413");
    QTest::newRow("chunked form bodies") << 0 << 4 << form + "Transfer-Encoding: chunked\r\n"
                                         << QByteArray("HTTP/1.1 411");
    QTest::newRow("multipart form body")
        << 0 << 2 << QByteArray("Content-Type: multipart/form-data; boundary=x\r\nContent-Length: 1000\r\n")
        << QByteArray("HTTP/1.1 415");
    QTest::newRow("all together") << 24 << 8 << form + length << QByteArray("HTTP/1.1 413");
}

void TestHostile::attacks()
{
    QFETCH(int, slow);
    QFETCH(int, huge);
    QFETCH(QByteArray, hugeHeaders);
    QFETCH(QByteArray, answer);
    const qint64 pid = m_server->pid();
    resetPeak(pid);
    QElapsedTimer clock;
    clock.start();
    std::vector<SlowSender> slowSenders(static_cast<size_t>(slow));
    for (SlowSender &s : slowSenders) {
        QTcpSocket *socket = s.socket.get();
        connect(socket, &QTcpSocket::disconnected, socket, [&s, &clock] { s.closedAfter = clock.elapsed(); });
        socket->connectToHost(QHostAddress::LocalHost, m_server->port());
        socket->write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n");
        connect(s.timer.get(), &QTimer::timeout, socket, [socket] { socket->write("X-Slow: a\r\n"); });
        s.timer->start(200);
    }
    std::vector<HugeSender> hugeSenders(static_cast<size_t>(huge));
    for (HugeSender &h : hugeSenders) {
        QTcpSocket *socket = h.socket.get();
        const auto more = [&h, socket] {
            static const QByteArray block(1024 * 1024, 'a');
            while (h.left > 0 && socket->state() == QAbstractSocket::ConnectedState &&
                   socket->bytesToWrite() < 4 * block.size()) {
                socket->write(block);
                h.left -= block.size();
            }
        };
        connect(socket, &QTcpSocket::bytesWritten, socket, more);
        connect(socket, &QTcpSocket::readyRead, socket, [&h, socket] { h.answer += socket->readAll(); });
        socket->connectToHost(QHostAddress::LocalHost, m_server->port());
        socket->write("POST /tarn/getfolder/ HTTP/1.1\r\nHost: 127.0.0.1\r\n" + hugeHeaders + "\r\n");
        more();
    }

    // Meanwhile a normal client is served at once, again and again.
    TestHttp demo(u"demo"_s, u"demo"_s);
    qint64 slowest = 0;
    for (int i = 0; i < 6; ++i) {
        QElapsedTimer one;
        one.start();
        const HttpReply r = demo.form(url(u"/tarn/getfolder/"_s), "tool=v.1");
        slowest = std::max(slowest, one.elapsed());
        QCOMPARE(r.xml("errInfo"), QString());
        QTest::qWait(400);
    }
    // Each slow sender is cut off once its header deadline (1.5 s here) has passed.
    QVERIFY(QTest::qWaitFor(
        [&] {
            return std::all_of(slowSenders.begin(), slowSenders.end(),
                               [](const SlowSender &s) { return s.closedAfter >= 0; });
        },
        10000));
    for (const SlowSender &s : slowSenders)
        QVERIFY2(s.closedAfter < 4000, qPrintable(QString::number(s.closedAfter)));
    for (const HugeSender &h : hugeSenders) {
        QVERIFY2(QTest::qWaitFor([&h, &answer] { return h.answer.size() >= answer.size(); }, 10000),
                 qPrintable(h.socket->errorString()));
        QVERIFY2(h.answer.startsWith(answer), h.answer.left(100).constData());
        QVERIFY(h.left > 0); // refused before the body was read
    }
    const qint64 peak = memoryKib(pid, "VmHWM");
    qInfo("server peak %lld MiB, slowest normal reply %lld ms", peak / 1024, slowest);
    QVERIFY2(peak < 150 * 1024, qPrintable(QString::number(peak)));
    QVERIFY2(slowest < 1000, qPrintable(QString::number(slowest)));
}

void TestHostile::cliPassword_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("environment");
    QTest::addColumn<int>("exitCode");
    const QString file = m_tmp.filePath(u"password"_s);
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write("demo\n") == 5);
    QTest::newRow("from the environment") << QStringList() << QByteArray("demo") << 0;
    QTest::newRow("from a file") << QStringList{u"--password-file"_s, file} << QByteArray() << 0;
    QTest::newRow("the file wins") << QStringList{u"--password-file"_s, file} << QByteArray("wrong") << 0;
    QTest::newRow("a file that is not there")
        << QStringList{u"--password-file"_s, file + u".missing"_s} << QByteArray("demo") << 2;
}

void TestHostile::cliPassword()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, environment);
    QFETCH(int, exitCode);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(u"CLIPFERRY_PASSWORD"_s);
    if (!environment.isEmpty())
        env.insert(u"CLIPFERRY_PASSWORD"_s, QString::fromUtf8(environment));
    env.insert(u"CLIPFERRY_HOME"_s, m_tmp.filePath(u"home"_s));
    QProcess cli;
    cli.setProcessEnvironment(env);
    cli.start(QFileInfo(ServerProcess::program()).dir().filePath(u"clipferry-cli"_s),
              QStringList{u"folders"_s, u"--server"_s, m_server->address(), u"--account"_s, u"demo"_s} +
                  args);
    QVERIFY(cli.waitForFinished(60000));
    QVERIFY2(cli.exitCode() == exitCode, cli.readAllStandardError().constData());
}

QTEST_GUILESS_MAIN(TestHostile)
#include "tst_hostile.moc"
