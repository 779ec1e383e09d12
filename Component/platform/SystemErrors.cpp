#include "platform/SystemErrors.h"

namespace velunor::platform {

namespace {

struct SystemError {
    int32_t code;
    const char* text;
};

constexpr SystemError kSystemErrors[] = {
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {5, "Access is denied.\r\n"},
    {8, "Not enough memory is available to process this command.\r\n"},
    {32, "The file is in use by another process and cannot be accessed.\r\n"},
    {80, "The file already exists.\r\n"},
    {87, "A parameter is not valid.\r\n"},
    {112, "There is not enough space on the disk.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {183, "A file that already exists cannot be created again.\r\n"},
    {int32_t(0x80004001), "Not implemented\r\n"},
    {int32_t(0x80004003), "Invalid pointer\r\n"},
    {int32_t(0x80020005), "Type mismatch.\r\n"},
    {int32_t(0x8002000A), "Out of present range.\r\n"},
};

}  // namespace

const char* SystemErrorText(int32_t code) {
    for (const auto& e : kSystemErrors)
        if (e.code == code) return e.text;
    return nullptr;
}

}  // namespace velunor::platform
