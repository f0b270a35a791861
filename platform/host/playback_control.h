// The playback volume control that the wave-volume calls read and set, in
// the control's own raw steps: ALSA's default mixer on the host, or a
// control a test puts in its place.
#pragma once

#include <functional>
#include <memory>

namespace wince {

class PlaybackControl {
public:
    virtual ~PlaybackControl() = default;
    // The raw range; minimum() < maximum().
    virtual long minimum() const = 0;
    virtual long maximum() const = 0;
    // Both channels' raw values; a mono control reads the same in both.
    virtual bool read(long& left, long& right) = 0;
    // A mono control takes the mean of the two.
    virtual bool write(long left, long right) = 0;
};

// Null where there is no such control.
using PlaybackControlOpener = std::function<std::unique_ptr<PlaybackControl>()>;

// Tests put an opener of their own in place of ALSA's (null restores it).
// The shipped libraries never call it.
void setPlaybackControlOpener(PlaybackControlOpener opener);

}  // namespace wince
