#include "app/MessageBoxWidget.h"

#include <QApplication>
#include <QMessageBox>

namespace {

QMessageBox::Icon boxIcon(Messages::Icon icon)
{
    switch (icon) {
    case Messages::Icon::Information:
        return QMessageBox::Information;
    case Messages::Icon::Warning:
        return QMessageBox::Warning;
    case Messages::Icon::Critical:
        return QMessageBox::Critical;
    case Messages::Icon::Question:
        return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}

QMessageBox::StandardButtons boxButtons(Messages::Buttons buttons)
{
    switch (buttons) {
    case Messages::Buttons::Ok:
        return QMessageBox::Ok;
    case Messages::Buttons::OkCancel:
        return QMessageBox::Ok | QMessageBox::Cancel;
    case Messages::Buttons::YesNo:
        return QMessageBox::Yes | QMessageBox::No;
    case Messages::Buttons::YesNoCancel:
        return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    }
    return QMessageBox::Ok;
}

// A box closed without a button (Esc, the title bar) answers as its most
// cautious button would.
Messages::Answer answerOf(QMessageBox::StandardButton clicked, Messages::Buttons buttons)
{
    switch (clicked) {
    case QMessageBox::Ok:
        return Messages::Answer::Ok;
    case QMessageBox::Yes:
        return Messages::Answer::Yes;
    case QMessageBox::No:
        return Messages::Answer::No;
    case QMessageBox::Cancel:
        return Messages::Answer::Cancel;
    default:
        break;
    }
    switch (buttons) {
    case Messages::Buttons::Ok:
        return Messages::Answer::Ok;
    case Messages::Buttons::YesNo:
        return Messages::Answer::No;
    case Messages::Buttons::OkCancel:
    case Messages::Buttons::YesNoCancel:
        return Messages::Answer::Cancel;
    }
    return Messages::Answer::Cancel;
}

} // namespace

void MessageBoxWidget::present(const Messages::Message &message, std::function<void(Messages::Answer)> done)
{
    QWidget *parent = m_window ? m_window.data() : QApplication::activeWindow();
    const QString title = message.title.isEmpty() ? QStringLiteral("ClipFerry") : message.title;
    auto *box =
        new QMessageBox(boxIcon(message.icon), title, message.text, boxButtons(message.buttons), parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    if (message.buttons == Messages::Buttons::YesNo || message.buttons == Messages::Buttons::YesNoCancel)
        box->setDefaultButton(QMessageBox::Yes);
    const Messages::Buttons buttons = message.buttons;
    QObject::connect(box, &QMessageBox::finished, box, [box, buttons, done = std::move(done)]() {
        done(answerOf(box->standardButton(box->clickedButton()), buttons));
    });
    box->open();
}
