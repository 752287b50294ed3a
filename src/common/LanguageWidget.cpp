#include "common/LanguageWidget.h"

#include "common/Lang.h"

#include <QAbstractButton>
#include <QAction>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QToolBar>
#include <QWidget>

QPushButton *LinkButton(const QString &name, QWidget *parent)
{
    auto *link = NamedControl<QPushButton>(name, parent);
    link->setFlat(true);
    link->setCursor(Qt::PointingHandCursor);
    link->setStyleSheet(QStringLiteral("QPushButton { color: palette(link); text-decoration: underline; "
                                       "border: none; padding: 0; text-align: left; } "
                                       "QPushButton:disabled { color: palette(mid); }"));
    return link;
}

void ApplyLanguage(const LanguageTable &language, QWidget *window)
{
    const QString section = window->objectName();
    window->setWindowTitle(language.text(section, section));
    const auto caption = [&](const QObject *control) {
        return language.text(section, control->objectName());
    };

    for (QAbstractButton *button : window->findChildren<QAbstractButton *>()) {
        // Toolbar buttons take their text from their action below.
        if (!button->objectName().isEmpty() && !qobject_cast<QToolBar *>(button->parentWidget()))
            button->setText(caption(button));
    }
    for (QGroupBox *frame : window->findChildren<QGroupBox *>()) {
        if (!frame->objectName().isEmpty())
            frame->setTitle(caption(frame));
    }
    for (QLabel *label : window->findChildren<QLabel *>()) {
        if (!label->objectName().isEmpty() && !label->objectName().startsWith(QLatin1String("qt_")))
            label->setText(caption(label));
    }
    for (QMenu *menu : window->findChildren<QMenu *>()) {
        if (!menu->objectName().isEmpty())
            menu->setTitle(caption(menu));
        for (QAction *action : menu->actions()) {
            if (!action->objectName().isEmpty())
                action->setText(caption(action));
        }
    }
    for (QToolBar *toolbar : window->findChildren<QToolBar *>()) {
        for (QAction *action : toolbar->actions()) {
            if (!action->objectName().isEmpty())
                action->setText(language.text(section, QStringLiteral("Toolbar") + action->objectName()));
        }
    }
}
