// Renders every picture the window uses, in one flat style: rounded shapes, one colour per
// file category, white glyphs. The PNGs are committed under ui/resources/image/, so building
// the program never needs this tool; run it again (tools/make_icons.sh) after changing a
// shape or a colour.
//
//   ferrowen-make-icons <output folder>   writes <folder>/*.png and <folder>/FileIcon/*.png
#include <QColor>
#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QString>
#include <cstdio>
#include <functional>
#include <map>
#include <string>

#include "engine/recovery_job.h"

namespace {

// The category colours: a darker shade of the type tiles of the first page.
QColor CategoryColour(FileCategory category) {
    switch (category) {
        case FileCategory::Photo:
            return QColor(136, 104, 176);
        case FileCategory::Music:
            return QColor(232, 118, 86);
        case FileCategory::Document:
            return QColor(214, 84, 118);
        case FileCategory::Video:
            return QColor(46, 150, 210);
        case FileCategory::Archive:
            return QColor(222, 158, 20);
        case FileCategory::Other:
            break;
    }
    return QColor(104, 160, 44);
}

const QColor kInk(60, 72, 88);
const QColor kPaper(250, 251, 253);
const QColor kDrive(92, 110, 132);

using Glyph = std::function<void(QPainter&, const QRectF&)>;

void DrawPicture(QPainter& p, const QRectF& r) {  // a sun over two hills
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(r.left() + r.width() * 0.72, r.top() + r.height() * 0.28),
                  r.width() * 0.12, r.width() * 0.12);
    QPainterPath hills;
    hills.moveTo(r.left(), r.bottom());
    hills.lineTo(r.left() + r.width() * 0.35, r.top() + r.height() * 0.42);
    hills.lineTo(r.left() + r.width() * 0.6, r.top() + r.height() * 0.72);
    hills.lineTo(r.left() + r.width() * 0.75, r.top() + r.height() * 0.58);
    hills.lineTo(r.right(), r.bottom());
    hills.closeSubpath();
    p.drawPath(hills);
}

void DrawNote(QPainter& p, const QRectF& r) {  // two beamed quavers
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    const double w = r.width();
    p.drawEllipse(QPointF(r.left() + w * 0.25, r.bottom() - w * 0.12), w * 0.14, w * 0.11);
    p.drawEllipse(QPointF(r.left() + w * 0.75, r.bottom() - w * 0.2), w * 0.14, w * 0.11);
    p.drawRect(QRectF(r.left() + w * 0.33, r.top() + w * 0.12, w * 0.08, r.height() * 0.78));
    p.drawRect(QRectF(r.left() + w * 0.83, r.top() + w * 0.04, w * 0.08, r.height() * 0.78));
    QPainterPath beam;
    beam.moveTo(r.left() + w * 0.33, r.top() + w * 0.12);
    beam.lineTo(r.left() + w * 0.91, r.top() + w * 0.04);
    beam.lineTo(r.left() + w * 0.91, r.top() + w * 0.2);
    beam.lineTo(r.left() + w * 0.33, r.top() + w * 0.28);
    beam.closeSubpath();
    p.drawPath(beam);
}

void DrawFilm(QPainter& p, const QRectF& r) {  // a play triangle in a frame
    p.setPen(QPen(Qt::white, r.width() * 0.08));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(r.adjusted(0, r.height() * 0.12, 0, -r.height() * 0.12), r.width() * 0.1,
                      r.width() * 0.1);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    QPainterPath play;
    play.moveTo(r.left() + r.width() * 0.38, r.top() + r.height() * 0.3);
    play.lineTo(r.left() + r.width() * 0.7, r.center().y());
    play.lineTo(r.left() + r.width() * 0.38, r.bottom() - r.height() * 0.3);
    play.closeSubpath();
    p.drawPath(play);
}

void DrawLines(QPainter& p, const QRectF& r) {  // lines of text
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    const double h = r.height() / 9;
    for (int i = 0; i < 4; ++i) {
        const double width = i == 3 ? r.width() * 0.6 : r.width();
        p.drawRoundedRect(QRectF(r.left(), r.top() + h * (1 + 2 * i), width, h), h / 2, h / 2);
    }
}

void DrawBox(QPainter& p, const QRectF& r) {  // a zipped box
    p.setPen(QPen(Qt::white, r.width() * 0.08));
    p.setBrush(Qt::NoBrush);
    p.drawRect(r.adjusted(r.width() * 0.08, r.height() * 0.18, -r.width() * 0.08, 0));
    p.drawLine(QPointF(r.left(), r.top() + r.height() * 0.18),
               QPointF(r.right(), r.top() + r.height() * 0.18));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    const double step = r.height() * 0.14;
    for (int i = 0; i < 5; ++i) {
        const double x = r.center().x() + (i % 2 == 0 ? -step / 2 : 0);
        p.drawRect(QRectF(x, r.top() + r.height() * 0.18 + i * step, step / 2, step / 2 + 1));
    }
}

void DrawDots(QPainter& p, const QRectF& r) {  // three dots: anything else
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    for (int i = 0; i < 3; ++i) {
        p.drawEllipse(QPointF(r.left() + r.width() * (0.2 + 0.3 * i), r.center().y()),
                      r.width() * 0.1, r.width() * 0.1);
    }
}

void DrawQuestion(QPainter& p, const QRectF& r) {
    QFont font("DejaVu Sans");
    font.setBold(true);
    font.setPixelSize(static_cast<int>(r.height() * 0.9));
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(r, Qt::AlignCenter, "?");
}

Glyph CategoryGlyph(FileCategory category) {
    switch (category) {
        case FileCategory::Photo:
            return DrawPicture;
        case FileCategory::Music:
            return DrawNote;
        case FileCategory::Document:
            return DrawLines;
        case FileCategory::Video:
            return DrawFilm;
        case FileCategory::Archive:
            return DrawBox;
        case FileCategory::Other:
            break;
    }
    return DrawDots;
}

QImage NewCanvas(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

bool Save(const QImage& image, const QString& path) {
    if (image.save(path, "PNG")) return true;
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return false;
}

// A rounded tile in the category colour with a white glyph: the type boxes of the first page.
QImage TypeTile(FileCategory category, int size) {
    QImage image = NewCanvas(size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(CategoryColour(category));
    p.drawRoundedRect(QRectF(2, 2, size - 4, size - 4), size * 0.22, size * 0.22);
    const double m = size * 0.24;
    CategoryGlyph(category)(p, QRectF(m, m, size - 2 * m, size - 2 * m));
    return image;
}

// A sheet with a folded corner, a coloured band and the extension (or the category glyph).
QImage FileIcon(FileCategory category, const QString& label, int size) {
    QImage image = NewCanvas(size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const double l = size * 0.14, t = size * 0.04, r = size * 0.86, b = size * 0.96;
    const double fold = size * 0.24;
    QPainterPath sheet;
    sheet.moveTo(l, t);
    sheet.lineTo(r - fold, t);
    sheet.lineTo(r, t + fold);
    sheet.lineTo(r, b);
    sheet.lineTo(l, b);
    sheet.closeSubpath();
    p.setPen(QPen(kInk.lighter(160), size / 32.0));
    p.setBrush(kPaper);
    p.drawPath(sheet);
    QPainterPath corner;
    corner.moveTo(r - fold, t);
    corner.lineTo(r - fold, t + fold);
    corner.lineTo(r, t + fold);
    corner.closeSubpath();
    p.setBrush(kInk.lighter(200));
    p.drawPath(corner);

    const QColor colour = CategoryColour(category);
    const QRectF band(size * 0.04, size * 0.5, size * 0.92, size * 0.34);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawRoundedRect(band, size * 0.06, size * 0.06);
    if (label.isEmpty()) {
        const double m = band.height() * 0.12;
        const double side = band.height() - 2 * m;
        CategoryGlyph(category)(p,
                                QRectF(band.center().x() - side / 2, band.top() + m, side, side));
    } else {
        QFont font("DejaVu Sans");
        font.setBold(true);
        int pixels = static_cast<int>(band.height() * 0.78);
        font.setPixelSize(pixels);
        while (pixels > 6 && QFontMetricsF(font).horizontalAdvance(label) > band.width() * 0.92) {
            font.setPixelSize(--pixels);
        }
        p.setFont(font);
        p.setPen(Qt::white);
        p.drawText(band, Qt::AlignCenter, label);
    }
    // A small glyph of the category above the band, so that icons read without the text.
    p.setOpacity(0.85);
    const double g = size * 0.26;
    QImage glyph = NewCanvas(static_cast<int>(g * 2));
    {
        QPainter gp(&glyph);
        gp.setRenderHint(QPainter::Antialiasing);
        CategoryGlyph(category)(gp, QRectF(0, 0, glyph.width(), glyph.height()));
    }
    QImage tinted = glyph;
    {
        QPainter tp(&tinted);
        tp.setCompositionMode(QPainter::CompositionMode_SourceIn);
        tp.fillRect(tinted.rect(), colour);
    }
    p.drawImage(QRectF(l + size * 0.06, t + size * 0.08, g, g), tinted);
    return image;
}

QImage Drive(bool physical, int size) {
    QImage image = NewCanvas(size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    if (physical) {  // a disk case with a platter
        p.setBrush(kDrive);
        p.drawRoundedRect(QRectF(size * 0.12, size * 0.06, size * 0.76, size * 0.88), size * 0.1,
                          size * 0.1);
        p.setBrush(QColor(200, 210, 222));
        p.drawEllipse(QPointF(size * 0.5, size * 0.42), size * 0.26, size * 0.26);
        p.setBrush(kDrive);
        p.drawEllipse(QPointF(size * 0.5, size * 0.42), size * 0.06, size * 0.06);
        p.setBrush(QColor(120, 220, 120));
        p.drawEllipse(QPointF(size * 0.74, size * 0.84), size * 0.04, size * 0.04);
    } else {  // a flat volume with a light
        p.setBrush(kDrive);
        p.drawRoundedRect(QRectF(size * 0.06, size * 0.3, size * 0.88, size * 0.42), size * 0.08,
                          size * 0.08);
        p.setBrush(QColor(200, 210, 222));
        p.drawRect(QRectF(size * 0.16, size * 0.46, size * 0.5, size * 0.08));
        p.setBrush(QColor(120, 220, 120));
        p.drawEllipse(QPointF(size * 0.8, size * 0.5), size * 0.05, size * 0.05);
    }
    return image;
}

QImage Question(int size) {
    QImage image = NewCanvas(size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(74, 112, 139));
    p.drawEllipse(QRectF(2, 2, size - 4, size - 4));
    DrawQuestion(p, QRectF(0, size * 0.05, size, size * 0.9));
    return image;
}

// A tray with an arrow into it: recovering files.
QImage RecoverFile(int size) {
    QImage image = NewCanvas(size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(46, 150, 210), size * 0.1, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    QPainterPath tray;
    tray.moveTo(size * 0.12, size * 0.6);
    tray.lineTo(size * 0.12, size * 0.88);
    tray.lineTo(size * 0.88, size * 0.88);
    tray.lineTo(size * 0.88, size * 0.6);
    p.drawPath(tray);
    p.drawLine(QPointF(size * 0.5, size * 0.1), QPointF(size * 0.5, size * 0.64));
    QPainterPath head;
    head.moveTo(size * 0.3, size * 0.46);
    head.lineTo(size * 0.5, size * 0.66);
    head.lineTo(size * 0.7, size * 0.46);
    p.drawPath(head);
    return image;
}

// The application's icon: a memory card with a recovered file rising out of it.
QImage AppIcon(int size) {
    QImage image = NewCanvas(size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(74, 112, 139));
    p.drawRoundedRect(QRectF(size * 0.04, size * 0.04, size * 0.92, size * 0.92), size * 0.2,
                      size * 0.2);
    QPainterPath card;
    card.moveTo(size * 0.22, size * 0.36);
    card.lineTo(size * 0.62, size * 0.36);
    card.lineTo(size * 0.78, size * 0.52);
    card.lineTo(size * 0.78, size * 0.86);
    card.lineTo(size * 0.22, size * 0.86);
    card.closeSubpath();
    p.setBrush(QColor(236, 246, 255));
    p.drawPath(card);
    p.setBrush(QColor(74, 112, 139));
    for (int i = 0; i < 4; ++i) {
        p.drawRect(QRectF(size * (0.3 + 0.1 * i), size * 0.42, size * 0.05, size * 0.12));
    }
    p.setBrush(QColor(255, 205, 75));
    QPainterPath arrow;
    arrow.moveTo(size * 0.5, size * 0.1);
    arrow.lineTo(size * 0.68, size * 0.3);
    arrow.lineTo(size * 0.56, size * 0.3);
    arrow.lineTo(size * 0.56, size * 0.74);
    arrow.lineTo(size * 0.44, size * 0.74);
    arrow.lineTo(size * 0.44, size * 0.3);
    arrow.lineTo(size * 0.32, size * 0.3);
    arrow.closeSubpath();
    p.drawPath(arrow);
    return image;
}

// The file icons the result tree and table show (GetExtendNameIcon), with the category each
// belongs to where the name is no extension of the lists.
struct FileIconSpec {
    const char* name;
    const char* label;  // "" for a glyph instead of text
};

const FileIconSpec kFileIcons[] = {
    {"7z", "7Z"},          {"accdb", "ACCDB"}, {"ace", "ACE"},         {"acid", "ACID"},
    {"aiff", "AIFF"},      {"asf", "ASF"},     {"at3", "AT3"},         {"au", "AU"},
    {"avi", "AVI"},        {"bmp", "BMP"},     {"cab", "CAB"},         {"chm", "CHM"},
    {"divx", "DIVX"},      {"doc", "DOC"},     {"dss", "DSS"},         {"dv", "DV"},
    {"epson", "EPSON"},    {"exe", "EXE"},     {"gif", "GIF"},         {"gzip", "GZIP"},
    {"html", "HTML"},      {"ico", "ICO"},     {"indd", "INDD"},       {"jar", "JAR"},
    {"jpg", "JPG"},        {"jpeg", "JPEG"},   {"mamiya", "MAMIYA"},   {"mid", "MID"},
    {"minolta", "MRW"},    {"mov", "MOV"},     {"mp3", "MP3"},         {"mp4", "MP4"},
    {"mpeg", "MPEG"},      {"music", ""},      {"ods", "ODS"},         {"ogg", "OGG"},
    {"one", "ONE"},        {"other", ""},      {"pdf", "PDF"},         {"png", "PNG"},
    {"ppt", "PPT"},        {"psd", "PSD"},     {"psp", "PSP"},         {"rar", "RAR"},
    {"real", "RM"},        {"rmvb", "RMVB"},   {"rps", "RPS"},         {"thm", "THM"},
    {"tif", "TIF"},        {"tiff", "TIFF"},   {"tod", "TOD"},         {"txt", "TXT"},
    {"vob", "VOB"},        {"wma", "WMA"},     {"wmv", "WMV"},         {"wps", "WPS"},
    {"xls", "XLS"},        {"xml", "XML"},     {"zip", "ZIP"},         {"audio_default", ""},
    {"default", ""},       {"image", ""},      {"office_default", ""}, {"photo_default", ""},
    {"video_default", ""},
};
static_assert(std::size(kFileIcons) == 65);

FileCategory CategoryOfIcon(const std::string& name) {
    static const std::map<std::string, FileCategory> kNamed = {
        {"acid", FileCategory::Music},
        {"music", FileCategory::Music},
        {"audio_default", FileCategory::Music},
        {"epson", FileCategory::Photo},
        {"mamiya", FileCategory::Photo},
        {"minolta", FileCategory::Photo},
        {"image", FileCategory::Photo},
        {"photo_default", FileCategory::Photo},
        {"real", FileCategory::Video},
        {"video_default", FileCategory::Video},
        {"office_default", FileCategory::Document},
        {"other", FileCategory::Other},
        {"default", FileCategory::Other},
    };
    const auto it = kNamed.find(name);
    if (it != kNamed.end()) return it->second;
    return ClassifyFileName(("x." + name).c_str());
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(out + "/FileIcon")) {
        std::fprintf(stderr, "cannot create %s/FileIcon\n", argv[1]);
        return 1;
    }
    bool ok = true;
    const std::pair<const char*, FileCategory> tiles[] = {
        {"photo", FileCategory::Photo},     {"music", FileCategory::Music},
        {"video", FileCategory::Video},     {"document", FileCategory::Document},
        {"archive", FileCategory::Archive}, {"other", FileCategory::Other},
    };
    for (const auto& [name, category] : tiles) {
        ok &= Save(TypeTile(category, 64), out + "/" + name + ".png");
    }
    ok &= Save(Drive(true, 32), out + "/physical_drive.png");
    ok &= Save(Drive(false, 32), out + "/drive.png");
    ok &= Save(Question(48), out + "/question.png");
    ok &= Save(RecoverFile(32), out + "/recover_file.png");
    ok &= Save(AppIcon(64), out + "/logo.png");
    ok &= Save(AppIcon(256), out + "/ferrowen.png");
    for (const FileIconSpec& icon : kFileIcons) {
        ok &= Save(FileIcon(CategoryOfIcon(icon.name), icon.label, 48),
                   out + "/FileIcon/" + icon.name + ".png");
    }
    return ok ? 0 : 1;
}
