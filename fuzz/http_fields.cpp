// What the server parses from a request besides the archive: form bodies and
// their percent-encoding, Basic credentials, Range headers, and the tus
// headers (Upload-Metadata, Upload-Checksum, the offsets and lengths). The
// first byte picks the parser.
#include "HttpUtil.h"
#include "Password.h"
#include "ZipArchive.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    std::string out;
    bool ok = false;
    std::int64_t number = 0;
    switch (data[0] % 6) {
    case 0:
        HttpUtil::parseForm(text);
        break;
    case 1:
        base64Decode(text, out);
        break;
    case 2: {
        bool satisfiable = true;
        for (const std::uint64_t fileSize : {std::uint64_t(0), std::uint64_t(1), std::uint64_t(5000000)})
            HttpUtil::singleRange(text, fileSize, satisfiable);
        break;
    }
    case 3:
        HttpUtil::parseTusMetadata(text, ok);
        break;
    case 4:
        HttpUtil::parseTusChecksum(text, out);
        HttpUtil::parseInteger(text, number);
        break;
    default:
        isSafeEntryName(text);
        HttpUtil::htmlEscape(HttpUtil::urlEncodePath(HttpUtil::urlDecode(text)));
        break;
    }
    return 0;
}
