#pragma once

// The OLE Automation services of this port: BSTR, VARIANT and SAFEARRAY as the public header
// lays them out. The exported C helpers (SysAllocString, VariantChangeType, ...) are declared
// there; these are the component's own conveniences on top of them.

#include <string>
#include <string_view>

#include "velunor/sftp.h"

namespace velunor::platform {

// A new BSTR holding the UTF-16 form of a UTF-8 text (embedded NULs kept); null if out of memory.
BSTR AllocBstrFromUtf8(std::string_view narrow);
BSTR AllocBstr(std::u16string_view wide);
// The units of a BSTR (null is empty), embedded NULs included.
std::u16string_view BstrView(BSTR text);

// A VARIANT that means "argument omitted".
VARIANT MissingVariant();
// A VARIANT holding a text; the caller owns the BSTR inside (VariantClear frees it).
VARIANT BstrVariant(BSTR text);

}  // namespace velunor::platform
