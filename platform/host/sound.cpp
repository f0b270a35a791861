// PlaySoundW on the host: PCM WAV files played through ALSA's default
// device. The file is checked and the device opened before PlaySoundW
// returns, so a missing or malformed file, or no sound device, gives FALSE
// in both modes; an asynchronous sound then plays on a thread of its own.
// As on the platform, a new sound (or a null name) stops the asynchronous
// one, and SND_NOSTOP refuses to.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "device.h"
#include "quiet_alsa.h"
#include "system_services.h"
#include "utf16.h"

namespace wince {
namespace {

struct SampleFormat {
    snd_pcm_format_t format;
    unsigned channels;
    unsigned rate;
    unsigned frameBytes;
};

uint32_t littleEndian32(const uint8_t* bytes) {
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | uint32_t{bytes[3]} << 24;
}
uint16_t littleEndian16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | bytes[1] << 8); }

constexpr uint16_t kWavePcm = 1;
constexpr uint16_t kWaveFloat = 3;
constexpr uint16_t kWaveExtensible = 0xFFFE;

snd_pcm_format_t alsaFormat(uint16_t tag, unsigned bits) {
    if (tag == kWaveFloat) return bits == 32 ? SND_PCM_FORMAT_FLOAT_LE : SND_PCM_FORMAT_UNKNOWN;
    switch (bits) {
        case 8: return SND_PCM_FORMAT_U8;
        case 16: return SND_PCM_FORMAT_S16_LE;
        case 24: return SND_PCM_FORMAT_S24_3LE;
        case 32: return SND_PCM_FORMAT_S32_LE;
        default: return SND_PCM_FORMAT_UNKNOWN;
    }
}

// The "fmt " chunk: PCM (plain or extensible) or 32-bit float samples.
bool parseFormat(const std::vector<uint8_t>& chunk, SampleFormat& out) {
    if (chunk.size() < 16) return false;
    uint16_t tag = littleEndian16(&chunk[0]);
    if (tag == kWaveExtensible && chunk.size() >= 26) tag = littleEndian16(&chunk[24]);
    const unsigned channels = littleEndian16(&chunk[2]);
    const unsigned rate = littleEndian32(&chunk[4]);
    const unsigned blockAlign = littleEndian16(&chunk[12]);
    const unsigned bits = littleEndian16(&chunk[14]);
    if (tag != kWavePcm && tag != kWaveFloat) return false;
    if (channels == 0 || rate == 0 || bits % 8 != 0 || blockAlign != channels * bits / 8) return false;
    out = {alsaFormat(tag, bits), channels, rate, blockAlign};
    return out.format != SND_PCM_FORMAT_UNKNOWN;
}

// A WAV file positioned at its samples.
class WaveFile {
public:
    // Null when the file cannot be read or is not a WAV file we can play.
    static std::unique_ptr<WaveFile> open(const std::string& path) {
        const int fd = openRegularFile(path);
        if (fd < 0) return nullptr;
        auto file = std::unique_ptr<WaveFile>(new WaveFile(fd));
        return file->parse() ? std::move(file) : nullptr;
    }
    ~WaveFile() { ::close(fd_); }
    WaveFile(const WaveFile&) = delete;
    WaveFile& operator=(const WaveFile&) = delete;

    const SampleFormat& format() const { return format_; }

    // Whole frames only; 0 at the end of the samples.
    size_t readFrames(std::vector<uint8_t>& buffer) {
        size_t wanted = std::min<uint64_t>(buffer.size(), remaining_);
        wanted -= wanted % format_.frameBytes;
        size_t got = 0;
        while (got < wanted) {
            const ssize_t n = ::read(fd_, buffer.data() + got, wanted - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        remaining_ = got < wanted ? 0 : remaining_ - got;
        return got / format_.frameBytes;
    }

private:
    explicit WaveFile(int fd) : fd_(fd) {}

    // Only a regular file can hold a sound. A FIFO or a device node is
    // refused before it is opened (opening one can wait for a writer, or act
    // on the device), and the open does not wait in case the path changed
    // in between. -1 when refused.
    static int openRegularFile(const std::string& path) {
        struct stat info;
        if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
        const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
            ::close(fd);
            return -1;
        }
        return fd;
    }

    bool readExactly(void* buffer, size_t size) {
        return ::read(fd_, buffer, size) == static_cast<ssize_t>(size);
    }

    bool parse() {
        uint8_t header[12];
        if (!readExactly(header, sizeof header)) return false;
        if (std::memcmp(header, "RIFF", 4) != 0 || std::memcmp(header + 8, "WAVE", 4) != 0) return false;
        bool haveFormat = false;
        uint8_t chunk[8];
        while (readExactly(chunk, sizeof chunk)) {
            const uint32_t size = littleEndian32(chunk + 4);
            if (std::memcmp(chunk, "fmt ", 4) == 0) {
                if (size > 4096) return false;
                std::vector<uint8_t> body(size + (size & 1));
                if (!readExactly(body.data(), body.size())) return false;
                body.resize(size);
                haveFormat = parseFormat(body, format_);
                if (!haveFormat) return false;
            } else if (std::memcmp(chunk, "data", 4) == 0) {
                if (!haveFormat) return false;
                remaining_ = std::min<uint64_t>(size, bytesLeftInFile());
                return true;
            } else if (lseek(fd_, size + (size & 1), SEEK_CUR) < 0) {
                return false;
            }
        }
        return false;
    }

    uint64_t bytesLeftInFile() {
        struct stat info;
        const off_t here = lseek(fd_, 0, SEEK_CUR);
        if (fstat(fd_, &info) != 0 || here < 0 || info.st_size < here) return 0;
        return static_cast<uint64_t>(info.st_size - here);
    }

    int fd_;
    SampleFormat format_{};
    uint64_t remaining_ = 0;
};

constexpr unsigned kLatencyMicroseconds = 200000;
constexpr size_t kFramesPerWrite = 4096;

// ALSA's default playback device, set up for one file's samples.
class PcmOutput {
public:
    static std::unique_ptr<PcmOutput> open(const SampleFormat& format) {
        QuietAlsa quiet;
        snd_pcm_t* pcm = nullptr;
        if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, 0) < 0) return nullptr;
        auto output = std::unique_ptr<PcmOutput>(new PcmOutput(pcm));
        if (snd_pcm_set_params(pcm, format.format, SND_PCM_ACCESS_RW_INTERLEAVED, format.channels,
                               format.rate, 1, kLatencyMicroseconds) < 0)
            return nullptr;
        return output;
    }
    ~PcmOutput() { snd_pcm_close(pcm_); }
    PcmOutput(const PcmOutput&) = delete;
    PcmOutput& operator=(const PcmOutput&) = delete;

    bool write(const uint8_t* frames, size_t count, unsigned frameBytes) {
        while (count > 0) {
            snd_pcm_sframes_t written = snd_pcm_writei(pcm_, frames, count);
            if (written < 0) written = snd_pcm_recover(pcm_, static_cast<int>(written), 1);
            if (written < 0) return false;
            frames += static_cast<size_t>(written) * frameBytes;
            count -= static_cast<size_t>(written);
        }
        return true;
    }
    void finish() { snd_pcm_drain(pcm_); }
    void abandon() { snd_pcm_drop(pcm_); }

private:
    explicit PcmOutput(snd_pcm_t* pcm) : pcm_(pcm) {}
    snd_pcm_t* pcm_;
};

// Plays to the end, or until `stop` is raised.
bool play(WaveFile& file, PcmOutput& output, const std::atomic<bool>& stop) {
    QuietAlsa quiet;
    const SampleFormat& format = file.format();
    std::vector<uint8_t> buffer(kFramesPerWrite * format.frameBytes);
    while (!stop.load()) {
        const size_t frames = file.readFrames(buffer);
        if (frames == 0) {
            output.finish();
            return true;
        }
        if (!output.write(buffer.data(), frames, format.frameBytes)) return false;
    }
    output.abandon();
    return true;
}

// The one sound that plays asynchronously.
class AsyncSound {
public:
    void start(std::unique_ptr<WaveFile> file, std::unique_ptr<PcmOutput> output) {
        std::lock_guard lock(mutex_);
        stopLocked();
        stop_ = false;
        playing_ = true;
        try {
            thread_ = std::thread([this, file = std::move(file), output = std::move(output)] {
                play(*file, *output, stop_);
                playing_ = false;
            });
        } catch (...) {
            playing_ = false;
            throw;
        }
    }
    void stop() {
        std::lock_guard lock(mutex_);
        stopLocked();
    }
    bool playing() const { return playing_.load(); }

private:
    void stopLocked() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }

    std::mutex mutex_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> playing_{false};
};

// Never destroyed: a sound may still play while the process exits.
AsyncSound& asyncSound() {
    static AsyncSound* const sound = new AsyncSound;
    return *sound;
}

BOOL failWith(DWORD error) {
    SetLastError(error);
    return FALSE;
}

constexpr DWORD kUnsupportedSources = SND_MEMORY | SND_LOOP | SND_RESOURCE;

}  // namespace

BOOL SystemServices::playSound(LPCWSTR fileName, HMODULE, DWORD flags) {
    if (fileName == nullptr) {
        asyncSound().stop();
        return TRUE;
    }
    if ((flags & kUnsupportedSources) || (flags & (SND_ALIAS | SND_FILENAME)) == SND_ALIAS)
        return failWith(ERROR_NOT_SUPPORTED);
    if ((flags & SND_NOSTOP) && asyncSound().playing()) return failWith(ERROR_BUSY);
    asyncSound().stop();
    std::unique_ptr<WaveFile> file = WaveFile::open(utf8FromUtf16(wideView(fileName)));
    if (!file) return failWith(ERROR_FILE_NOT_FOUND);
    std::unique_ptr<PcmOutput> output = PcmOutput::open(file->format());
    if (!output) return failWith(ERROR_DEVICE_NOT_CONNECTED);
    if (flags & SND_ASYNC) {
        asyncSound().start(std::move(file), std::move(output));
        return TRUE;
    }
    const std::atomic<bool> never{false};
    return play(*file, *output, never) ? TRUE : failWith(ERROR_WRITE_FAULT);
}

}  // namespace wince

extern "C" {

// Plays a PCM WAV file (SND_FILENAME; a name without SND_ALIAS is a file
// name too), synchronously or with SND_ASYNC; a null name stops the
// asynchronous sound. Errors: ERROR_FILE_NOT_FOUND (missing, unreadable,
// not a regular file, such as a FIFO or a device node, which is refused at
// once without being opened, or not a playable WAV file), ERROR_DEVICE_NOT_CONNECTED (no sound device or
// it refuses the format), ERROR_WRITE_FAULT (playing failed), ERROR_BUSY
// (SND_NOSTOP while a sound plays), ERROR_NOT_SUPPORTED (memory, resource,
// alias or looping sounds).
BOOL WINAPI PlaySoundW(LPCWSTR pszSound, HMODULE hmod, DWORD fdwSound) {
    try {
        return wince::systemServices().playSound(pszSound, hmod, fdwSound);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    } catch (const std::system_error&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);  // no thread for the sound
        return FALSE;
    }
}

}  // extern "C"
