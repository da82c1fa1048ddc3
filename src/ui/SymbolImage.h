#pragma once

#include <QPainterPath>
#include <QQuickPaintedItem>

// A one-colour symbol picked by name, drawn as a vector shape so that it stays sharp at any
// size and takes any colour. It keeps its aspect ratio inside the item and is centred there.
class SymbolImage : public QQuickPaintedItem
{
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QString name READ name WRITE setName NOTIFY nameChanged)
    Q_PROPERTY(QColor color READ color WRITE setColor NOTIFY colorChanged)
    // The symbol's height when no size is set; the width follows its aspect ratio.
    Q_PROPERTY(qreal pointSize READ pointSize WRITE setPointSize NOTIFY pointSizeChanged)

public:
    explicit SymbolImage(QQuickItem *parent = nullptr);

    QString name() const { return m_name; }
    void setName(const QString &name);
    QColor color() const { return m_color; }
    void setColor(const QColor &color);
    qreal pointSize() const { return m_pointSize; }
    void setPointSize(qreal size);

    // The outline of a known symbol, or an empty path.
    static QPainterPath shape(const QString &name);

    void paint(QPainter *painter) override;

Q_SIGNALS:
    void nameChanged();
    void colorChanged();
    void pointSizeChanged();

private:
    void updateImplicitSize();

    QString m_name;
    QColor m_color = Qt::black;
    qreal m_pointSize = 17;
    QPainterPath m_shape;
};
