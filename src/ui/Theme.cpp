#include "Theme.h"

#include <QEvent>
#include <QGuiApplication>
#include <QPalette>

namespace {
QPalette palette()
{
    return QGuiApplication::palette();
}

QColor withAlpha(QColor color, qreal alpha)
{
    color.setAlphaF(alpha);
    return color;
}
}

Theme::Theme(QObject *parent)
    : QObject(parent)
{
    qApp->installEventFilter(this);
}

bool Theme::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange)
        Q_EMIT paletteChanged();
    return QObject::eventFilter(watched, event);
}

bool Theme::isDark() const
{
    return palette().color(QPalette::Window).lightness() < 128;
}

// The fixed hues have no palette role; their light and dark variants follow the palette.
QColor Theme::pick(const char *light, const char *dark) const
{
    return QColor::fromString(isDark() ? dark : light);
}

QColor Theme::windowBackground() const
{
    return palette().color(QPalette::Window);
}

QColor Theme::controlBackground() const
{
    return palette().color(QPalette::Base);
}

QColor Theme::textBackground() const
{
    return palette().color(QPalette::Base);
}

QColor Theme::label() const
{
    return palette().color(QPalette::WindowText);
}

QColor Theme::secondaryLabel() const
{
    return withAlpha(label(), isDark() ? 0.55 : 0.5);
}

QColor Theme::tertiaryLabel() const
{
    return withAlpha(label(), 0.26);
}

QColor Theme::placeholderText() const
{
    return withAlpha(label(), 0.25);
}

QColor Theme::separator() const
{
    return withAlpha(label(), 0.1);
}

QColor Theme::shadow() const
{
    return palette().color(QPalette::Shadow);
}

QColor Theme::accent() const
{
    return palette().color(QPalette::Highlight);
}

QColor Theme::selectedControl() const
{
    return palette().color(QPalette::Highlight);
}

QColor Theme::alternateSelectedControlText() const
{
    return palette().color(QPalette::HighlightedText);
}

QColor Theme::systemBlue() const
{
    return pick("#007aff", "#0a84ff");
}

QColor Theme::systemGreen() const
{
    return pick("#28cd41", "#32d74b");
}

QColor Theme::systemRed() const
{
    return pick("#ff3b30", "#ff453a");
}

QColor Theme::systemGray() const
{
    return pick("#8e8e93", "#98989d");
}

QColor Theme::blend(const QColor &from, const QColor &to, qreal amount)
{
    const qreal t = qBound<qreal>(0, amount, 1);
    const auto mix = [t](qreal a, qreal b) { return a + (b - a) * t; };
    return QColor::fromRgbF(float(mix(from.redF(), to.redF())), float(mix(from.greenF(), to.greenF())),
                            float(mix(from.blueF(), to.blueF())), float(mix(from.alphaF(), to.alphaF())));
}
