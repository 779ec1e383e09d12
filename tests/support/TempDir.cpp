#include "support/TempDir.h"

#include <fcntl.h>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace velunor::test {

TempDir::TempDir(mode_t mode) {
    std::error_code ec;
    std::filesystem::path root = std::filesystem::temp_directory_path(ec);
    if (ec) root = "/tmp";
    std::string pattern = (root / "velunor-XXXXXX").string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) return;
    path = buf.data();
    // mkdtemp always makes 0700; chmod is not subject to the umask.
    chmod(path.c_str(), mode);
}

TempDir::~TempDir() {
    if (path.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::string TempDir::WriteFile(const std::string& name, const std::string& text, mode_t fileMode) const {
    if (path.empty()) return {};
    std::string full = Join(name);
    return WriteTextFile(full, text, fileMode) ? full : std::string();
}

std::string TempDir::MakeDir(const std::string& name, mode_t dirMode) const {
    if (path.empty()) return {};
    std::string full = Join(name);
    if (mkdir(full.c_str(), dirMode) != 0 && errno != EEXIST) return {};
    chmod(full.c_str(), dirMode);
    return full;
}

std::string ReadTextFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool WriteTextFile(const std::string& path, const std::string& text, mode_t fileMode, bool append) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), fileMode);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            close(fd);
            return false;
        }
        done += size_t(n);
    }
    // An existing file keeps its mode through open(); the caller asked for this one.
    fchmod(fd, fileMode);
    return close(fd) == 0;
}

}  // namespace velunor::test
