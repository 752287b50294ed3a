#include "HttpUtil.h"

#include "ContentStore.h"
#include "Password.h"
#include "ServerSettings.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <memory>

namespace HttpUtil {

Auth authenticate(Database &db, PasswordChecker &passwords, const httplib::Request &req)
{
    const std::string header = req.get_header_value("Authorization");
    std::string decoded;
    if (header.rfind("Basic ", 0) != 0 || !base64Decode(header.substr(6), decoded))
        return Auth{ErrorCode::UnknownAccount, {}};
    const size_t colon = decoded.find(':');
    if (colon == std::string::npos)
        return Auth{ErrorCode::UnknownAccount, {}};
    auto account = db.account(decoded.substr(0, colon));
    if (!account)
        return Auth{ErrorCode::UnknownAccount, {}};
    FailureThrottle &throttle = passwords.throttle();
    const std::string key = account->name + '\n' + req.remote_addr;
    const auto now = FailureThrottle::Clock::now();
    if (!throttle.allowed(key, now)) {
        std::fprintf(stderr, "sign-in of %s from %s refused unchecked: too many wrong passwords\n",
                     account->name.c_str(), req.remote_addr.c_str());
        return Auth{ErrorCode::WrongPassword, {}};
    }
    const bool acceptHashed = ServerSettings::value(db, "enc") == "1";
    if (!passwords.matches(account->name, account->password, decoded.substr(colon + 1), acceptHashed)) {
        std::fprintf(stderr, "wrong password for %s from %s\n", account->name.c_str(),
                     req.remote_addr.c_str());
        throttle.failed(key, now);
        return Auth{ErrorCode::WrongPassword, {}};
    }
    throttle.succeeded(key);
    if (account->disabled)
        return Auth{ErrorCode::AccountDisabled, {}};
    return Auth{0, *account};
}

bool readBody(const httplib::ContentReader &reader, std::string &body, size_t maxBytes)
{
    bool tooLarge = false;
    reader([&](const char *data, size_t size) {
        if (body.size() + size > maxBytes) {
            tooLarge = true;
            return false;
        }
        body.append(data, size);
        return true;
    });
    return !tooLarge;
}

void drainBody(const httplib::ContentReader &reader)
{
    reader([](const char *, size_t) { return true; });
}

std::string urlDecode(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out.push_back(' ');
        } else if (c == '%' && i + 2 < text.size()) {
            int value = 0;
            const auto [p, ec] = std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16);
            if (ec == std::errc() && p == text.data() + i + 3) {
                out.push_back(static_cast<char>(value));
                i += 2;
            } else {
                out.push_back(c);
            }
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::map<std::string, std::string> parseForm(const std::string &body)
{
    std::map<std::string, std::string> fields;
    size_t start = 0;
    while (start <= body.size()) {
        size_t end = body.find('&', start);
        if (end == std::string::npos)
            end = body.size();
        const std::string pair = body.substr(start, end - start);
        if (!pair.empty()) {
            const size_t eq = pair.find('=');
            const std::string name = urlDecode(pair.substr(0, eq));
            fields[name] = eq == std::string::npos ? std::string() : urlDecode(pair.substr(eq + 1));
        }
        start = end + 1;
    }
    return fields;
}

bool parseInteger(const std::string &text, std::int64_t &value)
{
    const char *begin = text.data();
    const char *end = begin + text.size();
    const auto [p, ec] = std::from_chars(begin, end, value);
    return !text.empty() && ec == std::errc() && p == end;
}

std::map<std::string, std::string> parseTusMetadata(const std::string &header, bool &ok)
{
    std::map<std::string, std::string> values;
    ok = true;
    size_t start = 0;
    while (start < header.size()) {
        size_t end = header.find(',', start);
        if (end == std::string::npos)
            end = header.size();
        std::string pair = header.substr(start, end - start);
        pair.erase(0, pair.find_first_not_of(' '));
        const size_t space = pair.find(' ');
        std::string value;
        if (space != std::string::npos && !base64Decode(pair.substr(space + 1), value))
            ok = false;
        if (!pair.empty())
            values[pair.substr(0, space)] = value;
        start = end + 1;
    }
    return values;
}

bool parseTusChecksum(const std::string &header, std::string &sha1)
{
    const size_t space = header.find(' ');
    return space != std::string::npos && header.substr(0, space) == "sha1" &&
           base64Decode(header.substr(space + 1), sha1) && sha1.size() == 20;
}

void sendXml(httplib::Response &res, const std::string &xml, int status)
{
    res.status = status;
    res.set_content(xml, "text/xml; charset=utf-8");
}

std::string contentTypeOf(const std::filesystem::path &path)
{
    const std::string ext = path.extension().string();
    if (ext == ".zip" || ext == ".zdm")
        return "application/zip";
    if (ext == ".mp4")
        return "video/mp4";
    if (ext == ".flv")
        return "video/x-flv";
    if (ext == ".jpg" || ext == ".jpeg")
        return "image/jpeg";
    if (ext == ".png")
        return "image/png";
    if (ext == ".xml")
        return "text/xml; charset=utf-8";
    return "application/octet-stream";
}

std::optional<ByteRange> singleRange(const std::string &header, std::uint64_t size, bool &satisfiable)
{
    satisfiable = true;
    const std::string prefix = "bytes=";
    if (header.rfind(prefix, 0) != 0 || header.find(',') != std::string::npos)
        return std::nullopt; // several ranges: the whole file is one answer to them all
    const std::string spec = header.substr(prefix.size());
    const size_t dash = spec.find('-');
    if (dash == std::string::npos)
        return std::nullopt;
    std::int64_t first = -1;
    std::int64_t last = -1;
    const std::string head = spec.substr(0, dash);
    const std::string tail = spec.substr(dash + 1);
    if ((!head.empty() && !parseInteger(head, first)) || (!tail.empty() && !parseInteger(tail, last)) ||
        (head.empty() && tail.empty()) || first < -1 || last < -1)
        return std::nullopt;
    ByteRange range;
    if (head.empty()) { // the last `last` bytes
        if (last == 0 || size == 0) {
            satisfiable = false;
            return std::nullopt;
        }
        range.length = std::min<std::uint64_t>(static_cast<std::uint64_t>(last), size);
        range.start = size - range.length;
        return range;
    }
    if (static_cast<std::uint64_t>(first) >= size) {
        satisfiable = false;
        return std::nullopt;
    }
    if (last >= 0 && last < first)
        return std::nullopt;
    const std::uint64_t end =
        last < 0 ? size - 1 : std::min<std::uint64_t>(static_cast<std::uint64_t>(last), size - 1);
    range.start = static_cast<std::uint64_t>(first);
    range.length = end - range.start + 1;
    return range;
}

bool sendFile(const httplib::Request &req, httplib::Response &res, const std::filesystem::path &path,
              const std::string &contentType)
{
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return false;
    const auto size = std::filesystem::file_size(path, ec);
    auto in = std::make_shared<std::ifstream>(path, std::ios::binary);
    if (ec || !*in)
        return false;
    // httplib would apply the parsed ranges after the handler, any number of
    // them and unchecked against the size: the one range we serve is applied here.
    const_cast<httplib::Request &>(req).ranges.clear();
    bool satisfiable = true;
    const auto range = singleRange(req.get_header_value("Range"), size, satisfiable);
    if (!satisfiable) {
        res.status = 416;
        res.set_header("Content-Range", "bytes */" + std::to_string(size));
        return true;
    }
    const std::uint64_t start = range ? range->start : 0;
    const std::uint64_t length = range ? range->length : size;
    if (range) {
        res.status = 206;
        res.set_header("Content-Range", "bytes " + std::to_string(start) + "-" +
                                            std::to_string(start + length - 1) + "/" + std::to_string(size));
    }
    res.set_header("Accept-Ranges", "bytes");
    res.set_content_provider(static_cast<size_t>(length), contentType,
                             [in, start](size_t offset, size_t want, httplib::DataSink &sink) {
                                 char buffer[65536];
                                 in->seekg(static_cast<std::streamoff>(start + offset));
                                 const auto n = std::min(want, sizeof buffer);
                                 if (!in->read(buffer, static_cast<std::streamsize>(n)))
                                     return false;
                                 return sink.write(buffer, n);
                             });
    return true;
}

std::string urlEncodePath(const std::string &text)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (std::isalnum(b) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(digits[b >> 4]);
            out.push_back(digits[b & 15]);
        }
    }
    return out;
}

std::string htmlEscape(const std::string &text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out.push_back(c);
        }
    }
    return out;
}

} // namespace HttpUtil
