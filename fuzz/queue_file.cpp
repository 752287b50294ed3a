// The queue file: its loader (records, states, passwords), and the writer
// reading back what it saved.
#include "FuzzInput.h"
#include "common/Lang.h"
#include "queue/QueueFile.h"
#include "queue/QueueModel.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const LanguageTable language;
    const QByteArray bytes = fuzzBytes(data, size);
    const QString path = fuzzFile(bytes, QStringLiteral("queue.xml"));
    QueueModel queue(language);
    QueueFile::LoadQueue(path, queue);
    if (!QueueFile::SaveQueue(path, queue))
        std::abort();
    QueueModel again(language);
    QueueFile::LoadQueue(path, again);
    if (again.count() != queue.count())
        std::abort();
    for (int row = 0; row < queue.count(); ++row) {
        const CVideoItem &saved = queue.entries().at(row).item;
        const CVideoItem &read = again.entries().at(row).item;
        if (read.path != saved.path || read.title != saved.title || read.password != saved.password ||
            read.fileSize != saved.fileSize || read.OverwriteUrl != saved.OverwriteUrl)
            std::abort();
    }
    return 0;
}
