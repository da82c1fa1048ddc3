#pragma once

#include <QColor>
#include <QQuickPaintedItem>

// The outline of a rounded rectangle filling the item, solid or dashed. The stroke lies
// inside the item's bounds.
class RoundedOutline : public QQuickPaintedItem
{
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QColor color READ color WRITE setColor NOTIFY appearanceChanged)
    Q_PROPERTY(qreal radius READ radius WRITE setRadius NOTIFY appearanceChanged)
    Q_PROPERTY(qreal lineWidth READ lineWidth WRITE setLineWidth NOTIFY appearanceChanged)
    // Dashes of `dashLength` on, `dashLength` off.
    Q_PROPERTY(bool dashed READ isDashed WRITE setDashed NOTIFY appearanceChanged)
    Q_PROPERTY(qreal dashLength READ dashLength WRITE setDashLength NOTIFY appearanceChanged)

public:
    explicit RoundedOutline(QQuickItem *parent = nullptr);

    QColor color() const { return m_color; }
    void setColor(const QColor &color);
    qreal radius() const { return m_radius; }
    void setRadius(qreal radius);
    qreal lineWidth() const { return m_lineWidth; }
    void setLineWidth(qreal width);
    bool isDashed() const { return m_dashed; }
    void setDashed(bool dashed);
    qreal dashLength() const { return m_dashLength; }
    void setDashLength(qreal length);

    void paint(QPainter *painter) override;

Q_SIGNALS:
    void appearanceChanged();

private:
    template<typename T>
    void assign(T &field, const T &value);

    QColor m_color = Qt::black;
    qreal m_radius = 0;
    qreal m_lineWidth = 1;
    bool m_dashed = false;
    qreal m_dashLength = 5;
};
