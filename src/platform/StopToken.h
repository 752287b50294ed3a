#pragma once

#include <QObject>
#include <memory>

// The one way work is asked to stop. The Stop command holds a StopSource for
// the run; every step, child process and transfer of the run holds a token
// of it and looks at it (or waits for its signal) instead of reading flags
// that others write. A token made without a source never stops.
class StopState final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StopState)

public:
    StopState() = default;
    bool requested() const { return m_requested; }
    void request()
    {
        if (m_requested)
            return;
        m_requested = true;
        Q_EMIT stopRequested();
    }

Q_SIGNALS:
    void stopRequested();

private:
    bool m_requested = false;
};

class StopToken
{
public:
    StopToken() : m_state(std::make_shared<StopState>()) {}
    bool stopRequested() const { return m_state->requested(); }
    // Emits stopRequested() once, when the source asks to stop.
    StopState *state() const { return m_state.get(); }

private:
    friend class StopSource;
    explicit StopToken(std::shared_ptr<StopState> state) : m_state(std::move(state)) {}
    std::shared_ptr<StopState> m_state;
};

class StopSource
{
public:
    StopSource() : m_state(std::make_shared<StopState>()) {}
    StopToken token() const { return StopToken(m_state); }
    void requestStop() { m_state->request(); }
    bool stopRequested() const { return m_state->requested(); }

private:
    std::shared_ptr<StopState> m_state;
};
