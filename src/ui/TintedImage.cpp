#include "TintedImage.h"

#include <QImageReader>
#include <QPainter>
#include <QQmlContext>
#include <QQmlFile>
#include <QQuickWindow>

TintedImage::TintedImage(QQuickItem *parent)
    : QQuickPaintedItem(parent)
{
    setAntialiasing(true);
}

void TintedImage::setSource(const QUrl &source)
{
    if (m_source == source)
        return;
    m_source = source;
    // Relative sources resolve against the QML file, known once the component is complete.
    if (isComponentComplete())
        load();
    Q_EMIT sourceChanged();
}

void TintedImage::componentComplete()
{
    QQuickPaintedItem::componentComplete();
    load();
}

void TintedImage::load()
{
    m_image = QImage();
    const QSize natural = QImageReader(sourcePath()).size();
    const bool loaded = natural.isValid();
    if (loaded)
        setImplicitSize(natural.width(), natural.height());
    else if (!m_source.isEmpty())
        qWarning("TintedImage: cannot read %s", qPrintable(m_source.toString()));
    if (m_loaded != loaded) {
        m_loaded = loaded;
        Q_EMIT loadedChanged();
    }
    update();
}

void TintedImage::setColor(const QColor &color)
{
    if (m_color == color)
        return;
    m_color = color;
    m_image = QImage();
    Q_EMIT colorChanged();
    update();
}

QString TintedImage::sourcePath() const
{
    const QQmlContext *context = qmlContext(this);
    return QQmlFile::urlToLocalFileOrQrc(context ? context->resolvedUrl(m_source) : m_source);
}

void TintedImage::render(const QSize &pixelSize)
{
    QImageReader reader(sourcePath());
    reader.setScaledSize(reader.size().scaled(pixelSize, Qt::KeepAspectRatio));
    QImage image = reader.read().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        return;
    QPainter tint(&image);
    tint.setCompositionMode(QPainter::CompositionMode_SourceIn);
    tint.fillRect(image.rect(), m_color);
    m_image = image;
    m_renderedFor = pixelSize;
}

void TintedImage::paint(QPainter *painter)
{
    if (!m_loaded)
        return;
    const qreal scale = window() ? window()->effectiveDevicePixelRatio() : 1.0;
    const QSize pixelSize = (size() * scale).toSize();
    if (pixelSize.isEmpty())
        return;
    if (m_image.isNull() || m_renderedFor != pixelSize)
        render(pixelSize);
    const QSizeF drawn = QSizeF(m_image.size()) / scale;
    painter->drawImage(QRectF(QPointF((width() - drawn.width()) / 2, (height() - drawn.height()) / 2), drawn),
                       m_image);
}
