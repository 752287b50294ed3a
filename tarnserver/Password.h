#pragma once

#include "Database.h"

#include <string>
#include <string_view>

// Passwords are stored as two salted PBKDF2 hashes: one of the plain form and one
// of the double-MD5 form a client sends when it hashes.
PasswordRecord makePasswordRecord(const std::string &plain);
bool passwordMatches(const PasswordRecord &record, const std::string &sent, bool acceptHashed);

std::string doubleMd5(const std::string &plain);
std::string toHex(std::string_view bytes);
std::string randomHex(size_t bytes);
std::string base64Encode(std::string_view bytes);
bool base64Decode(std::string_view text, std::string &out);
