#pragma once

#include "dashboard/DashboardContent.h"

#include <QPointer>
#include <QRect>
#include <QWidget>

#include <memory>
#include <vector>

class QTextLayout;
class QVariantAnimation;

namespace tallowin {

// One coloured message banner: an icon on a green or red disc and the message, wrapping within
// a row of at most `maximumRowWidth`, on a gradient rounded rectangle with a soft shadow. The
// widget is larger than the banner by `shadowMargins` so the shadow has room.
class ErrorBannerView : public QWidget {
    Q_OBJECT

public:
    using Style = BannerStyle;
    static constexpr int maximumRowWidth = 224;

    ErrorBannerView(QString message, Style, QWidget* parent = nullptr);
    ~ErrorBannerView() override;

    const QString& message() const { return m_message; }
    Style style() const { return m_style; }
    // The row of icon and text; never wider than maximumRowWidth.
    QSize rowSize() const { return m_rowSize; }
    // The banner itself, without the shadow's room.
    QSize bannerSize() const;
    static QMargins shadowMargins();

    // 0 (gone: transparent, scaled to nothing) to 1 (shown).
    void setAppearance(qreal);
    qreal appearance() const { return m_appearance; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    void layoutText();

    QString m_message;
    Style m_style;
    QSize m_rowSize;
    QRect m_textRect; // in row coordinates
    std::unique_ptr<QTextLayout> m_textLayout;
    qreal m_appearance { 1.0 };
};

// The bubbles in the bottom-right corner: a right-aligned column, 12 apart, each later bubble
// stepped 4 further in. The stack is transparent to the pointer; bubbles fade and scale in and
// out, and the whole stack slides in from the bottom edge when its first bubble arrives.
class ErrorBubbleStack : public QWidget {
    Q_OBJECT

public:
    static constexpr int spacing = 12;
    static constexpr int stepInset = 4;
    static constexpr int maximumBubbles = 3;

    explicit ErrorBubbleStack(QWidget* parent = nullptr);

    // Replaces the bubbles; a list equal by value to the current one changes nothing.
    void setMessages(std::vector<BubblePayload>);
    const std::vector<BubblePayload>& messages() const { return m_messages; }
    // The banners now shown (including any still leaving), and where each banner sits.
    std::vector<ErrorBannerView*> banners() const;
    std::vector<QRect> bannerFrames() const;

    // Where the banners go in a stack whose bottom-right corner is (0, 0): list order top to
    // bottom, right-aligned, bubble i inset by 4 × i.
    static std::vector<QRect> frames(const std::vector<QSize>& bannerSizes);

    // Puts the stack's bottom-right corner at this point of the parent.
    void setAnchor(QPoint bottomRight);
    // Finishes every running animation (for pictures and tests).
    void finishAnimations();

private:
    struct Entry {
        BubblePayload payload;
        QPointer<ErrorBannerView> view;
    };
    void relayout();
    void animate(ErrorBannerView*, qreal from, qreal to, bool removeWhenDone);

    std::vector<BubblePayload> m_messages;
    std::vector<Entry> m_entries;
    struct Leaving {
        QPointer<ErrorBannerView> view;
        QRect frame; // where it was, relative to the anchor
    };
    std::vector<Leaving> m_leaving;
    QPoint m_anchor;
    qreal m_slide { 0 }; // 1 = pushed below the bottom edge, 0 = in place
    std::vector<QPointer<QVariantAnimation>> m_animations;
};

}
