#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct ZipEntry
{
    std::string name;
    std::uint16_t flags = 0;
    std::uint16_t method = 0; // 0 stored, 8 deflated
    std::uint32_t crc = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;
    std::uint64_t dataOffset = 0;

    bool isDirectory() const { return !name.empty() && name.back() == '/'; }
};

// Reads a zip archive's central directory (zip64 included) and checks that every
// entry's data lies inside the file. Nothing is loaded beyond the directory.
class ZipArchive final
{
public:
    static std::optional<ZipArchive> open(const std::string &path, std::string &error);

    const std::vector<ZipEntry> &entries() const { return m_entries; }
    const ZipEntry *find(std::string_view name) const;
    std::uint64_t totalSize() const;

    // The whole entry in memory (stored or deflated), CRC checked, refused above maxBytes.
    bool read(const ZipEntry &entry, std::string &out, size_t maxBytes, std::string &error) const;
    enum class Extracted
    {
        Done,
        Damaged, // the archive's fault: not stored, or its data fails the CRC
        Failed   // the disk's fault
    };
    // A stored entry streamed to a new file, CRC checked.
    Extracted extract(const ZipEntry &entry, const std::string &target, std::string &error) const;

private:
    std::string m_path;
    std::vector<ZipEntry> m_entries;
};

// A relative path that stays inside the folder it is extracted to.
bool isSafeEntryName(std::string_view name);
