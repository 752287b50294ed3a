#include "Password.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <stdexcept>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kIterations = 10000;

std::string pbkdf2(const std::string &password, const std::string &salt)
{
    std::array<unsigned char, 32> out{};
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                          reinterpret_cast<const unsigned char *>(salt.data()), static_cast<int>(salt.size()),
                          kIterations, EVP_sha256(), static_cast<int>(out.size()), out.data()) != 1)
        throw std::runtime_error("password hashing failed");
    return toHex(std::string_view(reinterpret_cast<const char *>(out.data()), out.size()));
}

std::string md5Hex(const std::string &text)
{
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int size = 0;
    if (EVP_Digest(text.data(), text.size(), digest.data(), &size, EVP_md5(), nullptr) != 1)
        throw std::runtime_error("MD5 failed");
    return toHex(std::string_view(reinterpret_cast<const char *>(digest.data()), size));
}

bool sameText(const std::string &a, const std::string &b)
{
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

int base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

} // namespace

std::string doubleMd5(const std::string &plain)
{
    return md5Hex(md5Hex(plain));
}

PasswordRecord makePasswordRecord(const std::string &plain)
{
    PasswordRecord record;
    record.salt = randomHex(16);
    record.plainHash = pbkdf2(plain, record.salt);
    record.md5Hash = pbkdf2(doubleMd5(plain), record.salt);
    return record;
}

bool PasswordChecker::matches(const std::string &account, const PasswordRecord &record,
                              const std::string &sent, bool acceptHashed)
{
    constexpr auto kLifetime = std::chrono::minutes(5);
    constexpr size_t kMaxEntries = 4096;
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int size = 0;
    const std::string material = account + '\0' + record.salt + '\0' + sent;
    EVP_Digest(material.data(), material.size(), digest.data(), &size, EVP_sha256(), nullptr);
    const std::string key(reinterpret_cast<const char *>(digest.data()), size);
    const std::string stored = record.plainHash + record.md5Hash;
    const auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_matches.find(key);
        if (it != m_matches.end() && it->second.until > now && it->second.record == stored)
            return !it->second.hashedForm || acceptHashed;
    }
    const std::string hash = pbkdf2(sent, record.salt);
    const bool plain = sameText(hash, record.plainHash);
    const bool hashed = sameText(hash, record.md5Hash);
    if (plain || hashed) {
        std::lock_guard lock(m_mutex);
        if (m_matches.size() >= kMaxEntries)
            m_matches.clear();
        m_matches[key] = Match{stored, !plain, now + kLifetime};
    }
    return plain || (acceptHashed && hashed);
}

bool FailureThrottle::allowed(const std::string &key, Clock::time_point now)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_records.find(key);
    return it == m_records.end() || it->second.until <= now;
}

void FailureThrottle::failed(const std::string &key, Clock::time_point now)
{
    constexpr auto kMemory = std::chrono::hours(1);
    constexpr size_t kMaxRecords = 65536;
    std::lock_guard lock(m_mutex);
    if (m_records.size() >= kMaxRecords) {
        std::erase_if(m_records, [&](const auto &r) { return r.second.last + kMemory < now; });
        if (m_records.size() >= kMaxRecords)
            m_records.clear();
    }
    Record &r = m_records[key];
    if (r.failures > 0 && r.last + kMemory < now)
        r = Record{};
    r.last = now;
    if (++r.failures <= kFreeTries)
        return;
    const int doublings = std::min(r.failures - kFreeTries - 1, 20);
    r.until = now + std::min<std::chrono::milliseconds>(kFirstPause * (1 << doublings), kLongestPause);
}

void FailureThrottle::succeeded(const std::string &key)
{
    std::lock_guard lock(m_mutex);
    m_records.erase(key);
}

std::string toHex(std::string_view bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

MdContext newDigest(const EVP_MD *md)
{
    MdContext ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1)
        throw std::runtime_error("digest init failed");
    return ctx;
}

std::string finishDigest(EVP_MD_CTX *ctx)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(ctx, digest, &size);
    return std::string(reinterpret_cast<const char *>(digest), size);
}

std::optional<std::string> sha256OfFile(const std::filesystem::path &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    MdContext ctx = newDigest(EVP_sha256());
    std::vector<char> buffer(1 << 20);
    ssize_t n;
    while ((n = ::read(fd, buffer.data(), buffer.size())) > 0)
        EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<size_t>(n));
    ::close(fd);
    if (n < 0)
        return std::nullopt;
    return toHex(finishDigest(ctx.get()));
}

bool equalsNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string randomHex(size_t bytes)
{
    std::string raw(bytes, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char *>(raw.data()), static_cast<int>(bytes)) != 1)
        throw std::runtime_error("no random bytes");
    return toHex(raw);
}

std::string base64Encode(std::string_view bytes)
{
    static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += {table[v >> 18], table[(v >> 12) & 63], table[(v >> 6) & 63], table[v & 63]};
    }
    if (i + 1 == bytes.size()) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        out += {table[v >> 18], table[(v >> 12) & 63], '=', '='};
    } else if (i + 2 == bytes.size()) {
        const unsigned v =
            (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
        out += {table[v >> 18], table[(v >> 12) & 63], table[(v >> 6) & 63], '='};
    }
    return out;
}

bool base64Decode(std::string_view text, std::string &out)
{
    out.clear();
    while (!text.empty() && text.back() == '=')
        text.remove_suffix(1);
    unsigned buffer = 0;
    int bits = 0;
    for (const char c : text) {
        const int v = base64Value(c);
        if (v < 0)
            return false;
        buffer = (buffer << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((buffer >> bits) & 0xff));
        }
    }
    return bits < 6; // a single leftover character cannot encode a byte
}
