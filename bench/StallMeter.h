#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <sys/resource.h>

// The longest gap between two ticks of a fast timer on Qt's loop, and how
// much of it the loop's thread spent working (the rest it waited for a
// processor).
class StallMeter final : public QObject
{
public:
    StallMeter()
    {
        m_timer.setInterval(5);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            const qint64 gap = m_clock.restart();
            const qint64 cpu = threadCpuMs();
            if (gap > m_longest) {
                m_longest = gap;
                m_working = cpu - m_cpu;
            }
            m_cpu = cpu;
        });
        m_cpu = threadCpuMs();
        m_clock.start();
        m_timer.start();
    }
    qint64 longestMs() const { return m_longest; }
    qint64 workingMs() const { return m_working; }

    // Processor time of the calling thread, in ms.
    static qint64 threadCpuMs()
    {
        rusage usage{};
        getrusage(RUSAGE_THREAD, &usage);
        return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000 +
               (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
    }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_longest = 0;
    qint64 m_working = 0;
    qint64 m_cpu = 0;
};
