#include "Admin.h"

#include "ContentStore.h"
#include "Password.h"
#include "ServerSettings.h"
#include "UpdateStore.h"
#include "UploadStore.h"

#include <cstdio>
#include <fstream>
#include <iostream>

namespace fs = std::filesystem;

namespace {

using Args = std::vector<std::string>;

int usage()
{
    std::cerr
        << "usage: clipferry-server --data DIR COMMAND\n"
           "  account add NAME PASSWORD [--quota MB] [--maxsize MB]\n"
           "  account disable NAME | account enable NAME | account list\n"
           "  folder add PARENT_ID NAME [--no-upload] | folder list\n"
           "  content list | content remove ID\n"
           "  setting set KEY VALUE | setting list\n"
           "  update publish VERSION FOLDER [--full] [--draft] [--log TEXT] | update key | update list\n";
    return 2;
}

bool optionValue(const Args &args, const std::string &name, std::int64_t &value)
{
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == name)
            return (value = std::strtoll(args[i + 1].c_str(), nullptr, 10)) > 0;
    }
    return true;
}

int accountCommand(Database &db, const Args &args)
{
    if (args.size() >= 4 && args[1] == "add") {
        std::int64_t quota = std::stoll(ServerSettings::value(db, "quota"));
        std::int64_t maxsize = std::stoll(ServerSettings::value(db, "maxsize"));
        if (args[2].empty() || args[2].find(':') != std::string::npos) {
            std::cerr << "An account name must not be empty or contain ':'.\n";
            return 1;
        }
        if (!optionValue(args, "--quota", quota) || !optionValue(args, "--maxsize", maxsize)) {
            std::cerr << "--quota and --maxsize take a number of megabytes above 0.\n";
            return 1;
        }
        if (db.account(args[2])) {
            std::cerr << "The account " << args[2] << " exists already.\n";
            return 1;
        }
        std::cout << db.addAccount(args[2], makePasswordRecord(args[3]), quota, maxsize) << "\n";
        return 0;
    }
    if (args.size() == 3 && (args[1] == "disable" || args[1] == "enable")) {
        if (db.setAccountDisabled(args[2], args[1] == "disable"))
            return 0;
        std::cerr << "No account " << args[2] << ".\n";
        return 1;
    }
    if (args.size() == 2 && args[1] == "list") {
        for (const Account &a : db.accounts())
            std::cout << a.id << "\t" << a.name << "\tquota " << a.quotaMb << " MB\tmaxsize " << a.maxsizeMb
                      << " MB" << (a.disabled ? "\tdisabled" : "") << "\n";
        return 0;
    }
    return usage();
}

int folderCommand(Database &db, const Args &args)
{
    if (args.size() >= 4 && args[1] == "add") {
        const std::int64_t parent = std::strtoll(args[2].c_str(), nullptr, 10);
        if (parent != 0 && !db.folder(parent)) {
            std::cerr << "No folder " << args[2] << " to add into.\n";
            return 1;
        }
        const bool uploadable = !(args.size() >= 5 && args[4] == "--no-upload");
        std::cout << db.addFolder(parent, args[3], uploadable) << "\n";
        return 0;
    }
    if (args.size() == 2 && args[1] == "list") {
        for (const Folder &f : db.folders())
            std::cout << f.id << "\t" << f.parent << "\t" << f.name << (f.uploadable ? "" : "\t(no upload)")
                      << "\n";
        return 0;
    }
    return usage();
}

int contentCommand(Database &db, const fs::path &data, const Args &args)
{
    if (args.size() == 2 && args[1] == "list") {
        for (const Content &c : db.contents())
            std::cout << c.id << "\tfolder " << c.folder << "\t" << c.type << "\t" << c.size << " bytes\t"
                      << c.title << "\t" << c.author << "\n";
        return 0;
    }
    if (args.size() == 3 && args[1] == "remove") {
        UploadStore uploads(db, data / "uploads");
        ContentStore contents(db, uploads, data / "contents");
        if (contents.remove(std::strtoll(args[2].c_str(), nullptr, 10)))
            return 0;
        std::cerr << "No content " << args[2] << ".\n";
        return 1;
    }
    return usage();
}

int settingCommand(Database &db, const Args &args)
{
    if (args.size() == 4 && args[1] == "set") {
        if (!ServerSettings::isKnown(args[2])) {
            std::cerr << "Unknown setting " << args[2] << ". Known settings:";
            for (const auto &[key, value] : ServerSettings::defaults())
                std::cerr << " " << key;
            std::cerr << "\n";
            return 1;
        }
        db.setSetting(args[2], args[3]);
        return 0;
    }
    if (args.size() == 2 && args[1] == "list") {
        for (const auto &[key, value] : ServerSettings::defaults())
            std::cout << key << "\t" << ServerSettings::value(db, key) << "\n";
        return 0;
    }
    return usage();
}

} // namespace

namespace Admin {

int run(const fs::path &data, const Args &args)
{
    if (args.size() < 2)
        return usage();
    if (args[0] == "update")
        return UpdateStore::command(data, args);
    try {
        fs::create_directories(data);
        Database db((data / "tarn.db").string());
        if (args[0] == "account")
            return accountCommand(db, args);
        if (args[0] == "folder")
            return folderCommand(db, args);
        if (args[0] == "content")
            return contentCommand(db, data, args);
        if (args[0] == "setting")
            return settingCommand(db, args);
    } catch (const std::exception &e) {
        std::cerr << "clipferry-server: " << e.what() << "\n";
        return 1;
    }
    return usage();
}

void createDemo(Database &db, const fs::path &data)
{
    if (!db.isNew())
        return;
    db.addAccount("demo", makePasswordRecord("demo"), 10240, 2048);
    const auto ads = db.addFolder(0, "Announcements", true);
    const auto courses = db.addFolder(0, "Courses", false);
    db.addFolder(courses, "Physics", true);
    const auto chemistry = db.addFolder(courses, "Chemistry", false);
    db.addFolder(chemistry, "Lab sessions", true);
    db.addFolder(chemistry, "Drafts", false);
    const auto archive = db.addFolder(0, "Archive", false);
    db.addFolder(archive, "2019", false);
    db.addFolder(0, "Inbox", true);
    for (const auto &[key, value] : ServerSettings::defaults())
        db.setSetting(key, value);
    db.setSetting("adID", std::to_string(ads));

    const fs::path list = data / "updates" / "verinfo.xml";
    fs::create_directories(list.parent_path());
    if (!fs::exists(list)) {
        std::ofstream out(list);
        out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<verinfo>\n  <list>\n  </list>\n</verinfo>\n";
    }
}

} // namespace Admin
