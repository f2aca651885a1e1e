#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>

class QWidget;

// The bundled symbol images (one SVG per symbol name, drawn in black and tinted when used) and the
// standard named colours the views use.
namespace Symbols {

// The symbol `name` drawn in `color` at `size` logical pixels; a null pixmap for an unknown name.
QPixmap pixmap(const QString& name, const QColor& color, int size, qreal devicePixelRatio = 1.0);
QIcon icon(const QString& name, const QColor& color);
bool exists(const QString& name);
// The program's own icon, in full colour.
QIcon applicationIcon();

// "red", "orange", "blue", "green"; anything else is the palette's text colour.
QColor namedColor(const QString& name);

// The widget's text colour at `opacity`: 0.6 for secondary text, less for separators and borders.
QColor textColor(const QWidget& widget, qreal opacity);
// Draws the widget's text (and typed text) in `color`.
void setTextColor(QWidget& widget, const QColor& color);

} // namespace Symbols
