#include "support/file_replacement.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>

namespace {

constexpr int kNameAttempts = 64;
constexpr size_t kRandomLength = 8;
constexpr const char kUnfinished[] = ".unfinished";

// A FIFO would block the writer or swallow the text, a device swallow it,
// and a directory is no file to replace.
bool MayReplace(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) return errno == ENOENT;
    return S_ISREG(info.st_mode) || S_ISLNK(info.st_mode);
}

std::string RandomText() {
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device random;
    std::uniform_int_distribution<size_t> pick(0, sizeof kAlphabet - 2);
    std::string text(kRandomLength, '\0');
    for (char& c : text) c = kAlphabet[pick(random)];
    return text;
}

// ".<name>.<owner>-<random>.unfinished" in the final name's folder, the name
// shortened so that the temporary's stays within NAME_MAX.
std::string TemporaryName(const std::string& path, const std::string& owner) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t overhead = 2 + owner.size() + 1 + kRandomLength + sizeof kUnfinished - 1;
    const size_t room = overhead < NAME_MAX ? NAME_MAX - overhead : 0;
    return folder + "." + name.substr(0, room) + "." + owner + "-" + RandomText() + kUnfinished;
}

// Best effort: the rename has happened either way.
void SyncFolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const FileDescriptor directory(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() >= 0) fsync(directory.get());
}

}  // namespace

FileReplacement::FileReplacement(std::string path, const std::string& owner) : path_(std::move(path)) {
    if (path_.empty() || !MayReplace(path_)) return;
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::string candidate = TemporaryName(path_, owner);
        // 0666, so the umask gives the mode any newly created file gets.
        const int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            file_.reset(fd);
            temporary_ = std::move(candidate);
            return;
        }
        if (errno != EEXIST) return;
    }
}

FileReplacement::~FileReplacement() { Discard(); }

bool FileReplacement::Write(const void* data, size_t size) {
    if (!IsOpen()) return false;
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = write(file_.get(), bytes, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool FileReplacement::Commit() {
    if (!IsOpen()) return false;
    if (fsync(file_.get()) != 0 || !file_.Close() || !MayReplace(path_) ||
        std::rename(temporary_.c_str(), path_.c_str()) != 0) {
        Discard();
        return false;
    }
    temporary_.clear();
    SyncFolderOf(path_);
    return true;
}

void FileReplacement::Discard() {
    file_.Close();
    if (!temporary_.empty()) unlink(temporary_.c_str());
    temporary_.clear();
}
