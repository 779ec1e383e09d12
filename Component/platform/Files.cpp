#include "platform/Files.h"

#include <unistd.h>

namespace velunor::platform {

void CloseFile(FileHandle file) {
    if (file != kInvalidFile) ::close(file);
}

bool DeleteLocalFile(const std::string& path) { return !path.empty() && ::unlink(path.c_str()) == 0; }

}  // namespace velunor::platform
