#pragma once

#include "Database.h"
#include "Password.h"

#include <filesystem>
#include <httplib.h>
#include <map>
#include <string>

// Small pieces shared by the protocol handlers and the web pages.
namespace HttpUtil {

struct Auth
{
    int error = 0;
    Account account;
};

// Basic credentials checked against the accounts; the double-MD5 form only when
// the server accepts hashed passwords.
Auth authenticate(Database &db, PasswordChecker &passwords, const httplib::Request &req);

// Reads a small request body; false when it is larger than maxBytes.
bool readBody(const httplib::ContentReader &reader, std::string &body, size_t maxBytes = 64 * 1024);
void drainBody(const httplib::ContentReader &reader);
std::map<std::string, std::string> parseForm(const std::string &body);
std::string urlDecode(const std::string &text);
bool parseInteger(const std::string &text, std::int64_t &value);

void sendXml(httplib::Response &res, const std::string &xml, int status = 200);
// Streams a file (with byte ranges); false when it is not a readable regular file.
bool sendFile(httplib::Response &res, const std::filesystem::path &path, const std::string &contentType);
std::string contentTypeOf(const std::filesystem::path &path);
std::string htmlEscape(const std::string &text);

} // namespace HttpUtil
