// SPDX-License-Identifier: MIT
#include "platform/Memory.h"

#include <cstring>
#include <new>

#include "platform/Testing.h"

namespace platform {

HGLOBAL GlobalAlloc(UINT flags, size_t bytes) {
    if (testing::detail::TakeGlobalAllocFailure()) return 0;
    if (testing::detail::TakeSystemCallFailure(testing::SystemCall::GlobalAlloc) != 0) return 0;
    void* block = ::operator new(bytes == 0 ? 1 : bytes, std::nothrow);
    if (block != nullptr && (flags & GMEM_ZEROINIT)) std::memset(block, 0, bytes);
    return reinterpret_cast<HGLOBAL>(block);
}

void* GlobalLock(HGLOBAL block) { return reinterpret_cast<void*>(block); }

BOOL GlobalUnlock(HGLOBAL) { return 0; }

HGLOBAL GlobalFree(HGLOBAL block) {
    ::operator delete(reinterpret_cast<void*>(block));
    return 0;
}

}  // namespace platform
