// SPDX-License-Identifier: MIT
#include "platform/linux/ErrorMap.h"

#include <netdb.h>
#include <netinet/in.h>

#include <cerrno>

#include "platform/linux/EventRules.h"
#include "platform/Winsock.h"

namespace platform::detail {

int WsaErrorFromErrno(int error) {
    switch (error) {
        case 0: return 0;
        case EAGAIN:                                  // == EWOULDBLOCK: the call would block
        case EINPROGRESS: return WSAEWOULDBLOCK;      // a non-blocking connect under way, as Windows says it
        case EALREADY: return WSAEALREADY;            // a connect is already under way
        case EBADF:                                   // a closed handle: socket calls say "not a socket"
        case ENOTSOCK: return WSAENOTSOCK;
        case EDESTADDRREQ: return WSAENOTCONN;        // a datagram send without a peer
        case EMSGSIZE: return WSAEMSGSIZE;            // a datagram too large to send
        case EPROTOTYPE: return WSAEPROTOTYPE;        // protocol wrong for the socket type
        case ENOPROTOOPT: return WSAENOPROTOOPT;      // an option the protocol does not know
        case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
        case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
        case EOPNOTSUPP: return WSAEOPNOTSUPP;        // == ENOTSUP: e.g. listen on a datagram socket
        case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
        case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
        case EADDRINUSE: return WSAEADDRINUSE;        // the port is taken
        case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;  // not an address of this machine
        case ENETDOWN: return WSAENETDOWN;
        case ENETUNREACH: return WSAENETUNREACH;
        case ENETRESET: return WSAENETRESET;
        case ECONNABORTED: return WSAECONNABORTED;    // aborted here, e.g. before it was accepted
        case ECONNRESET: return WSAECONNRESET;        // the peer reset the connection
        case ENOMEM:                                  // out of memory is out of buffers to Windows
        case ENOBUFS: return WSAENOBUFS;
        case EISCONN: return WSAEISCONN;              // connect on a connected socket
        case ENOTCONN: return WSAENOTCONN;            // data call on an unconnected socket
        case ESHUTDOWN: return WSAESHUTDOWN;          // send after shutdown
        case EPIPE: return WSAECONNRESET;             // the peer is gone; SendFailure knows the other cases
        case ETIMEDOUT: return WSAETIMEDOUT;          // a connect or a connection timed out
        case ECONNREFUSED: return WSAECONNREFUSED;    // nobody listens at the port
        case EHOSTDOWN: return WSAEHOSTDOWN;
        case EHOSTUNREACH: return WSAEHOSTUNREACH;
        case EINTR: return WSAEINTR;                  // a blocking call was interrupted
        case EPERM:                                   // Linux's two refusals are one to Windows
        case EACCES: return WSAEACCES;                // e.g. a broadcast without SO_BROADCAST
        case EFAULT: return WSAEFAULT;                // a bad pointer or length
        case EINVAL: return WSAEINVAL;
        case ENFILE:                                  // no descriptor left, in the process or the system
        case EMFILE: return WSAEMFILE;
        default: return WSASYSCALLFAILURE;            // nothing Windows would say: the call failed
    }
}

int WsaErrorFromEai(int eai, int savedErrno) {
    switch (eai) {
        case 0: return 0;
        case EAI_NONAME: return WSAHOST_NOT_FOUND;    // no such name
        case EAI_AGAIN: return WSATRY_AGAIN;          // the name server did not answer in time
        case EAI_FAIL: return WSANO_RECOVERY;         // the name server failed for good
        case EAI_NODATA:                              // the name has no IPv4 address
        case EAI_ADDRFAMILY: return WSANO_DATA;
        case EAI_FAMILY: return WSAEAFNOSUPPORT;
        case EAI_SOCKTYPE: return WSAESOCKTNOSUPPORT;
        case EAI_SERVICE: return WSATYPE_NOT_FOUND;
        case EAI_BADFLAGS: return WSAEINVAL;
        case EAI_MEMORY: return WSAENOBUFS;
        case EAI_SYSTEM: return WsaErrorFromErrno(savedErrno);
        default: return WSANO_RECOVERY;
    }
}

int ConnectError(int error) {
    // Linux answers EPIPE to a connect on a stream whose earlier connection has ended;
    // Windows still calls that socket connected.
    if (error == EPIPE) return WSAEISCONN;
    return WsaErrorFromErrno(error);
}

bool ConnectUnderWay(int error) { return error == EINPROGRESS; }

CallFailure SendFailure(int error, const SocketFacts* socket) {
    if (error == EPIPE) {
        // Where Linux says EPIPE, Windows tells what the socket went through.
        if (socket == nullptr) return {WSAENOTCONN, false};
        if (socket->shutSend) return {WSAESHUTDOWN, false};
        if (socket->phase != SocketPhase::Connected) return {WSAENOTCONN, false};
        return {WSAECONNRESET, false};
    }
    // A connected datagram socket's peer port was unreachable: Windows calls it a reset.
    if (error == ECONNREFUSED && socket != nullptr && socket->datagram) return {WSAECONNRESET, false};
    return {WsaErrorFromErrno(error), error == ECONNRESET};
}

int SendToError(int error, uint32_t destination) {
    if (error == ECONNREFUSED) return WSAECONNRESET;  // an earlier datagram's port was unreachable
    // Linux refuses the address 0.0.0.0 as an argument; Windows as an address it cannot reach.
    if (error == EINVAL && destination == INADDR_ANY) return WSAEADDRNOTAVAIL;
    return WsaErrorFromErrno(error);
}

CallFailure ReceiveFailure(int error) {
    if (error == ECONNREFUSED) return {WSAECONNRESET, false};  // a datagram's port was unreachable
    return {WsaErrorFromErrno(error), error == ECONNRESET};
}

int Fail(int error) {
    WSASetLastError(error);
    return SOCKET_ERROR;
}

int FailErrno() { return Fail(WsaErrorFromErrno(errno)); }

}  // namespace platform::detail
