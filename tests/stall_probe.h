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
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] {
            m_largestNs = std::max(m_largestNs, m_sinceTick.nsecsElapsed());
            m_sinceTick.start();
        });
        Reset();
        m_timer.start(5);
    }
    void Reset() {
        m_sinceTick.start();
        m_largestNs = 0;
    }
    double LargestGapMs() const { return double(m_largestNs) / 1e6; }

private:
    QTimer m_timer;
    QElapsedTimer m_sinceTick; // since the latest tick (or Reset)
    qint64 m_largestNs = 0;
};
