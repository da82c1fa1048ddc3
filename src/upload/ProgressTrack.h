#pragma once

#include <QQuickItem>
#include <QtQmlIntegration>

// The item a progress bar is drawn in, telling assistive technology its value from 0 to 100:
// Qt 6.4 reports no value for its own progress bars. Give it `Accessible.role` and
// `Accessible.name` in QML, which puts it in the accessibility tree.
class ProgressTrack : public QQuickItem
{
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(double value READ value WRITE setValue NOTIFY valueChanged)

public:
    static constexpr double minimumValue = 0.0;
    static constexpr double maximumValue = 100.0;

    explicit ProgressTrack(QQuickItem *parent = nullptr);

    double value() const { return m_value; }
    void setValue(double value);

Q_SIGNALS:
    void valueChanged();

private:
    double m_value = 0.0;
};
