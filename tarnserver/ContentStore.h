#pragma once

#include "Database.h"
#include "UploadStore.h"

#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>

class ZipArchive;

namespace ErrorCode {
constexpr int Malformed = 1001;
constexpr int Internal = 1002;
constexpr int UnknownAccount = 1101;
constexpr int WrongPassword = 1102;
constexpr int AccountDisabled = 1103;
constexpr int NoFolder = 1201;
constexpr int FolderNotUploadable = 1202;
constexpr int QuotaExceeded = 1301;
constexpr int TooLarge = 1302;
constexpr int NoContent = 1401;
constexpr int NotOwner = 1402;
constexpr int ForeignUrl = 1403;
constexpr int BadArchive = 1501;
constexpr int BadProfile = 1502;
constexpr int ChecksumMismatch = 1503;
constexpr int NoUpload = 1504;
} // namespace ErrorCode

// Where an upload goes: a folder, and the content it replaces (0 for new content).
struct Target
{
    int error = 0;
    std::int64_t folder = 0;
    std::int64_t replace = 0;
    std::string kind = "v"; // "v" package, "p" Lumetra single-file project
};

// What a valid archive describes.
struct PackageInfo
{
    std::string type;
    std::string title;
    std::string author;
    std::string video;
    std::string thumb;
};

// Validates finished uploads and turns them into stored contents: the archive and
// its extracted files under contents/<id>/, the metadata in the database.
class ContentStore final
{
public:
    static constexpr std::int64_t kMegabyte = 1024 * 1024;

    ContentStore(Database &db, UploadStore &uploads, std::filesystem::path folder);

    Target resolveTarget(const Account &account, std::int64_t folder, std::int64_t content);
    // `size` is one upload's (or what it extracts to), `stored` what it keeps on disk in all (default:
    // `size`).
    int sizeError(const Account &account, std::int64_t size, std::int64_t replace, std::int64_t stored = -1);
    std::int64_t maxBytes(const Account &account) const;
    std::int64_t freeBytes(const Account &account);

    struct Registered
    {
        int error = 0;
        std::int64_t content = 0;
        std::string detail; // why an archive was refused, for the log
    };
    // Registers the account's complete upload. A repeat for a registered upload (with the same
    // checksum, when sha256 is given) answers with the content the first one made. A failure that
    // may pass (disk, database, a crash) keeps the upload; only a refused archive deletes it.
    Registered registerUpload(const Account &account, const std::string &upload, const std::string &sha256);
    bool remove(std::int64_t content);
    // At start: finishes or undoes registrations a crash interrupted and clears their staging.
    void recover();
    std::filesystem::path filesOf(std::int64_t content) const;

    static int checkPackage(const ZipArchive &zip, PackageInfo &info, std::string &detail);
    static int checkProject(const ZipArchive &zip, PackageInfo &info, std::string &detail);

private:
    Registered registerHeld(const Account &account, const Upload &upload, const std::string &sha256,
                            const std::filesystem::path &staging);
    // 0, or the code of why the archive could not be laid out.
    int stage(const ZipArchive &zip, const Upload &upload, const Target &target,
              const std::filesystem::path &staging, std::string &detail);
    bool commit(const Content &content, bool replace, const Upload &upload,
                const std::filesystem::path &staging, std::string &detail);

    Database &m_db;
    UploadStore &m_uploads;
    std::filesystem::path m_folder;
    std::mutex m_commit; // quota checks and the final rename happen one upload at a time
    std::chrono::milliseconds m_commitDelay{0}; // for tests that stop the server mid-commit
};
