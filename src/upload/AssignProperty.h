#pragma once

#include <QtGlobal>

// Sets an observable field and emits its change signal, only when the value differs. Answers
// whether it changed.
template<typename Owner, typename T>
bool assignProperty(Owner *owner, T &field, const T &value, void (Owner::*changed)())
{
    if (field == value)
        return false;
    field = value;
    Q_EMIT(owner->*changed)();
    return true;
}
