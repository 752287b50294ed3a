#include "UploadStore.h"

#include "Password.h"

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <future>
#include <openssl/evp.h>
#include <set>
#include <stdexcept>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

struct MdFree
{
    void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};
using MdContext = std::unique_ptr<EVP_MD_CTX, MdFree>;

MdContext newDigest(const EVP_MD *md)
{
    MdContext ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1)
        throw std::runtime_error("digest init failed");
    return ctx;
}

std::string finish(EVP_MD_CTX *ctx)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(ctx, digest, &size);
    return std::string(reinterpret_cast<const char *>(digest), size);
}

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
    // The offset last answered; ahead of the stored one while that chunk's sync runs. -1: the stored one.
    std::atomic<std::int64_t> offset = -1;
    std::future<bool> synced; // the chunk before: synced and its offset stored
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
    std::lock_guard lock(m_mutex);
    if (const auto it = m_slots.find(id); it != m_slots.end() && it->second->offset >= 0)
        upload->offset = it->second->offset;
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
    const std::int64_t answered = s->offset >= 0 ? s->offset.load() : upload->offset;
    if (answered != offset)
        return {PatchStatus::Conflict, answered};

    Fd fd(::open(pathOf(id).c_str(), O_WRONLY | O_CLOEXEC));
    if (fd.get() < 0)
        return {PatchStatus::Failed, offset};
    MdContext sha1Ctx = newDigest(EVP_sha1());
    MdContext sha256Ctx;
    if (s->hashed == offset && s->sha256) {
        sha256Ctx = newDigest(EVP_sha256());
        EVP_MD_CTX_copy_ex(sha256Ctx.get(), s->sha256.get());
    }

    constexpr size_t kBuffer = 1 << 20;
    std::vector<char> buffer;
    buffer.reserve(kBuffer);
    std::int64_t end = offset;
    bool tooLong = false;
    bool ioError = false;
    const auto flush = [&] {
        if (buffer.empty() || ioError)
            return;
        if (!writeAll(fd.get(), buffer.data(), buffer.size(), end))
            ioError = true;
        // Start writing back now, so the sync at the end of the chunk finds little left to do.
        ::sync_file_range(fd.get(), static_cast<off_t>(end), static_cast<off_t>(buffer.size()),
                          SYNC_FILE_RANGE_WRITE);
        end += static_cast<std::int64_t>(buffer.size());
        buffer.clear();
    };
    const bool complete = read([&](const char *data, size_t size) {
        if (end + static_cast<std::int64_t>(buffer.size() + size) > upload->length) {
            tooLong = true;
            return false;
        }
        EVP_DigestUpdate(sha1Ctx.get(), data, size);
        if (sha256Ctx)
            EVP_DigestUpdate(sha256Ctx.get(), data, size);
        buffer.insert(buffer.end(), data, data + size);
        if (buffer.size() >= kBuffer)
            flush();
        return !ioError;
    });
    flush();

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
        if (finish(sha1Ctx.get()) != sha1)
            return dropChunk(PatchStatus::ChecksumMismatch);
    }
    if (!settle(*s)) {
        // The chunk before may be lost: the client asks again and resumes at the stored offset.
        s->hashed = -1;
        return dropChunk(PatchStatus::Failed);
    }
    if (end == upload->length || !syncLater(*s, id, fd.get(), end)) {
        // The last chunk is stored before it is answered: the registration that follows reads the offset.
        if (::fdatasync(fd.get()) != 0)
            return dropChunk(PatchStatus::Failed);
        m_db.setUploadOffset(id, end);
    }
    s->offset = end;
    s->hashed = sha256Ctx ? end : -1;
    s->sha256 = std::move(sha256Ctx);
    return {complete ? PatchStatus::Done : PatchStatus::Cut, end};
}

bool UploadStore::syncLater(Slot &s, const std::string &id, int fd, std::int64_t end)
{
    const int own = ::dup(fd);
    if (own < 0)
        return false;
    try {
        s.synced = std::async(std::launch::async, [this, id, own, end] {
            const Fd file(own);
            if (::fdatasync(own) != 0)
                return false;
            m_db.setUploadOffset(id, end);
            return true;
        });
    } catch (const std::system_error &) {
        ::close(own);
        return false;
    }
    return true;
}

bool UploadStore::settle(Slot &s)
{
    if (!s.synced.valid() || s.synced.get())
        return true;
    s.offset = -1;
    return false;
}

std::shared_ptr<void> UploadStore::holdRegistration(const std::string &id)
{
    auto s = slot(id);
    s->registering.lock();
    return std::shared_ptr<void>(nullptr, [s](void *) { s->registering.unlock(); });
}

bool UploadStore::registrationHeld(const std::string &id)
{
    auto s = slot(id);
    if (!s->registering.try_lock())
        return true;
    s->registering.unlock();
    return false;
}

std::optional<std::string> UploadStore::sha256Of(const Upload &upload)
{
    const auto s = slot(upload.id);
    std::lock_guard lock(s->lock);
    if (s->sha256 && s->hashed == upload.length) {
        MdContext copy = newDigest(EVP_sha256());
        EVP_MD_CTX_copy_ex(copy.get(), s->sha256.get());
        return toHex(finish(copy.get()));
    }
    Fd fd(::open(pathOf(upload.id).c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        return std::nullopt;
    MdContext ctx = newDigest(EVP_sha256());
    std::vector<char> buffer(1 << 20);
    ssize_t n;
    while ((n = ::read(fd.get(), buffer.data(), buffer.size())) > 0)
        EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<size_t>(n));
    if (n < 0)
        return std::nullopt;
    return toHex(finish(ctx.get()));
}

void UploadStore::remove(const std::string &id)
{
    std::error_code ec;
    std::filesystem::remove(pathOf(id), ec);
    m_db.removeUpload(id);
    std::shared_ptr<Slot> gone; // released outside the lock: it waits for a sync still running
    std::lock_guard lock(m_mutex);
    if (const auto it = m_slots.find(id); it != m_slots.end()) {
        gone = std::move(it->second);
        m_slots.erase(it);
    }
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
