#include "firstPaintProbe.h"

#include "benchClock.h"

#include <QApplication>
#include <QEvent>
#include <QWidget>

#include <cstdio>

FirstPaintProbe::FirstPaintProbe(QWidget* window) : m_window(window)
{
    qApp->installEventFilter(this);
}

bool FirstPaintProbe::eventFilter(QObject* watched, QEvent* event)
{
    if (!m_painted && event->type() == QEvent::Paint && watched->isWidgetType() &&
        static_cast<QWidget*>(watched)->window() == m_window) {
        m_painted = true;
        // The window and all its children are painted and flushed in one pass; a queued call runs after it.
        QMetaObject::invokeMethod(this, "report", Qt::QueuedConnection);
    }
    return false;
}

void FirstPaintProbe::report()
{
    std::printf("%lld %d %d\n", static_cast<long long>(monotonicNs()), m_window->width(), m_window->height());
    std::fflush(stdout);
    QCoreApplication::exit(0);
}
