// Build-time tool: writes every square image of an .ico file as <outdir>/<N>x<N>/apps/<name>.png, the layout
// of the hicolor icon theme.
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s ICO OUTDIR NAME\n", argv[0]);
        return 2;
    }
    QImageReader reader(QString::fromLocal8Bit(argv[1]));
    const QDir out(QString::fromLocal8Bit(argv[2]));
    int written = 0;
    for (int i = 0; i < reader.imageCount(); ++i) {
        if (!reader.jumpToImage(i))
            break;
        const QImage image = reader.read();
        if (image.isNull() || image.width() != image.height())
            continue;
        const QString name = QString("%1x%1/apps/%2.png").arg(image.width()).arg(QString::fromLocal8Bit(argv[3]));
        if (!out.mkpath(QFileInfo(out.filePath(name)).path()) || !image.save(out.filePath(name), "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(out.filePath(name)));
            return 1;
        }
        ++written;
    }
    if (written == 0) {
        std::fprintf(stderr, "no square image in %s: %s\n", argv[1], qPrintable(reader.errorString()));
        return 1;
    }
    return 0;
}
