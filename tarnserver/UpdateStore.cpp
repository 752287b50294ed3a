#include "UpdateStore.h"

#include "Password.h"
#include "Replies.h"
#include "SafeXml.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <memory>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using Args = std::vector<std::string>;

struct PkeyFree
{
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
struct FileClose
{
    void operator()(FILE *f) const { std::fclose(f); }
};

fs::path listPath(const fs::path &data)
{
    return data / "updates" / "verinfo.xml";
}

fs::path keyPath(const fs::path &data)
{
    return data / "update-key.pem";
}

int usage()
{
    std::cerr << "usage: clipferry-server --data DIR update publish VERSION FOLDER [--full] [--draft] [--log "
                 "TEXT]\n"
                 "       clipferry-server --data DIR update key | update list\n";
    return 2;
}

Pkey readKey(const fs::path &path, std::string &error)
{
    std::unique_ptr<FILE, FileClose> in(std::fopen(path.c_str(), "r"));
    Pkey key(in ? PEM_read_PrivateKey(in.get(), nullptr, nullptr, nullptr) : nullptr);
    if (key && EVP_PKEY_get_base_id(key.get()) == EVP_PKEY_ED25519)
        return key;
    error = "cannot read the Ed25519 update key " + path.string();
    return nullptr;
}

// The update key, made on first use and readable by the owner only. A new
// key is written whole beside its place and then linked there, so the file
// appears complete or not at all, and two servers making it at once agree
// on the one linked first.
Pkey updateKey(const fs::path &data, std::string &error)
{
    const fs::path path = keyPath(data);
    fs::create_directories(data);
    std::error_code ec;
    if (fs::exists(path, ec))
        return readKey(path, error);
    const fs::path temp = path.string() + "." + randomHex(8) + ".tmp";
    Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    std::unique_ptr<FILE, FileClose> out(fd >= 0 ? fdopen(fd, "w") : nullptr);
    if (fd >= 0 && !out)
        ::close(fd);
    const bool written =
        key && out &&
        PEM_write_PrivateKey(out.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1 &&
        std::fflush(out.get()) == 0 && ::fsync(fd) == 0;
    out.reset();
    const bool linked = written && ::link(temp.c_str(), path.c_str()) == 0;
    const int linkError = errno;
    fs::remove(temp, ec);
    if (linked)
        return key;
    if (written && linkError == EEXIST)
        return readKey(path, error);
    error = "cannot make the update key " + path.string();
    return nullptr;
}

std::string sign(EVP_PKEY *key, const std::string &text)
{
    MdContext ctx(EVP_MD_CTX_new());
    unsigned char sig[64];
    size_t size = sizeof sig;
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key) != 1 ||
        EVP_DigestSign(ctx.get(), sig, &size, reinterpret_cast<const unsigned char *>(text.data()),
                       text.size()) != 1)
        return {};
    return base64Encode(std::string_view(reinterpret_cast<const char *>(sig), size));
}

// The real zip, run in `folder`: the archive holds the folder's files by
// their paths inside it, as the updater lays them out in the install folder.
bool runZip(const fs::path &folder, const std::vector<std::string> &args)
{
    const pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        if (::chdir(folder.c_str()) != 0)
            _exit(127);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>("zip"));
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execvp("zip", argv.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool validVersion(const std::string &ver)
{
    if (ver.empty() || ver.size() > 32 || ver.front() == '.' || ver.back() == '.')
        return false;
    return std::count(ver.begin(), ver.end(), '.') <= 1 &&
           std::all_of(ver.begin(), ver.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

bool loadList(const fs::path &data, pugi::xml_document &doc, std::string &error)
{
    if (!fs::exists(listPath(data))) {
        doc.append_child("verinfo").append_child("list");
        return true;
    }
    if (!loadUntrustedXmlFile(doc, listPath(data).string(), error, 4 * kMaxXmlBytes))
        return false;
    if (!doc.document_element().child("list"))
        doc.document_element().append_child("list");
    return true;
}

bool saveList(const fs::path &data, const pugi::xml_document &doc)
{
    const fs::path path = listPath(data);
    const fs::path temp = path.string() + ".tmp";
    if (!doc.save_file(temp.c_str(), "  ", pugi::format_default, pugi::encoding_utf8))
        return false;
    std::error_code ec;
    fs::rename(temp, path, ec);
    return !ec;
}

std::string option(const Args &args, const std::string &name)
{
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == name)
            return args[i + 1];
    }
    return {};
}

// A flag of the list as an operator may write it.
bool isTrue(const std::string &text)
{
    return text == "1" || equalsNoCase(text, "true");
}

bool hasFlag(const Args &args, const std::string &name)
{
    return std::find(args.begin(), args.end(), name) != args.end();
}

int publish(const fs::path &data, const Args &args)
{
    const std::string ver = args[2];
    const fs::path folder = args[3];
    if (!validVersion(ver)) {
        std::cerr << "A version is a decimal number such as 2.110101, not \"" << ver << "\".\n";
        return 1;
    }
    if (!fs::is_directory(folder)) {
        std::cerr << "No folder " << folder << " to publish.\n";
        return 1;
    }
    pugi::xml_document doc;
    std::string error;
    if (!loadList(data, doc, error)) {
        std::cerr << listPath(data).string() << ": " << error << "\n";
        return 1;
    }
    pugi::xml_node list = doc.document_element().child("list");
    for (pugi::xml_node item : list.children("item")) {
        if (childText(item, "ver") == ver) {
            std::cerr << "Version " << ver << " is published already.\n";
            return 1;
        }
    }
    if (!updateKey(data, error)) {
        std::cerr << error << "\n";
        return 1;
    }

    const fs::path versions = data / "updates" / "version";
    const fs::path target = versions / ver;
    fs::create_directories(target);
    const fs::path temp = target / "patch.tmp.zip";
    fs::remove(temp);
    if (!runZip(folder, {"-q", "-r", "-X", fs::absolute(temp).string(), "."})) {
        fs::remove(temp);
        std::cerr << "zip could not pack " << folder << ".\n";
        return 1;
    }
    fs::rename(temp, target / "patch.zip");

    // A folder that carries the updater publishes it as the updater archive.
    const fs::path updater = folder / "bin" / "clipferry-updater";
    if (fs::is_regular_file(updater)) {
        const fs::path updaterTemp = versions / "updater.tmp.zip";
        fs::remove(updaterTemp);
        if (!runZip(updater.parent_path(),
                    {"-q", "-X", fs::absolute(updaterTemp).string(), "clipferry-updater"})) {
            fs::remove(updaterTemp);
            std::cerr << "zip could not pack " << updater << ".\n";
            return 1;
        }
        fs::copy_file(updaterTemp, versions / "updater_manifest.zip", fs::copy_options::overwrite_existing);
        fs::rename(updaterTemp, versions / "updater.zip");
        const auto sha256 = sha256OfFile(versions / "updater.zip");
        if (!sha256) {
            std::cerr << "cannot read " << (versions / "updater.zip").string() << "\n";
            return 1;
        }
        pugi::xml_node node = doc.document_element().child("updater");
        if (!node)
            node = doc.document_element().insert_child_before("updater", list);
        node.remove_children();
        Replies::add(node, "sha256", *sha256);
    }

    const auto sha256 = sha256OfFile(target / "patch.zip");
    if (!sha256) {
        std::cerr << "cannot read " << (target / "patch.zip").string() << "\n";
        return 1;
    }
    pugi::xml_node item = list.append_child("item");
    if (hasFlag(args, "--draft"))
        item.append_attribute("draft") = "true";
    Replies::add(item, "ver", ver);
    Replies::add(item, "path", "/version_ctrl/clipferry/version/" + ver);
    Replies::add(item, "fullPatch", hasFlag(args, "--full") ? "true" : "false");
    Replies::add(item, "log", option(args, "--log"));
    Replies::add(item, "sha256", *sha256);
    if (!saveList(data, doc)) {
        std::cerr << "cannot write " << listPath(data).string() << "\n";
        return 1;
    }
    std::cout << ver << " " << childText(item, "sha256") << "\n";
    return 0;
}

int printKey(const fs::path &data)
{
    std::string error;
    Pkey key = updateKey(data, error);
    unsigned char raw[32];
    size_t size = sizeof raw;
    if (!key || EVP_PKEY_get_raw_public_key(key.get(), raw, &size) != 1) {
        std::cerr << (error.empty() ? "cannot read the update key" : error) << "\n";
        return 1;
    }
    std::cout << base64Encode(std::string_view(reinterpret_cast<const char *>(raw), size)) << "\n";
    return 0;
}

int printList(const fs::path &data)
{
    pugi::xml_document doc;
    std::string error;
    if (!loadList(data, doc, error)) {
        std::cerr << error << "\n";
        return 1;
    }
    for (pugi::xml_node item : doc.document_element().child("list").children("item")) {
        std::cout << childText(item, "ver") << "  "
                  << (isTrue(childText(item, "fullPatch")) ? "full" : "partial")
                  << (item.attribute("draft").as_bool() ? "  draft" : "") << "  " << childText(item, "path")
                  << "  " << childText(item, "sha256") << "\n";
    }
    return 0;
}

void appendField(std::string &out, const std::string &field)
{
    out += std::to_string(field.size());
    out += ':';
    out += field;
    out += '\n';
}

// The text the signature covers: every signed field with its byte length in
// front, so that no two lists give the same text.
std::string signedText(const std::string &updaterSha256, const std::vector<std::vector<std::string>> &items)
{
    std::string out = "clipferry-verlist-1\n";
    appendField(out, updaterSha256);
    for (const auto &fields : items) {
        for (const std::string &field : fields)
            appendField(out, field);
    }
    return out;
}

} // namespace

namespace UpdateStore {

int command(const fs::path &data, const Args &args)
{
    try {
        if (args.size() >= 4 && args[1] == "publish")
            return publish(data, args);
        if (args.size() == 2 && args[1] == "key")
            return printKey(data);
        if (args.size() == 2 && args[1] == "list")
            return printList(data);
    } catch (const std::exception &e) {
        std::cerr << "clipferry-server: " << e.what() << "\n";
        return 1;
    }
    return usage();
}

VersionLists::VersionLists(fs::path data) : m_data(std::move(data)) {}

VersionLists::~VersionLists() = default;

bool VersionLists::reply(bool drafts, std::string &reply, std::string &error)
{
    pugi::xml_document source;
    if (!loadList(m_data, source, error))
        return false;
    std::shared_ptr<EVP_PKEY> key;
    {
        std::lock_guard lock(m_mutex);
        if (!m_key)
            m_key = updateKey(m_data, error);
        key = m_key;
    }
    if (!key)
        return false;

    struct Item
    {
        double number;
        pugi::xml_node node;
    };
    std::vector<Item> items;
    for (pugi::xml_node item : source.document_element().child("list").children("item")) {
        if (!drafts && item.attribute("draft").as_bool())
            continue;
        items.push_back(Item{std::atof(childText(item, "ver").c_str()), item});
    }
    std::stable_sort(items.begin(), items.end(),
                     [](const Item &a, const Item &b) { return a.number > b.number; });

    pugi::xml_document doc;
    pugi::xml_node root = Replies::start(doc, "verinfo");
    const std::string updaterSha = childText(source.document_element(), "updater/sha256");
    Replies::add(root.append_child("updater"), "sha256", updaterSha);
    pugi::xml_node list = root.append_child("list");
    std::vector<std::vector<std::string>> signedItems;
    for (const Item &item : items) {
        // A reader drops text that is only blanks; the signature covers what it reads.
        std::string log = item.node.child("log").text().get();
        if (log.find_first_not_of(" \t\r\n") == std::string::npos)
            log.clear();
        std::vector<std::string> fields{childText(item.node, "ver"), childText(item.node, "path"),
                                        isTrue(childText(item.node, "fullPatch")) ? "true" : "false", log,
                                        childText(item.node, "sha256")};
        pugi::xml_node out = list.append_child("item");
        const char *names[] = {"ver", "path", "fullPatch", "log", "sha256"};
        for (size_t i = 0; i < fields.size(); ++i)
            Replies::add(out, names[i], fields[i]);
        signedItems.push_back(std::move(fields));
    }
    const std::string signature = sign(key.get(), signedText(updaterSha, signedItems));
    if (signature.empty()) {
        error = "cannot sign the version list";
        return false;
    }
    Replies::add(root, "signature", signature);
    reply = Replies::text(doc);
    return true;
}

bool isPrivate(const std::string &path)
{
    return path == "verinfo.xml" || path.ends_with(".tmp") || path.ends_with(".tmp.zip");
}

} // namespace UpdateStore
