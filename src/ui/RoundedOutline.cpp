#include "RoundedOutline.h"

#include <QPainter>
#include <QPen>

RoundedOutline::RoundedOutline(QQuickItem *parent)
    : QQuickPaintedItem(parent)
{
    setAntialiasing(true);
}

template<typename T>
void RoundedOutline::assign(T &field, const T &value)
{
    if (field == value)
        return;
    field = value;
    Q_EMIT appearanceChanged();
    update();
}

void RoundedOutline::setColor(const QColor &color)
{
    assign(m_color, color);
}

void RoundedOutline::setRadius(qreal radius)
{
    assign(m_radius, radius);
}

void RoundedOutline::setLineWidth(qreal width)
{
    assign(m_lineWidth, width);
}

void RoundedOutline::setDashed(bool dashed)
{
    assign(m_dashed, dashed);
}

void RoundedOutline::setDashLength(qreal length)
{
    assign(m_dashLength, length);
}

void RoundedOutline::paint(QPainter *painter)
{
    if (m_lineWidth <= 0)
        return;
    QPen pen(m_color, m_lineWidth);
    pen.setJoinStyle(Qt::MiterJoin);
    pen.setMiterLimit(10);
    if (m_dashed) {
        // Qt measures dashes in line widths.
        const qreal dash = m_dashLength / m_lineWidth;
        pen.setDashPattern({dash, dash});
        pen.setCapStyle(Qt::FlatCap);
    }
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(pen);
    painter->setBrush(Qt::NoBrush);
    const qreal inset = m_lineWidth / 2;
    const QRectF outline = QRectF(0, 0, width(), height()).adjusted(inset, inset, -inset, -inset);
    const qreal radius = qMax<qreal>(0, m_radius - inset);
    painter->drawRoundedRect(outline, radius, radius);
}
