#pragma once

#include "app/WindowScenes.h"

#include <QPointer>
#include <QSize>
#include <QWidget>

#include <string>

namespace tallowin {

// One secondary window that exists only while it is open: open() creates it from the scene's
// content builder the first time and, while it is open, brings the same window forward again.
// The window is a child of the main window (Qt deletes it with that, or when it is closed).
class SingleWindow {
public:
    struct Scene {
        std::string identifier;
        std::string windowTitle;
        QSize defaultSize;
        WindowContentBuilder contentBuilder;
    };

    SingleWindow(Scene, QWidget* owner);

    // The open window.
    QWidget* open();
    // The window while it is open, else null.
    QWidget* window() const { return m_window.data(); }
    const Scene& scene() const { return m_scene; }

private:
    Scene m_scene;
    QPointer<QWidget> m_owner;
    QPointer<QWidget> m_window;
};

}
