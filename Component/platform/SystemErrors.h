#pragma once

#include <cstdint>

namespace velunor::platform {

// The system's text for one of the Windows error codes the component can meet, ending in CR LF
// as system texts do; null for any other code.
const char* SystemErrorText(int32_t code);

}  // namespace velunor::platform
