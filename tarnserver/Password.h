#pragma once

#include "Database.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <openssl/evp.h>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

// Passwords are stored as two salted PBKDF2 hashes: one of the plain form and one
// of the double-MD5 form a client sends when it hashes.
PasswordRecord makePasswordRecord(const std::string &plain);

// Wrong passwords for one account from one address: after a few, every further
// try must wait for a pause that doubles with each failure, up to a limit, so
// guessing gets slow while the owner is never locked out for good. A success
// clears the count, and a quiet hour forgets it.
class FailureThrottle final
{
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kFreeTries = 5;
    static constexpr std::chrono::milliseconds kFirstPause{1000};
    static constexpr std::chrono::milliseconds kLongestPause{std::chrono::minutes(5)};

    // False while the key must wait.
    bool allowed(const std::string &key, Clock::time_point now);
    void failed(const std::string &key, Clock::time_point now);
    void succeeded(const std::string &key);

private:
    struct Record
    {
        int failures = 0;
        Clock::time_point last;
        Clock::time_point until;
    };
    std::mutex m_mutex;
    std::unordered_map<std::string, Record> m_records;
};

// PBKDF2 is slow on purpose, and a resumable upload authenticates every chunk:
// a successful check is remembered for a few minutes, keyed by a digest of the
// account, salt and sent password, and forgotten when the stored hashes change.
class PasswordChecker final
{
public:
    bool matches(const std::string &account, const PasswordRecord &record, const std::string &sent,
                 bool acceptHashed);
    FailureThrottle &throttle() { return m_throttle; }

private:
    struct Match
    {
        std::string record; // the stored hashes the match was made against
        bool hashedForm = false;
        std::chrono::steady_clock::time_point until;
    };
    std::mutex m_mutex;
    std::unordered_map<std::string, Match> m_matches;
    FailureThrottle m_throttle;
};

std::string doubleMd5(const std::string &plain);
std::string toHex(std::string_view bytes);
// ASCII letters compared without their case.
bool equalsNoCase(std::string_view a, std::string_view b);

struct MdFree
{
    void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};
using MdContext = std::unique_ptr<EVP_MD_CTX, MdFree>;
// A digest context started for `md`; throws when OpenSSL cannot make one.
MdContext newDigest(const EVP_MD *md);
// The raw digest of what `ctx` was given.
std::string finishDigest(EVP_MD_CTX *ctx);
// The SHA-256 (hex) of a file; nullopt when it cannot be read whole.
std::optional<std::string> sha256OfFile(const std::filesystem::path &path);
std::string randomHex(size_t bytes);
std::string base64Encode(std::string_view bytes);
bool base64Decode(std::string_view text, std::string &out);
