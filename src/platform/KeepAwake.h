#pragma once

#include <QString>
#include <memory>

// Keeps the computer and the display awake while ClipFerry's window is open,
// and gives the normal behaviour back when it closes.
class KeepAwake
{
public:
    virtual ~KeepAwake() = default;
    virtual void inhibit(const QString &reason) = 0;
    virtual void release() = 0;

    // The system's own mechanism (the desktop's D-Bus services on Linux).
    static std::unique_ptr<KeepAwake> create();
};
