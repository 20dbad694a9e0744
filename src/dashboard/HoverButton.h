#pragma once

#include <QAbstractButton>
#include <QColor>

#include <string>

namespace tallowin {

// The filled, pointer-aware look of the dashboard's buttons: an accent-coloured rounded
// rectangle under a white icon and title.
struct InteractiveButtonStyle {
    enum class StyleSize {
        regular,
        compact,
    };
    QColor accentColor;
    StyleSize size { StyleSize::regular };

    struct Metrics {
        qreal fontPixelSize;
        int horizontalPadding;
        int verticalPadding;
    };
    static Metrics metrics(StyleSize);
    // The fill's and the outline's opacity, and the scale, for the pointer's state.
    static qreal fillOpacity(bool isPressed, bool isHovering);
    static qreal outlineOpacity(bool isPressed, bool isHovering);
    static qreal scale(bool isPressed);
    // A disabled button is drawn dimmed and does not react.
    static constexpr qreal disabledOpacity = 0.6;
    static constexpr qreal cornerRadius = 12;

    friend bool operator==(const InteractiveButtonStyle&, const InteractiveButtonStyle&) = default;
};

// A button drawn with InteractiveButtonStyle: an optional icon (a symbol name) and its text.
class HoverButton : public QAbstractButton {
    Q_OBJECT

public:
    explicit HoverButton(InteractiveButtonStyle, QWidget* parent = nullptr);

    void setButtonStyle(InteractiveButtonStyle);
    const InteractiveButtonStyle& buttonStyle() const { return m_style; }
    void setIconSystemName(std::string);
    const std::string& iconSystemName() const { return m_iconSystemName; }

    bool isHovering() const { return m_isHovering; }
    // What is drawn now: the opacities and the scale follow the pointer.
    qreal currentFillOpacity() const;
    qreal currentOutlineOpacity() const;
    qreal currentScale() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent*) override;
    void enterEvent(QEnterEvent*) override;
    void leaveEvent(QEvent*) override;

private:
    InteractiveButtonStyle m_style;
    std::string m_iconSystemName;
    bool m_isHovering { false };
};

}
