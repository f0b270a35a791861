// Wave-output volume on the host: the playback volume of ALSA's default
// mixer ("PCM", else "Master", else its first playback control), packed as
// the platform packs it: left level in the low 16 bits, right in the high
// 16, each 0x0000 (silent) to 0xFFFF (full), spread linearly over the
// control's range.

#include <cstring>
#include <memory>

#include "quiet_alsa.h"
#include "system_services.h"

namespace wince {
namespace {

constexpr long long kFullLevel = 0xFFFF;

snd_mixer_elem_t* playbackControl(snd_mixer_t* mixer) {
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
class MixerControl {
public:
    // Null where there is no mixer with a playback volume.
    static std::unique_ptr<MixerControl> open() {
        QuietAlsa quiet;
        snd_mixer_t* mixer = nullptr;
        if (snd_mixer_open(&mixer, 0) < 0) return nullptr;
        auto control = std::unique_ptr<MixerControl>(new MixerControl(mixer));
        if (snd_mixer_attach(mixer, "default") < 0 || snd_mixer_selem_register(mixer, nullptr, nullptr) < 0 ||
            snd_mixer_load(mixer) < 0)
            return nullptr;
        control->elem_ = playbackControl(mixer);
        if (!control->elem_ ||
            snd_mixer_selem_get_playback_volume_range(control->elem_, &control->min_, &control->max_) < 0 ||
            control->max_ <= control->min_)
            return nullptr;
        return control;
    }
    ~MixerControl() { snd_mixer_close(mixer_); }
    MixerControl(const MixerControl&) = delete;
    MixerControl& operator=(const MixerControl&) = delete;

    bool read(DWORD& packed) {
        QuietAlsa quiet;
        long left = 0;
        long right = 0;
        if (snd_mixer_selem_get_playback_volume(elem_, SND_MIXER_SCHN_FRONT_LEFT, &left) < 0) return false;
        if (snd_mixer_selem_is_playback_mono(elem_) ||
            snd_mixer_selem_get_playback_volume(elem_, SND_MIXER_SCHN_FRONT_RIGHT, &right) < 0)
            right = left;
        packed = toLevel(left) | toLevel(right) << 16;
        return true;
    }

    bool write(DWORD packed) {
        QuietAlsa quiet;
        const long left = toRaw(packed & 0xFFFF);
        const long right = toRaw(packed >> 16);
        if (snd_mixer_selem_is_playback_mono(elem_))
            return snd_mixer_selem_set_playback_volume(elem_, SND_MIXER_SCHN_MONO, (left + right) / 2) >= 0;
        return snd_mixer_selem_set_playback_volume(elem_, SND_MIXER_SCHN_FRONT_LEFT, left) >= 0 &&
               snd_mixer_selem_set_playback_volume(elem_, SND_MIXER_SCHN_FRONT_RIGHT, right) >= 0;
    }

private:
    explicit MixerControl(snd_mixer_t* mixer) : mixer_(mixer) {}

    // Rounded to the nearest step both ways, so a level read back is the
    // level written whenever the control has 0x10000 steps or fewer.
    DWORD toLevel(long raw) const {
        const long long span = max_ - min_;
        return static_cast<DWORD>(((raw - min_) * kFullLevel + span / 2) / span);
    }
    long toRaw(DWORD level) const {
        const long long span = max_ - min_;
        return static_cast<long>(min_ + (level * span + kFullLevel / 2) / kFullLevel);
    }

    snd_mixer_t* mixer_;
    snd_mixer_elem_t* elem_ = nullptr;
    long min_ = 0;
    long max_ = 0;
};

}  // namespace

MMRESULT SystemServices::getVolume(DWORD& volume) {
    std::unique_ptr<MixerControl> control = MixerControl::open();
    if (!control) return MMSYSERR_NODRIVER;
    return control->read(volume) ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
}

MMRESULT SystemServices::setVolume(DWORD volume) {
    std::unique_ptr<MixerControl> control = MixerControl::open();
    if (!control) return MMSYSERR_NODRIVER;
    return control->write(volume) ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
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
