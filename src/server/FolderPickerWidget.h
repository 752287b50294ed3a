#pragma once

#include "server/FolderTreeModel.h"

#include <QWidget>

class LoginSession;
class QFrame;
class QLabel;
class QToolButton;
class QTreeView;

// The destination folder: a path label and a button that drop down the
// server's folder tree. Only folders that take uploads can be picked; the
// panel closes on a pick or on a click anywhere else.
class FolderPickerWidget final : public QWidget
{
    Q_OBJECT
public:
    FolderPickerWidget(CFolderTree &tree, Messages::Channel &messages, QWidget *parent = nullptr);

    // Follows the tree rebuilds of a login, showing it under the login's server.
    void attach(LoginSession *session);
    void FillFolderView(const QString &serverText);
    void SelectFolderById(int id);
    // Builds the tree from a folder-listing reply and shows it.
    void SetTreeViewData(const pugi::xml_document &reply, const QString &serverText);

    // The chosen folder as the add dialogs store it; empty when none.
    QString folderId() const;
    QString folderPath() const;

    // What a screen reader calls the drop-down button and the tree.
    void setAccessibleCaption(const QString &caption);

    void showPanel();
    bool isPanelVisible() const;
    QTreeView *view() const { return m_view; }
    // What the path label shows.
    QString pathText() const;
    FolderTreeModel *model() const { return m_model; }

Q_SIGNALS:
    void folderChosen(int id);

private:
    void pick(const QModelIndex &index);
    void showSelected();

    CFolderTree &m_tree;
    Messages::Channel &m_messages;
    FolderTreeModel *m_model;
    QLabel *m_path;
    QToolButton *m_drop;
    QFrame *m_panel;
    QTreeView *m_view;
};
