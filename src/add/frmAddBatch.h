#pragma once

#include "add/SourceSearch.h"

#include <QCoroTask>
#include <QDialog>
#include <array>

class FolderPickerWidget;
class LoginPanelWidget;
class QAbstractTableModel;
class QButtonGroup;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTableView;
class QueueModel;
class Session;
struct ServerAccess;

// The batch dialog: log in and pick a destination folder as in the Add
// dialog, search a local folder tree for videos and recordings, and queue
// the selected finds in one go with one conversion and resolution choice.
class frmAddBatch final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(frmAddBatch)

public:
    // The result grid's columns.
    enum Column
    {
        ColClassify,
        ColTitle,
        ColAuthor,
        ColRecDate,
        ColPath,
        ColumnCount
    };

    frmAddBatch(Session &session, QWidget *parent = nullptr);
    ~frmAddBatch() override;

    // Searches the folder in the location field.
    void SearchProcess();
    // Puts `folder` into the location field and searches it.
    void searchFolder(const QString &folder);
    bool isSearching() const;
    SourceSearch *search() const { return m_search; }
    // The finds listed so far, in grid order.
    const QList<FoundSource> &finds() const;

    // Refused while searching, probing or waiting for the folder list.
    void reject() override;
    void done(int result) override;

private:
    void buildControls();
    void buildLayout();
    void connectControls();
    void loadSettings();
    void setResolutionCaptions();
    void applyServer();
    void searchEnded();
    void updateButtons();
    QCoro::Task<> browse();
    QCoro::Task<> confirm();
    QCoro::Task<qint16> askReplace(QString path);
    QString lang(const QString &key, const QString &fallback = {}) const;

    ServerAccess &m_access;
    QueueModel &m_queue;
    const LanguageTable &m_language;
    Messages::Channel &m_messages;
    SourceSearch *m_search;
    bool m_commandRunning = false;
    bool m_queueing = false;

    LoginPanelWidget *m_login;
    QLabel *lFolder;
    FolderPickerWidget *m_folders;
    QLineEdit *txtLocation;
    QPushButton *cmdBrowse;
    QPushButton *cmdStop;
    QProgressBar *m_progress;
    QTableView *gridResult;
    QAbstractTableModel *m_results;
    QLabel *lHelp;
    std::array<QRadioButton *, 2> optConvert;
    std::array<QRadioButton *, 2> optResolution;
    QButtonGroup *m_convertGroup;
    QButtonGroup *m_resolutionGroup;
    QPushButton *cmdOK;
    QPushButton *cmdCancel;
};
