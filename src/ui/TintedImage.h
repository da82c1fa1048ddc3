#pragma once

#include <QImage>
#include <QQuickPaintedItem>
#include <QUrl>

// An image used as a template: every pixel takes `color`, keeping the image's own alpha. The
// image keeps its aspect ratio and is centred in the item.
class TintedImage : public QQuickPaintedItem
{
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QUrl source READ source WRITE setSource NOTIFY sourceChanged)
    Q_PROPERTY(QColor color READ color WRITE setColor NOTIFY colorChanged)
    Q_PROPERTY(bool loaded READ isLoaded NOTIFY loadedChanged)

public:
    explicit TintedImage(QQuickItem *parent = nullptr);

    QUrl source() const { return m_source; }
    void setSource(const QUrl &source);
    QColor color() const { return m_color; }
    void setColor(const QColor &color);
    bool isLoaded() const { return m_loaded; }

    void paint(QPainter *painter) override;

protected:
    void componentComplete() override;

Q_SIGNALS:
    void sourceChanged();
    void colorChanged();
    void loadedChanged();

private:
    QString sourcePath() const;
    void load();
    void render(const QSize &pixelSize);

    QUrl m_source;
    QColor m_color = Qt::black;
    bool m_loaded = false;
    QImage m_image;
    QSize m_renderedFor;
};
