// SPDX-License-Identifier: MIT
// Fixed memory blocks, as far as the socket layer needs them.
#pragma once

#include <cstddef>

#include "platform/WinTypes.h"

namespace platform {

inline constexpr UINT GMEM_FIXED    = 0x0000;
inline constexpr UINT GMEM_ZEROINIT = 0x0040;

// Fixed blocks (GMEM_FIXED): the handle is the block's address.
HGLOBAL GlobalAlloc(UINT flags, size_t bytes);
void*   GlobalLock(HGLOBAL block);
BOOL    GlobalUnlock(HGLOBAL block);
HGLOBAL GlobalFree(HGLOBAL block);  // 0 on success

}  // namespace platform

#ifdef _WIN32
using platform::GMEM_FIXED;
using platform::GMEM_ZEROINIT;
#endif
