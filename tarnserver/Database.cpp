#include "Database.h"

#include <sqlite3.h>
#include <stdexcept>

namespace {

const char *const kSchema = R"(
CREATE TABLE IF NOT EXISTS settings(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS accounts(
  id INTEGER PRIMARY KEY, name TEXT UNIQUE NOT NULL, salt TEXT NOT NULL,
  plain_hash TEXT NOT NULL, md5_hash TEXT NOT NULL, disabled INTEGER NOT NULL DEFAULT 0,
  quota_mb INTEGER NOT NULL, maxsize_mb INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS folders(
  id INTEGER PRIMARY KEY, parent INTEGER NOT NULL, name TEXT NOT NULL, uploadable INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS contents(
  id INTEGER PRIMARY KEY, folder INTEGER NOT NULL, account INTEGER NOT NULL, kind TEXT NOT NULL,
  type TEXT NOT NULL, title TEXT NOT NULL, author TEXT NOT NULL, size INTEGER NOT NULL,
  created INTEGER NOT NULL, updated INTEGER NOT NULL, video TEXT NOT NULL, thumb TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS uploads(
  id TEXT PRIMARY KEY, account INTEGER NOT NULL, length INTEGER NOT NULL, offset INTEGER NOT NULL,
  folder INTEGER NOT NULL, content INTEGER NOT NULL, filename TEXT NOT NULL, sha256 TEXT NOT NULL,
  created INTEGER NOT NULL, expires INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS registrations(
  upload TEXT PRIMARY KEY, sha256 TEXT NOT NULL, account INTEGER NOT NULL, content INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS registrations_content ON registrations(content);
CREATE TABLE IF NOT EXISTS announcements(
  account INTEGER NOT NULL, folder INTEGER NOT NULL, kind TEXT NOT NULL, target INTEGER NOT NULL,
  at INTEGER NOT NULL, PRIMARY KEY(account, folder));
)";

} // namespace

namespace {

class Statement
{
public:
    Statement(sqlite3 *db, const char *sql) : m_db(db)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string("database: ") + sqlite3_errmsg(db));
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    template <typename... Args> Statement &bind(const Args &...args)
    {
        int index = 0;
        (bindOne(++index, args), ...);
        return *this;
    }

    // True while a row is available.
    bool step()
    {
        const int rc = sqlite3_step(m_stmt);
        if (rc == SQLITE_ROW)
            return true;
        if (rc != SQLITE_DONE)
            throw std::runtime_error(std::string("database: ") + sqlite3_errmsg(m_db));
        return false;
    }

    std::int64_t integer(int column) { return sqlite3_column_int64(m_stmt, column); }
    std::string text(int column)
    {
        const auto *p = sqlite3_column_text(m_stmt, column);
        const int n = sqlite3_column_bytes(m_stmt, column);
        return p ? std::string(reinterpret_cast<const char *>(p), static_cast<size_t>(n)) : std::string();
    }

private:
    void bindOne(int i, std::int64_t v) { sqlite3_bind_int64(m_stmt, i, v); }
    void bindOne(int i, int v) { sqlite3_bind_int64(m_stmt, i, v); }
    void bindOne(int i, bool v) { sqlite3_bind_int64(m_stmt, i, v ? 1 : 0); }
    void bindOne(int i, const std::string &v)
    {
        sqlite3_bind_text(m_stmt, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    }

    sqlite3 *m_db;
    sqlite3_stmt *m_stmt = nullptr;
};

Account readAccount(Statement &s)
{
    return Account{s.integer(0), s.text(1),    s.integer(2) != 0,
                   s.integer(3), s.integer(4), PasswordRecord{s.text(5), s.text(6), s.text(7)}};
}

Content readContent(Statement &s)
{
    return Content{s.integer(0), s.integer(1), s.integer(2), s.text(3),    s.text(4),  s.text(5),
                   s.text(6),    s.integer(7), s.integer(8), s.integer(9), s.text(10), s.text(11)};
}

const char *const kAccountColumns = "id, name, disabled, quota_mb, maxsize_mb, salt, plain_hash, md5_hash";
const char *const kContentColumns =
    "id, folder, account, kind, type, title, author, size, created, updated, video, thumb";

} // namespace

Database::Database(const std::string &path)
{
    if (sqlite3_open_v2(path.c_str(), &m_db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        const std::string message = m_db ? sqlite3_errmsg(m_db) : "out of memory";
        sqlite3_close(m_db);
        throw std::runtime_error("cannot open database " + path + ": " + message);
    }
    // An admin command may write while the server runs: wait for the other writer.
    sqlite3_busy_timeout(m_db, 10000);
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA synchronous=NORMAL");
    exec(kSchema);
}

Database::~Database()
{
    sqlite3_close(m_db);
}

void Database::exec(const char *sql)
{
    char *error = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error ? error : "unknown error";
        sqlite3_free(error);
        throw std::runtime_error("database: " + message);
    }
}

bool Database::isNew()
{
    std::lock_guard lock(m_mutex);
    Statement s(m_db, "SELECT (SELECT COUNT(*) FROM accounts) + (SELECT COUNT(*) FROM folders)"
                      " + (SELECT COUNT(*) FROM settings)");
    return s.step() && s.integer(0) == 0;
}

std::string Database::setting(const std::string &key)
{
    std::lock_guard lock(m_mutex);
    Statement s(m_db, "SELECT value FROM settings WHERE key = ?");
    s.bind(key);
    return s.step() ? s.text(0) : std::string();
}

void Database::setSetting(const std::string &key, const std::string &value)
{
    std::lock_guard lock(m_mutex);
    Statement s(m_db, "INSERT INTO settings(key, value) VALUES(?, ?)"
                      " ON CONFLICT(key) DO UPDATE SET value = excluded.value");
    s.bind(key, value).step();
}

std::map<std::string, std::string> Database::settings()
{
    std::lock_guard lock(m_mutex);
    Statement s(m_db, "SELECT key, value FROM settings");
    std::map<std::string, std::string> result;
    while (s.step())
        result[s.text(0)] = s.text(1);
    return result;
}

std::int64_t Database::addAccount(const std::string &name, const PasswordRecord &password,
                                  std::int64_t quotaMb, std::int64_t maxsizeMb)
{
    std::lock_guard lock(m_mutex);
    Statement s(m_db, "INSERT INTO accounts(name, salt, plain_hash, md5_hash, quota_mb, maxsize_mb)"
                      " VALUES(?, ?, ?, ?, ?, ?)");
    s.bind(name, password.salt, password.plainHash, password.md5Hash, quotaMb, maxsizeMb).step();
    return sqlite3_last_insert_rowid(m_db);
}

std::optional<Account> Database::account(const std::string &name)
{
    std::lock_guard lock(m_mutex);
    Statement s(m_db, (std::string("SELECT ") + kAccountColumns + " FROM accounts WHERE name = ?").c_str());
    s.bind(name);
    if (!s.step())
        return std::nullopt;
    return readAccount(s);
}

std::optional<Account> Database::accountById(std::int64_t id)
{
    std::lock_guard lock(m_mutex);
    Statement s(m_db, (std::string("SELECT ") + kAccountColumns + " FROM accounts WHERE id = ?").c_str());
    s.bind(id);
    if (!s.step())
        return std::nullopt;
    return readAccount(s);
}

std::vector<Account> Database::accounts()
{
    std::lock_guard lock(m_mutex);
    Statement s(m_db, (std::string("SELECT ") + kAccountColumns + " FROM accounts ORDER BY id").c_str());
    std::vector<Account> result;
    while (s.step())
        result.push_back(readAccount(s));
    return result;
}

bool Database::setAccountDisabled(const std::string &name, bool disabled)
{
    std::lock_guard lock(m_mutex);
    Statement s(m_db, "UPDATE accounts SET disabled = ? WHERE name = ?");
    s.bind(disabled, name).step();
    return sqlite3_changes(m_db) > 0;
}

std::int64_t Database::addFolder(std::int64_t parent, const std::string &name, bool uploadable)
{
    std::lock_guard lock(m_mutex);
    Statement s(m_db, "INSERT INTO folders(parent, name, uploadable) VALUES(?, ?, ?)");
    s.bind(parent, name, uploadable).step();
    return sqlite3_last_insert_rowid(m_db);
}

std::optional<Folder> Database::folder(std::int64_t id)
{
    std::lock_guard lock(m_mutex);
    Statement s(m_db, "SELECT id, parent, name, uploadable FROM folders WHERE id = ?");
    s.bind(id);
    if (!s.step())
        return std::nullopt;
    return Folder{s.integer(0), s.integer(1), s.text(2), s.integer(3) != 0};
}

std::vector<Folder> Database::folders()
{
    std::lock_guard lock(m_mutex);
    Statement s(m_db, "SELECT id, parent, name, uploadable FROM folders ORDER BY id");
    std::vector<Folder> result;
    while (s.step())
        result.push_back(Folder{s.integer(0), s.integer(1), s.text(2), s.integer(3) != 0});
    return result;
}

std::optional<Content> Database::content(std::int64_t id)
{
    std::lock_guard lock(m_mutex);
    Statement s(m_db, (std::string("SELECT ") + kContentColumns + " FROM contents WHERE id = ?").c_str());
    s.bind(id);
    if (!s.step())
        return std::nullopt;
    return readContent(s);
}

std::vector<Content> Database::contents(std::optional<std::int64_t> account)
{
    std::lock_guard lock(m_mutex);
    const std::string sql = std::string("SELECT ") + kContentColumns + " FROM contents" +
                            (account ? " WHERE account = ?" : "") + " ORDER BY id DESC";
    Statement s(m_db, sql.c_str());
    if (account)
        s.bind(*account);
    std::vector<Content> result;
    while (s.step())
        result.push_back(readContent(s));
    return result;
}

void Database::removeContent(std::int64_t id)
{
    std::lock_guard lock(m_mutex);
    // A removed content's id may be given again: its registrations must not answer for the new one.
    Statement(m_db, "DELETE FROM registrations WHERE content = ?").bind(id).step();
    Statement(m_db, "DELETE FROM contents WHERE id = ?").bind(id).step();
}

std::int64_t Database::nextContentId()
{
    std::lock_guard lock(m_mutex);
    Statement s(m_db, "SELECT COALESCE(MAX(id), 0) + 1 FROM contents");
    return s.step() ? s.integer(0) : 1;
}

std::int64_t Database::usedBytes(std::int64_t account)
{
    std::lock_guard lock(m_mutex);
    Statement s(m_db, "SELECT COALESCE(SUM(size), 0) FROM contents WHERE account = ?");
    s.bind(account);
    return s.step() ? s.integer(0) : 0;
}

void Database::insertUpload(const Upload &u)
{
    std::lock_guard lock(m_mutex);
    Statement s(m_db, "INSERT INTO uploads(id, account, length, offset, folder, content, filename, sha256,"
                      " created, expires) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    s.bind(u.id, u.account, u.length, u.offset, u.folder, u.content, u.filename, u.sha256, u.created,
           u.expires)
        .step();
}

std::optional<Upload> Database::upload(const std::string &id)
{
    std::lock_guard lock(m_mutex);
    Statement s(m_db, "SELECT id, account, length, offset, folder, content, filename, sha256, created,"
                      " expires FROM uploads WHERE id = ?");
    s.bind(id);
    if (!s.step())
        return std::nullopt;
    return Upload{s.text(0),    s.integer(1), s.integer(2), s.integer(3), s.integer(4),
                  s.integer(5), s.text(6),    s.text(7),    s.integer(8), s.integer(9)};
}

void Database::setUploadOffset(const std::string &id, std::int64_t offset)
{
    std::lock_guard lock(m_mutex);
    Statement s(m_db, "UPDATE uploads SET offset = ? WHERE id = ?");
    s.bind(offset, id).step();
}

void Database::removeUpload(const std::string &id)
{
    std::lock_guard lock(m_mutex);
    Statement s(m_db, "DELETE FROM uploads WHERE id = ?");
    s.bind(id).step();
}

std::vector<std::string> Database::expiredUploads(std::int64_t now)
{
    std::lock_guard lock(m_mutex);
    Statement s(m_db, "SELECT id FROM uploads WHERE expires <= ?");
    s.bind(now);
    std::vector<std::string> result;
    while (s.step())
        result.push_back(s.text(0));
    return result;
}

std::vector<std::string> Database::uploadIds()
{
    std::lock_guard lock(m_mutex);
    Statement s(m_db, "SELECT id FROM uploads");
    std::vector<std::string> result;
    while (s.step())
        result.push_back(s.text(0));
    return result;
}

std::optional<Registration> Database::registration(const std::string &upload)
{
    std::lock_guard lock(m_mutex);
    Statement s(m_db, "SELECT upload, sha256, account, content FROM registrations WHERE upload = ?");
    s.bind(upload);
    if (!s.step())
        return std::nullopt;
    return Registration{s.text(0), s.text(1), s.integer(2), s.integer(3)};
}

void Database::commitRegistration(const Content &c, bool replace, const Registration &r)
{
    std::lock_guard lock(m_mutex);
    exec("BEGIN IMMEDIATE");
    try {
        if (replace) {
            Statement(m_db, "UPDATE contents SET folder = ?, account = ?, kind = ?, type = ?, title = ?,"
                            " author = ?, size = ?, updated = ?, video = ?, thumb = ? WHERE id = ?")
                .bind(c.folder, c.account, c.kind, c.type, c.title, c.author, c.size, c.updated, c.video,
                      c.thumb, c.id)
                .step();
        } else {
            Statement(m_db, "INSERT INTO contents(id, folder, account, kind, type, title, author, size,"
                            " created, updated, video, thumb) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")
                .bind(c.id, c.folder, c.account, c.kind, c.type, c.title, c.author, c.size, c.created,
                      c.updated, c.video, c.thumb)
                .step();
        }
        Statement(m_db, "INSERT INTO registrations(upload, sha256, account, content) VALUES(?, ?, ?, ?)")
            .bind(r.upload, r.sha256, r.account, r.content)
            .step();
        Statement(m_db, "DELETE FROM uploads WHERE id = ?").bind(r.upload).step();
        exec("COMMIT");
    } catch (...) {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void Database::announce(std::int64_t account, std::int64_t folder, const Announcement &a)
{
    std::lock_guard lock(m_mutex);
    Statement s(m_db, "INSERT INTO announcements(account, folder, kind, target, at) VALUES(?, ?, ?, ?, ?)"
                      " ON CONFLICT(account, folder) DO UPDATE SET kind = excluded.kind,"
                      " target = excluded.target, at = excluded.at");
    s.bind(account, folder, a.kind, a.target, a.at).step();
}

std::optional<Announcement> Database::announcement(std::int64_t account, std::int64_t folder)
{
    std::lock_guard lock(m_mutex);
    Statement s(m_db, "SELECT kind, target, at FROM announcements WHERE account = ? AND folder = ?");
    s.bind(account, folder);
    if (!s.step())
        return std::nullopt;
    return Announcement{s.text(0), s.integer(1), s.integer(2)};
}
