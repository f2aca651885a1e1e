#include "Quillora/Desktop/Symbols.h"

#include <QFile>
#include <QGuiApplication>
#include <QPainter>
#include <QPalette>
#include <QSvgRenderer>
#include <QWidget>

// The images are compiled into the static application library; referencing their initialiser keeps the
// linker from dropping them.
static void loadSymbolResources() {
    static const bool loaded = [] {
        Q_INIT_RESOURCE(symbols);
        return true;
    }();
    (void)loaded;
}

namespace {

QString pathOf(const QString& name) {
    loadSymbolResources();
    return QStringLiteral(":/symbols/") + name + QStringLiteral(".svg");
}

} // namespace

namespace Symbols {

bool exists(const QString& name) {
    return QFile::exists(pathOf(name));
}

QPixmap pixmap(const QString& name, const QColor& color, int size, qreal devicePixelRatio) {
    QSvgRenderer renderer(pathOf(name));
    if (!renderer.isValid() || size <= 0) {
        return {};
    }
    const int pixels = qRound(size * devicePixelRatio);
    QPixmap image(pixels, pixels);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(0, 0, pixels, pixels));
    // The drawing's own colour is ignored: only its coverage is kept, filled with the tint.
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(image.rect(), color);
    painter.end();
    image.setDevicePixelRatio(devicePixelRatio);
    return image;
}

QIcon icon(const QString& name, const QColor& color) {
    QIcon result;
    for (const int size : {16, 22, 24, 32, 48, 64}) {
        result.addPixmap(pixmap(name, color, size));
    }
    return result;
}

QIcon applicationIcon() {
    QIcon result;
    QSvgRenderer renderer(pathOf(QStringLiteral("quillora")));
    for (const int size : {16, 32, 48, 64, 128, 256}) {
        QPixmap image(size, size);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter, QRectF(0, 0, size, size));
        painter.end();
        result.addPixmap(image);
    }
    return result;
}

QColor namedColor(const QString& name) {
    if (name == QLatin1String("red")) {
        return QColor(0xFF, 0x3B, 0x30);
    }
    if (name == QLatin1String("orange")) {
        return QColor(0xFF, 0x95, 0x00);
    }
    if (name == QLatin1String("blue")) {
        return QColor(0x00, 0x7A, 0xFF);
    }
    if (name == QLatin1String("green")) {
        return QColor(0x34, 0xC7, 0x59);
    }
    return QGuiApplication::palette().color(QPalette::WindowText);
}

QColor textColor(const QWidget& widget, qreal opacity) {
    QColor color = widget.palette().color(QPalette::WindowText);
    color.setAlphaF(static_cast<float>(opacity));
    return color;
}

void setTextColor(QWidget& widget, const QColor& color) {
    QPalette palette = widget.palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    widget.setPalette(palette);
}

} // namespace Symbols
