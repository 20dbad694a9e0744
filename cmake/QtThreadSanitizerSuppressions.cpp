// Compiled into the programs that use Qt, in ThreadSanitizer builds only (see
// tallowin_suppress_qt_races).
//
// Qt's raster engine, font loading and network access run on Qt's own worker threads (and GLib's
// event loop under them), whose locking the uninstrumented libraries hide from ThreadSanitizer:
// every report they give lies wholly inside those libraries. Our own threads (queues, posters, the
// export and downsampling queues) are plain C++ and stay checked.
extern "C" const char* __tsan_default_suppressions()
{
    return "race:libQt6Core.so\n"
           "race:libQt6Gui.so\n"
           "race:libQt6Widgets.so\n"
           "race:libQt6Network.so\n"
           "race:libglib-2.0.so\n";
}
