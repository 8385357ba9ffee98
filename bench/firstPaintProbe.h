// Ends a start-up benchmark's child at its window's first paint: prints the monotonic time at which the first
// paint pass of the window has finished, and the window's size, then leaves the event loop.
#pragma once

#include <QObject>

class QWidget;

class FirstPaintProbe : public QObject
{
    Q_OBJECT

public:
    // Watches every paint event of the application for one of window or its children.
    explicit FirstPaintProbe(QWidget* window);

    bool eventFilter(QObject* watched, QEvent* event) override;

private slots:
    void report();

private:
    QWidget* m_window;
    bool m_painted = false;
};
