// SPDX-License-Identifier: MIT
// Fixed memory blocks on Windows: kernel32's own.
#include "platform/Memory.h"

#include "platform/Testing.h"

namespace platform {

HGLOBAL GlobalAlloc(UINT flags, size_t bytes) {
    if (testing::detail::TakeGlobalAllocFailure()) return 0;
    if (testing::detail::TakeSystemCallFailure(testing::SystemCall::GlobalAlloc) != 0) return 0;
    return reinterpret_cast<HGLOBAL>(::GlobalAlloc(flags, bytes));
}
void* GlobalLock(HGLOBAL block) { return ::GlobalLock(reinterpret_cast<::HGLOBAL>(block)); }
BOOL GlobalUnlock(HGLOBAL block) { return ::GlobalUnlock(reinterpret_cast<::HGLOBAL>(block)); }
HGLOBAL GlobalFree(HGLOBAL block) {
    return reinterpret_cast<HGLOBAL>(::GlobalFree(reinterpret_cast<::HGLOBAL>(block)));
}

}  // namespace platform
