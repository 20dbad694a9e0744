#include "dashboard/ErrorBannerView.h"

#include "dashboard/DashboardStyle.h"
#include "dashboard/SymbolIcon.h"

#include <QFontMetrics>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QTextLayout>
#include <QVariantAnimation>

#include <algorithm>

namespace tallowin {

namespace {

constexpr int iconGlyphSize = 16;
constexpr int iconPadding = 8;
constexpr int iconDiameter = iconGlyphSize + 2 * iconPadding;
constexpr int iconTextSpacing = 10;
constexpr int verticalPadding = 14;
constexpr int horizontalPadding = 16;
constexpr qreal cornerRadius = 16;
constexpr int calloutPixelSize = 15;

QColor styleColor(BannerStyle style)
{
    return DashboardStyle::color(style == BannerStyle::success ? AccentColor::green : AccentColor::red);
}

QColor withAlpha(QColor color, qreal alpha)
{
    color.setAlphaF(static_cast<float>(alpha));
    return color;
}

}

ErrorBannerView::ErrorBannerView(QString message, Style style, QWidget* parent)
    : QWidget(parent)
    , m_message(std::move(message))
    , m_style(style)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFont(DashboardStyle::font(calloutPixelSize, QFont::Normal));
    layoutText();
    resize(sizeHint());
}

ErrorBannerView::~ErrorBannerView() = default;

QMargins ErrorBannerView::shadowMargins()
{
    // Room for a blur of 12 around a shadow moved 8 down.
    return QMargins(12, 4, 12, 20);
}

void ErrorBannerView::layoutText()
{
    int textLimit = maximumRowWidth - iconDiameter - iconTextSpacing;
    // Breaks between words, and inside a word only when it is longer than a line (a path):
    // the banner grows downwards and never clips.
    QString text = m_message;
    text.replace(QLatin1Char('\n'), QChar::LineSeparator);
    m_textLayout = std::make_unique<QTextLayout>(text, font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    m_textLayout->setTextOption(option);
    m_textLayout->beginLayout();
    qreal height = 0;
    qreal widest = 0;
    for (QTextLine line = m_textLayout->createLine(); line.isValid(); line = m_textLayout->createLine()) {
        line.setLineWidth(textLimit);
        line.setPosition(QPointF(0, height));
        height += line.height();
        widest = std::max(widest, line.naturalTextWidth());
    }
    m_textLayout->endLayout();
    int textWidth = std::min(qCeil(widest), textLimit);
    int textHeight = qCeil(height);
    int rowHeight = std::max(iconDiameter, textHeight);
    m_rowSize = QSize(iconDiameter + iconTextSpacing + textWidth, rowHeight);
    m_textRect = QRect(iconDiameter + iconTextSpacing, (rowHeight - textHeight) / 2, textWidth, textHeight);
}

QSize ErrorBannerView::bannerSize() const
{
    return m_rowSize + QSize(2 * horizontalPadding, 2 * verticalPadding);
}

QSize ErrorBannerView::sizeHint() const
{
    auto margins = shadowMargins();
    return bannerSize() + QSize(margins.left() + margins.right(), margins.top() + margins.bottom());
}

void ErrorBannerView::setAppearance(qreal appearance)
{
    appearance = std::clamp(appearance, 0.0, 1.0);
    if (appearance == m_appearance)
        return;
    m_appearance = appearance;
    update();
}

void ErrorBannerView::paintEvent(QPaintEvent*)
{
    if (m_appearance <= 0)
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setOpacity(m_appearance);
    auto margins = shadowMargins();
    QRectF banner(QPointF(margins.left(), margins.top()), QSizeF(bannerSize()));
    if (m_appearance < 1) {
        // Appearing and leaving scale about the centre, from (almost) nothing.
        qreal scale = std::max(m_appearance, 0.00001);
        painter.translate(banner.center());
        painter.scale(scale, scale);
        painter.translate(-banner.center());
    }

    // A soft shadow, black at 22 % in all, 8 down: a few widening translucent layers stand in for
    // a blur of 12 without an off-screen pass.
    painter.setPen(Qt::NoPen);
    constexpr int layers = 6;
    for (int layer = layers; layer >= 1; --layer) {
        qreal spread = 12.0 * layer / layers;
        painter.setBrush(QColor(0, 0, 0, static_cast<int>(255 * 0.22 / layers)));
        painter.drawRoundedRect(banner.translated(0, 8).adjusted(-spread / 2, -spread / 2, spread / 2, spread / 2),
            cornerRadius + spread / 2, cornerRadius + spread / 2);
    }

    // The material under the tint: the window's colour, so the gradient reads the same over the
    // chart and over the window background.
    QColor color = styleColor(m_style);
    painter.setBrush(withAlpha(DashboardStyle::windowBackground(), 0.92));
    painter.drawRoundedRect(banner, cornerRadius, cornerRadius);
    QLinearGradient gradient(banner.topLeft(), banner.bottomRight());
    gradient.setColorAt(0, withAlpha(color, 0.32));
    gradient.setColorAt(1, withAlpha(color, 0.18));
    painter.setBrush(gradient);
    painter.setPen(QPen(withAlpha(Qt::white, 0.24), 1));
    painter.drawRoundedRect(banner.adjusted(0.5, 0.5, -0.5, -0.5), cornerRadius, cornerRadius);

    QPointF row = banner.topLeft() + QPointF(horizontalPadding, verticalPadding);
    QRectF disc(row + QPointF(0, (m_rowSize.height() - iconDiameter) / 2.0), QSizeF(iconDiameter, iconDiameter));
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    painter.drawEllipse(disc);
    SymbolIcon::paint(painter, disc,
        m_style == BannerStyle::success ? "checkmark.circle.fill" : "exclamationmark.triangle.fill", Qt::white,
        iconGlyphSize);

    painter.setPen(DashboardStyle::primaryText());
    m_textLayout->draw(&painter, row + QPointF(m_textRect.topLeft()));
}

ErrorBubbleStack::ErrorBubbleStack(QWidget* parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    hide();
}

std::vector<QRect> ErrorBubbleStack::frames(const std::vector<QSize>& bannerSizes)
{
    int total = 0;
    for (const auto& size : bannerSizes)
        total += size.height();
    if (!bannerSizes.empty())
        total += spacing * static_cast<int>(bannerSizes.size() - 1);
    std::vector<QRect> frames;
    int top = -total;
    for (std::size_t i = 0; i < bannerSizes.size(); ++i) {
        int right = -stepInset * static_cast<int>(i);
        frames.emplace_back(QPoint(right - bannerSizes[i].width(), top), bannerSizes[i]);
        top += bannerSizes[i].height() + spacing;
    }
    return frames;
}

void ErrorBubbleStack::setMessages(std::vector<BubblePayload> messages)
{
    if (messages.size() > maximumBubbles)
        messages.resize(maximumBubbles);
    if (messages == m_messages)
        return;
    bool wasEmpty = m_entries.empty();
    std::vector<Entry> entries;
    for (const auto& payload : messages) {
        auto kept = std::find_if(m_entries.begin(), m_entries.end(),
            [&](const Entry& entry) { return entry.view && entry.payload == payload; });
        if (kept != m_entries.end()) {
            entries.push_back(std::move(*kept));
            m_entries.erase(kept);
            continue;
        }
        auto* view = new ErrorBannerView(QString::fromStdString(payload.message), payload.style, this);
        view->setAppearance(0);
        view->show();
        entries.push_back({ payload, view });
        animate(view, 0, 1, false);
    }
    auto previousFrames = bannerFrames();
    auto previousViews = banners();
    for (auto& gone : m_entries) {
        if (!gone.view)
            continue;
        auto index = std::find(previousViews.begin(), previousViews.end(), gone.view.data()) - previousViews.begin();
        m_leaving.push_back({ gone.view, previousFrames[static_cast<std::size_t>(index)] });
        animate(gone.view, gone.view->appearance(), 0, true);
    }
    m_entries = std::move(entries);
    m_messages = std::move(messages);

    if (wasEmpty && !m_entries.empty()) {
        // The stack arrives from below the bottom edge.
        m_slide = 1;
        auto* slide = new QVariantAnimation(this);
        slide->setStartValue(1.0);
        slide->setEndValue(0.0);
        slide->setDuration(400);
        slide->setEasingCurve(QEasingCurve::OutBack);
        connect(slide, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
            m_slide = value.toReal();
            relayout();
        });
        m_animations.push_back(slide);
        slide->start(QAbstractAnimation::DeleteWhenStopped);
    }
    relayout();
}

void ErrorBubbleStack::animate(ErrorBannerView* view, qreal from, qreal to, bool removeWhenDone)
{
    auto* animation = new QVariantAnimation(this);
    animation->setStartValue(from);
    animation->setEndValue(to);
    animation->setDuration(300);
    animation->setEasingCurve(to > from ? QEasingCurve::OutBack : QEasingCurve::InCubic);
    QPointer<ErrorBannerView> target = view;
    connect(animation, &QVariantAnimation::valueChanged, this, [target](const QVariant& value) {
        if (target)
            target->setAppearance(value.toReal());
    });
    if (removeWhenDone) {
        connect(animation, &QVariantAnimation::finished, this, [this, target] {
            if (target)
                target->deleteLater();
            std::erase_if(m_leaving, [&](const Leaving& leaving) { return !leaving.view || leaving.view == target; });
            relayout();
        });
    }
    m_animations.push_back(animation);
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

void ErrorBubbleStack::finishAnimations()
{
    for (auto& animation : m_animations) {
        if (animation)
            animation->setCurrentTime(animation->duration());
    }
    std::erase_if(m_animations, [](const QPointer<QVariantAnimation>& animation) { return !animation; });
    for (auto& leaving : m_leaving) {
        if (leaving.view)
            delete leaving.view.data();
    }
    m_leaving.clear();
    relayout();
}

std::vector<ErrorBannerView*> ErrorBubbleStack::banners() const
{
    std::vector<ErrorBannerView*> views;
    for (const auto& entry : m_entries) {
        if (entry.view)
            views.push_back(entry.view);
    }
    return views;
}

std::vector<QRect> ErrorBubbleStack::bannerFrames() const
{
    std::vector<QSize> sizes;
    for (auto* view : banners())
        sizes.push_back(view->bannerSize());
    return frames(sizes);
}

void ErrorBubbleStack::setAnchor(QPoint bottomRight)
{
    if (bottomRight == m_anchor)
        return;
    m_anchor = bottomRight;
    relayout();
}

void ErrorBubbleStack::relayout()
{
    auto views = banners();
    if (views.empty() && m_leaving.empty()) {
        hide();
        return;
    }
    auto placed = bannerFrames();
    QRect bounds;
    for (const auto& frame : placed)
        bounds |= frame;
    auto margins = ErrorBannerView::shadowMargins();
    // Banners that are leaving stay where they were while they fade.
    std::erase_if(m_leaving, [](const Leaving& leaving) { return !leaving.view; });
    for (const auto& leaving : m_leaving)
        bounds |= leaving.frame;
    QRect area = bounds.marginsAdded(margins);
    int slideDistance = static_cast<int>(m_slide * (bounds.height() + 32 + margins.bottom()));
    setGeometry(area.translated(m_anchor + QPoint(0, slideDistance)));
    for (std::size_t i = 0; i < views.size(); ++i) {
        QPoint topLeft = placed[i].topLeft() - area.topLeft() - QPoint(margins.left(), margins.top());
        views[i]->setGeometry(QRect(topLeft, views[i]->sizeHint()));
    }
    for (const auto& leaving : m_leaving) {
        QPoint topLeft = leaving.frame.topLeft() - area.topLeft() - QPoint(margins.left(), margins.top());
        leaving.view->setGeometry(QRect(topLeft, leaving.view->sizeHint()));
    }
    show();
    raise();
}

}
