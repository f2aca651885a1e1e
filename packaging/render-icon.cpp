// Renders the application icon's SVG into the square PNGs of the hicolor icon theme at build time, with the
// same SVG renderer the program itself uses, so the build needs no image converter of its own.
//
//   quillora_render_icon SOURCE.svg OUTDIR SIZE...   writes OUTDIR/SIZE.png for every SIZE
#include <QByteArray>
#include <QImage>
#include <QPainter>
#include <QString>
#include <QSvgRenderer>
#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[]) {
    if (argc < 4) {
        std::fputs("usage: quillora_render_icon SOURCE.svg OUTDIR SIZE...\n", stderr);
        return 2;
    }
    QSvgRenderer renderer(QString::fromLocal8Bit(argv[1]));
    if (!renderer.isValid()) {
        std::fprintf(stderr, "quillora_render_icon: cannot read %s\n", argv[1]);
        return 1;
    }
    const QString folder = QString::fromLocal8Bit(argv[2]);
    for (int index = 3; index < argc; ++index) {
        char* end = nullptr;
        const long size = std::strtol(argv[index], &end, 10);
        if (end == argv[index] || *end != '\0' || size < 1 || size > 4096) {
            std::fprintf(stderr, "quillora_render_icon: not a size: %s\n", argv[index]);
            return 2;
        }
        const int pixels = static_cast<int>(size);
        QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter, QRectF(0, 0, pixels, pixels));
        painter.end();
        const QString path = folder + QStringLiteral("/%1.png").arg(pixels);
        if (!image.save(path, "PNG")) {
            std::fprintf(stderr, "quillora_render_icon: cannot write %s\n", path.toLocal8Bit().constData());
            return 1;
        }
    }
    return 0;
}
