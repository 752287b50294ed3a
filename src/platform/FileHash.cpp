#include "platform/FileHash.h"

#include "platform/Background.h"

#include <QFile>
#include <algorithm>
#include <memory>

FilePart readFilePart(const QString &path, qint64 start, qint64 length,
                      QCryptographicHash::Algorithm algorithm, bool keepBytes, const std::atomic_bool *cancel)
{
    constexpr qint64 kStep = 1024 * 1024;
    const bool toEnd = length < 0;
    keepBytes = keepBytes && !toEnd;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(start))
        return {};
    QCryptographicHash hash(algorithm);
    QByteArray kept(keepBytes ? length : 0, Qt::Uninitialized);
    QByteArray buffer(keepBytes ? 0 : kStep, Qt::Uninitialized);
    for (qint64 done = 0; toEnd || done < length;) {
        if (cancel && cancel->load())
            return {};
        char *at = keepBytes ? kept.data() + done : buffer.data();
        const qint64 got = file.read(at, toEnd ? kStep : std::min(kStep, length - done));
        if (got < 0 || (got == 0 && !toEnd))
            return {};
        if (got == 0)
            break;
        hash.addData(QByteArrayView(at, got));
        done += got;
    }
    return FilePart{std::move(kept), hash.result()};
}

QCoro::Task<FilePart> readFilePartOffLoop(QString path, qint64 start, qint64 length,
                                          QCryptographicHash::Algorithm algorithm, bool keepBytes,
                                          StopToken stop)
{
    // The token's state is read on the loop only; the pool thread reads this flag.
    auto cancel = std::make_shared<std::atomic_bool>(stop.stopRequested());
    const auto connection = QObject::connect(stop.state(), &StopState::stopRequested, stop.state(),
                                             [cancel] { cancel->store(true); });
    QFuture<FilePart> reading = offLoop([path, start, length, algorithm, keepBytes, cancel] {
        return readFilePart(path, start, length, algorithm, keepBytes, cancel.get());
    });
    FilePart part = co_await reading;
    QObject::disconnect(connection);
    co_return part;
}
