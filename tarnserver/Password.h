#pragma once

#include "Database.h"

#include <chrono>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

// Passwords are stored as two salted PBKDF2 hashes: one of the plain form and one
// of the double-MD5 form a client sends when it hashes.
PasswordRecord makePasswordRecord(const std::string &plain);

// PBKDF2 is slow on purpose, and a resumable upload authenticates every chunk:
// a successful check is remembered for a few minutes, keyed by a digest of the
// account, salt and sent password, and forgotten when the stored hashes change.
class PasswordChecker final
{
public:
    bool matches(const std::string &account, const PasswordRecord &record, const std::string &sent,
                 bool acceptHashed);

private:
    struct Match
    {
        std::string record; // the stored hashes the match was made against
        bool hashedForm = false;
        std::chrono::steady_clock::time_point until;
    };
    std::mutex m_mutex;
    std::unordered_map<std::string, Match> m_matches;
};

std::string doubleMd5(const std::string &plain);
std::string toHex(std::string_view bytes);
std::string randomHex(size_t bytes);
std::string base64Encode(std::string_view bytes);
bool base64Decode(std::string_view text, std::string &out);
