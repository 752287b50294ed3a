#include "add/SourceSearch.h"

#include "common/FileUtil.h"
#include "pipeline/ExecRunner.h"
#include "queue/CVideoItem.h"

#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QPromise>
#include <QThread>
#include <QThreadPool>
#include <algorithm>
#include <filesystem>
#include <string>
#include <unordered_set>
#include <vector>

#ifdef Q_OS_UNIX
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#endif

using namespace Qt::StringLiterals;
using namespace VideoSettings;

namespace {

namespace fs = std::filesystem;

const QString kProjectName = u"project.qvp"_s;

bool isHiddenFolderName(QStringView name)
{
    return name.contains(u"$Recycle"_s, Qt::CaseInsensitive) || name == u".Trash" ||
           name.startsWith(u".Trash-");
}

// Whether a folder on `path` is a recycle bin or a trash folder.
bool inHiddenFolder(const QString &path)
{
    const QStringList parts = QString(path).replace(u'\\', u'/').split(u'/');
    return std::any_of(parts.begin(), parts.end(),
                       [](const QString &part) { return isHiddenFolderName(part); });
}

QString toQString(const fs::path &path)
{
#ifdef Q_OS_WIN
    return QString::fromStdWString(path.native());
#else
    return QFile::decodeName(QByteArray::fromStdString(path.native()));
#endif
}

// Whether `path` is `folder` or lies below it.
bool isWithin(const fs::path &path, const fs::path &folder)
{
    return std::mismatch(folder.begin(), folder.end(), path.begin(), path.end()).first == folder.end();
}

using Native = fs::path::string_type;

// The pattern list's extensions as the file system spells names, so that
// the walk looks at a name's bytes and turns only the matches into text.
struct NameFilter
{
    explicit NameFilter(const QString &patterns)
    {
        for (const QString &pattern : patterns.split(u';', Qt::SkipEmptyParts))
            extensions.push_back(fs::path(pattern.mid(2).toLower().toStdU16String()).native());
        project = fs::path(kProjectName.toStdU16String()).native();
    }
    bool matches(const fs::path::value_type *name) const
    {
        using Char = fs::path::value_type;
        const Char *dot = nullptr;
        for (const Char *c = name; *c; ++c) {
            if (*c == Char('.'))
                dot = c;
        }
        // No extension we look for is longer than four letters.
        Char extension[6] = {};
        size_t length = 0;
        for (const Char *c = dot ? dot + 1 : name; dot && *c; ++c) {
            if (length == 5)
                return false;
            extension[length++] = *c >= Char('A') && *c <= Char('Z') ? Char(*c - Char('A') + Char('a')) : *c;
        }
        if (!dot || length == 0)
            return false;
        const std::basic_string_view<Char> found(extension, length);
        if (found == project.substr(project.size() - 3))
            return project == name;
        return name[0] != Char('$') &&
               std::find(extensions.begin(), extensions.end(), found) != extensions.end();
    }
    std::vector<Native> extensions;
    Native project;
};

// Hands `take` each entry of `folder` (name, is a folder, is a file, is a
// link), looking up a type only where the listing does not name it.
template <typename Take> void listFolder(const fs::path &folder, Take take)
{
#ifdef Q_OS_UNIX
    // readdir names each entry's type: a file costs no look-up of its own.
    DIR *dir = opendir(folder.c_str());
    if (!dir)
        return;
    while (const dirent *entry = readdir(dir)) {
        const char *name = entry->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
            continue;
        bool isFolder = entry->d_type == DT_DIR;
        bool isFile = entry->d_type == DT_REG;
        bool isLink = entry->d_type == DT_LNK;
        if (entry->d_type == DT_UNKNOWN || isLink) {
            struct stat target;
            if (fstatat(dirfd(dir), name, &target, 0) == 0) {
                isFolder = S_ISDIR(target.st_mode);
                isFile = S_ISREG(target.st_mode);
            }
            struct stat own;
            isLink = fstatat(dirfd(dir), name, &own, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(own.st_mode);
        }
        take(name, isFolder, isFile, isLink);
    }
    closedir(dir);
#else
    std::error_code error;
    for (fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, error);
         !error && it != fs::directory_iterator(); it.increment(error)) {
        std::error_code typeError;
        take(it->path().filename().c_str(), it->is_directory(typeError), it->is_regular_file(typeError),
             it->is_symlink(typeError));
    }
#endif
}

struct Folder
{
    fs::path path;
    // The folder's real location, to enter each one once, however many
    // links lead to it.
    fs::path real;
};

} // namespace

void SourceSearch::walk(const QString &root, const QString &patterns,
                        const std::function<bool(const QStringList &)> &take)
{
    std::error_code error;
    const fs::path start = fs::path(root.toStdU16String());
    const fs::path startReal = fs::canonical(start, error);
    if (error || inHiddenFolder(root))
        return;
    std::unordered_set<std::string> entered{startReal.string()};
    std::vector<Folder> stack{{start, startReal}};
    const NameFilter filter(patterns);
    while (!stack.empty()) {
        const Folder folder = std::move(stack.back());
        stack.pop_back();
        std::vector<Native> files;
        std::vector<std::pair<Native, bool>> folders; // name, is a link
        listFolder(folder.path,
                   [&](const fs::path::value_type *name, bool isFolder, bool isFile, bool isLink) {
                       if (isFolder) {
                           if (!isHiddenFolderName(toQString(name)))
                               folders.emplace_back(name, isLink);
                       } else if (isFile && filter.matches(name)) {
                           files.emplace_back(name);
                       }
                   });
        std::sort(files.begin(), files.end());
        QStringList found;
        found.reserve(static_cast<qsizetype>(files.size()));
        for (const Native &name : files)
            found << toQString(folder.path / name);
        if (!take(found))
            return;
        std::sort(folders.begin(), folders.end());
        // Pushed last to first, so the first is walked next.
        for (auto child = folders.rbegin(); child != folders.rend(); ++child) {
            fs::path real = folder.real / child->first;
            if (child->second) {
                std::error_code linkError;
                real = fs::canonical(folder.path / child->first, linkError);
                // A link back to a folder above it would walk in circles.
                if (linkError || isWithin(folder.real, real))
                    continue;
            }
            if (entered.insert(real.string()).second)
                stack.push_back({folder.path / child->first, std::move(real)});
        }
    }
}

SourceSearch::SourceSearch(ProcessRunner &processes, const LanguageTable &language,
                           Messages::Channel &messages, QObject *parent)
    : QObject(parent), m_language(language), m_messages(messages),
      m_runner(new ExecRunner(processes, m_options, m_silent, messages, this)),
      m_reloader(new SourceLoader(*m_runner, language, messages, this)),
      m_walk(new QFutureWatcher<QStringList>(this))
{
    setParallel(QThread::idealThreadCount());
    connect(m_walk, &QFutureWatcherBase::resultsReadyAt, this, &SourceSearch::takeWalkResults);
    connect(m_walk, &QFutureWatcherBase::finished, this, [this] {
        if (!m_running || m_walk->isCanceled())
            return;
        m_walkDone = true;
        finishIfDone();
    });
}

SourceSearch::~SourceSearch()
{
    m_walk->cancel();
    m_stop.requestStop();
}

QString SourceSearch::patternList(int supportedQvpVer)
{
    QString patterns = u"*.qvp;*."_s + SourceLoader::videoExtensions().join(u";*."_s) + u';';
    if (supportedQvpVer >= 8)
        patterns += u"*.zdm;"_s;
    return patterns;
}

QString SourceSearch::kindText(SourceKind kind)
{
    switch (kind) {
    case SourceKind::Project:
        return u"Qvp"_s;
    case SourceKind::SingleFileProject:
        return u"Zdm"_s;
    default:
        return u"Video"_s;
    }
}

Choice SourceSearch::batchChoice(const LoadedSource &source, int cvtType, int resType,
                                 const ServerSettings &server)
{
    Choice choice;
    choice.cvtType = server.serverSysVer.isEmpty() ? LocalConversion : cvtType;
    choice.resType = resType;
    if (resType == HighResolution && source.probe.frameWidth < server.secondRes)
        choice.resType = SourceResolution;
    return choice;
}

CVideoItem SourceSearch::batchEntry(const LoadedSource &source, const Choice &choice,
                                    const ServerSettings &server)
{
    CVideoItem entry;
    SourceLoader::fillEntry(entry, source, choice, server);
    entry.title =
        (source.kind == SourceKind::Video ? QFileInfo(source.path).completeBaseName() : source.title)
            .trimmed();
    entry.Author = source.author.trimmed();
    return entry;
}

void SourceSearch::setParallel(int count)
{
    count = std::max(count, 1);
    while (m_loaders.size() < count) {
        auto *loader = new SourceLoader(*m_runner, m_language, m_messages, this);
        m_loaders << loader;
        m_idle << loader;
    }
    // Loaders still probing leave when they come back.
    while (m_loaders.size() > count)
        m_idle.removeOne(m_loaders.takeLast());
}

void SourceSearch::start(const QString &folder, const ServerSettings &server)
{
    if (m_running)
        stop();
    m_stop = StopSource();
    ++m_generation;
    m_server = server;
    m_running = true;
    m_walkDone = false;
    m_finds.clear();
    m_nextProbe = 0;
    m_nextReport = 0;
    m_probed = 0;
    m_recordings.clear();

    auto promise = std::make_shared<QPromise<QStringList>>();
    m_walk->setFuture(promise->future());
    promise->start();
    const QString patterns = patternList(server.supportedQvpVer);
    QThreadPool::globalInstance()->start([promise, folder, patterns] {
        walk(folder, patterns, [&promise](const QStringList &found) {
            if (!found.isEmpty())
                promise->addResult(found);
            return !promise->isCanceled();
        });
        promise->finish();
    });
}

void SourceSearch::stop()
{
    if (!m_running)
        return;
    m_walk->cancel();
    m_stop.requestStop();
    end(true);
}

QCoro::Task<LoadedSource> SourceSearch::load(QString path, ServerSettings server)
{
    // Its own loader: those of a stopped search may not be back yet.
    return m_reloader->load(std::move(path), std::move(server), true, {});
}

void SourceSearch::takeWalkResults(int begin, int end)
{
    if (!m_running)
        return;
    for (int i = begin; i < end; ++i) {
        for (const QString &path : m_walk->resultAt(i))
            m_finds.append({path, false, false, {}});
    }
    Q_EMIT progress(m_probed, matchCount());
    pump();
}

void SourceSearch::pump()
{
    while (m_running && !m_idle.isEmpty() && m_nextProbe < m_finds.size()) {
        SourceLoader *loader = m_idle.takeLast();
        loader->setStopToken(m_stop.token());
        QCoro::connect(probeOne(loader, m_nextProbe++, m_generation), this, [] {});
    }
}

QCoro::Task<> SourceSearch::probeOne(SourceLoader *loader, qsizetype index, quint64 generation)
{
    QPointer<SourceSearch> self(this);
    const QString path = m_finds.at(index).path;
    // A file removed since the walk saw it is not listed.
    const bool exists = QFileInfo::exists(path);
    FoundSource find;
    if (exists)
        find = co_await describe(loader, path);
    if (!self)
        co_return;
    if (m_loaders.contains(loader))
        m_idle << loader;
    if (generation != m_generation) {
        // A search started meanwhile may have found everything while every
        // loader was still out on the one stopped: it waits for this one.
        pump();
        co_return;
    }
    Pending &pending = m_finds[index];
    pending.done = true;
    pending.listed = exists;
    pending.find = std::move(find);
    ++m_probed;
    flush();
    pump();
    finishIfDone();
}

QCoro::Task<FoundSource> SourceSearch::describe(SourceLoader *loader, QString path)
{
    FoundSource find;
    find.source = co_await loader->load(path, m_server, true, {});
    find.date = LastModifiedText(path);
    if (!find.source.loaded) {
        find.title = kUnsupported;
        co_return find;
    }
    if (find.source.kind == SourceKind::Video) {
        find.title = QFileInfo(path).completeBaseName();
        co_return find;
    }
    find.title = find.source.title;
    find.author = find.source.author;
    if (!find.source.recDate.isEmpty())
        find.date = find.source.recDate;
    co_return find;
}

void SourceSearch::flush()
{
    while (m_running && m_nextReport < m_finds.size() && m_finds.at(m_nextReport).done) {
        Pending &pending = m_finds[m_nextReport++];
        if (!pending.listed)
            continue;
        // A copy: a listener may stop the search, which lets go of the list.
        const FoundSource find = pending.find;
        // One recording reached twice (a project folder and its packed
        // copy, or a second link) is listed once.
        if (find.source.loaded && find.source.kind != SourceKind::Video) {
            const QString key = find.title + u" - "_s + find.author + u" ("_s + find.date + u')';
            if (m_recordings.contains(key)) {
                pending.listed = false;
                continue;
            }
            m_recordings.insert(key);
        }
        Q_EMIT found(find);
        if (!m_running)
            return;
    }
    Q_EMIT progress(m_probed, matchCount());
}

void SourceSearch::finishIfDone()
{
    if (m_running && m_walkDone && m_nextReport == m_finds.size())
        end(false);
}

void SourceSearch::end(bool stopped)
{
    m_running = false;
    // Probes still out come back to a search that is over.
    ++m_generation;
    // What was found is kept only as the listener took it.
    m_finds.clear();
    m_finds.squeeze();
    Q_EMIT finished(stopped);
}
