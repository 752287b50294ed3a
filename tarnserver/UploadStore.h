#pragma once

#include "Database.h"

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

// The bytes of resumable uploads: one file per upload, appended by PATCH requests.
// A chunk is answered only after its bytes are synced and its new offset stored, so
// an offset once confirmed survives a crash. The SHA-256 of the whole archive is
// computed while the bytes arrive, so registering a finished upload does not read it again.
class UploadStore final
{
public:
    using Sink = std::function<bool(const char *, size_t)>;
    using BodyReader = std::function<bool(const Sink &)>; // false when the body ended early

    enum class PatchStatus
    {
        Done,
        Cut,
        NotFound,
        Conflict,
        Locked,
        ChecksumMismatch,
        TooLong,
        Failed
    };
    struct PatchResult
    {
        PatchStatus status;
        std::int64_t offset;
    };

    static constexpr std::int64_t kMaxLength = std::int64_t(2) << 30; // 2 GiB
    static constexpr std::int64_t kLifetimeSeconds = 24 * 60 * 60;

    UploadStore(Database &db, std::filesystem::path folder);
    ~UploadStore();
    UploadStore(const UploadStore &) = delete;
    UploadStore &operator=(const UploadStore &) = delete;

    Upload create(std::int64_t account, std::int64_t length, std::int64_t folder, std::int64_t content,
                  const std::string &filename, const std::string &sha256);
    // The account's upload when it exists and has not expired (an expired one is deleted).
    std::optional<Upload> find(const std::string &id, std::int64_t account);
    // Appends a request body at offset; sha1 is the raw 20-byte digest the body must have, or empty.
    PatchResult patch(const std::string &id, std::int64_t offset, const std::string &sha1,
                      const BodyReader &read);
    // Waits until no other request registers the upload; the registration is this request's
    // until the returned holder is released.
    std::shared_ptr<void> holdRegistration(const std::string &id);
    // SHA-256 (hex) of a complete upload.
    std::optional<std::string> sha256Of(const Upload &upload);
    std::filesystem::path pathOf(const std::string &id) const;
    void remove(const std::string &id);
    void expire();
    // At start: deletes the bytes of uploads whose row is gone (their registration committed
    // before the server stopped).
    void recover();

private:
    struct Slot;
    std::shared_ptr<Slot> slot(const std::string &id);

    Database &m_db;
    std::filesystem::path m_folder;
    std::mutex m_mutex;
    std::map<std::string, std::shared_ptr<Slot>> m_slots;
};

std::int64_t unixNow();
