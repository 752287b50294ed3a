#include "ContentStore.h"

#include "SafeXml.h"
#include "ZipArchive.h"

#include <algorithm>
#include <cstdlib>
#include <set>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kAnnouncementLifetime = 24 * 60 * 60;

bool endsWith(std::string_view text, std::string_view tail)
{
    return text.size() >= tail.size() &&
           std::equal(tail.begin(), tail.end(), text.end() - static_cast<std::ptrdiff_t>(tail.size()),
                      [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
}

bool startsWith(std::string_view text, std::string_view head)
{
    return text.substr(0, head.size()) == head;
}

bool isTopLevelVideo(const std::string &name)
{
    if (name.find('/') != std::string::npos)
        return false;
    return (startsWith(name, "video") && (endsWith(name, ".mp4") || endsWith(name, ".flv"))) ||
           name == "tmp.mp4" || startsWith(name, "src.");
}

std::string firstPresent(const ZipArchive &zip, std::initializer_list<const char *> names)
{
    for (const char *name : names) {
        if (zip.find(name))
            return name;
    }
    return {};
}

bool readXmlEntry(const ZipArchive &zip, const char *name, pugi::xml_document &doc, std::string &detail)
{
    const ZipEntry *entry = zip.find(name);
    if (!entry) {
        detail = std::string(name) + " is missing";
        return false;
    }
    std::string text;
    std::string error;
    if (!zip.read(*entry, text, kMaxXmlBytes, error) || !parseUntrustedXml(doc, text, error)) {
        detail = std::string(name) + ": " + error;
        return false;
    }
    return true;
}

// A Lumetra project is kept as its archive only.
std::int64_t extractedBytes(const ZipArchive &zip, const Target &target)
{
    return target.kind == "p" ? 0 : static_cast<std::int64_t>(zip.totalSize());
}

} // namespace

ContentStore::ContentStore(Database &db, UploadStore &uploads, fs::path folder)
    : m_db(db), m_uploads(uploads), m_folder(std::move(folder))
{
    fs::create_directories(m_folder);
    if (const char *delay = std::getenv("CLIPFERRY_SERVER_REGISTER_DELAY_MS"))
        m_commitDelay = std::chrono::milliseconds(std::strtoll(delay, nullptr, 10));
}

fs::path ContentStore::filesOf(std::int64_t content) const
{
    return m_folder / std::to_string(content) / "files";
}

std::int64_t ContentStore::maxBytes(const Account &account) const
{
    return std::min(account.maxsizeMb * kMegabyte, UploadStore::kMaxLength);
}

std::int64_t ContentStore::freeBytes(const Account &account)
{
    return std::max<std::int64_t>(0, account.quotaMb * kMegabyte - m_db.usedBytes(account.id));
}

Target ContentStore::resolveTarget(const Account &account, std::int64_t folderId, std::int64_t contentId)
{
    Target target;
    auto announcement = m_db.announcement(account.id, folderId);
    if (announcement && announcement->at + kAnnouncementLifetime < unixNow())
        announcement.reset();
    if (announcement)
        target.kind = announcement->kind;
    if (folderId == -1) {
        if (!announcement || announcement->target <= 0)
            return Target{ErrorCode::NoFolder};
        contentId = announcement->target;
        const auto content = m_db.content(contentId);
        if (!content)
            return Target{ErrorCode::NoContent};
        folderId = content->folder;
    }
    const auto folder = m_db.folder(folderId);
    if (!folder)
        return Target{ErrorCode::NoFolder};
    if (!folder->uploadable)
        return Target{ErrorCode::FolderNotUploadable};
    target.folder = folderId;
    if (contentId > 0) {
        const auto content = m_db.content(contentId);
        if (!content || content->folder != folderId)
            return Target{ErrorCode::NoContent};
        if (content->account != account.id)
            return Target{ErrorCode::NotOwner};
        target.replace = contentId;
    }
    return target;
}

int ContentStore::sizeError(const Account &account, std::int64_t size, std::int64_t replace,
                            std::int64_t stored)
{
    if (size > maxBytes(account))
        return ErrorCode::TooLarge;
    if (stored >= 0)
        size = stored;
    std::int64_t free = freeBytes(account);
    if (replace > 0) {
        if (const auto old = m_db.content(replace))
            free += old->size;
    }
    return size > free ? ErrorCode::QuotaExceeded : 0;
}

int ContentStore::checkPackage(const ZipArchive &zip, PackageInfo &info, std::string &detail)
{
    for (const ZipEntry &e : zip.entries()) {
        if (!isSafeEntryName(e.name)) {
            detail = "unsafe path " + e.name;
            return ErrorCode::BadArchive;
        }
        if (e.method != 0 || e.size != e.compressedSize || (e.flags & 1) != 0) {
            detail = e.name + " is compressed or encrypted";
            return ErrorCode::BadArchive;
        }
    }
    std::set<std::string_view> files;
    for (const ZipEntry &e : zip.entries()) {
        if (!e.isDirectory())
            files.insert(e.name);
    }
    for (const ZipEntry &e : zip.entries()) {
        for (size_t slash = e.name.find('/'); slash != std::string::npos;
             slash = e.name.find('/', slash + 1)) {
            if (files.count(std::string_view(e.name).substr(0, slash))) {
                detail = e.name + " lies below a file";
                return ErrorCode::BadArchive;
            }
        }
    }
    if (zip.totalSize() > static_cast<std::uint64_t>(UploadStore::kMaxLength)) {
        detail = "too much data";
        return ErrorCode::BadArchive;
    }
    pugi::xml_document doc;
    if (!readXmlEntry(zip, "tarn_profile.xml", doc, detail))
        return ErrorCode::BadProfile;
    const pugi::xml_node root = doc.document_element();
    info.type = childText(root, "type");
    info.title = childText(root, "metadata/title");
    info.author = childText(root, "metadata/author");
    if (info.type.empty() || info.title.empty() || !root.first_element_by_path("metadata/author")) {
        detail = "profile lacks type, title or author";
        return ErrorCode::BadProfile;
    }
    const std::string srcname = childText(root, "metadata/srcname");
    if (!srcname.empty() && !zip.find(srcname)) {
        detail = "profile names " + srcname + ", which is missing";
        return ErrorCode::BadProfile;
    }
    const std::string project = childText(root, "metadata/project");
    if ((endsWith(project, ".ppt") || endsWith(project, ".pptx")) && !zip.find(project)) {
        detail = "profile names " + project + ", which is missing";
        return ErrorCode::BadProfile;
    }
    if (info.type == "Corvana") {
        if (!zip.find("media.qv")) {
            detail = "recording without media.qv";
            return ErrorCode::BadProfile;
        }
        info.thumb = firstPresent(zip, {"slides/cover.jpg", "slides/1.jpg"});
        return 0;
    }
    const auto &entries = zip.entries();
    if (std::none_of(entries.begin(), entries.end(),
                     [](const ZipEntry &e) { return isTopLevelVideo(e.name); })) {
        detail = "package without a video";
        return ErrorCode::BadProfile;
    }
    info.video = firstPresent(zip, {"video.mp4", "tmp.mp4", "video.flv"});
    if (info.video.empty()) {
        const auto it = std::find_if(entries.begin(), entries.end(), [](const ZipEntry &e) {
            return isTopLevelVideo(e.name) && !startsWith(e.name, "src.");
        });
        if (it != entries.end())
            info.video = it->name;
    }
    info.thumb = firstPresent(zip, {"thumb.jpg", "video.jpg"});
    return 0;
}

int ContentStore::checkProject(const ZipArchive &zip, PackageInfo &info, std::string &detail)
{
    for (const ZipEntry &e : zip.entries()) {
        if (!isSafeEntryName(e.name) || (e.method != 0 && e.method != 8) || (e.flags & 1) != 0) {
            detail = "unsafe or unsupported entry " + e.name;
            return ErrorCode::BadArchive;
        }
    }
    pugi::xml_document doc;
    if (!readXmlEntry(zip, "project.qvp", doc, detail))
        return ErrorCode::BadProfile;
    if (!zip.find("media.qv")) {
        detail = "project without media.qv";
        return ErrorCode::BadProfile;
    }
    const pugi::xml_node root = doc.document_element();
    const pugi::xml_node project = root.child("project") ? root.child("project") : root;
    info.type = "Lumetra";
    info.title = childText(project, "abstract/title");
    info.author = childText(project, "abstract/author");
    if (info.title.empty())
        info.title = "Lumetra project";
    return 0;
}

int ContentStore::stage(const ZipArchive &zip, const Upload &upload, const Target &target,
                        const fs::path &staging, std::string &detail)
{
    std::error_code ec;
    fs::create_directories(staging / "files", ec);
    if (ec) {
        detail = "cannot create " + staging.string();
        return ErrorCode::Internal;
    }
    if (target.kind != "p") {
        for (const ZipEntry &e : zip.entries()) {
            const fs::path path = staging / "files" / e.name;
            fs::create_directories(e.isDirectory() ? path : path.parent_path(), ec);
            if (ec) {
                detail = "cannot create folders for " + e.name;
                return ErrorCode::Internal;
            }
            if (e.isDirectory())
                continue;
            switch (zip.extract(e, path.string(), detail)) {
            case ZipArchive::Extracted::Done:
                break;
            case ZipArchive::Extracted::Damaged:
                return ErrorCode::BadArchive;
            case ZipArchive::Extracted::Failed:
                return ErrorCode::Internal;
            }
        }
    }
    // A link, not a move: the upload stays whole until the content is committed.
    const fs::path archive = staging / (target.kind == "p" ? "project.zdm" : "tarn_file.zip");
    fs::create_hard_link(m_uploads.pathOf(upload.id), archive, ec);
    if (ec)
        fs::copy_file(m_uploads.pathOf(upload.id), archive, ec);
    if (ec) {
        detail = "cannot place the archive: " + ec.message();
        return ErrorCode::Internal;
    }
    return 0;
}

// The folder moves into place first and the database row commits last, so that a crash in
// between leaves a folder that no content owns (cleared at start) and the upload intact. A
// replaced content's folder waits beside it as ".old-<content>-<upload>" until the commit.
bool ContentStore::commit(const Content &content, bool replace, const Upload &upload, const fs::path &staging,
                          std::string &detail)
{
    const fs::path current = m_folder / std::to_string(content.id);
    const fs::path old = m_folder / (".old-" + std::to_string(content.id) + "-" + upload.id);
    std::error_code ec;
    if (replace && fs::exists(current))
        fs::rename(current, old, ec);
    else
        fs::remove_all(current, ec); // left by a crash, owned by no content
    if (!ec)
        fs::rename(staging, current, ec);
    if (ec) {
        detail = "cannot move the content into place: " + ec.message();
        if (fs::exists(old))
            fs::rename(old, current, ec);
        return false;
    }
    if (m_commitDelay.count() > 0)
        std::this_thread::sleep_for(m_commitDelay);
    try {
        m_db.commitRegistration(content, replace,
                                Registration{upload.id, upload.sha256, content.account, content.id});
    } catch (const std::exception &e) {
        detail = e.what();
        fs::remove_all(current, ec);
        if (fs::exists(old))
            fs::rename(old, current, ec);
        return false;
    }
    fs::remove_all(old, ec);
    return true;
}

ContentStore::Registered ContentStore::registerUpload(const Account &account, const std::string &id,
                                                      const std::string &sha256)
{
    const auto repeat = [&](const Registration &done) {
        if (done.account != account.id || (!sha256.empty() && sha256 != done.sha256))
            return Registered{ErrorCode::NoUpload, 0, "registered before with another account or checksum"};
        return Registered{0, done.content, {}};
    };
    if (const auto done = m_db.registration(id))
        return repeat(*done);
    if (!m_uploads.find(id, account.id))
        return Registered{ErrorCode::NoUpload, 0, "no such upload"};
    // A repeat sent while the first still runs waits for it, then answers like it.
    const auto hold = m_uploads.holdRegistration(id);
    // Only the holder stages this upload: staging of it left now is an earlier try's.
    const fs::path staging = m_folder / (".staging-" + id);
    std::error_code ec;
    fs::remove_all(staging, ec);
    if (const auto done = m_db.registration(id))
        return repeat(*done);
    const auto upload = m_uploads.find(id, account.id);
    if (!upload)
        return Registered{ErrorCode::NoUpload, 0, "no such upload"};
    try {
        return registerHeld(account, *upload, sha256, staging);
    } catch (const std::exception &e) {
        fs::remove_all(staging, ec);
        return Registered{ErrorCode::Internal, 0, e.what()};
    }
}

ContentStore::Registered ContentStore::registerHeld(const Account &account, const Upload &upload,
                                                    const std::string &sha256, const fs::path &staging)
{
    Registered result;
    const auto refuse = [&](int code) {
        m_uploads.remove(upload.id);
        result.error = code;
        return result;
    };
    const auto fail = [&] {
        std::error_code ec;
        fs::remove_all(staging, ec);
        result.error = ErrorCode::Internal;
        return result;
    };
    if (upload.offset != upload.length)
        return Registered{ErrorCode::NoUpload, 0, "upload incomplete"};
    const auto digest = m_uploads.sha256Of(upload);
    if (!digest) {
        result.detail = "cannot read the upload";
        return fail();
    }
    if (*digest != upload.sha256 || (!sha256.empty() && sha256 != upload.sha256))
        return refuse(ErrorCode::ChecksumMismatch);
    const Target target = resolveTarget(account, upload.folder, upload.content);
    if (target.error)
        return refuse(target.error);
    if (const int error = sizeError(account, upload.length, target.replace))
        return refuse(error);
    const auto zip = ZipArchive::open(m_uploads.pathOf(upload.id).string(), result.detail);
    if (!zip)
        return refuse(ErrorCode::BadArchive);
    PackageInfo info;
    const int invalid = target.kind == "p" ? checkProject(*zip, info, result.detail)
                                           : checkPackage(*zip, info, result.detail);
    if (invalid)
        return refuse(invalid);
    // What extraction writes is stored beside the archive and counts as much.
    const std::int64_t extracted = extractedBytes(*zip, target);
    const std::int64_t stored = upload.length + extracted;
    if (const int error = sizeError(account, std::max(upload.length, extracted), target.replace, stored))
        return refuse(error);
    if (const int error = stage(*zip, upload, target, staging, result.detail)) {
        if (error != ErrorCode::BadArchive)
            return fail();
        std::error_code ec;
        fs::remove_all(staging, ec);
        return refuse(error);
    }

    std::lock_guard lock(m_commit);
    if (const int error = sizeError(account, upload.length, target.replace, stored)) {
        std::error_code ec;
        fs::remove_all(staging, ec);
        return refuse(error);
    }
    Content content;
    content.id = target.replace > 0 ? target.replace : m_db.nextContentId();
    content.folder = target.folder;
    content.account = account.id;
    content.kind = target.kind == "p" ? "zdm" : "package";
    content.type = info.type;
    content.title = info.title;
    content.author = info.author;
    content.size = stored;
    content.created = content.updated = unixNow();
    content.video = info.video;
    content.thumb = info.thumb;
    if (target.replace > 0) {
        if (const auto old = m_db.content(target.replace))
            content.created = old->created;
    }
    if (!commit(content, target.replace > 0, upload, staging, result.detail))
        return fail();
    m_uploads.remove(upload.id);
    result.content = content.id;
    return result;
}

void ContentStore::recover()
{
    const auto isNumber = [](const std::string &text) {
        return !text.empty() && text.size() < 19 && text.find_first_not_of("0123456789") == std::string::npos;
    };
    std::error_code ec;
    std::vector<fs::path> hidden;
    for (const auto &entry : fs::directory_iterator(m_folder, ec)) {
        if (startsWith(entry.path().filename().string(), "."))
            hidden.push_back(entry.path());
    }
    for (const fs::path &path : hidden) {
        const std::string name = path.filename().string();
        const size_t dash = name.find('-', 5);
        const std::string content = name.substr(5, dash - 5);
        // A replacement that did not commit: the replaced content's folder goes back.
        if (startsWith(name, ".old-") && dash != std::string::npos && isNumber(content) &&
            !m_db.registration(name.substr(dash + 1))) {
            fs::remove_all(m_folder / content, ec);
            fs::rename(path, m_folder / content, ec);
        } else {
            fs::remove_all(path, ec);
        }
    }
    std::vector<fs::path> orphans;
    for (const auto &entry : fs::directory_iterator(m_folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (isNumber(name) && !m_db.content(std::strtoll(name.c_str(), nullptr, 10)))
            orphans.push_back(entry.path());
    }
    for (const fs::path &path : orphans)
        fs::remove_all(path, ec);
}

bool ContentStore::remove(std::int64_t id)
{
    if (!m_db.content(id))
        return false;
    m_db.removeContent(id);
    std::error_code ec;
    fs::remove_all(m_folder / std::to_string(id), ec);
    return true;
}
