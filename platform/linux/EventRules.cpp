// SPDX-License-Identifier: MIT
#include "platform/linux/EventRules.h"

#include <sys/ioctl.h>
#include <sys/socket.h>

namespace platform::detail {

int UnreadBytes::Count() const {
    if (m_fd >= 0 && !m_asked) {
        int n = 0;
        m_count = ::ioctl(m_fd, FIONREAD, &n) == 0 ? n : 0;
    }
    m_asked = true;
    return m_count;
}

}  // namespace platform::detail
