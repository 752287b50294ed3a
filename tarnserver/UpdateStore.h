#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <openssl/evp.h>
#include <string>
#include <vector>

// The published versions of ClipFerry: "updates/verinfo.xml" in the data
// folder lists them, "updates/version/VER/patch.zip" holds each patch, and
// "update-key.pem" (owner-only, made on first use) signs every list served.
namespace UpdateStore {

// "update publish VERSION FOLDER [--full] [--draft] [--log TEXT]", "update key",
// "update list"; returns the exit code.
int command(const std::filesystem::path &data, const std::vector<std::string> &args);

// The signed version lists of one data folder. The key is read (or made) by
// the first list and kept for the later ones.
class VersionLists final
{
public:
    explicit VersionLists(std::filesystem::path data);
    ~VersionLists();
    VersionLists(const VersionLists &) = delete;
    VersionLists &operator=(const VersionLists &) = delete;

    // The signed reply of "verinfo.php": the published items newest first, drafts
    // only when asked for. False (with `error`) when the list or the key cannot be read.
    bool reply(bool drafts, std::string &reply, std::string &error);

private:
    std::filesystem::path m_data;
    std::mutex m_mutex;
    std::shared_ptr<EVP_PKEY> m_key;
};

// Files below "updates/" that are never served: the list itself.
bool isPrivate(const std::string &path);

} // namespace UpdateStore
