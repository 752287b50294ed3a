// bench_queue_link TARGET_PORT BITS_PER_SECOND
//
// A loopback link to the server listening on TARGET_PORT that passes at most
// BITS_PER_SECOND towards it, as a slow uplink would. Prints
// "listening on http://127.0.0.1:PORT" and runs until it is ended.

#include "support/CuttingProxy.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    bool portOk = false;
    bool rateOk = false;
    const quint16 target = args.value(1).toUShort(&portOk);
    const qint64 bitsPerSecond = args.value(2).toLongLong(&rateOk);
    if (!portOk || !rateOk || bitsPerSecond <= 0) {
        QTextStream(stderr) << "usage: bench_queue_link TARGET_PORT BITS_PER_SECOND" << Qt::endl;
        return 2;
    }
    CuttingProxy link(target, {});
    link.setPace(bitsPerSecond / 8);
    QTextStream(stdout) << "listening on http://127.0.0.1:" << link.port() << Qt::endl;
    return app.exec();
}
