// MessageBoxW: the host has no desktop, so the box becomes one line on
// stderr and is "dismissed" at once with OK.
#include <unistd.h>

#include <atomic>
#include <string>

#include "seams.h"
#include "utf16.h"

namespace wince {
namespace {

class StderrMessageBox : public MessageBoxDisplay {
public:
    int show(const char16_t* caption, const char16_t* text, UINT) override {
        std::string line = utf8FromUtf16(caption);
        line += ": ";
        line += utf8FromUtf16(text);
        line += '\n';
        // One write, so lines from several threads do not interleave.
        [[maybe_unused]] ssize_t written = write(STDERR_FILENO, line.data(), line.size());
        return IDOK;
    }
};

std::atomic<MessageBoxDisplay*> installedDisplay{nullptr};

}  // namespace

MessageBoxDisplay& hostMessageBox() {
    static MessageBoxDisplay* const host = new StderrMessageBox;
    return *host;
}

void setMessageBoxDisplay(MessageBoxDisplay* display) {
    installedDisplay.store(display, std::memory_order_release);
}

}  // namespace wince

extern "C" {

// Always IDOK with the host's display; leaves no error.
int WINAPI MessageBoxW(HWND, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
    wince::MessageBoxDisplay* display = wince::installedDisplay.load(std::memory_order_acquire);
    return (display != nullptr ? *display : wince::hostMessageBox())
        .show(lpCaption ? lpCaption : u"", lpText ? lpText : u"", uType);
}

}  // extern "C"
