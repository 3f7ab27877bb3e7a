// Under the leak checker: the font configuration and D-Bus libraries keep
// caches for the life of the process that they never free; they are not
// leaks of this program. Linked as an object into every executable that
// shows the window (an archive member nothing refers to would be left out).
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\nleak:libdbus-1.so\n";
}
