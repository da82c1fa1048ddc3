#pragma once

#include <QObject>

class QAccessibleInterface;

// Qt Quick 6.4 tells assistive technology that every item is enabled, even one drawn and
// behaving disabled (an Upload button before the form is complete). Once installed, items report
// their enabled state and announce each change of it, as widgets do.
class AccessibleEnabledState : public QObject
{
    Q_OBJECT

public:
    // Before the first window; again is harmless.
    static void install();

private:
    explicit AccessibleEnabledState(QObject *parent);
    static QAccessibleInterface *interfaceFor(const QString &className, QObject *object);
    void announceChange();
};
