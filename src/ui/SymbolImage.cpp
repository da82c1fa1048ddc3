#include "SymbolImage.h"

#include <QPainter>
#include <QPainterPathStroker>

#include <functional>

namespace {
QPainterPath circle(QPointF centre, qreal radius)
{
    QPainterPath path;
    path.addEllipse(centre, radius, radius);
    return path;
}

// A polyline drawn with a round pen of `width`, as a filled outline.
QPainterPath stroke(std::initializer_list<QPointF> points, qreal width)
{
    QPainterPath line;
    line.moveTo(*points.begin());
    for (auto point = points.begin() + 1; point != points.end(); ++point)
        line.lineTo(*point);
    QPainterPathStroker stroker;
    stroker.setWidth(width);
    stroker.setCapStyle(Qt::RoundCap);
    stroker.setJoinStyle(Qt::RoundJoin);
    return stroker.createStroke(line).simplified();
}

QPainterPath upArrow(QPointF tip, qreal length, qreal headSize, qreal width)
{
    const QPointF tail = tip + QPointF(0, length);
    return stroke({tail, tip}, width)
        .united(stroke({tip + QPointF(-headSize, headSize), tip, tip + QPointF(headSize, headSize)}, width));
}

QPainterPath cloudWithArrow()
{
    QPainterPath cloud = circle({10, 17}, 7).united(circle({19, 11}, 9)).united(circle({27, 16}, 8));
    QPainterPath base;
    base.addRect(QRectF(10, 14, 17, 10));
    cloud = cloud.united(base);
    return cloud.subtracted(upArrow({19, 9.5}, 11, 4.6, 3));
}

QPainterPath eye()
{
    QPainterPath almond;
    almond.moveTo(1, 12);
    almond.cubicTo(7, 0, 25, 0, 31, 12);
    almond.cubicTo(25, 24, 7, 24, 1, 12);
    return almond.subtracted(circle({16, 12}, 6.5)).united(circle({16, 12}, 4.5));
}

QPainterPath eyeSlash()
{
    const QPointF from(4, 0.5), to(28, 23.5);
    return eye().subtracted(stroke({from, to}, 5)).united(stroke({from, to}, 2.2));
}

QPainterPath circleWithArrow()
{
    return circle({12, 12}, 12).subtracted(upArrow({12, 6.5}, 11, 5, 2.6));
}

QPainterPath circleWithCross()
{
    return circle({12, 12}, 12)
        .subtracted(stroke({{8, 8}, {16, 16}}, 2.6))
        .subtracted(stroke({{16, 8}, {8, 16}}, 2.6));
}

// A page with its top right corner folded over, the fold set off by a thin gap.
QPainterPath document()
{
    QPainterPath page;
    page.addRoundedRect(QRectF(0, 0, 18, 24), 3, 3);
    QPainterPath corner;
    corner.addPolygon(QPolygonF({{11.5, -1}, {19, -1}, {19, 6.5}}));
    QPainterPath fold;
    fold.addPolygon(QPolygonF({{12.4, 0}, {12.4, 3.6}, {14.4, 5.6}, {18, 5.6}}));
    fold.closeSubpath();
    const QPainterPath gap = stroke({{11.5, -1}, {11.5, 6.5}, {19, 6.5}}, 1.4);
    return page.subtracted(corner).subtracted(gap).united(fold.intersected(page));
}

QPainterPath documentWithArrow()
{
    return document().subtracted(upArrow({9, 10}, 8.5, 3.6, 2.2));
}

QPainterPath checkmark()
{
    return stroke({{2, 13}, {8.5, 19.5}, {22, 4}}, 3.2);
}
}

SymbolImage::SymbolImage(QQuickItem *parent)
    : QQuickPaintedItem(parent)
{
    setAntialiasing(true);
    updateImplicitSize();
}

QPainterPath SymbolImage::shape(const QString &name)
{
    static const QHash<QString, std::function<QPainterPath()>> symbols = {
        {QStringLiteral("icloud.and.arrow.up.fill"), cloudWithArrow},
        {QStringLiteral("eye.fill"), eye},
        {QStringLiteral("eye.slash.fill"), eyeSlash},
        {QStringLiteral("arrow.up.circle.fill"), circleWithArrow},
        {QStringLiteral("xmark.circle.fill"), circleWithCross},
        {QStringLiteral("checkmark"), checkmark},
        {QStringLiteral("doc.fill"), document},
        {QStringLiteral("arrow.up.doc.fill"), documentWithArrow},
    };
    const auto draw = symbols.value(name);
    return draw ? draw() : QPainterPath();
}

void SymbolImage::setName(const QString &name)
{
    if (m_name == name)
        return;
    m_name = name;
    m_shape = shape(name);
    if (m_shape.isEmpty())
        qWarning("SymbolImage: no symbol named \"%s\"", qPrintable(name));
    updateImplicitSize();
    Q_EMIT nameChanged();
    update();
}

void SymbolImage::setColor(const QColor &color)
{
    if (m_color == color)
        return;
    m_color = color;
    Q_EMIT colorChanged();
    update();
}

void SymbolImage::setPointSize(qreal size)
{
    if (qFuzzyCompare(m_pointSize, size))
        return;
    m_pointSize = size;
    updateImplicitSize();
    Q_EMIT pointSizeChanged();
}

void SymbolImage::updateImplicitSize()
{
    const QRectF bounds = m_shape.boundingRect();
    const qreal aspect = bounds.height() > 0 ? bounds.width() / bounds.height() : 1;
    setImplicitSize(m_pointSize * aspect, m_pointSize);
}

void SymbolImage::paint(QPainter *painter)
{
    const QRectF bounds = m_shape.boundingRect();
    if (bounds.isEmpty())
        return;
    const qreal scale = qMin(width() / bounds.width(), height() / bounds.height());
    painter->setRenderHint(QPainter::Antialiasing);
    painter->translate(width() / 2, height() / 2);
    painter->scale(scale, scale);
    painter->translate(-bounds.center());
    painter->fillPath(m_shape, m_color);
}
