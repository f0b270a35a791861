// Wave-output volume on the host: the playback volume of ALSA's default
// mixer ("PCM", else "Master", else its first playback control), packed as
// the platform packs it: left level in the low 16 bits, right in the high
// 16, each 0x0000 (silent) to 0xFFFF (full), spread linearly over the
// control's range. As on the platform, a read gives back the volume as it
// was set, as long as nothing else changed the control in between.

#include <cstring>
#include <memory>
#include <mutex>

#include "playback_control.h"
#include "quiet_alsa.h"
#include "system_services.h"

namespace wince {
namespace {

constexpr long long kFullLevel = 0xFFFF;

snd_mixer_elem_t* playbackElement(snd_mixer_t* mixer) {
    snd_mixer_elem_t* first = nullptr;
    for (const char* preferred : {"PCM", "Master"}) {
        for (snd_mixer_elem_t* elem = snd_mixer_first_elem(mixer); elem; elem = snd_mixer_elem_next(elem)) {
            if (!snd_mixer_selem_has_playback_volume(elem)) continue;
            if (!first) first = elem;
            if (std::strcmp(snd_mixer_selem_get_name(elem), preferred) == 0) return elem;
        }
    }
    return first;
}

// The default mixer's playback control, opened for one call.
class AlsaPlaybackControl : public PlaybackControl {
public:
    // Null where there is no mixer with a playback volume.
    static std::unique_ptr<PlaybackControl> open() {
        QuietAlsa quiet;
        snd_mixer_t* mixer = nullptr;
        if (snd_mixer_open(&mixer, 0) < 0) return nullptr;
        auto control = std::unique_ptr<AlsaPlaybackControl>(new AlsaPlaybackControl(mixer));
        if (snd_mixer_attach(mixer, "default") < 0 || snd_mixer_selem_register(mixer, nullptr, nullptr) < 0 ||
            snd_mixer_load(mixer) < 0)
            return nullptr;
        control->elem_ = playbackElement(mixer);
        if (!control->elem_ ||
            snd_mixer_selem_get_playback_volume_range(control->elem_, &control->min_, &control->max_) < 0 ||
            control->max_ <= control->min_)
            return nullptr;
        return control;
    }
    ~AlsaPlaybackControl() override { snd_mixer_close(mixer_); }
    AlsaPlaybackControl(const AlsaPlaybackControl&) = delete;
    AlsaPlaybackControl& operator=(const AlsaPlaybackControl&) = delete;

    long minimum() const override { return min_; }
    long maximum() const override { return max_; }

    bool read(long& left, long& right) override {
        QuietAlsa quiet;
        if (snd_mixer_selem_get_playback_volume(elem_, SND_MIXER_SCHN_FRONT_LEFT, &left) < 0) return false;
        if (snd_mixer_selem_is_playback_mono(elem_) ||
            snd_mixer_selem_get_playback_volume(elem_, SND_MIXER_SCHN_FRONT_RIGHT, &right) < 0)
            right = left;
        return true;
    }

    bool write(long left, long right) override {
        QuietAlsa quiet;
        if (snd_mixer_selem_is_playback_mono(elem_))
            return snd_mixer_selem_set_playback_volume(elem_, SND_MIXER_SCHN_MONO, (left + right) / 2) >= 0;
        return snd_mixer_selem_set_playback_volume(elem_, SND_MIXER_SCHN_FRONT_LEFT, left) >= 0 &&
               snd_mixer_selem_set_playback_volume(elem_, SND_MIXER_SCHN_FRONT_RIGHT, right) >= 0;
    }

private:
    explicit AlsaPlaybackControl(snd_mixer_t* mixer) : mixer_(mixer) {}

    snd_mixer_t* mixer_;
    snd_mixer_elem_t* elem_ = nullptr;
    long min_ = 0;
    long max_ = 0;
};

std::mutex openerLock;
PlaybackControlOpener testOpener;

std::unique_ptr<PlaybackControl> openPlaybackControl() {
    {
        std::lock_guard lock(openerLock);
        if (testOpener) return testOpener();
    }
    return AlsaPlaybackControl::open();
}

// Rounded to the nearest step both ways.
DWORD toLevel(const PlaybackControl& control, long raw) {
    const long long span = control.maximum() - control.minimum();
    return static_cast<DWORD>(((raw - control.minimum()) * kFullLevel + span / 2) / span);
}

long toRaw(const PlaybackControl& control, DWORD level) {
    const long long span = control.maximum() - control.minimum();
    return static_cast<long>(control.minimum() + (level * span + kFullLevel / 2) / kFullLevel);
}

// The volume last set, and the raw values that set left in the control. A
// control has far fewer steps than the 0x10000 levels of a channel, so a
// level converted to steps and back comes out rounded; while the control
// still holds what the set left in it, a read gives back the volume as set.
struct LastSet {
    bool valid = false;
    DWORD volume = 0;
    long minimum = 0;
    long maximum = 0;
    long left = 0;
    long right = 0;

    bool heldBy(const PlaybackControl& control, long nowLeft, long nowRight) const {
        return valid && minimum == control.minimum() && maximum == control.maximum() && left == nowLeft &&
               right == nowRight;
    }
};

// Serialises each set and read with the memory of the last set.
std::mutex lastSetLock;
LastSet lastSet;

// What the control holds after `volume` was written to it.
void rememberSet(PlaybackControl& control, DWORD volume) {
    LastSet held{true, volume, control.minimum(), control.maximum()};
    lastSet = control.read(held.left, held.right) ? held : LastSet{};
}

}  // namespace

void setPlaybackControlOpener(PlaybackControlOpener opener) {
    std::lock_guard lock(openerLock);
    testOpener = std::move(opener);
}

MMRESULT SystemServices::getVolume(DWORD& volume) {
    std::unique_ptr<PlaybackControl> control = openPlaybackControl();
    if (!control) return MMSYSERR_NODRIVER;
    long left = 0;
    long right = 0;
    std::lock_guard lock(lastSetLock);
    if (!control->read(left, right)) return MMSYSERR_ERROR;
    volume = lastSet.heldBy(*control, left, right) ? lastSet.volume
                                                   : toLevel(*control, left) | toLevel(*control, right) << 16;
    return MMSYSERR_NOERROR;
}

MMRESULT SystemServices::setVolume(DWORD volume) {
    std::unique_ptr<PlaybackControl> control = openPlaybackControl();
    if (!control) return MMSYSERR_NODRIVER;
    std::lock_guard lock(lastSetLock);
    if (!control->write(toRaw(*control, volume & 0xFFFF), toRaw(*control, volume >> 16))) {
        lastSet = {};
        return MMSYSERR_ERROR;
    }
    rememberSet(*control, volume);
    return MMSYSERR_NOERROR;
}

}  // namespace wince

extern "C" {

// Device 0 only. Results: MMSYSERR_BADDEVICEID (another device),
// MMSYSERR_INVALPARAM (no place for the volume), MMSYSERR_NODRIVER (no
// mixer), MMSYSERR_ERROR (the mixer refused), MMSYSERR_NOMEM.
MMRESULT WINAPI waveOutGetVolume(HWAVEOUT hwo, LPDWORD pdwVolume) {
    if (hwo != nullptr) return MMSYSERR_BADDEVICEID;
    if (pdwVolume == nullptr) return MMSYSERR_INVALPARAM;
    try {
        return wince::systemServices().getVolume(*pdwVolume);
    } catch (const std::bad_alloc&) {
        return MMSYSERR_NOMEM;
    }
}

MMRESULT WINAPI waveOutSetVolume(HWAVEOUT hwo, DWORD dwVolume) {
    if (hwo != nullptr) return MMSYSERR_BADDEVICEID;
    try {
        return wince::systemServices().setVolume(dwVolume);
    } catch (const std::bad_alloc&) {
        return MMSYSERR_NOMEM;
    }
}

}  // extern "C"
