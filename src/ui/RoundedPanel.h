#pragma once

#include <QImage>
#include <QQuickPaintedItem>

// A filled rounded rectangle with a soft drop shadow, drawn in one piece so that it stays
// clean when scaled or faded. The item is larger than the panel by `extent` on every side,
// which leaves room for the shadow; ShadowedRectangle places it.
class RoundedPanel : public QQuickPaintedItem
{
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QColor color READ color WRITE setColor NOTIFY colorChanged)
    Q_PROPERTY(qreal radius READ radius WRITE setRadius NOTIFY shapeChanged)
    Q_PROPERTY(QColor shadowColor READ shadowColor WRITE setShadowColor NOTIFY shadowColorChanged)
    // Given as designers give it: about twice the standard deviation of the blur.
    Q_PROPERTY(qreal shadowRadius READ shadowRadius WRITE setShadowRadius NOTIFY shapeChanged)
    Q_PROPERTY(qreal shadowOffsetX READ shadowOffsetX WRITE setShadowOffsetX NOTIFY shapeChanged)
    Q_PROPERTY(qreal shadowOffsetY READ shadowOffsetY WRITE setShadowOffsetY NOTIFY shapeChanged)
    Q_PROPERTY(qreal shadowOpacity READ shadowOpacity WRITE setShadowOpacity NOTIFY shadowOpacityChanged)
    Q_PROPERTY(qreal extent READ extent NOTIFY shapeChanged)

public:
    explicit RoundedPanel(QQuickItem *parent = nullptr);

    QColor color() const { return m_color; }
    void setColor(const QColor &color);
    qreal radius() const { return m_radius; }
    void setRadius(qreal radius);
    QColor shadowColor() const { return m_shadowColor; }
    void setShadowColor(const QColor &color);
    qreal shadowRadius() const { return m_shadowRadius; }
    void setShadowRadius(qreal radius);
    qreal shadowOffsetX() const { return m_shadowOffset.x(); }
    void setShadowOffsetX(qreal offset);
    qreal shadowOffsetY() const { return m_shadowOffset.y(); }
    void setShadowOffsetY(qreal offset);
    qreal shadowOpacity() const { return m_shadowOpacity; }
    void setShadowOpacity(qreal opacity);
    qreal extent() const;

    void paint(QPainter *painter) override;

Q_SIGNALS:
    void colorChanged();
    void shapeChanged();
    void shadowColorChanged();
    void shadowOpacityChanged();

private:
    QRectF panelRect() const;
    void setShapeValue(qreal &field, qreal value);
    QImage renderShadowMask(const QSize &pixelSize, qreal scale) const;

    QColor m_color = Qt::white;
    qreal m_radius = 0;
    QColor m_shadowColor = Qt::transparent;
    qreal m_shadowRadius = 0;
    QPointF m_shadowOffset;
    qreal m_shadowOpacity = 1;
    QImage m_shadowMask;
    QImage m_shadow;
};
