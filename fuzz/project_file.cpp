// A recorder's project file, loaded as the Add dialog and the upload load it.
#include "FuzzInput.h"
#include "common/Lang.h"
#include "platform/Messages.h"
#include "recorder/CProjectFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const LanguageTable language;
    Messages::Channel messages;
    messages.record();
    CProjectFile project(language, messages);
    project.Load(fuzzFile(fuzzBytes(data, size), QStringLiteral("project.qvp")), true);
    return 0;
}
