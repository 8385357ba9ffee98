#include "wheelGuard.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QScrollArea>

WheelGuard::WheelGuard(QWidget* form) : QObject(form)
{
    for (QScrollArea* area : form->findChildren<QScrollArea*>())
        m_areas << area;
    if (!m_areas.isEmpty())
        connect(qApp, &QApplication::focusChanged, this,
                [this](QWidget*, QWidget* now) { showFocused(now); });
}

void WheelGuard::install(QWidget* form)
{
    auto* guard = new WheelGuard(form);
    QList<QWidget*> fields;
    for (QComboBox* box : form->findChildren<QComboBox*>())
        fields << box;
    for (QAbstractSpinBox* box : form->findChildren<QAbstractSpinBox*>())
        fields << box;
    for (QWidget* field : fields) {
        // The wheel no longer gives focus, so it cannot pass the check below on its own.
        field->setFocusPolicy(Qt::StrongFocus);
        field->installEventFilter(guard);
    }
}

bool WheelGuard::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Wheel && !static_cast<QWidget*>(watched)->hasFocus()) {
        // Ignored and filtered: the application hands the wheel to the parents, up to the scroll area.
        event->ignore();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void WheelGuard::showFocused(QWidget* now)
{
    for (const QPointer<QScrollArea>& area : m_areas) {
        if (now && area && area->widget() && area->widget()->isAncestorOf(now))
            area->ensureWidgetVisible(now);
    }
}
