#pragma once

#include <QObject>
#include <utility>

namespace lantern {

// Sets a property's field and emits its change signal, only when the value
// really changes: every property of the station's objects notifies that way.
template <typename Object, typename T, typename V>
void assign(Object& object, T& field, V&& value, void (Object::*changed)()) {
    if (field == value) return;
    field = std::forward<V>(value);
    Q_EMIT(object.*changed)();
}

} // namespace lantern
