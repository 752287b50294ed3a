#pragma once

#include "recorder/CIndexItem.h"

#include <QList>
#include <QString>
#include <optional>
#include <pugixml.hpp>

class LanguageTable;
namespace Messages {
class Channel;
}

// The description "project.qvp" of a recording made by the Corvana or Lumetra
// screen recorder: descriptive texts, presentation settings, the video
// profile, the server binding (version 8) and the chapter index.
//
// A project is loaded, its fields read and changed, and saved back into the
// same document, so that everything this class does not know survives. A
// save never damages the file: the new content goes to "<file>.tmp" first
// and replaces the old file only when it is complete.
//
// The program keeps one current project on its state object; the class
// itself is an ordinary one. Its failures are shown on `messages`.
class CProjectFile final
{
public:
    CProjectFile(const LanguageTable &language, Messages::Channel &messages)
        : m_language(language), m_messages(messages)
    {}
    Q_DISABLE_COPY_MOVE(CProjectFile)

    // Reads `path` in the encoding it declares (UTF-8 when it declares none);
    // an encoding this computer cannot convert is refused with a message.
    // A missing file returns false at once and changes nothing;
    // any other failure shows which step failed (unless `silent`) and leaves
    // the fields read so far. `workFolder` receives the recorder's cursor
    // script when the project lacks its "showcursor" setting.
    bool Load(const QString &path, bool silent, const QString &workFolder = {});
    // Writes the fields back into the document and replaces the file, in the
    // encoding the loaded file declared; an empty name means the loaded file.
    bool Save(const QString &fileName = {});

    // The recording's length in milliseconds; empty when `durationText` is
    // not a time text.
    std::optional<qint64> duration() const;
    void setDuration(qint64 ms);

    void AddIndex(const QString &title, const QString &pos, const QString &recDate, const QString &url,
                  const QString &length, const QString &posEnd, bool selected);
    // 1-based; -99 removes every item.
    void RemoveIndex(int index);
    void SetTitle(int index, const QString &title);
    void SetLastItem(const QString &title, const QString &pos, const QString &recDate, const QString &url,
                     const QString &length, const QString &posEnd, bool selected);

    // The document of the last load, as the next save will start from it.
    pugi::xml_document &document() { return m_doc; }
    // The step of Load or Save that runs or last ran; failures name it.
    const QString &currentStep() const { return m_currentStep; }

    QString version;
    QString title;
    QString author;
    QString manager;
    QString company;
    QString category;
    QString keywords;
    QString comments;
    QString bitrate;
    QString size;
    QString preview;
    QString templateName; // configure/template
    QString photoAttribute;
    QString photo;
    QString soundAttribute;
    QString sound;
    QString showcursor;
    QString url;
    QString folderID;
    QString contentID;
    QList<CIndexItem> items;
    QString indexType;
    QString durationText;
    bool dropItemsBeyondEnd = true;
    QString fileName;
    QString pathPrefix;
    bool isVersion8 = false;

private:
    void setStep(const QString &step) { m_currentStep = step; }
    void setStartValues();
    void loadContent(const QString &workFolder);
    void loadConfigure(const QString &workFolder);
    void loadServerBinding();
    void loadIndex();
    void normaliseProfile();
    void saveContent();
    void writeServerBinding();
    pugi::xml_node rebuildIndex();
    void writeItems(pugi::xml_node index);
    bool replaceFile(const QString &target, const QByteArray &content);

    pugi::xml_node GetNode(const QString &path) const;
    pugi::xml_node requireNode(const QString &path) const;
    QString readText(const QString &path) const;
    void writeText(const QString &path, const QString &value);

    const LanguageTable &m_language;
    Messages::Channel &m_messages;
    pugi::xml_document m_doc;
    QString m_currentStep;
    // The encoding the loaded file declares; empty for UTF-8, which is
    // passed through unconverted.
    QByteArray m_encoding;
    bool m_byteOrderMark = false;
};
