#pragma once

#include <string>
#include <sys/types.h>

namespace velunor::test {

// A fresh directory under the system temp root, removed with everything in it when the holder
// goes. Servers keep their configs, keys and logs here so nothing outlives the test that made it.
class TempDir {
public:
    // mode 0755 lets a non-root test account traverse it (sshd reads authorized keys as the
    // user); 0700 keeps it private.
    explicit TempDir(mode_t mode = 0700);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Empty when the directory could not be made; every other call then fails on its own.
    const std::string& Path() const { return path; }
    std::string Join(const std::string& name) const { return path + "/" + name; }

    // Writes (replaces) a file inside the directory and returns its full path; empty on failure.
    std::string WriteFile(const std::string& name, const std::string& text, mode_t fileMode = 0644) const;
    // Makes a subdirectory and returns its full path; empty on failure.
    std::string MakeDir(const std::string& name, mode_t dirMode = 0755) const;

private:
    std::string path;
};

// The whole content of a file; empty when it cannot be read.
std::string ReadTextFile(const std::string& path);
// Replaces a file's content, or appends to it.
bool WriteTextFile(const std::string& path, const std::string& text, mode_t fileMode = 0644, bool append = false);

}  // namespace velunor::test
