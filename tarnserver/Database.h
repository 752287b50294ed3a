#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

struct PasswordRecord
{
    std::string salt;
    std::string plainHash;
    std::string md5Hash;
};

struct Account
{
    std::int64_t id = 0;
    std::string name;
    bool disabled = false;
    std::int64_t quotaMb = 0;
    std::int64_t maxsizeMb = 0;
    PasswordRecord password;
};

struct Folder
{
    std::int64_t id = 0;
    std::int64_t parent = 0;
    std::string name;
    bool uploadable = false;
};

struct Content
{
    std::int64_t id = 0;
    std::int64_t folder = 0;
    std::int64_t account = 0;
    std::string kind; // "package" or "zdm"
    std::string type;
    std::string title;
    std::string author;
    std::int64_t size = 0;
    std::int64_t created = 0;
    std::int64_t updated = 0;
    std::string video; // file inside the content folder, may be empty
    std::string thumb;
};

struct Upload
{
    std::string id;
    std::int64_t account = 0;
    std::int64_t length = 0;
    std::int64_t offset = 0;
    std::int64_t folder = 0;
    std::int64_t content = 0;
    std::string filename;
    std::string sha256;
    std::int64_t created = 0;
    std::int64_t expires = 0;
};

// A registered upload: repeating its registration answers with the same content.
struct Registration
{
    std::string upload;
    std::string sha256;
    std::int64_t account = 0;
    std::int64_t content = 0;
};

// What a getVersion request announced for the account's next upload into a folder.
struct Announcement
{
    std::string kind;        // "v" package, "p" Lumetra single-file project
    std::int64_t target = 0; // content named by a document URL, 0 when none
    std::int64_t at = 0;
};

// The server's metadata in one SQLite file (WAL). A single connection serialised
// by a mutex is the one writer; the data itself lives in files beside it.
class Database final
{
public:
    explicit Database(const std::string &path); // throws std::runtime_error
    ~Database();
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    bool isNew();

    std::string setting(const std::string &key);
    void setSetting(const std::string &key, const std::string &value);
    std::map<std::string, std::string> settings();

    std::int64_t addAccount(const std::string &name, const PasswordRecord &password, std::int64_t quotaMb,
                            std::int64_t maxsizeMb);
    std::optional<Account> account(const std::string &name);
    std::optional<Account> accountById(std::int64_t id);
    std::vector<Account> accounts();
    bool setAccountDisabled(const std::string &name, bool disabled);

    std::int64_t addFolder(std::int64_t parent, const std::string &name, bool uploadable);
    std::optional<Folder> folder(std::int64_t id);
    std::vector<Folder> folders();

    std::optional<Content> content(std::int64_t id);
    std::vector<Content> contents(std::optional<std::int64_t> account = std::nullopt);
    // Removes the content and the registrations that named it.
    void removeContent(std::int64_t id);
    // The id a new content gets: one above the highest in use.
    std::int64_t nextContentId();
    std::int64_t usedBytes(std::int64_t account);

    void insertUpload(const Upload &upload);
    std::optional<Upload> upload(const std::string &id);
    void setUploadOffset(const std::string &id, std::int64_t offset);
    void removeUpload(const std::string &id);
    std::vector<std::string> expiredUploads(std::int64_t now);
    std::vector<std::string> uploadIds();

    std::optional<Registration> registration(const std::string &upload);
    // One transaction: the content is inserted with its id (or updated when it replaces one),
    // the registration is recorded and the upload's row removed.
    void commitRegistration(const Content &content, bool replace, const Registration &registration);

    void announce(std::int64_t account, std::int64_t folder, const Announcement &announcement);
    std::optional<Announcement> announcement(std::int64_t account, std::int64_t folder);

private:
    void exec(const char *sql);

    std::mutex m_mutex;
    sqlite3 *m_db = nullptr;
};
