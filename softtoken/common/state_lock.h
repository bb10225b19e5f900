// Holds other processes off the state directory: shared by a reader,
// exclusive for a read-modify-write, from its first load to its last save,
// so that two processes never save over each other's changes. Each entry
// point takes the lock once, up front: flock cannot upgrade a shared lock
// atomically, and a second lock in the same process would wait on the first.
#pragma once

#include "softtoken/common/state_dir.h"

namespace softtoken {

enum class StateAccess { Read, Write };

class StateLock {
public:
    // Holds nothing.
    StateLock() = default;
    // Waits for the lock. A directory without a lock file that cannot take
    // one (missing, read-only) is used unlocked: nobody can change it anyway.
    StateLock(const StateDir& dir, StateAccess access);
    ~StateLock();
    StateLock(StateLock&& other) noexcept;
    StateLock& operator=(StateLock&& other) noexcept;
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

private:
    int fd_ = -1;
};

constexpr const char* kLockFile = ".lock";

}  // namespace softtoken
