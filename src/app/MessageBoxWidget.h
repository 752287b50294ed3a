#pragma once

#include "platform/Messages.h"

#include <QPointer>
#include <QWidget>

// Shows ClipFerry's messages as real message boxes. Each box is opened with
// open(), so the loop keeps running while it waits, and its answer goes back
// through the callback when the person clicks.
class MessageBoxWidget final : public Messages::Presenter
{
public:
    // Boxes are window-modal over `window` while it exists, else over the
    // active window.
    explicit MessageBoxWidget(QWidget *window = nullptr) : m_window(window) {}
    void setWindow(QWidget *window) { m_window = window; }

    void present(const Messages::Message &message, std::function<void(Messages::Answer)> done) override;

private:
    QPointer<QWidget> m_window;
};
