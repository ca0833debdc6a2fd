#include "platform/ErrorMap.h"

#include <netdb.h>

#include <cerrno>

#include "platform/WinTypes.h"

namespace platform::detail {

int WsaErrorFromErrno(int error) {
    switch (error) {
        case 0: return 0;
        case EAGAIN:                                  // == EWOULDBLOCK
        case EINPROGRESS: return WSAEWOULDBLOCK;      // a non-blocking connect under way
        case EALREADY: return WSAEALREADY;
        case EBADF:                                   // socket calls report a closed handle so
        case ENOTSOCK: return WSAENOTSOCK;
        case EDESTADDRREQ: return WSAENOTCONN;        // datagram send without a peer
        case EMSGSIZE: return WSAEMSGSIZE;
        case EPROTOTYPE: return 10041;
        case ENOPROTOOPT: return 10042;
        case EPROTONOSUPPORT: return 10043;
        case ESOCKTNOSUPPORT: return 10044;
        case EOPNOTSUPP: return WSAEOPNOTSUPP;        // == ENOTSUP
        case EPFNOSUPPORT: return 10046;
        case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
        case EADDRINUSE: return WSAEADDRINUSE;
        case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
        case ENETDOWN: return 10050;
        case ENETUNREACH: return 10051;
        case ENETRESET: return 10052;
        case ECONNABORTED: return WSAECONNABORTED;
        case ECONNRESET: return WSAECONNRESET;
        case ENOMEM:
        case ENOBUFS: return WSAENOBUFS;
        case EISCONN: return WSAEISCONN;
        case ENOTCONN: return WSAENOTCONN;
        case ESHUTDOWN: return WSAESHUTDOWN;
        case EPIPE: return WSAECONNRESET;             // callers sort out the other cases
        case ETIMEDOUT: return 10060;
        case ECONNREFUSED: return WSAECONNREFUSED;
        case EHOSTDOWN: return 10064;
        case EHOSTUNREACH: return 10065;
        case EINTR: return WSAEINTR;
        case EPERM:
        case EACCES: return WSAEACCES;
        case EFAULT: return WSAEFAULT;
        case EINVAL: return WSAEINVAL;
        case ENFILE:
        case EMFILE: return WSAEMFILE;
        default: return 10107;                        // WSASYSCALLFAILURE
    }
}

int WsaErrorFromEai(int eai, int savedErrno) {
    switch (eai) {
        case 0: return 0;
        case EAI_NONAME: return WSAHOST_NOT_FOUND;
        case EAI_AGAIN: return WSATRY_AGAIN;
        case EAI_FAIL: return WSANO_RECOVERY;
        case EAI_NODATA:
        case EAI_ADDRFAMILY: return WSANO_DATA;
        case EAI_FAMILY: return WSAEAFNOSUPPORT;
        case EAI_SOCKTYPE: return 10044;
        case EAI_SERVICE: return 10109;
        case EAI_BADFLAGS: return WSAEINVAL;
        case EAI_MEMORY: return WSAENOBUFS;
        case EAI_SYSTEM: return WsaErrorFromErrno(savedErrno);
        default: return WSANO_RECOVERY;
    }
}

}  // namespace platform::detail
