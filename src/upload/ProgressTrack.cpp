#include "ProgressTrack.h"

#include <QAccessibleObject>
#include <QQuickWindow>

namespace {
// A leaf of the tree: a progress bar with its value, the name QML gave it, and its place.
class ProgressTrackAccessible : public QAccessibleObject, public QAccessibleValueInterface
{
public:
    explicit ProgressTrackAccessible(ProgressTrack *track)
        : QAccessibleObject(track)
    {
    }

    ProgressTrack *track() const { return static_cast<ProgressTrack *>(object()); }

    QWindow *window() const override { return track()->window(); }

    QAccessibleInterface *parent() const override
    {
        for (QQuickItem *ancestor = track()->parentItem(); ancestor; ancestor = ancestor->parentItem()) {
            if (QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(ancestor))
                return accessible;
        }
        return QAccessible::queryAccessibleInterface(track()->window());
    }
    QAccessibleInterface *child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }

    QString text(QAccessible::Text kind) const override
    {
        if (kind == QAccessible::Name) {
            // The name set as Accessible.name, kept by Qt's attached object.
            for (QObject *child : track()->children()) {
                if (child->inherits("QQuickAccessibleAttached"))
                    return child->property("name").toString();
            }
        }
        if (kind == QAccessible::Value)
            return QStringLiteral("%1%").arg(qRound(track()->value()));
        return {};
    }

    QRect rect() const override
    {
        if (!track()->window())
            return {};
        const QRectF scene = track()->mapRectToScene(track()->boundingRect());
        return QRect(track()->window()->mapToGlobal(scene.topLeft().toPoint()), scene.size().toSize());
    }

    QAccessible::Role role() const override { return QAccessible::ProgressBar; }

    QAccessible::State state() const override
    {
        QAccessible::State state;
        state.invisible = !track()->isVisible();
        state.readOnly = true;
        return state;
    }

    void *interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface *>(this);
        return QAccessibleObject::interface_cast(type);
    }

    QVariant currentValue() const override { return track()->value(); }
    void setCurrentValue(const QVariant &) override {}
    QVariant maximumValue() const override { return ProgressTrack::maximumValue; }
    QVariant minimumValue() const override { return ProgressTrack::minimumValue; }
    QVariant minimumStepSize() const override { return 0.0; }
};

QAccessibleInterface *progressTrackFactory(const QString &className, QObject *object)
{
    if (className == QLatin1String(ProgressTrack::staticMetaObject.className()))
        return new ProgressTrackAccessible(static_cast<ProgressTrack *>(object));
    return nullptr;
}
}

ProgressTrack::ProgressTrack(QQuickItem *parent)
    : QQuickItem(parent)
{
    // After Qt Quick's own, so that it is asked first.
    static const bool installed = [] {
        QAccessible::installFactory(progressTrackFactory);
        return true;
    }();
    Q_UNUSED(installed);
}

void ProgressTrack::setValue(double value)
{
    value = std::clamp(value, minimumValue, maximumValue);
    if (qFuzzyCompare(m_value, value))
        return;
    m_value = value;
    Q_EMIT valueChanged();
    QAccessibleValueChangeEvent event(this, m_value);
    QAccessible::updateAccessibility(&event);
}
