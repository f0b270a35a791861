// The device contract against the kernel's own serial drivers: the port
// under test (DRIVER_PORT, "COM1:" by the mapping this binary's main sets)
// and a far port joined to it (DRIVER_FAR_PORT), which the test drives with
// plain POSIX calls.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "device_contract.h"

namespace device_contract {
namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

class RealPortPair {
public:
    static constexpr const char* kName = "real port pair";

    std::string unavailable() const {
        if (environment("DRIVER_PORT").empty() || environment("DRIVER_FAR_PORT").empty())
            return "DRIVER_PORT and DRIVER_FAR_PORT name no pair of joined ports";
        return {};
    }

    // The far port raw at 9600 8N1, as the fixture sets the port under test.
    void start() {
        const std::string path = environment("DRIVER_FAR_PORT");
        far_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(far_, 0) << path;
        termios settings{};
        ASSERT_EQ(tcgetattr(far_, &settings), 0) << path;
        cfmakeraw(&settings);
        settings.c_cflag |= CLOCAL | CREAD;
        settings.c_cflag &= ~(CSTOPB | CRTSCTS);
        cfsetispeed(&settings, B9600);
        cfsetospeed(&settings, B9600);
        ASSERT_EQ(tcsetattr(far_, TCSANOW, &settings), 0) << path;
        tcflush(far_, TCIOFLUSH);
    }

    void stop() {
        if (far_ >= 0) ::close(far_);
        far_ = -1;
    }

    const char16_t* portName() const { return u"COM1:"; }
    const char16_t* otherCaseName() const { return u"com1:"; }
    const char16_t* unknownName() const { return u"COM5:"; }

    std::string lacks(Capability capability) const {
        switch (capability) {
            case Capability::ModemLines: return "real port pair has no modem lines wired between its ports";
            case Capability::HangUp:
                return "real port pair has no hang-up: the near line stays when the far port closes";
            case Capability::Framing: return {};
        }
        return {};
    }

    void farWrite(const Bytes& bytes) {
        size_t sent = 0;
        const Clock::time_point start = Clock::now();
        while (sent < bytes.size() && millisecondsSince(start) < kSettleMs) {
            const ssize_t n = ::write(far_, bytes.data() + sent, bytes.size() - sent);
            if (n > 0)
                sent += static_cast<size_t>(n);
            else
                waitFor(POLLOUT);
        }
        ASSERT_EQ(sent, bytes.size());
        tcdrain(far_);
    }

    Bytes farRead(size_t count, int milliseconds) {
        Bytes got;
        const Clock::time_point start = Clock::now();
        while (got.size() < count && millisecondsSince(start) < milliseconds) {
            uint8_t buffer[256];
            const ssize_t n = ::read(far_, buffer, sizeof buffer);
            if (n > 0)
                got.insert(got.end(), buffer, buffer + n);
            else
                waitFor(POLLIN);
        }
        return got;
    }

    void hangUp() {}
    bool farSeesDtr() { return false; }
    bool farSeesRts() { return false; }

private:
    void waitFor(short events) {
        pollfd ready{far_, events, 0};
        poll(&ready, 1, 20);
    }

    int far_ = -1;
};

INSTANTIATE_TYPED_TEST_SUITE_P(Drivers, DeviceContract, ::testing::Types<RealPortPair>, BackendName);

}  // namespace
}  // namespace device_contract
