#pragma once

// Measures how long the event loop was kept from running: the largest gap between ticks of a
// 5 ms timer. A window whose thread blocks in a read shows that read's length here.

#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>

class StallProbe {
public:
    StallProbe() {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            m_largestNs = std::max(m_largestNs, now - m_lastNs);
            m_lastNs = now;
        });
        Reset();
        m_timer.start();
    }
    void Reset() {
        m_clock.start();
        m_lastNs = 0;
        m_largestNs = 0;
    }
    double LargestGapMs() const { return double(m_largestNs) / 1e6; }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_lastNs = 0;
    qint64 m_largestNs = 0;
};
