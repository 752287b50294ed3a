#pragma once

#include <filesystem>
#include <string>
#include <vector>

// The published versions of ClipFerry: "updates/verinfo.xml" in the data
// folder lists them, "updates/version/VER/patch.zip" holds each patch, and
// "update-key.pem" (owner-only, made on first use) signs every list served.
namespace UpdateStore {

// "update publish VERSION FOLDER [--full] [--draft] [--log TEXT]", "update key",
// "update list"; returns the exit code.
int command(const std::filesystem::path &data, const std::vector<std::string> &args);

// The signed reply of "verinfo.php": the published items newest first, drafts
// only when asked for. False (with `error`) when the list or the key cannot be read.
bool versionList(const std::filesystem::path &data, bool drafts, std::string &reply, std::string &error);

// Files below "updates/" that are never served: the list itself.
bool isPrivate(const std::string &path);

} // namespace UpdateStore
