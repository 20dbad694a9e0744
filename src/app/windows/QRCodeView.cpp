#include "app/windows/QRCodeView.h"

#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

#include <qrencode.h>

#include <memory>

namespace tallowin {

std::optional<QRMatrix> encodeQRCode(std::string_view utf8)
{
    struct Free {
        void operator()(QRcode* code) const { QRcode_free(code); }
    };
    // Version 0 lets the encoder pick the smallest version that holds the data.
    std::unique_ptr<QRcode, Free> code(QRcode_encodeData(static_cast<int>(utf8.size()),
        reinterpret_cast<const unsigned char*>(utf8.data()), 0, QR_ECLEVEL_H));
    if (!code || code->width <= 0)
        return std::nullopt;

    QRMatrix matrix;
    matrix.width = code->width;
    std::size_t count = static_cast<std::size_t>(code->width) * static_cast<std::size_t>(code->width);
    matrix.dark.resize(count);
    // The lowest bit of each byte is the module's colour; the others describe its role.
    for (std::size_t index = 0; index < count; ++index)
        matrix.dark[index] = (code->data[index] & 1) != 0;
    return matrix;
}

QImage renderQRCode(const QRMatrix& matrix, int pixels)
{
    // The standard quiet zone is four modules. In a small picture that would leave modules of a
    // single pixel, which phone cameras read badly; there two-pixel modules with a narrower
    // (at least one module) quiet zone scan better.
    constexpr int quietZone = 4;
    int modulePixels = pixels / (matrix.width + 2 * quietZone);
    if (modulePixels < 2)
        modulePixels = std::max(1, pixels / (matrix.width + 2));
    int side = std::max(pixels, modulePixels * (matrix.width + 2));
    int origin = (side - modulePixels * matrix.width) / 2;

    QImage image(side, side, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::black);
    for (int y = 0; y < matrix.width; ++y) {
        for (int x = 0; x < matrix.width; ++x) {
            if (matrix.isDark(x, y))
                painter.drawRect(origin + x * modulePixels, origin + y * modulePixels, modulePixels, modulePixels);
        }
    }
    return image;
}

QRCodeView::QRCodeView(QString content, int size, QWidget* parent)
    : QWidget(parent)
    , m_size(size)
    , m_footnote(new QLabel(footnoteText(), this))
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_footnote);
    m_footnote->setWordWrap(true);
    m_footnote->setForegroundRole(QPalette::PlaceholderText);
    QFont footnoteFont = m_footnote->font();
    footnoteFont.setPointSizeF(footnoteFont.pointSizeF() * 0.85);
    m_footnote->setFont(footnoteFont);
    setContent(content);
}

QString QRCodeView::footnoteText()
{
    return QStringLiteral("二维码生成失败，请使用上方链接添加 WeChat。");
}

void QRCodeView::setContent(const QString& content)
{
    m_content = content;
    QByteArray utf8 = content.toUtf8();
    m_matrix = encodeQRCode(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())));
    m_footnote->setVisible(!m_matrix);
    setSizePolicy(m_matrix ? QSizePolicy::Fixed : QSizePolicy::Preferred, m_matrix ? QSizePolicy::Fixed : QSizePolicy::Preferred);
    updateGeometry();
    update();
}

QImage QRCodeView::image(qreal devicePixelRatio) const
{
    if (!m_matrix)
        return {};
    QImage picture = renderQRCode(*m_matrix, static_cast<int>(m_size * devicePixelRatio));
    picture.setDevicePixelRatio(devicePixelRatio);
    return picture;
}

QSize QRCodeView::sizeHint() const
{
    return m_matrix ? QSize(m_size, m_size) : m_footnote->sizeHint();
}

QSize QRCodeView::minimumSizeHint() const
{
    return m_matrix ? QSize(m_size, m_size) : m_footnote->minimumSizeHint();
}

void QRCodeView::paintEvent(QPaintEvent*)
{
    if (!m_matrix)
        return;
    QImage picture = image(devicePixelRatioF());
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    // Drawn 1:1 in device pixels; a picture wider than the box (modules of one pixel) is
    // clipped at the quiet zone's edge rather than scaled.
    QSizeF logical = picture.deviceIndependentSize();
    QPointF topLeft((m_size - logical.width()) / 2.0, (m_size - logical.height()) / 2.0);
    painter.drawImage(topLeft, picture);
}

}
