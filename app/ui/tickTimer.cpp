#include "app/ui/tickTimer.h"

CQtTickTimer::CQtTickTimer() {
    m_timer.setTimerType(Qt::CoarseTimer);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { tick(); });
}

void CQtTickTimer::start(unsigned periodMs) {
    m_timer.start(static_cast<int>(periodMs));
}
