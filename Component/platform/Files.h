#pragma once

#include <string>

namespace velunor::platform {

// A local file handle; kInvalidFile when none is open.
using FileHandle = int;
inline constexpr FileHandle kInvalidFile = -1;

void CloseFile(FileHandle file);
// Removes a local file; false when it could not be removed.
bool DeleteLocalFile(const std::string& path);

}  // namespace velunor::platform
