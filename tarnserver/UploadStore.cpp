#include "UploadStore.h"

#include "Password.h"

#include <chrono>
#include <fcntl.h>
#include <future>
#include <set>
#include <stdexcept>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

class Fd
{
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

bool writeAll(int fd, const char *data, size_t size, std::int64_t offset)
{
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, data, size, static_cast<off_t>(offset));
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
        offset += n;
    }
    return true;
}

// Hashes and writes a request body in blocks on a second thread while the
// request's own thread reads the next block from the socket.
class BlockWriter
{
public:
    BlockWriter(int fd, std::int64_t at, EVP_MD_CTX *sha1, EVP_MD_CTX *sha256)
        : m_fd(fd), m_at(at), m_sha1(sha1), m_sha256(sha256)
    {
        m_filling.reserve(kBlock);
        m_writing.reserve(kBlock);
    }
    ~BlockWriter() { wait(); }
    BlockWriter(const BlockWriter &) = delete;
    BlockWriter &operator=(const BlockWriter &) = delete;

    // False once a write failed.
    bool add(const char *data, size_t size)
    {
        m_filling.insert(m_filling.end(), data, data + size);
        return m_filling.size() < kBlock ? m_ok : hand();
    }
    // Hands over the rest and waits for it; false when a write failed.
    bool finish() { return hand() && wait(); }
    // The offset after the bytes taken so far.
    std::int64_t received() const { return m_at + static_cast<std::int64_t>(m_filling.size()); }

private:
    static constexpr size_t kBlock = 1 << 20;

    bool hand()
    {
        if (!wait() || m_filling.empty())
            return m_ok;
        std::swap(m_filling, m_writing);
        m_filling.clear();
        const std::int64_t at = m_at;
        m_at += static_cast<std::int64_t>(m_writing.size());
        try {
            m_stored = std::async(std::launch::async, [this, at] { return store(at); });
        } catch (const std::system_error &) {
            m_ok = store(at);
        }
        return m_ok;
    }
    bool wait()
    {
        if (m_stored.valid())
            m_ok = m_stored.get() && m_ok;
        return m_ok;
    }
    bool store(std::int64_t at)
    {
        EVP_DigestUpdate(m_sha1, m_writing.data(), m_writing.size());
        if (m_sha256)
            EVP_DigestUpdate(m_sha256, m_writing.data(), m_writing.size());
        if (!writeAll(m_fd, m_writing.data(), m_writing.size(), at))
            return false;
        // Start writing back now, so the sync after the chunk finds little left to do.
        ::sync_file_range(m_fd, static_cast<off_t>(at), static_cast<off_t>(m_writing.size()),
                          SYNC_FILE_RANGE_WRITE);
        return true;
    }

    int m_fd;
    std::int64_t m_at; // where the block being filled goes
    EVP_MD_CTX *m_sha1;
    EVP_MD_CTX *m_sha256;
    std::vector<char> m_filling;
    std::vector<char> m_writing;
    std::future<bool> m_stored;
    bool m_ok = true;
};

} // namespace

std::int64_t unixNow()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct UploadStore::Slot
{
    std::timed_mutex lock;
    MdContext sha256;         // state over the first `hashed` bytes
    std::int64_t hashed = -1; // -1: unknown (the server restarted), hash from the file
    std::mutex registering;   // held while a request registers the upload
};

UploadStore::UploadStore(Database &db, std::filesystem::path folder) : m_db(db), m_folder(std::move(folder))
{
    std::filesystem::create_directories(m_folder);
}

UploadStore::~UploadStore() = default;

std::filesystem::path UploadStore::pathOf(const std::string &id) const
{
    return m_folder / (id + ".part");
}

std::shared_ptr<UploadStore::Slot> UploadStore::slot(const std::string &id)
{
    std::lock_guard lock(m_mutex);
    auto &s = m_slots[id];
    if (!s)
        s = std::make_shared<Slot>();
    return s;
}

Upload UploadStore::create(std::int64_t account, std::int64_t length, std::int64_t folder,
                           std::int64_t content, const std::string &filename, const std::string &sha256)
{
    Upload upload;
    upload.id = randomHex(16);
    upload.account = account;
    upload.length = length;
    upload.folder = folder;
    upload.content = content;
    upload.filename = filename;
    upload.sha256 = sha256;
    upload.created = unixNow();
    upload.expires = upload.created + kLifetimeSeconds;
    Fd fd(::open(pathOf(upload.id).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (fd.get() < 0)
        throw std::runtime_error("cannot create upload file");
    auto s = slot(upload.id);
    s->sha256 = newDigest(EVP_sha256());
    s->hashed = 0;
    m_db.insertUpload(upload);
    return upload;
}

std::optional<Upload> UploadStore::find(const std::string &id, std::int64_t account)
{
    auto upload = m_db.upload(id);
    if (!upload || upload->account != account)
        return std::nullopt;
    if (upload->expires <= unixNow()) {
        remove(id);
        return std::nullopt;
    }
    return upload;
}

UploadStore::PatchResult UploadStore::patch(const std::string &id, std::int64_t offset,
                                            const std::string &sha1, const BodyReader &read)
{
    const auto s = slot(id);
    std::unique_lock lock(s->lock, std::defer_lock);
    if (!lock.try_lock_for(std::chrono::seconds(10)))
        return {PatchStatus::Locked, offset};
    const auto upload = m_db.upload(id);
    if (!upload)
        return {PatchStatus::NotFound, 0};
    if (upload->offset != offset)
        return {PatchStatus::Conflict, upload->offset};

    Fd fd(::open(pathOf(id).c_str(), O_WRONLY | O_CLOEXEC));
    if (fd.get() < 0)
        return {PatchStatus::Failed, offset};
    MdContext sha1Ctx = newDigest(EVP_sha1());
    MdContext sha256Ctx;
    if (s->hashed == offset && s->sha256) {
        sha256Ctx = newDigest(EVP_sha256());
        EVP_MD_CTX_copy_ex(sha256Ctx.get(), s->sha256.get());
    }

    BlockWriter writer(fd.get(), offset, sha1Ctx.get(), sha256Ctx.get());
    bool tooLong = false;
    const bool complete = read([&](const char *data, size_t size) {
        if (writer.received() + static_cast<std::int64_t>(size) > upload->length) {
            tooLong = true;
            return false;
        }
        return writer.add(data, size);
    });
    const bool ioError = !writer.finish();
    const std::int64_t end = writer.received();

    const auto dropChunk = [&](PatchStatus status) {
        if (::ftruncate(fd.get(), static_cast<off_t>(offset)) != 0)
            return PatchResult{PatchStatus::Failed, offset};
        return PatchResult{status, offset};
    };
    if (ioError)
        return dropChunk(PatchStatus::Failed);
    if (tooLong)
        return dropChunk(PatchStatus::TooLong);
    if (!sha1.empty()) {
        // A chunk that carries a checksum is kept only whole and verified.
        if (!complete)
            return dropChunk(PatchStatus::Cut);
        if (finishDigest(sha1Ctx.get()) != sha1)
            return dropChunk(PatchStatus::ChecksumMismatch);
    }
    // Answered only once its bytes are synced and its offset stored: the server
    // never goes back behind an offset it confirmed.
    if (::fdatasync(fd.get()) != 0)
        return dropChunk(PatchStatus::Failed);
    m_db.setUploadOffset(id, end);
    s->hashed = sha256Ctx ? end : -1;
    s->sha256 = std::move(sha256Ctx);
    return {complete ? PatchStatus::Done : PatchStatus::Cut, end};
}

std::shared_ptr<void> UploadStore::holdRegistration(const std::string &id)
{
    auto s = slot(id);
    s->registering.lock();
    return std::shared_ptr<void>(nullptr, [s](void *) { s->registering.unlock(); });
}

std::optional<std::string> UploadStore::sha256Of(const Upload &upload)
{
    const auto s = slot(upload.id);
    std::lock_guard lock(s->lock);
    if (s->sha256 && s->hashed == upload.length) {
        MdContext copy = newDigest(EVP_sha256());
        EVP_MD_CTX_copy_ex(copy.get(), s->sha256.get());
        return toHex(finishDigest(copy.get()));
    }
    return sha256OfFile(pathOf(upload.id));
}

void UploadStore::remove(const std::string &id)
{
    std::error_code ec;
    std::filesystem::remove(pathOf(id), ec);
    m_db.removeUpload(id);
    std::lock_guard lock(m_mutex);
    m_slots.erase(id);
}

void UploadStore::recover()
{
    const auto ids = m_db.uploadIds();
    const std::set<std::string> known(ids.begin(), ids.end());
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator(m_folder, ec)) {
        const std::string name = entry.path().filename().string();
        const std::string id = name.substr(0, name.find('.'));
        if (!known.count(id) || entry.path().extension() != ".part")
            std::filesystem::remove_all(entry.path(), ec);
    }
}

void UploadStore::expire()
{
    for (const std::string &id : m_db.expiredUploads(unixNow()))
        remove(id);
}
