// Writes the help page's picture of the tool (900 x 360 PNG, the file named
// on the command line): the real window as it looks after start with one
// drive inserted, scaled onto the left of the canvas, with four numbered
// markers on the drive list and the three buttons the page explains, and
// what each number means on the right.
#define main kavendruConfigMain
#include "config/KavendruConfig.cpp"
#undef main

#include "ConfigTestSupport.h"

#include <QPainter>
#include <QPainterPath>
#include <QTextDocument>

#include <algorithm>

#include <cstdio>

namespace {

constexpr QSize kCanvas(900, 360);
const QColor kMarker(0xf5, 0x9e, 0x0b);
const QColor kInk(0x1f, 0x29, 0x37);

QWidget* buttonShowing(QWidget* root, const QString& text)
{
    const QList<QPushButton*> buttons = root->findChildren<QPushButton*>();
    for (QPushButton* button : buttons) {
        if (button->isVisible() && button->text() == text)
            return button;
    }
    return nullptr;
}

QFont pixelFont(int pixels, bool bold = false)
{
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

void drawMarker(QPainter& painter, QPointF centre, int number, qreal radius, bool outlined)
{
    painter.setPen(outlined ? QPen(Qt::white, 1.5) : Qt::NoPen);
    painter.setBrush(kMarker);
    painter.drawEllipse(centre, radius, radius);
    painter.setPen(kInk);
    painter.setFont(pixelFont(int(radius * 1.25), true));
    painter.drawText(QRectF(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius), Qt::AlignCenter,
                     QString::number(number));
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    applyApplicationIdentity();
    if (argc != 2) {
        std::fputs("uso: config_help_picture <arquivo.png>\n", stderr);
        return 2;
    }
    auto drives = std::make_shared<QList<UsbDevice>>(
        QList<UsbDevice>{ConfigTest::mountedDrive(QStringLiteral("/media/ana/KAVENDRU"), QStringLiteral("KAVENDRU"))});
    ConfigWindow window(std::make_unique<ConfigTest::FakeDeviceManager>(drives));
    window.show();
    QCoreApplication::processEvents();

    // The widgets the numbers point at, in the page's order.
    QWidget* drive = window.findChild<QComboBox*>();
    QWidget* refresh = buttonShowing(&window, QStringLiteral("Atualizar lista"));
    QWidget* prepare = buttonShowing(&window, QStringLiteral("Preparar unidade USB"));
    QWidget* check = buttonShowing(&window, QStringLiteral("Verificar atualizações"));
    if (!drive || !refresh || !prepare || !check) {
        std::fputs("config_help_picture: a widget of the window is missing\n", stderr);
        return 1;
    }
    const QPixmap shot = window.grab();

    QImage canvas(kCanvas, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(QColor(0xee, 0xf3, 0xf8));
    QPainter painter(&canvas);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing | QPainter::SmoothPixmapTransform);

    // The window under a plain title bar, as tall as the canvas allows.
    const qreal titleHeight = 20;
    const QRectF frame(16, 9, 0, kCanvas.height() - 18);
    const qreal scale = (frame.height() - titleHeight) / shot.height();
    const QRectF shotRect(frame.left(), frame.top() + titleHeight, shot.width() * scale, shot.height() * scale);
    const QRectF windowRect(frame.left(), frame.top(), shotRect.width(), frame.height());
    QPainterPath outline;
    outline.addRoundedRect(windowRect, 6, 6);
    for (int blur = 4; blur > 0; --blur) // a soft shadow
        painter.fillPath(outline.translated(0, blur / 2.0), QColor(0x0b, 0x24, 0x40, 18));
    painter.fillPath(outline, QColor(0xe3, 0xe6, 0xea));
    painter.setClipPath(outline);
    painter.drawImage(shotRect.topLeft(), shot.toImage().scaled(shotRect.size().toSize(), Qt::IgnoreAspectRatio,
                                                                Qt::SmoothTransformation));
    painter.setClipping(false);
    painter.setPen(QColor(0xaa, 0xb3, 0xbd));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(outline);
    painter.drawLine(QPointF(windowRect.left(), shotRect.top()), QPointF(windowRect.right(), shotRect.top()));
    painter.setPen(QColor(0x2b, 0x31, 0x3a));
    painter.setFont(pixelFont(11, true));
    painter.drawText(QRectF(windowRect.left(), windowRect.top(), windowRect.width(), titleHeight), Qt::AlignCenter,
                     window.windowTitle());

    // A widget's place on the canvas.
    const auto placed = [&](QWidget* widget) {
        const QRect inWindow(widget->mapTo(&window, QPoint(0, 0)), widget->size());
        return QRectF(shotRect.left() + inWindow.x() * scale, shotRect.top() + inWindow.y() * scale,
                      inWindow.width() * scale, inWindow.height() * scale);
    };
    const qreal radius = 8;
    const QRectF driveRect = placed(drive);
    const QRectF refreshRect = placed(refresh);
    const QRectF prepareRect = placed(prepare);
    const QRectF checkRect = placed(check);
    drawMarker(painter, QPointF(driveRect.right() + radius + 4, driveRect.center().y()), 1, radius, true);
    drawMarker(painter, QPointF(refreshRect.right() + radius + 4, refreshRect.center().y()), 2, radius, true);
    drawMarker(painter, QPointF(prepareRect.center().x(), prepareRect.top() - radius - 4), 3, radius, true);
    drawMarker(painter, QPointF(checkRect.center().x(), checkRect.top() - radius - 4), 4, radius, true);

    // What the numbers mean.
    const qreal textLeft = windowRect.right() + 22;
    const qreal textWidth = kCanvas.width() - textLeft - 12;
    painter.setPen(QColor(0x0b, 0x4f, 0x8a));
    painter.setFont(pixelFont(17, true));
    painter.drawText(QPointF(textLeft, 36), window.windowTitle());
    painter.setPen(QColor(0x4b, 0x55, 0x63));
    painter.setFont(pixelFont(12));
    painter.drawText(QPointF(textLeft, 56), QStringLiteral("Ferramenta de preparação e atualização"));

    struct Explanation {
        QString name;
        QString text;
    };
    const Explanation explanations[] = {
        {QStringLiteral("Unidade USB:"), QStringLiteral("escolha na lista a unidade que vai usar.")},
        {QStringLiteral("Atualizar lista:"), QStringLiteral("procura de novo as unidades conectadas.")},
        {QStringLiteral("Preparar unidade USB:"),
         QStringLiteral("grava o Kavendru e os lançadores na unidade, sem formatá\u2011la.")},
        {QStringLiteral("Verificar atualizações:"),
         QStringLiteral("instala uma versão mais nova em uma unidade já preparada.")},
    };
    qreal top = 78;
    int number = 1;
    for (const Explanation& item : explanations) {
        drawMarker(painter, QPointF(textLeft + 10, top + 10), number++, 10, false);
        QTextDocument text;
        text.setDefaultFont(pixelFont(13));
        text.setDocumentMargin(0);
        text.setTextWidth(textWidth - 30);
        text.setHtml(QStringLiteral("<span style=\"color:#111827\"><b>%1</b> %2</span>")
                         .arg(item.name.toHtmlEscaped(), item.text.toHtmlEscaped()));
        painter.save();
        painter.translate(textLeft + 30, top + 2);
        text.drawContents(&painter);
        painter.restore();
        top += std::max<qreal>(text.size().height(), 20) + 24;
    }
    if (top > kCanvas.height()) {
        std::fputs("config_help_picture: the explanations do not fit\n", stderr);
        return 1;
    }
    painter.end();
    if (!canvas.save(QString::fromLocal8Bit(argv[1]), "PNG"))
        return 1;
    return 0;
}
