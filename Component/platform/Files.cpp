#include "platform/Files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace velunor::platform {

void CloseFile(FileHandle file) {
    if (file != kInvalidFile) ::close(file);
}

bool DeleteLocalFile(const std::string& path) { return !path.empty() && ::unlink(path.c_str()) == 0; }

FileHandle OpenFileForRead(const std::string& path) {
    if (path.empty()) return kInvalidFile;
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return kInvalidFile;
    // A directory opens for reading here but yields no bytes: it is not a file to send.
    struct stat st{};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return kInvalidFile;
    }
    return fd;
}

FileHandle OpenFileForWrite(const std::string& path, bool truncate) {
    if (path.empty()) return kInvalidFile;
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : 0);
    int fd;
    do {
        fd = ::open(path.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd < 0 ? kInvalidFile : fd;
}

int64_t ReadFileBytes(FileHandle file, void* dest, size_t n) {
    if (file == kInvalidFile) return -1;
    ssize_t got;
    do {
        got = ::read(file, dest, n);
    } while (got < 0 && errno == EINTR);
    return got < 0 ? -1 : int64_t(got);
}

bool WriteFileBytes(FileHandle file, const void* data, size_t n) {
    if (file == kInvalidFile) return false;
    const auto* p = static_cast<const uint8_t*>(data);
    while (n > 0) {
        ssize_t put = ::write(file, p, n);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        p += put;
        n -= size_t(put);
    }
    return true;
}

int64_t SeekFile(FileHandle file, uint64_t offset) {
    if (file == kInvalidFile || offset > uint64_t(INT64_MAX)) return -1;
    off_t at = ::lseek(file, off_t(offset), SEEK_SET);
    return at < 0 ? -1 : int64_t(at);
}

int64_t FileSize(FileHandle file) {
    struct stat st{};
    if (file == kInvalidFile || ::fstat(file, &st) != 0) return -1;
    return int64_t(st.st_size);
}

bool PathExists(const std::string& path) {
    struct stat st{};
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
    struct stat st{};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string TemporaryDirectory() {
    const char* dir = ::getenv("TMPDIR");
    std::string result = dir != nullptr && *dir != '\0' ? dir : "/tmp";
    return IsDirectory(result) ? result : std::string();
}

FileHandle CreateTemporaryFile(const std::string& directory, std::string& path) {
    path.clear();
    if (directory.empty()) return kInvalidFile;
    std::string pattern = directory;
    if (pattern.back() != '/') pattern.push_back('/');
    pattern += "tmpXXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return kInvalidFile;
    path.assign(name.data());
    return fd;
}

}  // namespace velunor::platform
