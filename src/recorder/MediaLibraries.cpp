#include "recorder/MediaLibraries.h"

MediaLibraries::MediaLibraries(ProcessRunner &processes, QObject *parent) : QObject(parent)
{
    for (MediaLibrary *&library : m_libraries)
        library = new MediaLibrary(processes, this);
}

MediaLibrary *MediaLibraries::forVersion(const QString &version) const
{
    if (version.isEmpty())
        return nullptr;
    const char16_t major = version.front().unicode();
    if (major < u'5' || major > u'8')
        return nullptr;
    return m_libraries.at(major - u'5');
}

int MediaLibraries::ThumbCreate2(const QString &version, const QString &mediaPath, const QString &listPath,
                                 const QString &folderName, int width, int height, StopToken stop)
{
    MediaLibrary *library = forVersion(version);
    return library ? library->ThumbCreate2(mediaPath, listPath, folderName, width, height, std::move(stop))
                   : 0;
}

int MediaLibraries::ThumbTime(const QString &version) const
{
    const MediaLibrary *library = forVersion(version);
    return library ? library->ThumbTime() : 0;
}

QCoro::Task<int> MediaLibraries::verifyWholeQvFile(QString version, QString mediaPath, StopToken stop)
{
    MediaLibrary *library = forVersion(version);
    if (!library)
        co_return 0;
    co_return co_await library->verifyWholeQvFile(mediaPath, stop);
}

QCoro::Task<int> MediaLibraries::GetExtendDataFromProject(QString projectPath, QString qvpPath,
                                                          QString cursorPath, QString photoPath,
                                                          QString indexPath)
{
    co_return co_await m_libraries.back()->GetExtendDataFromProject(projectPath, qvpPath, cursorPath,
                                                                    photoPath, indexPath);
}

QCoro::Task<int> MediaLibraries::SetExtendDataInProject(QString projectPath, QString qvpPath,
                                                        QString cursorPath, QString photoPath,
                                                        QString indexPath)
{
    co_return co_await m_libraries.back()->SetExtendDataInProject(projectPath, qvpPath, cursorPath, photoPath,
                                                                  indexPath);
}
