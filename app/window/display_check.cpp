#include "app/window/display_check.h"

#include <cstdlib>
#include <string_view>

#ifdef TREVIK_HAVE_XCB
#include <xcb/xcb.h>
#endif

namespace trevik::window {

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

bool x11Reachable(const std::string& display, std::string& why) {
#ifdef TREVIK_HAVE_XCB
    xcb_connection_t* connection = xcb_connect(display.c_str(), nullptr);
    const bool ok = connection && xcb_connection_has_error(connection) == 0;
    if (connection) xcb_disconnect(connection);
    if (!ok) why = "cannot connect to the X display \"" + display + "\"";
    return ok;
#else
    (void)display;
    (void)why;
    return true;
#endif
}

}  // namespace

bool displayAvailable(std::string& why) {
    // The first platform the toolkit is told to use; a list may follow.
    std::string platform = environment("QT_QPA_PLATFORM");
    platform = platform.substr(0, platform.find_first_of(";:"));

    const std::string x11 = environment("DISPLAY");
    const std::string wayland = environment("WAYLAND_DISPLAY");
    if (platform.empty() || platform == "xcb") {
        if (!x11.empty()) return x11Reachable(x11, why);
        if (platform.empty() && !wayland.empty()) return true;
        why = "no display: DISPLAY is not set";
        return false;
    }
    if (platform == "wayland" || platform.starts_with("wayland-")) {
        if (!wayland.empty()) return true;
        why = "no display: WAYLAND_DISPLAY is not set";
        return false;
    }
    // offscreen, minimal, vnc and the like need no display.
    return true;
}

}  // namespace trevik::window
