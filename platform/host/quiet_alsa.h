// ALSA prints its errors on stderr; the platform's sound and volume calls
// print nothing. While one of these lives, ALSA is silent on this thread.
#pragma once

#include <cstdarg>

// alsa-lib 1.2.8 declares snd_lib_error_set_local outside the header's
// extern "C" block; giving it C linkage here first is harmless where later
// versions fixed that. Include ALSA through this header only.
extern "C" {
#include <alsa/error.h>
}
#include <alsa/asoundlib.h>

namespace wince {

class QuietAlsa {
public:
    QuietAlsa() : previous_(snd_lib_error_set_local(silent)) {}
    ~QuietAlsa() { snd_lib_error_set_local(previous_); }
    QuietAlsa(const QuietAlsa&) = delete;
    QuietAlsa& operator=(const QuietAlsa&) = delete;

private:
    static void silent(const char*, int, const char*, int, const char*, va_list) {}
    snd_local_error_handler_t previous_;
};

}  // namespace wince
