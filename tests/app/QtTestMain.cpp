// The widget and window tests need one QApplication for the whole program; they draw off screen.
#include <QApplication>
#include <gtest/gtest.h>

#include <cstdlib>

#if defined(__SANITIZE_THREAD__)
// Showing a window starts Qt's own worker threads (raster painting, font and network helpers),
// whose locking the uninstrumented Qt libraries hide from ThreadSanitizer; reports that lie
// inside Qt are not ours. The shell's own threads (the main queue's posters, the helper
// workflow queue) are plain C++ and stay checked.
extern "C" const char* __tsan_default_suppressions()
{
    return "race:libQt6Core.so\n"
           "race:libQt6Gui.so\n"
           "race:libQt6Widgets.so\n";
}
#endif

int main(int argc, char* argv[])
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
