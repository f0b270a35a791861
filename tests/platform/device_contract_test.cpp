// The device contract against the simulated line and against a
// pseudo-terminal opened by the host's tty device.
#include "device_contract.h"
#include "host_tty_fixture.h"
#include "sim.h"

namespace device_contract {
namespace {

class SimulatedLine {
public:
    static constexpr const char* kName = "simulated line";

    std::string unavailable() const { return {}; }
    void start() {
        // A name no line answers to (unknownName) goes on to the host's port
        // map: the test's own map must be in place, not the host's ports.
        host_tty::deviceFolder();
        wince::sim::reset();
        line_ = wince::sim::addLine(u"SIMA:");
    }
    void stop() { wince::sim::reset(); }

    const char16_t* portName() const { return u"SIMA:"; }
    const char16_t* otherCaseName() const { return u"sima:"; }
    const char16_t* unknownName() const { return u"NOLINE9:"; }
    std::string lacks(Capability) const { return {}; }

    void farWrite(const Bytes& bytes) { line_->deliver(bytes); }
    Bytes farRead(size_t count, int milliseconds) {
        Bytes got;
        const Clock::time_point start = Clock::now();
        while (got.size() < count && millisecondsSince(start) < milliseconds) {
            const Bytes more = line_->takeWritten();
            got.insert(got.end(), more.begin(), more.end());
            if (more.empty()) sleepMs(2);
        }
        return got;
    }
    void hangUp() { line_->hangUp(); }
    bool farSeesDtr() { return line_->dtr(); }
    bool farSeesRts() { return line_->rts(); }

private:
    std::shared_ptr<wince::sim::SimLine> line_;
};

class PseudoTerminalLine {
public:
    static constexpr const char* kName = "pty";

    std::string unavailable() const { return {}; }
    void start() { terminal_.create(); }
    void stop() { terminal_.destroy(); }

    const char16_t* portName() const { return u"COM7:"; }
    const char16_t* otherCaseName() const { return u"com7:"; }
    const char16_t* unknownName() const { return u"COM5:"; }
    std::string lacks(Capability capability) const {
        switch (capability) {
            case Capability::ModemLines: return "pty has no modem lines";
            case Capability::Framing: return "pty keeps no character size or parity";
            case Capability::HangUp: return {};
        }
        return {};
    }

    void farWrite(const Bytes& bytes) { terminal_.masterWrite(std::string(bytes.begin(), bytes.end())); }
    Bytes farRead(size_t count, int milliseconds) {
        const std::string got = terminal_.masterRead(count, milliseconds);
        return Bytes(got.begin(), got.end());
    }
    void hangUp() { terminal_.closeMaster(); }
    bool farSeesDtr() { return false; }
    bool farSeesRts() { return false; }

private:
    host_tty::PseudoTerminal terminal_;
};

using Backends = ::testing::Types<SimulatedLine, PseudoTerminalLine>;

INSTANTIATE_TYPED_TEST_SUITE_P(Host, DeviceContract, Backends, BackendName);

}  // namespace
}  // namespace device_contract
