// The queue file: its loader (records, states, passwords) and the layout writer.
#include "FuzzInput.h"
#include "common/Lang.h"
#include "queue/QueueFile.h"
#include "queue/QueueModel.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const LanguageTable language;
    const QByteArray bytes = fuzzBytes(data, size);
    QueueModel queue(language);
    QueueFile::LoadQueue(fuzzFile(bytes, QStringLiteral("queue.xml")), queue);
    QueueFile::LayOutQueueText(bytes);
    return 0;
}
