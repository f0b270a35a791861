// Stream devices on the host: a platform name mapped to a plain file or a
// FIFO. Reads and writes go to the file; each I/O control code is appended
// as one line ("0x01040008"), so what a driver was told can be seen from
// outside (tail the file, or read the FIFO).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

#include "device.h"

namespace wince {
namespace {

BOOL failWith(DWORD error) {
    SetLastError(error);
    return FALSE;
}

class StreamDevice : public Device {
public:
    explicit StreamDevice(int fd) : fd_(fd) {}
    ~StreamDevice() override { onClose(); }

    BOOL read(void* buffer, DWORD count, DWORD* done) override {
        if (done) *done = 0;
        std::lock_guard lock(mutex_);
        if (fd_ < 0) return failWith(ERROR_INVALID_HANDLE);
        const ssize_t got = ::read(fd_, buffer, count);
        // An empty FIFO reads as nothing yet, not as an error.
        if (got < 0) return errno == EAGAIN ? TRUE : failWith(win32ErrorFromErrno(errno));
        if (done) *done = static_cast<DWORD>(got);
        return TRUE;
    }

    BOOL write(const void* buffer, DWORD count, DWORD* done) override {
        if (done) *done = 0;
        std::lock_guard lock(mutex_);
        if (fd_ < 0) return failWith(ERROR_INVALID_HANDLE);
        const ssize_t put = ::write(fd_, buffer, count);
        if (put < 0) return failWith(win32ErrorFromErrno(errno));
        if (done) *done = static_cast<DWORD>(put);
        return TRUE;
    }

    // One write per line, so lines from several openers never interleave.
    // A full FIFO nobody reads refuses (ERROR_ACCESS_DENIED) rather than
    // blocking the caller.
    BOOL ioControl(DWORD code, void*, DWORD, void*, DWORD, DWORD* returned) override {
        if (returned) *returned = 0;
        char line[16];
        const int length = std::snprintf(line, sizeof line, "0x%08X\n", static_cast<unsigned>(code));
        std::lock_guard lock(mutex_);
        if (fd_ < 0) return failWith(ERROR_INVALID_HANDLE);
        if (::write(fd_, line, static_cast<size_t>(length)) != length)
            return failWith(win32ErrorFromErrno(errno));
        return TRUE;
    }

    BOOL onClose() override {
        std::lock_guard lock(mutex_);
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        return TRUE;
    }

private:
    std::mutex mutex_;
    int fd_;
};

}  // namespace

// Read and write, appending. Non-blocking, so opening a FIFO nobody reads
// does not wait for a reader (Linux opens a FIFO for reading and writing at
// once). Errors: ERROR_NOT_SUPPORTED when the path is neither a plain file
// nor a FIFO, errno translations.
std::shared_ptr<Device> openStreamDevice(const std::string& path, DWORD& error) {
    const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error = win32ErrorFromErrno(errno);
        return nullptr;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !(S_ISREG(info.st_mode) || S_ISFIFO(info.st_mode))) {
        ::close(fd);
        error = ERROR_NOT_SUPPORTED;
        return nullptr;
    }
    try {
        return std::make_shared<StreamDevice>(fd);
    } catch (...) {
        ::close(fd);
        throw;
    }
}

}  // namespace wince
