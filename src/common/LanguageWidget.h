#pragma once

#include <QString>

class LanguageTable;

class QPushButton;
class QWidget;

// Sets a window's caption and the captions of its buttons, option buttons,
// check boxes, frames, labels, menus and toolbar buttons from the language
// table, by the window's and each control's object name. A missing key empties
// the caption.
void ApplyLanguage(const LanguageTable &language, QWidget *window);

// A control named for its caption key, so ApplyLanguage gives it its text.
template <typename Control> Control *NamedControl(const QString &name, QWidget *parent)
{
    auto *control = new Control(parent);
    control->setObjectName(name);
    return control;
}

// A flat button that looks and acts like a hyperlink (the dialogs' help and
// mode links), named for its caption key.
QPushButton *LinkButton(const QString &name, QWidget *parent);
