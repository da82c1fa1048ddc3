#include "AccessibleEnabledState.h"

#include <QAccessible>
#include <QCoreApplication>
#include <QPointer>
#include <QQuickItem>
#include <QtQuick/private/qaccessiblequickitem_p.h>

namespace {
QPointer<AccessibleEnabledState> announcer;

class EnabledStateItem : public QAccessibleQuickItem
{
public:
    using QAccessibleQuickItem::QAccessibleQuickItem;

    QAccessible::State state() const override
    {
        QAccessible::State state = QAccessibleQuickItem::state();
        if (!item()->isEnabled())
            state.disabled = true;
        return state;
    }
};
}

AccessibleEnabledState::AccessibleEnabledState(QObject *parent)
    : QObject(parent)
{
}

void AccessibleEnabledState::install()
{
    if (!announcer)
        announcer = new AccessibleEnabledState(QCoreApplication::instance());
    // Factories installed last are asked first; Qt Quick installs its own when it loads.
    QAccessible::installFactory(interfaceFor);
}

// Serves the items Qt Quick's own factory would. Pages keep the interface Qt Quick Controls give
// them.
QAccessibleInterface *AccessibleEnabledState::interfaceFor(const QString &, QObject *object)
{
    if (!object || !object->isQuickItemType() || object->inherits("QQuickPage"))
        return nullptr;
    auto *item = static_cast<QQuickItem *>(object);
    auto *interface = new EnabledStateItem(item);
    if (!interface->isAccessible()) {
        delete interface;
        return nullptr;
    }
    // An item gets a new interface when its type grows during construction: one announcement still.
    QObject::connect(item, &QQuickItem::enabledChanged, announcer, &AccessibleEnabledState::announceChange,
                     Qt::UniqueConnection);
    return interface;
}

void AccessibleEnabledState::announceChange()
{
    QAccessible::State changed;
    changed.disabled = true;
    QAccessibleStateChangeEvent event(sender(), changed);
    QAccessible::updateAccessibility(&event);
}
