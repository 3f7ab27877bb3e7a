// Whether the window system can be reached before the toolkit tries: the
// toolkit ends the process abruptly when it cannot connect to a display.
#pragma once

#include <string>

namespace trevik::window {

// True when the platform the toolkit will use has a display to connect to;
// otherwise false and `why` says what is missing, in one line.
bool displayAvailable(std::string& why);

}  // namespace trevik::window
