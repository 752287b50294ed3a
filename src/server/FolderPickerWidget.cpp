#include "server/FolderPickerWidget.h"

#include "server/LoginSession.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

namespace {
const QString kSeparator = QStringLiteral("/");
}

FolderPickerWidget::FolderPickerWidget(CFolderTree &tree, Messages::Channel &messages, QWidget *parent)
    : QWidget(parent), m_tree(tree), m_messages(messages), m_model(new FolderTreeModel(tree, this)),
      m_path(new QLabel(this)), m_drop(new QToolButton(this)), m_panel(new QFrame(this, Qt::Popup)),
      m_view(new QTreeView(m_panel))
{
    // No object names: the dialog's language pass would blank them.
    m_path->setFrameShape(QFrame::StyledPanel);
    m_path->setMinimumWidth(200);
    m_drop->setArrowType(Qt::DownArrow);
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    row->addWidget(m_path, 1);
    row->addWidget(m_drop);

    // A popup frame closes itself on any click outside it.
    m_panel->setFrameShape(QFrame::Box);
    auto *panelLayout = new QVBoxLayout(m_panel);
    panelLayout->setContentsMargins(1, 1, 1, 1);
    panelLayout->addWidget(m_view);
    m_view->setModel(m_model);
    m_view->header()->hide();
    m_view->setUniformRowHeights(true); // keeps long lists cheap to lay out
    m_view->setSelectionMode(QAbstractItemView::SingleSelection);

    connect(m_drop, &QToolButton::clicked, this, &FolderPickerWidget::showPanel);
    connect(m_view, &QTreeView::clicked, this, &FolderPickerWidget::pick);
    connect(m_view, &QTreeView::activated, this, &FolderPickerWidget::pick);
}

void FolderPickerWidget::setAccessibleCaption(const QString &caption)
{
    m_drop->setAccessibleName(caption);
    m_view->setAccessibleName(caption);
}

void FolderPickerWidget::attach(LoginSession *session)
{
    connect(session, &LoginSession::folderTreeAboutToChange, m_model, &FolderTreeModel::beginRebuild);
    connect(session, &LoginSession::folderTreeChanged, this, [this, session] {
        FillFolderView(session->login().server);
        showSelected();
    });
}

void FolderPickerWidget::FillFolderView(const QString &serverText)
{
    m_model->refill(serverText);
    m_view->expand(m_model->indexOf(m_tree.Root));
}

void FolderPickerWidget::SelectFolderById(int id)
{
    m_tree.SelectFolderById(id);
    showSelected();
}

void FolderPickerWidget::showSelected()
{
    if (!m_tree.Selected) {
        m_path->clear();
        m_view->clearSelection();
        return;
    }
    const QModelIndex index = m_model->indexOf(m_tree.Selected);
    m_view->setCurrentIndex(index);
    m_view->scrollTo(index);
    m_path->setText(m_tree.PathOf(m_tree.Selected, kSeparator));
}

void FolderPickerWidget::SetTreeViewData(const pugi::xml_document &reply, const QString &serverText)
{
    m_model->beginRebuild();
    m_tree.BuildFolderTree(reply, m_messages);
    FillFolderView(serverText);
    showSelected();
}

QString FolderPickerWidget::folderId() const
{
    return m_tree.Selected ? QString::number(m_tree.Selected->ID) : QString();
}

QString FolderPickerWidget::folderPath() const
{
    return m_tree.Selected ? m_tree.PathOf(m_tree.Selected, kSeparator) : QString();
}

QString FolderPickerWidget::pathText() const
{
    return m_path->text();
}

void FolderPickerWidget::showPanel()
{
    const QPoint below = mapToGlobal(QPoint(0, height()));
    m_panel->resize(std::max(width(), 260), 320);
    m_panel->move(below);
    m_panel->show();
    m_view->setFocus();
}

bool FolderPickerWidget::isPanelVisible() const
{
    return m_panel->isVisible();
}

void FolderPickerWidget::pick(const QModelIndex &index)
{
    const CFolderNode *node = m_model->nodeAt(index);
    // The server item and grey folders take no upload: nothing changes.
    if (!node || node == m_tree.Root || !node->Uploadable)
        return;
    m_tree.Selected = m_tree.FindNode(node->ID);
    showSelected();
    m_panel->hide();
    Q_EMIT folderChosen(node->ID);
}
