// A dialog's widget by its object name: the forms are private to their dialogs, so tests, tools and
// benchmarks reach a field by the name the .ui gives it, as the GUI tests find every other widget.
#pragma once

#include <QObject>
#include <QString>

template <class T> T* field(const QObject* form, const char* name)
{
    T* widget = form->findChild<T*>(QString::fromLatin1(name));
    if (!widget)
        qFatal("%s has no %s named %s", form->metaObject()->className(), T::staticMetaObject.className(),
               name);
    return widget;
}
