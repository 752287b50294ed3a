#include "HttpUtil.h"

#include "ContentStore.h"
#include "Password.h"
#include "ServerSettings.h"

#include <charconv>
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
    const bool acceptHashed = ServerSettings::value(db, "enc") == "1";
    if (!passwords.matches(account->name, account->password, decoded.substr(colon + 1), acceptHashed))
        return Auth{ErrorCode::WrongPassword, {}};
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

bool sendFile(httplib::Response &res, const std::filesystem::path &path, const std::string &contentType)
{
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return false;
    const auto size = std::filesystem::file_size(path, ec);
    auto in = std::make_shared<std::ifstream>(path, std::ios::binary);
    if (ec || !*in)
        return false;
    res.set_content_provider(static_cast<size_t>(size), contentType,
                             [in](size_t offset, size_t length, httplib::DataSink &sink) {
                                 char buffer[65536];
                                 in->seekg(static_cast<std::streamoff>(offset));
                                 const auto n = std::min(length, sizeof buffer);
                                 if (!in->read(buffer, static_cast<std::streamsize>(n)))
                                     return false;
                                 return sink.write(buffer, n);
                             });
    return true;
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
