#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace velunor::platform {

// A local file handle; kInvalidFile when none is open.
using FileHandle = int;
inline constexpr FileHandle kInvalidFile = -1;

void CloseFile(FileHandle file);
// Removes a local file; false when it could not be removed.
bool DeleteLocalFile(const std::string& path);

// An existing regular file opened for reading; kInvalidFile when missing, a directory or unreadable.
FileHandle OpenFileForRead(const std::string& path);
// A file opened for writing, created when missing; truncate empties an existing one.
FileHandle OpenFileForWrite(const std::string& path, bool truncate);
// Up to n bytes from the current position; the count (0 at the end), or -1 on failure.
int64_t ReadFileBytes(FileHandle file, void* dest, size_t n);
// All n bytes at the current position; false when any could not be written.
bool WriteFileBytes(FileHandle file, const void* data, size_t n);
// Moves to offset from the start; the new position, or -1 on failure.
int64_t SeekFile(FileHandle file, uint64_t offset);
// The size of an open file, or -1.
int64_t FileSize(FileHandle file);

bool PathExists(const std::string& path);
bool IsDirectory(const std::string& path);

// The directory for temporary files (TMPDIR, else /tmp); empty when it names no directory.
std::string TemporaryDirectory();
// Creates a new file with a unique name starting with "tmp" in directory and opens it for
// writing; stores its name in path. kInvalidFile (path empty) on failure.
FileHandle CreateTemporaryFile(const std::string& directory, std::string& path);

}  // namespace velunor::platform
