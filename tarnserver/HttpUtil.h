#pragma once

#include "Database.h"
#include "Password.h"

#include <filesystem>
#include <httplib.h>
#include <map>
#include <optional>
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

// tus Upload-Metadata: "key base64,key base64,..."; ok false when a value is not base64.
std::map<std::string, std::string> parseTusMetadata(const std::string &header, bool &ok);
// tus Upload-Checksum: "sha1 <base64 of 20 bytes>"; the digest's bytes.
bool parseTusChecksum(const std::string &header, std::string &sha1);

void sendXml(httplib::Response &res, const std::string &xml, int status = 200);
struct ByteRange
{
    std::uint64_t start = 0;
    std::uint64_t length = 0;
};
// The one range of a Range header within a file of `size` bytes; none for
// several ranges or a header that is not understood (the whole file is sent),
// and none with satisfiable false when the range lies past the end (416).
std::optional<ByteRange> singleRange(const std::string &header, std::uint64_t size, bool &satisfiable);
// Streams a file, or the one range asked for; false when it is not a readable regular file.
bool sendFile(const httplib::Request &req, httplib::Response &res, const std::filesystem::path &path,
              const std::string &contentType);
std::string contentTypeOf(const std::filesystem::path &path);
// Percent-encodes all but unreserved characters and '/', for a path inside an address.
std::string urlEncodePath(const std::string &text);
// For element text and attribute values alike.
std::string htmlEscape(const std::string &text);

} // namespace HttpUtil
