// The probe's report parser over ffmpeg's text; the first byte picks the batch form.
#include "FuzzInput.h"
#include "add/VideoProbe.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const QString text = QString::fromUtf8(fuzzBytes(data + 1, size - 1));
    ProbeResult result;
    VideoProbe::parseReport(text, (data[0] & 1) != 0, result);
    VideoProbe::CountVideoStreams(text);
    qint32 width = 0;
    qint32 height = 0;
    VideoProbe::ParseFrameSize(text, width, height);
    return 0;
}
