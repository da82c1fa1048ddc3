#include "RoundedPanel.h"

#include <QPainter>
#include <QPainterPath>
#include <QQuickWindow>

#include <array>
#include <cmath>
#include <vector>

namespace {
// Three box blurs in a row approximate a Gaussian; these widths match its variance.
std::array<int, 3> boxWidths(qreal sigma)
{
    const qreal ideal = std::sqrt(12 * sigma * sigma / 3 + 1);
    int lower = int(std::floor(ideal));
    if (lower % 2 == 0)
        --lower;
    const int upper = lower + 2;
    const qreal lowerCount = std::round((12 * sigma * sigma - 3 * lower * lower - 12 * lower - 9)
                                        / (-4 * lower - 4));
    std::array<int, 3> widths{};
    for (int i = 0; i < 3; ++i)
        widths[i] = i < lowerCount ? lower : upper;
    return widths;
}

// One box blur along a line of `count` values spaced `stride` apart.
void boxBlurLine(uchar *line, int count, qsizetype stride, int radius, std::vector<uchar> &scratch)
{
    scratch.resize(count);
    for (int i = 0; i < count; ++i)
        scratch[i] = line[i * stride];
    const int window = 2 * radius + 1;
    int sum = 0;
    for (int i = -radius; i <= radius; ++i)
        sum += (i >= 0 && i < count) ? scratch[i] : 0;
    for (int i = 0; i < count; ++i) {
        line[i * stride] = uchar((sum + window / 2) / window);
        const int leaving = i - radius;
        const int entering = i + radius + 1;
        sum += (entering < count ? scratch[entering] : 0) - (leaving >= 0 ? scratch[leaving] : 0);
    }
}

// Blurs an Alpha8 image in place, close to a Gaussian of `sigma` pixels.
void blurAlpha(QImage &mask, qreal sigma)
{
    if (sigma <= 0)
        return;
    std::vector<uchar> scratch;
    const qsizetype rowStride = mask.bytesPerLine();
    for (int width : boxWidths(sigma)) {
        const int radius = (width - 1) / 2;
        for (int y = 0; y < mask.height(); ++y)
            boxBlurLine(mask.scanLine(y), mask.width(), 1, radius, scratch);
        for (int x = 0; x < mask.width(); ++x)
            boxBlurLine(mask.bits() + x, mask.height(), rowStride, radius, scratch);
    }
}
}

RoundedPanel::RoundedPanel(QQuickItem *parent)
    : QQuickPaintedItem(parent)
{
    setAntialiasing(true);
}

void RoundedPanel::setColor(const QColor &color)
{
    if (m_color == color)
        return;
    m_color = color;
    Q_EMIT colorChanged();
    update();
}

void RoundedPanel::setShapeValue(qreal &field, qreal value)
{
    if (qFuzzyCompare(field, value))
        return;
    field = value;
    m_shadowMask = QImage();
    Q_EMIT shapeChanged();
    update();
}

void RoundedPanel::setRadius(qreal radius)
{
    setShapeValue(m_radius, radius);
}

void RoundedPanel::setShadowRadius(qreal radius)
{
    setShapeValue(m_shadowRadius, radius);
}

void RoundedPanel::setShadowOffsetX(qreal offset)
{
    setShapeValue(m_shadowOffset.rx(), offset);
}

void RoundedPanel::setShadowOffsetY(qreal offset)
{
    setShapeValue(m_shadowOffset.ry(), offset);
}

void RoundedPanel::setShadowColor(const QColor &color)
{
    if (m_shadowColor == color)
        return;
    m_shadowColor = color;
    m_shadow = QImage();
    Q_EMIT shadowColorChanged();
    update();
}

void RoundedPanel::setShadowOpacity(qreal opacity)
{
    if (qFuzzyCompare(m_shadowOpacity, opacity))
        return;
    m_shadowOpacity = opacity;
    Q_EMIT shadowOpacityChanged();
    update();
}

qreal RoundedPanel::extent() const
{
    return std::ceil(1.5 * m_shadowRadius
                     + qMax(std::abs(m_shadowOffset.x()), std::abs(m_shadowOffset.y())));
}

QRectF RoundedPanel::panelRect() const
{
    const qreal inset = extent();
    return boundingRect().adjusted(inset, inset, -inset, -inset);
}

void RoundedPanel::paint(QPainter *painter)
{
    const QRectF panel = panelRect();
    if (panel.isEmpty())
        return;
    const qreal scale = window() ? window()->effectiveDevicePixelRatio() : 1.0;
    const QSize pixelSize = (size() * scale).toSize();
    if (m_shadowColor.alpha() > 0 && m_shadowOpacity > 0) {
        if (m_shadowMask.size() != pixelSize) {
            m_shadowMask = renderShadowMask(pixelSize, scale);
            m_shadow = QImage();
        }
        if (m_shadow.isNull()) {
            m_shadow = QImage(pixelSize, QImage::Format_ARGB32_Premultiplied);
            m_shadow.fill(m_shadowColor);
            QPainter tint(&m_shadow);
            tint.setCompositionMode(QPainter::CompositionMode_DestinationIn);
            tint.drawImage(0, 0, m_shadowMask);
        }
        painter->setOpacity(m_shadowOpacity);
        painter->drawImage(boundingRect(), m_shadow);
        painter->setOpacity(1);
    }
    QPainterPath shape;
    shape.addRoundedRect(panel, m_radius, m_radius);
    painter->setRenderHint(QPainter::Antialiasing);
    painter->fillPath(shape, m_color);
}

QImage RoundedPanel::renderShadowMask(const QSize &pixelSize, qreal scale) const
{
    QImage mask(pixelSize, QImage::Format_Alpha8);
    mask.fill(0);
    {
        QPainter painter(&mask);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(scale, scale);
        QPainterPath shape;
        shape.addRoundedRect(panelRect().translated(m_shadowOffset), m_radius, m_radius);
        painter.fillPath(shape, Qt::black);
    }
    blurAlpha(mask, m_shadowRadius / 2 * scale);
    return mask;
}
