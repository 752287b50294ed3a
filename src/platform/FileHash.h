#pragma once

#include "platform/StopToken.h"

#include <QByteArray>
#include <QCoroTask>
#include <QCryptographicHash>
#include <QString>
#include <atomic>

// Part of a file read in one pass: each byte comes from disk once, for the
// hash and, when kept, for the caller.
struct FilePart
{
    // The bytes read; empty unless they were asked for.
    QByteArray bytes;
    // The raw digest; empty when the part could not be read whole or the
    // read was cancelled.
    QByteArray hash;
};

// Reads `length` bytes of `path` from `start` (-1: up to the end, and then
// the bytes are not kept) in 1 MiB steps and hashes them with `algorithm`.
// Blocks: call it off the loop. Stops between steps once `cancel` is set.
FilePart readFilePart(const QString &path, qint64 start, qint64 length,
                      QCryptographicHash::Algorithm algorithm, bool keepBytes,
                      const std::atomic_bool *cancel = nullptr);

// readFilePart() on the thread pool: a large file would hold the loop for
// seconds. Stops reading soon after `stop` asks.
QCoro::Task<FilePart> readFilePartOffLoop(QString path, qint64 start, qint64 length,
                                          QCryptographicHash::Algorithm algorithm, bool keepBytes,
                                          StopToken stop = {});
