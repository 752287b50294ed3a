#pragma once

class QWidget;

// Sets a window's caption and the captions of its buttons, option buttons,
// check boxes, frames, labels, menus and toolbar buttons from the language
// file, by the window's and each control's object name. A missing key empties
// the caption.
void ApplyLanguage(QWidget *window);
