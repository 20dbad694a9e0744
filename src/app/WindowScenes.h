#pragma once

#include <QSize>
#include <QSizePolicy>
#include <QWidget>

#include <functional>
#include <string>

namespace tallowin {

// Makes the content of a secondary window, as a child of the window it is given (Qt owns it).
using WindowContentBuilder = std::function<QWidget*(QWidget* window)>;

// The About window: a single window, opened from the menu, whose content is the About view.
struct AboutWindowScene {
    static constexpr const char* identifier = "about-tallowin-window";
    static constexpr QSize defaultSize { 420, 380 };
    WindowContentBuilder contentBuilder;
    std::string windowTitle;
};

// The Feedback window, a single window like the About window, whose content is the form.
struct FeedbackWindowScene {
    static constexpr const char* identifier = "feedback-tallowin-window";
    static constexpr QSize defaultSize { 520, 560 };
    WindowContentBuilder contentBuilder;
    std::string windowTitle;
};

// What a secondary window may be sized to: it opens at its default size, and the user can
// resize it only as far as its content allows. A content that is fixed in one direction fixes
// the window in that direction at the content's preferred size.
struct WindowSizing {
    QSize initial;
    QSize minimum;
    QSize maximum;
    friend bool operator==(const WindowSizing&, const WindowSizing&) = default;
};

struct ContentSizeFacts {
    QSize sizeHint;
    QSize minimumSizeHint;
    QSize maximumSize { QWIDGETSIZE_MAX, QWIDGETSIZE_MAX };
    QSizePolicy sizePolicy;

    static ContentSizeFacts of(const QWidget&);
};

WindowSizing secondaryWindowSizing(QSize defaultSize, const ContentSizeFacts&);

}
