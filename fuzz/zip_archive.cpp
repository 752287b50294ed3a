// The server's archive checks: the central directory reader, the package and
// project checks, and every entry read as the checks would read it.
#include "ContentStore.h"
#include "ZipArchive.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const std::string path =
        (std::filesystem::temp_directory_path() / ("clipferry-fuzz-" + std::to_string(::getpid()) + ".zip"))
            .string();
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    }
    std::string error;
    const auto zip = ZipArchive::open(path, error);
    if (!zip)
        return 0;
    PackageInfo info;
    std::string detail;
    ContentStore::checkPackage(*zip, info, detail);
    ContentStore::checkProject(*zip, info, detail);
    for (const ZipEntry &entry : zip->entries()) {
        std::string text;
        zip->read(entry, text, 1 << 20, error);
        isSafeEntryName(entry.name);
    }
    return 0;
}
