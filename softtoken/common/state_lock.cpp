#include "softtoken/common/state_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace softtoken {

namespace {

int OpenLockFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    return fd >= 0 ? fd : open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
}

}  // namespace

StateLock::StateLock(const StateDir& dir, StateAccess access) : fd_(OpenLockFile(dir.PathOf(kLockFile))) {
    if (fd_ < 0) return;
    const int operation = access == StateAccess::Write ? LOCK_EX : LOCK_SH;
    int rv;
    do {
        rv = flock(fd_, operation);
    } while (rv != 0 && errno == EINTR);
    if (rv != 0) {
        close(fd_);
        fd_ = -1;
    }
}

StateLock::~StateLock() {
    if (fd_ >= 0) close(fd_);
}

StateLock::StateLock(StateLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

StateLock& StateLock::operator=(StateLock&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

}  // namespace softtoken
