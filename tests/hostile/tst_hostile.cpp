// Hostile peers on loopback: the client against servers that redirect, drip and flood; the real
// server against clients that send slow headers, huge bodies and many ranges. Each case asserts
// its bound; bench_hostile_server measures the server's memory and reply times under attack.

#include "CannedServer.h"
#include "TestHttp.h"
#include "server/TransferControl.h"
#include "support/ServerProcess.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <memory>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

constexpr qint64 kFileSize = 5 * 1024 * 1024;

// A client that sends its headers a line at a time and never ends them, or
// one that announces a huge body and sends it as fast as the server takes it.
struct Attacker
{
    std::unique_ptr<QTcpSocket> socket = std::make_unique<QTcpSocket>();
    QByteArray answer;
    qint64 closedAfter = -1;
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
};

void TestHostile::initTestCase()
{
    QVERIFY(m_tmp.isValid());
    const QString data = m_tmp.filePath(u"data"_s);
    QVERIFY(QDir().mkpath(data + u"/updates"_s));
    writeFile(data + u"/updates/big.bin"_s, QByteArray(kFileSize, 'r'));
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
    QTest::addColumn<CannedServer::Mode>("mode");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("problem");
    using M = CannedServer::Mode;
    // Canned: a 307 to a server that would answer well.
    QTest::newRow("listing redirected to another port")
        << M::Canned << u"/tarn/getfolder/"_s << u"redirected to another address"_s;
    QTest::newRow("upload creation redirected to another port")
        << M::Canned << u"/tarn/putFile/"_s << u"redirected to another address"_s;
    QTest::newRow("silent") << M::Silent << u"/tarn/getfolder/"_s << u"127.0.0.1: no answer for 1 seconds"_s;
    QTest::newRow("a byte every 100 ms")
        << M::Drip << u"/tarn/getfolder/"_s << u"no complete answer within 2"_s;
    QTest::newRow("600 MB announced") << M::Flood << u"/tarn/getfolder/"_s << u"reply is larger than"_s;
    QTest::newRow("600 MB unannounced")
        << M::FloodUnannounced << u"/tarn/getfolder/"_s << u"reply is larger than"_s;
}

void TestHostile::clientBounds()
{
    QFETCH(CannedServer::Mode, mode);
    QFETCH(QString, path);
    QFETCH(QString, problem);
    CannedServer elsewhere({"<?xml version=\"1.0\"?><tarn ver=\"2.0\"><errInfo/></tarn>"});
    CannedServer peer({"HTTP/1.1 307 Temporary Redirect\r\nLocation: http://" + elsewhere.address().toUtf8() +
                       path.toUtf8() + "\r\nContent-Length: 0\r\n\r\n"},
                      mode);
    QNetworkAccessManager network;
    TransferControl control(network);
    control.setLimits({.idle = 1s, .deadline = 2s, .retries = 0});

    // A call that never ends is stopped, so that it fails here instead of hanging.
    StopSource giveUp;
    QTimer::singleShot(15s, &control, [&giveUp] { giveUp.requestStop(); });
    QElapsedTimer clock;
    clock.start();
    const QString address = u"http://"_s + peer.address() + path;
    const QString error =
        path.contains(u"putFile"_s)
            ? QCoro::waitFor(control.PutFile(address, u"demo"_s, u"pw"_s, 1, 0,
                                             m_tmp.filePath(u"data/updates/big.bin"_s), giveUp.token()))
                  .error
            : QCoro::waitFor(control.Request(address, u"demo"_s, u"pw"_s, u"tool=v.1"_s, giveUp.token()))
                  .error;
    QVERIFY2(error.contains(problem), qPrintable(error));
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(elsewhere.seen().isEmpty()); // nothing, credentials least of all
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
}

void TestHostile::attacks()
{
    QFETCH(int, slow);
    QFETCH(int, huge);
    QFETCH(QByteArray, hugeHeaders);
    QFETCH(QByteArray, answer);
    QElapsedTimer clock;
    clock.start();
    QTimer drip;
    std::vector<Attacker> attackers(static_cast<size_t>(slow + huge));
    for (size_t i = 0; i < attackers.size(); ++i) {
        Attacker &a = attackers[i];
        QTcpSocket *socket = a.socket.get();
        connect(socket, &QTcpSocket::disconnected, socket, [&a, &clock] { a.closedAfter = clock.elapsed(); });
        connect(socket, &QTcpSocket::readyRead, socket, [&a, socket] { a.answer += socket->readAll(); });
        socket->connectToHost(QHostAddress::LocalHost, m_server->port());
        if (i < static_cast<size_t>(slow)) {
            connect(&drip, &QTimer::timeout, socket, [socket] { socket->write("X-Slow: a\r\n"); });
            socket->write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n");
            continue;
        }
        connect(socket, &QTcpSocket::bytesWritten, socket, [&a, socket] {
            static const QByteArray block(1024 * 1024, 'a');
            while (a.left > 0 && socket->state() == QAbstractSocket::ConnectedState &&
                   socket->bytesToWrite() < 4 * block.size()) {
                socket->write(block);
                a.left -= block.size();
            }
        });
        socket->write("POST /tarn/getfolder/ HTTP/1.1\r\nHost: 127.0.0.1\r\n" + hugeHeaders + "\r\n");
    }
    drip.start(200);

    // Meanwhile a normal client is served at once, again and again. Unguarded,
    // it waited for a slow sender's 30 s read time-out.
    TestHttp demo(u"demo"_s, u"demo"_s);
    for (int i = 0; i < 5; ++i) {
        QElapsedTimer one;
        one.start();
        QCOMPARE(demo.form(url(u"/tarn/getfolder/"_s), "tool=v.1").xml("errInfo"), QString());
        QVERIFY2(one.elapsed() < 2000, qPrintable(QString::number(one.elapsed())));
        QTest::qWait(400);
    }
    // Every attacker is cut off: a slow one at its header deadline (1.5 s
    // here), a huge one once it has its answer, long before its body is sent.
    QVERIFY(QTest::qWaitFor(
        [&] {
            return std::all_of(attackers.begin(), attackers.end(),
                               [](const Attacker &a) { return a.closedAfter >= 0; });
        },
        10000));
    for (size_t i = 0; i < attackers.size(); ++i) {
        const Attacker &a = attackers[i];
        QVERIFY2(a.closedAfter < 5000, qPrintable(QString::number(a.closedAfter)));
        if (i >= static_cast<size_t>(slow)) {
            QVERIFY2(a.answer.startsWith(answer), a.answer.left(100).constData());
            QVERIFY(a.left > 0);
        }
    }
}

QTEST_GUILESS_MAIN(TestHostile)
#include "tst_hostile.moc"
