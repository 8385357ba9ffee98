// Keeps the mouse wheel from changing a choice the user never clicked: a combo or spin box takes the wheel
// only while it has focus, else the wheel scrolls the form around it. A field that gets focus, by a mnemonic
// or Tab, is scrolled into view.
#pragma once

#include <QList>
#include <QObject>
#include <QPointer>

class QScrollArea;
class QWidget;

class WheelGuard : public QObject
{
    Q_OBJECT

public:
    // Guards every combo and spin box under form (with the scroll areas there); the guard belongs to form.
    static void install(QWidget* form);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit WheelGuard(QWidget* form);
    void showFocused(QWidget* now);

    QList<QPointer<QScrollArea>> m_areas;
};
