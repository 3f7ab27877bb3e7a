// The cleanup of a named temporary file when a signal ends the process
// (removeTemporaryOnSignals, writer/output_file.h). Internal to the writer.
#pragma once

#include <signal.h>

namespace trevik::detail {

// Holds the cleanup signals back in this thread while it lives, keeping errno.
class SignalsHeld {
public:
    SignalsHeld() noexcept;
    ~SignalsHeld();
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t previous_;
};

// Records `name` in `directory` as this thread's named temporary for the
// handler, or (with nullptr) forgets the one it recorded. Call with the
// signals held. Each thread has a record of its own.
void setPending(int directory, const char* name) noexcept;

}  // namespace trevik::detail
