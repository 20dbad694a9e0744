#include "app/SingleWindow.h"

#include "app/AppTexts.h"

#include <QAction>
#include <QKeySequence>
#include <QVBoxLayout>

#include <algorithm>

namespace tallowin {

ContentSizeFacts ContentSizeFacts::of(const QWidget& content)
{
    return { content.sizeHint(), content.minimumSizeHint(), content.maximumSize(), content.sizePolicy() };
}

namespace {

struct Extent {
    int initial;
    int minimum;
    int maximum;
};

Extent extentOf(int preferred, int hint, int minimumHint, int maximum, QSizePolicy::Policy policy)
{
    if (policy == QSizePolicy::Fixed && hint > 0)
        return { hint, hint, hint };
    int minimum = std::max(0, minimumHint);
    int upper = std::max(minimum, maximum);
    return { std::clamp(preferred, minimum, upper), minimum, upper };
}

}

WindowSizing secondaryWindowSizing(QSize defaultSize, const ContentSizeFacts& content)
{
    auto width = extentOf(defaultSize.width(), content.sizeHint.width(), content.minimumSizeHint.width(),
        content.maximumSize.width(), content.sizePolicy.horizontalPolicy());
    auto height = extentOf(defaultSize.height(), content.sizeHint.height(), content.minimumSizeHint.height(),
        content.maximumSize.height(), content.sizePolicy.verticalPolicy());
    return { { width.initial, height.initial }, { width.minimum, height.minimum }, { width.maximum, height.maximum } };
}

SingleWindow::SingleWindow(Scene scene, QWidget* owner)
    : m_scene(std::move(scene))
    , m_owner(owner)
{ }

QWidget* SingleWindow::open()
{
    if (m_window) {
        m_window->showNormal();
        m_window->raise();
        m_window->activateWindow();
        return m_window;
    }

    // A child of the main window with a window frame of its own: Qt deletes it on close and with
    // the main window, and it does not keep the application running once the main window closed.
    auto* window = new QWidget(m_owner, Qt::Window);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setAttribute(Qt::WA_QuitOnClose, false);
    window->setObjectName(QString::fromStdString(m_scene.identifier));
    window->setWindowTitle(QString::fromStdString(m_scene.windowTitle));

    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    QWidget* content = m_scene.contentBuilder ? m_scene.contentBuilder(window) : nullptr;
    if (content) {
        // Stretched over the window; in a direction it cannot grow, it is held to the top-leading
        // corner instead of being centred.
        Qt::Alignment alignment;
        if (content->sizePolicy().horizontalPolicy() == QSizePolicy::Fixed)
            alignment |= Qt::AlignLeft;
        if (content->sizePolicy().verticalPolicy() == QSizePolicy::Fixed)
            alignment |= Qt::AlignTop;
        layout->addWidget(content, 1, alignment);
        auto sizing = secondaryWindowSizing(m_scene.defaultSize, ContentSizeFacts::of(*content));
        window->setMinimumSize(sizing.minimum);
        window->setMaximumSize(sizing.maximum);
        window->resize(sizing.initial);
    } else {
        window->resize(m_scene.defaultSize);
    }

    auto* close = new QAction(QString::fromStdString(AppTexts::closeWindowCommand()), window);
    close->setShortcuts({ QKeySequence::Close, QKeySequence(Qt::Key_Escape) });
    QObject::connect(close, &QAction::triggered, window, &QWidget::close);
    window->addAction(close);

    m_window = window;
    window->show();
    window->raise();
    window->activateWindow();
    return window;
}

}
