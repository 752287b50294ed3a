#include "ZipArchive.h"

#include <algorithm>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace {

constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::uint64_t kMaxDirectoryBytes = 64u << 20;
constexpr size_t kMaxEntries = 200000;

class File
{
public:
    explicit File(const std::string &path, int flags = O_RDONLY, mode_t mode = 0)
        : m_fd(::open(path.c_str(), flags | O_CLOEXEC, mode))
    {}
    ~File()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    File(const File &) = delete;
    File &operator=(const File &) = delete;

    bool ok() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    std::uint64_t size() const
    {
        struct stat st
        {
        };
        return fstat(m_fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    }
    bool readAt(std::uint64_t offset, void *buffer, size_t length) const
    {
        auto *p = static_cast<char *>(buffer);
        while (length > 0) {
            const ssize_t n = ::pread(m_fd, p, length, static_cast<off_t>(offset));
            if (n <= 0)
                return false;
            p += n;
            offset += static_cast<std::uint64_t>(n);
            length -= static_cast<size_t>(n);
        }
        return true;
    }

private:
    int m_fd;
};

std::uint64_t le(const unsigned char *p, int bytes)
{
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

// Replaces the 32-bit fields that overflowed with the zip64 extra field's values.
bool applyZip64(ZipEntry &entry, std::uint64_t &localOffset, const unsigned char *extra, size_t length)
{
    size_t pos = 0;
    while (pos + 4 <= length) {
        const auto id = le(extra + pos, 2);
        const auto size = le(extra + pos + 2, 2);
        if (pos + 4 + size > length)
            return false;
        if (id == 1) {
            const unsigned char *p = extra + pos + 4;
            const unsigned char *end = p + size;
            for (std::uint64_t *field : {&entry.size, &entry.compressedSize, &localOffset}) {
                if (*field != 0xffffffffu)
                    continue;
                if (p + 8 > end)
                    return false;
                *field = le(p, 8);
                p += 8;
            }
        }
        pos += 4 + size;
    }
    return true;
}

} // namespace

bool isSafeEntryName(std::string_view name)
{
    if (name.empty() || name.front() == '/' || name.front() == '\\')
        return false;
    if (name.size() >= 2 && name[1] == ':')
        return false; // drive letter
    if (name.find('\0') != std::string_view::npos || name.find('\\') != std::string_view::npos)
        return false;
    size_t start = 0;
    while (start <= name.size()) {
        const size_t end = std::min(name.find('/', start), name.size());
        const std::string_view part = name.substr(start, end - start);
        if (part == ".." || part == ".")
            return false;
        if (part.empty() && end != name.size())
            return false; // "a//b"
        start = end + 1;
    }
    return true;
}

std::optional<ZipArchive> ZipArchive::open(const std::string &path, std::string &error)
{
    File file(path);
    if (!file.ok()) {
        error = "cannot open the archive";
        return std::nullopt;
    }
    const std::uint64_t fileSize = file.size();
    const std::uint64_t tailSize = std::min<std::uint64_t>(fileSize, 22 + 65535);
    if (tailSize < 22) {
        error = "not a zip archive (too short)";
        return std::nullopt;
    }
    std::vector<unsigned char> tail(tailSize);
    if (!file.readAt(fileSize - tailSize, tail.data(), tail.size())) {
        error = "cannot read the archive";
        return std::nullopt;
    }
    std::int64_t endPos = -1;
    for (std::int64_t i = static_cast<std::int64_t>(tailSize) - 22; i >= 0; --i) {
        if (le(&tail[static_cast<size_t>(i)], 4) == kEndSignature) {
            endPos = i;
            break;
        }
    }
    if (endPos < 0) {
        error = "not a zip archive (no end of central directory)";
        return std::nullopt;
    }
    const unsigned char *end = &tail[static_cast<size_t>(endPos)];
    const std::uint64_t endOffset = fileSize - tailSize + static_cast<std::uint64_t>(endPos);
    std::uint64_t count = le(end + 10, 2);
    std::uint64_t directorySize = le(end + 12, 4);
    std::uint64_t directoryOffset = le(end + 16, 4);
    std::uint64_t directoryEnd = endOffset;
    if (le(end + 4, 2) != 0 || le(end + 6, 2) != 0) {
        error = "multi-part archives are not supported";
        return std::nullopt;
    }
    if (count == 0xffff || directorySize == 0xffffffffu || directoryOffset == 0xffffffffu) {
        unsigned char locator[20];
        unsigned char record[56];
        if (endOffset < 20 || !file.readAt(endOffset - 20, locator, 20) ||
            le(locator, 4) != kZip64LocatorSignature) {
            error = "zip64 locator missing";
            return std::nullopt;
        }
        const std::uint64_t recordOffset = le(locator + 8, 8);
        if (recordOffset + 56 > endOffset || !file.readAt(recordOffset, record, 56) ||
            le(record, 4) != kZip64EndSignature) {
            error = "zip64 end record missing";
            return std::nullopt;
        }
        count = le(record + 32, 8);
        directorySize = le(record + 40, 8);
        directoryOffset = le(record + 48, 8);
        directoryEnd = recordOffset;
    }
    if (directoryOffset > directoryEnd || directorySize > directoryEnd - directoryOffset ||
        directorySize > kMaxDirectoryBytes || count > kMaxEntries) {
        error = "central directory out of bounds";
        return std::nullopt;
    }
    std::vector<unsigned char> directory(directorySize);
    if (!file.readAt(directoryOffset, directory.data(), directory.size())) {
        error = "cannot read the central directory";
        return std::nullopt;
    }

    ZipArchive archive;
    archive.m_path = path;
    // Where each entry's local header begins, to find entries that share their bytes.
    std::vector<std::pair<std::uint64_t, size_t>> starts;
    size_t pos = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        if (pos + 46 > directory.size() || le(&directory[pos], 4) != kCentralSignature) {
            error = "central directory damaged";
            return std::nullopt;
        }
        const unsigned char *h = &directory[pos];
        ZipEntry entry;
        entry.flags = static_cast<std::uint16_t>(le(h + 8, 2));
        entry.method = static_cast<std::uint16_t>(le(h + 10, 2));
        entry.crc = static_cast<std::uint32_t>(le(h + 16, 4));
        entry.compressedSize = le(h + 20, 4);
        entry.size = le(h + 24, 4);
        const size_t nameLength = le(h + 28, 2);
        const size_t extraLength = le(h + 30, 2);
        const size_t commentLength = le(h + 32, 2);
        std::uint64_t localOffset = le(h + 42, 4);
        if (pos + 46 + nameLength + extraLength + commentLength > directory.size()) {
            error = "central directory damaged";
            return std::nullopt;
        }
        entry.name.assign(reinterpret_cast<const char *>(h + 46), nameLength);
        if (!applyZip64(entry, localOffset, h + 46 + nameLength, extraLength)) {
            error = "damaged extra field of " + entry.name;
            return std::nullopt;
        }
        pos += 46 + nameLength + extraLength + commentLength;

        unsigned char local[30];
        if (localOffset + 30 > directoryOffset || !file.readAt(localOffset, local, 30) ||
            le(local, 4) != kLocalSignature) {
            error = "local header of " + entry.name + " missing";
            return std::nullopt;
        }
        entry.dataOffset = localOffset + 30 + le(local + 26, 2) + le(local + 28, 2);
        if (entry.dataOffset > directoryOffset || entry.compressedSize > directoryOffset - entry.dataOffset) {
            error = "data of " + entry.name + " lies outside the archive";
            return std::nullopt;
        }
        starts.emplace_back(localOffset, archive.m_entries.size());
        archive.m_entries.push_back(std::move(entry));
    }
    // Entries that overlap would let a small archive extract to any size.
    std::sort(starts.begin(), starts.end());
    for (size_t i = 1; i < starts.size(); ++i) {
        const ZipEntry &before = archive.m_entries[starts[i - 1].second];
        if (starts[i].first < before.dataOffset + before.compressedSize) {
            error =
                "entries " + before.name + " and " + archive.m_entries[starts[i].second].name + " overlap";
            return std::nullopt;
        }
    }
    std::vector<std::string_view> names;
    for (const ZipEntry &e : archive.m_entries)
        names.emplace_back(e.name);
    std::sort(names.begin(), names.end());
    if (const auto twice = std::adjacent_find(names.begin(), names.end()); twice != names.end()) {
        error = std::string(*twice) + " is in the archive twice";
        return std::nullopt;
    }
    return archive;
}

const ZipEntry *ZipArchive::find(std::string_view name) const
{
    const auto it =
        std::find_if(m_entries.begin(), m_entries.end(), [&](const ZipEntry &e) { return e.name == name; });
    return it == m_entries.end() ? nullptr : &*it;
}

std::uint64_t ZipArchive::totalSize() const
{
    std::uint64_t total = 0;
    for (const ZipEntry &e : m_entries)
        total += e.size;
    return total;
}

bool ZipArchive::read(const ZipEntry &entry, std::string &out, size_t maxBytes, std::string &error) const
{
    if (entry.size > maxBytes) {
        error = entry.name + " is too large";
        return false;
    }
    File file(m_path);
    std::string raw(entry.compressedSize, '\0');
    if (!file.ok() || !file.readAt(entry.dataOffset, raw.data(), raw.size())) {
        error = "cannot read " + entry.name;
        return false;
    }
    if (entry.method == 0) {
        out = std::move(raw);
    } else if (entry.method == 8) {
        out.assign(entry.size, '\0');
        z_stream z{};
        if (inflateInit2(&z, -MAX_WBITS) != Z_OK) {
            error = "inflate failed";
            return false;
        }
        z.next_in = reinterpret_cast<Bytef *>(raw.data());
        z.avail_in = static_cast<uInt>(raw.size());
        z.next_out = reinterpret_cast<Bytef *>(out.data());
        z.avail_out = static_cast<uInt>(out.size());
        const int rc = inflate(&z, Z_FINISH);
        const bool complete = rc == Z_STREAM_END && z.total_out == entry.size;
        inflateEnd(&z);
        if (!complete) {
            error = entry.name + " does not inflate to its stated size";
            return false;
        }
    } else {
        error = entry.name + " uses an unsupported compression method";
        return false;
    }
    if (out.size() != entry.size ||
        crc32(0, reinterpret_cast<const Bytef *>(out.data()), static_cast<uInt>(out.size())) != entry.crc) {
        error = entry.name + " fails its CRC check";
        return false;
    }
    return true;
}

ZipArchive::Extracted ZipArchive::extract(const ZipEntry &entry, const std::string &target,
                                          std::string &error) const
{
    if (entry.method != 0 || entry.size != entry.compressedSize) {
        error = entry.name + " is not stored";
        return Extracted::Damaged;
    }
    File in(m_path);
    File out(target, O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (!in.ok() || !out.ok()) {
        error = "cannot extract " + entry.name;
        return Extracted::Failed;
    }
    constexpr size_t kBuffer = 1 << 20;
    const auto buffer = std::make_unique<char[]>(kBuffer);
    uLong crc = crc32(0, nullptr, 0);
    std::uint64_t done = 0;
    while (done < entry.size) {
        const size_t n = static_cast<size_t>(std::min<std::uint64_t>(kBuffer, entry.size - done));
        if (!in.readAt(entry.dataOffset + done, buffer.get(), n)) {
            error = "cannot read " + entry.name;
            return Extracted::Failed;
        }
        crc = crc32(crc, reinterpret_cast<const Bytef *>(buffer.get()), static_cast<uInt>(n));
        for (size_t written = 0; written < n;) {
            const ssize_t w = ::write(out.fd(), buffer.get() + written, n - written);
            if (w <= 0) {
                error = "cannot write " + entry.name;
                return Extracted::Failed;
            }
            written += static_cast<size_t>(w);
        }
        done += n;
    }
    if (crc != entry.crc) {
        error = entry.name + " fails its CRC check";
        return Extracted::Damaged;
    }
    return Extracted::Done;
}
