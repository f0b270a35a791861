// The host's own device services: the performance counter on the monotonic
// clock, the kernel stand-ins, bus mapping off ARM, the stream device, and
// sound and volume through ALSA configured by the test (the file and null
// plugins need no sound card).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <thread>

#include "device.h"
#include "playback_control.h"
#include "uart_override.h"
#include "wince.h"

namespace fs = std::filesystem;

namespace {

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

int64_t monotonicMillis() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// A fresh folder per test, removed afterwards.
class TempFolder {
public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "systools-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempFolder() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

TEST(HostClock, CounterReadsWholeMonotonicMillisecondsAndNeverGoesBack) {
    LARGE_INTEGER frequency;
    ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
    EXPECT_EQ(frequency.QuadPart, 1024000);
    const double msPerTick = 1000.0 / static_cast<double>(frequency.QuadPart);

    LARGE_INTEGER previous{};
    for (int i = 0; i < 20000; ++i) {
        const int64_t before = monotonicMillis();
        LARGE_INTEGER count;
        ASSERT_TRUE(QueryPerformanceCounter(&count));
        const int64_t after = monotonicMillis();
        const auto millis = static_cast<int64_t>(static_cast<double>(count.QuadPart) * msPerTick);
        ASSERT_GE(count.QuadPart, previous.QuadPart);
        ASSERT_GE(millis, before);
        ASSERT_LE(millis, after);
        previous = count;
    }
}

TEST(HostKernel, ProcessorInformationAndItsRefusals) {
    PROCESSOR_INFO info{};
    DWORD returned = 0;
    ASSERT_TRUE(KernelIoControl(IOCTL_PROCESSOR_INFORMATION, nullptr, 0, &info, sizeof info, &returned));
    EXPECT_EQ(returned, 576u);
    EXPECT_NE(info.szProcessorName[0], 0);
    EXPECT_NE(info.szProcessCore[0], 0);

    EXPECT_FALSE(KernelIoControl(IOCTL_PROCESSOR_INFORMATION, nullptr, 0, &info, 575, &returned));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_FALSE(KernelIoControl(0x01010000, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

TEST(HostKernel, RebootIsRefused) {
    EXPECT_FALSE(KernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

#if !defined(__arm__) && !defined(__aarch64__)
TEST(HostBusMapping, NothingIsReachableOffArm) {
    PHYSICAL_ADDRESS bus;
    bus.QuadPart = 0x40100000;
    PHYSICAL_ADDRESS translated = bus;
    ULONG addressSpace = 1;
    EXPECT_FALSE(HalTranslateBusAddress(Internal, 0, bus, &addressSpace, &translated));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(MmMapIoSpace(bus, 32, FALSE), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_FALSE(HalTranslateBusAddress(Internal, 1, bus, &addressSpace, &translated));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    // So an x86 machine is neither processor, and the override does nothing.
    EXPECT_EQ(DetectProcessorFamily(), kUnknownProcessor);
    EXPECT_EQ(SetNonStandardBaudRate(nullptr, 9600), -1);
}
#endif

TEST(HostStreamDevice, FileRecordsEachControlCodeAsALine) {
    TempFolder folder;
    const fs::path file = folder.path() / "obx0";
    std::ofstream(file) << "";
    DWORD error = 0;
    auto device = wince::openStreamDevice(file.string(), error);
    ASSERT_TRUE(device) << error;
    DWORD returned = 99;
    EXPECT_TRUE(device->ioControl(0x01040008, nullptr, 0, nullptr, 0, &returned));
    EXPECT_EQ(returned, 0u);
    EXPECT_TRUE(device->ioControl(0x01040004, nullptr, 0, nullptr, 0, nullptr));
    DWORD done = 0;
    EXPECT_TRUE(device->write("x\n", 2, &done));
    EXPECT_EQ(done, 2u);
    EXPECT_EQ(readAll(file), "0x01040008\n0x01040004\nx\n");
    device->onClose();
    EXPECT_FALSE(device->ioControl(1, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(HostStreamDevice, FifoOpensWithoutAReaderAndDeliversTheLine) {
    TempFolder folder;
    const fs::path fifo = folder.path() / "obx0";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    DWORD error = 0;
    auto device = wince::openStreamDevice(fifo.string(), error);
    ASSERT_TRUE(device) << error;
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_TRUE(device->ioControl(0x01040008, nullptr, 0, nullptr, 0, nullptr));
    char line[16] = {};
    EXPECT_EQ(read(reader, line, sizeof line), 11);
    EXPECT_STREQ(line, "0x01040008\n");
    close(reader);
    device->onClose();
}

TEST(HostStreamDevice, OnlyFilesAndFifos) {
    TempFolder folder;
    DWORD error = 0;
    EXPECT_FALSE(wince::openStreamDevice("/dev/null", error));
    EXPECT_EQ(error, ERROR_NOT_SUPPORTED);
    EXPECT_FALSE(wince::openStreamDevice(folder.path().string(), error));
    EXPECT_EQ(error, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(wince::openStreamDevice((folder.path() / "missing").string(), error));
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
}

void putLittleEndian(std::string& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i));
}

std::string waveFile(const std::string& samples, uint16_t tag = 1) {
    std::string wave = "RIFF";
    putLittleEndian(wave, 4 + 8 + 16 + 8 + 12 + 8 + static_cast<uint32_t>(samples.size()), 4);
    wave += "WAVEfmt ";
    putLittleEndian(wave, 16, 4);
    putLittleEndian(wave, tag, 2);
    putLittleEndian(wave, 1, 2);      // mono
    putLittleEndian(wave, 8000, 4);   // samples a second
    putLittleEndian(wave, 16000, 4);  // bytes a second
    putLittleEndian(wave, 2, 2);      // block
    putLittleEndian(wave, 16, 2);     // bits
    wave += "LIST";                   // a chunk to skip
    putLittleEndian(wave, 12, 4);
    wave += std::string("INFOISFT\0\0\0\0", 12);
    wave += "data";
    putLittleEndian(wave, static_cast<uint32_t>(samples.size()), 4);
    return wave + samples;
}

// ALSA's default device routed to a file, through the file plugin on the
// null plugin.
class HostSound : public ::testing::Test {
protected:
    HostSound() {
        for (int i = 0; i < 1600; ++i) samples.push_back(static_cast<char>(i * 7));
        wave = folder.path() / "beep.wav";
        std::ofstream(wave, std::ios::binary) << waveFile(samples);
        useAlsaConfig("pcm.!default { type file; slave.pcm { type null }; file \"" + output().string() +
                      "\"; format \"raw\" }\n");
    }
    ~HostSound() override {
        PlaySoundW(nullptr, nullptr, 0);
        unsetenv("ALSA_CONFIG_PATH");
    }

    void useAlsaConfig(const std::string& text) {
        const fs::path config = folder.path() / ("asound-" + std::to_string(configs++) + ".conf");
        std::ofstream(config) << text;
        setenv("ALSA_CONFIG_PATH", config.c_str(), 1);
    }
    fs::path output() const { return folder.path() / "played.raw"; }
    BOOL play(const fs::path& file, DWORD flags) {
        const std::u16string name = fs::path(file).u16string();
        return PlaySoundW(name.c_str(), nullptr, flags);
    }

    TempFolder folder;
    std::string samples;
    fs::path wave;
    int configs = 0;
};

TEST_F(HostSound, SynchronousPlaysEverySampleBeforeReturning) {
    ASSERT_TRUE(play(wave, SND_FILENAME));
    EXPECT_EQ(readAll(output()), samples);
}

TEST_F(HostSound, AsynchronousReturnsAndPlaysShortlyAfter) {
    ASSERT_TRUE(play(wave, SND_FILENAME | SND_ASYNC));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (readAll(output()).size() < samples.size() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    PlaySoundW(nullptr, nullptr, 0);  // waits for the sound's end
    EXPECT_EQ(readAll(output()), samples);
}

TEST_F(HostSound, MissingOrMalformedFilesPlayNothing) {
    EXPECT_FALSE(play(folder.path() / "missing.wav", SND_FILENAME));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    const fs::path adpcm = folder.path() / "adpcm.wav";
    std::ofstream(adpcm, std::ios::binary) << waveFile(samples, 2);
    EXPECT_FALSE(play(adpcm, SND_FILENAME | SND_ASYNC));
    const fs::path text = folder.path() / "text.wav";
    std::ofstream(text) << "RIFF....WAVE but nothing more";
    EXPECT_FALSE(play(text, SND_FILENAME));
    EXPECT_FALSE(fs::exists(output()));
}

// Opening a FIFO for reading waits for a writer: the call must not. A file
// that is not a regular file is not a sound, in either mode.
TEST_F(HostSound, FifoIsRefusedAtOnceInBothModes) {
    const fs::path fifo = folder.path() / "fifo.wav";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (DWORD flags : {DWORD{SND_FILENAME}, DWORD{SND_FILENAME | SND_ASYNC}}) {
        auto played = std::async(std::launch::async, [&] {
            const BOOL result = play(fifo, flags);
            return std::make_pair(result, GetLastError());
        });
        if (played.wait_for(std::chrono::seconds(2)) == std::future_status::timeout) {
            // Let the blocked open go (it then reads nothing) before failing.
            close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
            played.wait();
            FAIL() << "PlaySoundW waited for a writer on the FIFO, flags " << flags;
        }
        const auto [result, error] = played.get();
        EXPECT_FALSE(result) << flags;
        EXPECT_EQ(error, ERROR_FILE_NOT_FOUND) << flags;
    }
    EXPECT_FALSE(fs::exists(output()));
}

TEST_F(HostSound, NoSoundDevice) {
    useAlsaConfig("pcm.!default { type hw; card 99 }\n");
    EXPECT_FALSE(play(wave, SND_FILENAME));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(play(wave, SND_FILENAME | SND_ASYNC));
}

TEST_F(HostSound, NoMixerMeansNoDriver) {
    useAlsaConfig("ctl.!default { type hw; card 99 }\n");
    DWORD volume = 0x1234;
    EXPECT_EQ(waveOutGetVolume(nullptr, &volume), MMSYSERR_NODRIVER);
    EXPECT_EQ(volume, 0x1234u);
    EXPECT_EQ(waveOutSetVolume(nullptr, 0xFFFFFFFF), MMSYSERR_NODRIVER);
    EXPECT_EQ(waveOutGetVolume(reinterpret_cast<HWAVEOUT>(1), &volume), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(waveOutGetVolume(nullptr, nullptr), MMSYSERR_INVALPARAM);
}

// A mixer control with the few raw steps sound cards have, standing in for
// ALSA's: the state outlives each call's control, as a card's does.
struct FakeMixer {
    long minimum;
    long maximum;
    bool mono = false;
    long left = 0;
    long right = 0;
};

void PrintTo(const FakeMixer& mixer, std::ostream* out) {
    *out << (mixer.mono ? "mono " : "stereo ") << mixer.minimum << ".." << mixer.maximum;
}

class FakeControl : public wince::PlaybackControl {
public:
    explicit FakeControl(FakeMixer& mixer) : mixer_(mixer) {}
    long minimum() const override { return mixer_.minimum; }
    long maximum() const override { return mixer_.maximum; }
    bool read(long& left, long& right) override {
        left = mixer_.left;
        right = mixer_.mono ? mixer_.left : mixer_.right;
        return true;
    }
    bool write(long left, long right) override {
        mixer_.left = mixer_.mono ? (left + right) / 2 : left;
        mixer_.right = mixer_.mono ? mixer_.left : right;
        return true;
    }

private:
    FakeMixer& mixer_;
};

class HostVolume : public ::testing::TestWithParam<FakeMixer> {
protected:
    HostVolume() : mixer(GetParam()) {
        wince::setPlaybackControlOpener([this] { return std::make_unique<FakeControl>(mixer); });
    }
    ~HostVolume() override { wince::setPlaybackControlOpener(nullptr); }

    DWORD volume() {
        DWORD read = 0;
        EXPECT_EQ(waveOutGetVolume(nullptr, &read), MMSYSERR_NOERROR);
        return read;
    }

    FakeMixer mixer;
};

// The volume as set, not rounded to the control's steps; once another
// program moved the control, what the control holds.
TEST_P(HostVolume, ReadsBackTheVolumeAsSetUntilAnotherProgramChangesIt) {
    for (DWORD set :
         {0x00000000u, 0xFFFFFFFFu, 0x12345678u, 0x80004000u, 0x0001FFFEu, 0xFFFF0000u, 0x00007FFFu}) {
        ASSERT_EQ(waveOutSetVolume(nullptr, set), MMSYSERR_NOERROR);
        EXPECT_EQ(volume(), set) << std::hex << set;
        EXPECT_EQ(volume(), set) << std::hex << set;  // and again
    }
    mixer.left = mixer.maximum;
    mixer.right = mixer.maximum;
    EXPECT_EQ(volume(), 0xFFFFFFFFu);
    mixer.left = mixer.minimum;
    mixer.right = mixer.minimum;
    EXPECT_EQ(volume(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Controls, HostVolume,
                         ::testing::Values(FakeMixer{0, 31}, FakeMixer{-10239, 400}, FakeMixer{0, 127, true}),
                         [](const auto& info) {
                             return std::string(info.param.mono ? "Mono" : "Stereo") +
                                    std::to_string(info.param.maximum - info.param.minimum + 1) + "Steps";
                         });

}  // namespace
