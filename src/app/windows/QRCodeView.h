#pragma once

#include <QImage>
#include <QString>
#include <QWidget>

#include <optional>
#include <string_view>
#include <vector>

class QLabel;

namespace tallowin {

// The modules of a QR code: `width` × `width`, row by row, true for dark.
struct QRMatrix {
    int width = 0;
    std::vector<bool> dark;

    bool isDark(int x, int y) const { return dark[static_cast<std::size_t>(y * width + x)]; }
    friend bool operator==(const QRMatrix&, const QRMatrix&) = default;
};

// Encodes UTF-8 bytes as they are (byte mode) at error-correction level H; nothing when the
// text does not fit into any QR version or cannot be encoded.
std::optional<QRMatrix> encodeQRCode(std::string_view utf8);

// A picture of the code `pixels` × `pixels`, white with black modules: every module the same
// whole number of pixels, centred with a quiet zone of four modules (narrower, but at least one
// module, where that buys two-pixel modules). Never smoothed: a scanner needs sharp edges.
// Modules are at least one pixel, so a code may overflow a tiny picture.
QImage renderQRCode(const QRMatrix&, int pixels);

// Shows a text as a QR code of `size` × `size` points, or the footnote when it cannot be encoded.
class QRCodeView : public QWidget {
    Q_OBJECT

public:
    explicit QRCodeView(QString content = {}, int size = 64, QWidget* parent = nullptr);

    void setContent(const QString&);
    const QString& content() const { return m_content; }
    int codeSize() const { return m_size; }
    bool hasCode() const { return m_matrix.has_value(); }
    // The picture as it is drawn at the given device pixel ratio; null without a code.
    QImage image(qreal devicePixelRatio = 1.0) const;

    static QString footnoteText();

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QString m_content;
    int m_size;
    std::optional<QRMatrix> m_matrix;
    QLabel* m_footnote;
};

}
