// SPDX-License-Identifier: MIT
#include "inet/cSocket/CSocket.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <ostream>
#include <utility>
#include <vector>

#include "inet/cSocket/BufferLimit.h"
#include "inet/cSocket/ClosingConnection.h"
#include "inet/cSocket/MSocketSupport.h"
#include "platform/MessageLoop.h"
#include "platform/Winsock.h"

namespace inet {

namespace MS = MSocketSupport;

namespace {

constexpr const char* kConnectSource = "CSocket.CSocket.Connect";
// The size of one receive when the socket's size could not be had.
constexpr int32_t kFallbackReceiveSize = 65536;
// The object's own notices, posted as the socket's notifications are so that they
// come from the loop; they are no network event codes. kSendComplete: what waited to
// be sent has all gone. kSendTheRest: a send stopped short with nothing owed by the
// system, and the rest goes from the loop.
constexpr int32_t kSendComplete = 0x4000;
constexpr int32_t kSendTheRest = 0x4001;

SocketError WinsockError(int32_t code, const char* source) {
    return SocketError(code, source, MS::SocketErrorText(code));
}

SocketError LastWinsockError(const char* source) { return WinsockError(platform::WSAGetLastError(), source); }

// inet_addr's reading: true and the address when the text is a dotted address.
// 255.255.255.255 reads as INADDR_NONE and so counts as a name.
bool IsDottedAddress(const std::string& text, uint32_t& address) {
    if (text.empty()) return false;
    address = platform::inet_addr(text.c_str());
    return address != INADDR_NONE;
}

std::string DottedText(uint32_t address) {
    in_addr a{};
    a.s_addr = address;
    return MS::AnsiPointerToString(platform::inet_ntoa(a));
}

int32_t PortOf(uint16_t networkOrder) { return MS::PortWordToLong(static_cast<int16_t>(ntohs(networkOrder))); }

sockaddr_in AddressRecord(uint32_t address, int32_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(MS::LongToPortWord(port)));
    a.sin_addr.s_addr = address;
    return a;
}

// The failures of a stream send after which the connection is gone: the rest can never go.
bool EndsConnection(int32_t error) {
    switch (error) {
        case platform::WSAECONNRESET:
        case platform::WSAECONNABORTED:
        case platform::WSAENETRESET:
        case platform::WSAETIMEDOUT:
        case platform::WSAENETDOWN:
        case platform::WSAENETUNREACH:
        case platform::WSAEHOSTDOWN:
        case platform::WSAEHOSTUNREACH:
            return true;
        default:
            return false;
    }
}

// The bytes a value is sent as. Text and byte arrays are sent from where they lie;
// the other values are laid out in `scratch`.
std::string_view BytesToSend(const Variant& value, std::string& scratch) {
    if (const auto* text = std::get_if<std::string>(&value)) return *text;
    if (const auto* array = std::get_if<ByteArray>(&value)) {
        return {reinterpret_cast<const char*>(array->data()), array->size()};
    }
    AppendBytes(value, scratch);
    return scratch;
}

// Raises the error being handled again under the operation's own source; running
// out of memory is the runtime's error 7. What a host's handler threw goes on to the
// host as it was thrown.
[[noreturn]] void RaiseAgain(const char* source) {
    try {
        throw;
    } catch (const HostException& e) {
        std::rethrow_exception(e.error);
    } catch (const SocketError& e) {
        throw e.WithSource(source);
    } catch (const std::bad_alloc&) {
        throw RuntimeError(kOutOfMemory, source);
    }
}

// Runs a host operation: the object stays alive until it returns, so a handler may
// drop the host's last reference, and an error that leaves it is raised again under
// `source`.
template <typename Body>
void RunAs(CSocket& object, const char* source, Body&& body) {
    const auto self = object.shared_from_this();
    try {
        body();
    } catch (...) {
        RaiseAgain(source);
    }
}

// Calls a host's handler through a copy, so that a handler may replace itself. What
// it throws is marked as the host's, so that no routine of the object takes it for
// a failure of its own.
template <typename Handler, typename... Args>
void Raise(const Handler& handler, Args&&... args) {
    if (!handler) return;
    Handler call = handler;
    try {
        call(std::forward<Args>(args)...);
    } catch (const HostException&) {
        throw;
    } catch (...) {
        throw HostException{std::current_exception()};
    }
}

// Connection requests accepted by a listener and not yet adopted by an object: only
// these may be passed to Accept. One that nobody adopts is closed when its
// OnConnectionRequest is over.
std::vector<int32_t>& WaitingRequests() {
    static auto* requests = new std::vector<int32_t>;
    return *requests;
}

bool TakeWaitingRequest(int32_t handle) {
    auto& requests = WaitingRequests();
    const auto found = std::find(requests.begin(), requests.end(), handle);
    if (found == requests.end()) return false;
    requests.erase(found);
    return true;
}

// The living objects: the service stays started while any lives.
int32_t& LivingObjects() {
    static int32_t living = 0;
    return living;
}

void StopServiceIfUnused() {
    if (LivingObjects() == 0) MS::StopWinsockService();
}

}  // namespace

void PrintTo(SocketState state, std::ostream* out) {
    switch (state) {
        case SocketState::Closed: *out << "Closed"; return;
        case SocketState::Listening: *out << "Listening"; return;
        case SocketState::ResolvingHost: *out << "ResolvingHost"; return;
        case SocketState::HostResolved: *out << "HostResolved"; return;
        case SocketState::Connecting: *out << "Connecting"; return;
        case SocketState::Connected: *out << "Connected"; return;
        case SocketState::Closing: *out << "Closing"; return;
        case SocketState::Error: *out << "Error"; return;
    }
    *out << static_cast<int32_t>(state);
}

void PrintTo(SocketProtocol protocol, std::ostream* out) {
    switch (protocol) {
        case SocketProtocol::Tcp: *out << "Tcp"; return;
        case SocketProtocol::Udp: *out << "Udp"; return;
    }
    *out << static_cast<int32_t>(protocol);
}

// ---- Limits ----

namespace {
constexpr size_t kLargestLong = INT32_MAX;
size_t bufferLimit = kLargestLong;
}  // namespace

size_t detail::BufferLimit() { return bufferLimit; }
void detail::SetBufferLimitForTesting(size_t limit) {
    bufferLimit = limit == 0 ? kLargestLong : std::min(limit, kLargestLong);
}

// ---- Lifetime ----

std::shared_ptr<CSocket> CSocket::Create() { return std::make_shared<CSocket>(Token{}); }

CSocket::CSocket(Token) {
    m_maxDatagramSize = MS::InitWinsockService();
    ++LivingObjects();
}

CSocket::~CSocket() {
    try {
        ForgetLookup();
        if (m_socketHandle != -1) {
            // Bytes still waiting on a connection go all the same, without the object.
            if (HandlesStream() && !m_sendQueue.Empty()) {
                LetGo();
            } else {
                DestroySocket();
            }
        }
    } catch (...) {
        // An object always ends; a handle that would not close is given up.
    }
    --LivingObjects();
    try {
        StopServiceIfUnused();
    } catch (...) {
    }
}

std::weak_ptr<NotificationTarget> CSocket::Self() {
    std::shared_ptr<CSocket> self = shared_from_this();
    return std::shared_ptr<NotificationTarget>(self, static_cast<NotificationTarget*>(this));
}

// ---- The socket handle ----

int32_t CSocket::vbSocket() {
    const bool udp = MakesDatagramSocket();
    const platform::SOCKET handle =
        platform::socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, udp ? IPPROTO_UDP : IPPROTO_TCP);
    if (handle == platform::INVALID_SOCKET) throw LastWinsockError("CSocket.vbSocket");
    if (!MS::RegisterSocket(static_cast<int32_t>(handle), Self())) {
        platform::closesocket(handle);
        if (const auto& left = MS::LastError()) throw *left;
        throw WinsockError(platform::WSAENOBUFS, "CSocket.vbSocket");
    }
    return static_cast<int32_t>(handle);
}

void CSocket::EnsureSocket() {
    if (m_socketHandle != -1) {
        if (m_state != SocketState::Closing) return;
        // A connection still closing is let go: the object starts anew at once.
        LetGo();
        m_state = SocketState::Closed;
    }
    m_socketHandle = vbSocket();
    ++m_connection;
    m_received.Clear();  // what the last connection left is not this one's
    ReadBufferSizes();
}

void CSocket::ReadBufferSizes() {
    if (HandlesStream()) {
        int32_t size = 0;
        int length = sizeof size;
        platform::getsockopt(m_socketHandle, platform::SOL_SOCKET_W, platform::SO_RCVBUF_W,
                             reinterpret_cast<char*>(&size), &length);
        m_receiveBufferSize = size;
    } else {
        m_receiveBufferSize = m_maxDatagramSize;
    }
}

void CSocket::DestroySocket() {
    if (m_socketHandle != -1) {
        // A handle that is not registered (its close failed before) is closed again.
        if (MS::IsRegistered(m_socketHandle)) MS::UnregisterSocket(m_socketHandle);
        if (platform::closesocket(m_socketHandle) == platform::SOCKET_ERROR) {
            throw LastWinsockError("CSocket.DestroySocket");
        }
    }
    ForgetSocket();
}

void CSocket::ForgetSocket() {
    // What waited to be sent cannot go without the socket; what was received stays
    // for the host until it takes it or starts anew.
    m_sendQueue.Clear();
    m_sendPending = m_completionPosted = m_sendClosed = m_peerClosed = false;
    m_received.ForgetPutOff();
    if (m_socketHandle == -1) return;
    ++m_connection;
    m_socketHandle = -1;
    m_bound = false;
    m_broadcast = false;
    m_localKnown = false;
}

void CSocket::LetGo() {
    if (m_sendQueue.Empty() || !HandlesStream()) {
        DestroySocket();
        return;
    }
    // The socket and what waits on it go to a connection of their own, which may tell
    // the object of a failure at once: the object has forgotten them by then.
    const int32_t handle = m_socketHandle;
    detail::SendQueue waiting = std::exchange(m_sendQueue, detail::SendQueue());
    ForgetSocket();
    std::weak_ptr<CSocket> object = weak_from_this();
    detail::FinishClosing(
        handle, std::move(waiting),
        [object](int32_t error) {
            if (const auto self = object.lock()) self->RaiseError(error, "CSocket.CloseSocket");
        },
        [] { StopServiceIfUnused(); });
}

void CSocket::ForgetLookup() {
    if (m_lookupHandle == 0) return;
    MS::ForgetLookup(std::exchange(m_lookupHandle, 0));
}

void CSocket::CloseSocket() {
    const auto self = shared_from_this();
    bool gaveUp = false;
    try {
        ForgetLookup();
        if (m_socketHandle == -1) return;
        if (m_state == SocketState::Connected) {
            // Stop sending: once what waits has gone, the stream ends; the peer's close
            // completes the close.
            m_state = SocketState::Closing;
            m_sendClosed = true;
            if (m_sendQueue.Empty()) platform::shutdown(m_socketHandle, platform::SD_SEND);
            return;
        }
        if (m_state == SocketState::Closing && !m_sendClosed) {
            // The peer has closed and what waits is still going: it ends once that went.
            m_sendClosed = true;
            return;
        }
        if (m_state == SocketState::Closing) {
            LetGo();
        } else {
            gaveUp = GiveUpWaiting();
            DestroySocket();
        }
        m_received.Clear();
        m_state = SocketState::Closed;
    } catch (...) {
        // Closing never fails towards the host.
    }
    // Datagrams still waiting (for their host's address, or for room) never went.
    if (gaveUp) RaiseError(platform::WSAECONNABORTED, "CSocket.CloseSocket");
}

void CSocket::SetProtocol(SocketProtocol NewValue) {
    if (m_socketHandle == -1) m_protocol = NewValue;
}

// ---- Connecting ----

void CSocket::SetRemoteHost(const std::string& NewValue) {
    RunAs(*this, "CSocket.RemoteHost", [&] {
        m_remoteHost = NewValue;
        uint32_t address;
        if (!IsDottedAddress(NewValue, address)) return;
        m_remoteHostIP = NewValue;
        if (!MakesDatagramSocket()) return;  // only a datagram socket broadcasts
        EnsureSocket();
        const bool broadcast = (NewValue.size() < 4 ? NewValue : NewValue.substr(NewValue.size() - 4)) == ".255";
        if (broadcast == m_broadcast) return;
        const int32_t on = broadcast ? 1 : 0;
        if (platform::setsockopt(m_socketHandle, platform::SOL_SOCKET_W, platform::SO_BROADCAST_W,
                                 reinterpret_cast<const char*>(&on), sizeof on) == platform::SOCKET_ERROR) {
            throw LastWinsockError("CSocket.RemoteHost");
        }
        m_broadcast = broadcast;
    });
}

int32_t CSocket::ConnectTo(uint32_t address) {
    const sockaddr_in to = AddressRecord(address, m_remotePort);
    if (platform::connect(m_socketHandle, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return 0;
    return platform::WSAGetLastError();
}

void CSocket::Connect(const std::optional<std::string>& strRemoteHost, const std::optional<Variant>& lngRemotePort) {
    RunAs(*this, kConnectSource, [&] {
        ForgetLookup();
        EnsureSocket();
        if (strRemoteHost && !strRemoteHost->empty()) m_remoteHost = *strRemoteHost;
        if (lngRemotePort) {
            if (const auto port = NumericLong(*lngRemotePort, kConnectSource)) m_remotePort = *port;
        }
        if (m_remoteHost.empty()) throw WinsockError(platform::WSAEADDRNOTAVAIL, kConnectSource);
        // The port is checked before anything starts, for a name as for an address.
        if (MS::LongToPortWord(m_remotePort) == 0) throw WinsockError(platform::WSAEADDRNOTAVAIL, kConnectSource);
        m_afterLookup = AfterLookup::Connect;
        uint32_t address;
        if (!IsDottedAddress(m_remoteHost, address)) {
            m_state = SocketState::ResolvingHost;
            m_lookupHandle = MS::ResolveHost(m_remoteHost, Self());
            if (m_lookupHandle != 0) return;  // the lookup's completion goes on
            DestroySocket();
            if (const auto& left = MS::LastError()) throw *left;
            // No memory for the lookup: no error was left, but the host must hear of it.
            throw WinsockError(platform::WSAENOBUFS, kConnectSource);
        }
        const int32_t error = ConnectTo(address);
        if (error == platform::WSAEWOULDBLOCK) {
            m_state = SocketState::Connecting;
        } else if (error != 0) {
            throw WinsockError(error, kConnectSource);
        }
        m_remoteHostIP = DottedText(address);
        ReadBoundAddress();
    });
}

void CSocket::PostGetHostEvent(int32_t /*lookupHandle*/, uint32_t address, const std::string& hostName,
                               int32_t errorCode) {
    RunAsNotification("CSocket.PostGetHostEvent", [&] {
        // Only the object's current lookup reaches it: one it forgot reaches nobody.
        m_lookupHandle = 0;
        if (errorCode > 0) {
            m_state = SocketState::Error;
            // Datagrams that waited for this address can never go: the error says why.
            if (m_afterLookup == AfterLookup::SendDatagram) GiveUpWaiting();
            RaiseError(errorCode, "");
            return;
        }
        m_state = SocketState::HostResolved;
        m_remoteHost = hostName;
        m_remoteHostIP = DottedText(address);
        if (m_afterLookup == AfterLookup::SendDatagram) {
            SendWaitingDatagrams();
            return;
        }
        const int32_t error = ConnectTo(address);
        if (error != 0 && error != platform::WSAEWOULDBLOCK) {
            RaiseError(error, "CSocket.PostGetHostEvent");
            return;
        }
        if (error != 0) m_state = SocketState::Connecting;
        ReadBoundAddress();
    });
}

void CSocket::RaiseError(int32_t number, const std::string& source, std::string description) {
    if (number > 32767) {
        // Number is 16 bits wide: a code that does not fit is told as the overflow it is.
        number = kOverflow;
        description.clear();
    }
    if (description.empty()) {
        description = RuntimeErrorText(number).empty() ? MS::SocketErrorText(number) : RuntimeErrorText(number);
    }
    bool cancelDisplay = false;
    Raise(OnError, static_cast<int16_t>(number), description, 0, source, std::string(), 0, cancelDisplay);
}

template <typename Body>
void CSocket::RunAsNotification(const char* source, Body&& body) {
    const auto self = shared_from_this();
    try {
        body();
    } catch (const HostException&) {
        throw;  // a handler's: it leaves through the loop
    } catch (const SocketError& e) {
        RaiseError(e.Number(), source, e.Description());
    } catch (const std::bad_alloc&) {
        RaiseError(kOutOfMemory, source);
    }
}

// ---- Notifications ----

bool CSocket::ReadOwnAddress(uint32_t& address) {
    sockaddr_in local{};
    int length = sizeof local;
    if (platform::getsockname(m_socketHandle, reinterpret_cast<sockaddr*>(&local), &length) != 0) return false;
    address = local.sin_addr.s_addr;
    m_localPort = PortOf(local.sin_port);
    m_localIP = DottedText(address);
    m_localKnown = true;
    return true;
}

void CSocket::ReadLocalAddress() {
    uint32_t address;
    if (!ReadOwnAddress(address)) return;
    const hostent* entry = platform::gethostbyaddr(reinterpret_cast<const char*>(&address), 4, AF_INET);
    m_localHostName = entry != nullptr ? MS::AnsiPointerToString(entry->h_name) : m_localIP;
}

void CSocket::ReadBoundAddress() {
    uint32_t address;
    if (!m_localKnown) ReadOwnAddress(address);
}

void CSocket::EndConnection(int32_t error) {
    m_state = SocketState::Error;
    DestroySocket();
    RaiseError(error, "");
}

void CSocket::FinishClose() {
    DestroySocket();
    m_state = SocketState::Closed;
    Raise(OnClose);
}

void CSocket::PostSocketEvent(int32_t eventCode, int32_t errorCode) {
    RunAsNotification("CSocket.PostSocketEvent", [&] {
        if (errorCode > 0) {
            EndConnection(errorCode);
            return;
        }
        // A handler may close the socket, start anew or end the connection: what a
        // notification does after raising an event is for the connection it came for.
        const uint32_t connection = m_connection;
        switch (eventCode) {
            case platform::FD_READ: {
                if (!CanReceive()) {
                    m_received.PutOff(platform::FD_READ);  // taking data lets it go on
                    break;
                }
                if (RecvToBuffer() > 0 && connection == m_connection) Raise(OnDataArrival, BytesReceived());
                break;
            }
            case platform::FD_WRITE:  // the socket can take more
            case kSendTheRest:
                SendPendingData();
                break;
            case kSendComplete:
                m_completionPosted = false;
                // Unless more has come to wait since: its own completion follows then.
                if (m_sendQueue.Empty() && std::exchange(m_sendPending, false)) Raise(OnSendComplete);
                break;
            case platform::FD_ACCEPT: {
                sockaddr_in peer{};
                int length = sizeof peer;
                const platform::SOCKET accepted =
                    platform::accept(m_socketHandle, reinterpret_cast<sockaddr*>(&peer), &length);
                if (accepted == platform::INVALID_SOCKET) {
                    if (platform::WSAGetLastError() != platform::WSAEWOULDBLOCK) Raise(OnConnectionRequest, -1);
                    break;
                }
                const auto request = static_cast<int32_t>(accepted);
                WaitingRequests().push_back(request);
                // A request that no object adopted by the end of the event is closed: the
                // client sees its connection end, and nothing is left open.
                struct CloseUnadopted {
                    int32_t request;
                    ~CloseUnadopted() {
                        if (TakeWaitingRequest(request)) platform::closesocket(request);
                    }
                } closeUnadopted{request};
                Raise(OnConnectionRequest, request);
                break;
            }
            case platform::FD_CONNECT:
                ReadLocalAddress();
                m_state = SocketState::Connected;
                Raise(OnConnect);
                break;
            case platform::FD_CLOSE:
                // The peer closed: hand over what is left. When the buffer is full and the
                // socket still holds data, the close waits for the host to take some.
                for (;;) {
                    if (!CanReceive()) {
                        char next;
                        if (platform::recv(m_socketHandle, &next, 1, platform::MSG_PEEK_W) > 0) {
                            m_received.PutOff(platform::FD_CLOSE);
                            return;
                        }
                        break;  // nothing is left to hand over
                    }
                    const int32_t n = RecvToBuffer();
                    if (connection != m_connection) return;  // the receive found the connection gone
                    if (n <= 0) break;
                    // Should the handler throw, the close is taken up again from the loop.
                    struct ResumeClose {
                        CSocket& s;
                        uint32_t connection;
                        ~ResumeClose() {
                            if (std::uncaught_exceptions() > 0 && s.m_connection == connection) {
                                s.PostNotice(platform::FD_CLOSE);
                            }
                        }
                    } resume{*this, connection};
                    Raise(OnDataArrival, BytesReceived());
                    if (connection != m_connection) return;
                }
                m_state = SocketState::Closing;
                if (!m_sendQueue.Empty()) {
                    // The peer's close ends what it sends, not what we send: what waits
                    // still goes, and the connection ends after it.
                    m_peerClosed = true;
                    SendPendingData();
                    return;
                }
                FinishClose();
                break;
            default:
                break;
        }
    });
}

// ---- Receiving ----

size_t CSocket::ReceiveSize() const {
    return static_cast<size_t>(m_receiveBufferSize >= 1 ? m_receiveBufferSize : kFallbackReceiveSize);
}

void CSocket::ResumeReceiving() {
    const int32_t event = m_received.TakePutOff(!HandlesStream(), ReceiveSize());
    if (event != 0) PostNotice(event);
}

int32_t CSocket::RecvToBuffer() {
    const bool datagram = !HandlesStream();
    detail::DatagramSender sender;
    const int n = m_received.Receive(m_socketHandle, ReceiveSize(), datagram, &sender);
    if (n == platform::SOCKET_ERROR) {
        const int32_t error = platform::WSAGetLastError();
        if (error == platform::WSAEWOULDBLOCK) return 0;  // a notification that was out of date
        // A connection that is gone ends here; any other failure is the host's to hear
        // of, and the data waits in the socket for the next notification.
        if (!datagram && EndsConnection(error)) {
            EndConnection(error);
            return 0;
        }
        throw WinsockError(error, "CSocket.RecvToBuffer");
    }
    if (datagram) {
        // Every datagram, an empty one too: the fields tell of the last sender.
        m_remotePort = PortOf(sender.port);
        m_remoteHostIP = DottedText(sender.address);
        const hostent* entry = platform::gethostbyaddr(reinterpret_cast<const char*>(&sender.address), 4, AF_INET);
        m_remoteHost = entry != nullptr ? MS::AnsiPointerToString(entry->h_name) : m_remoteHostIP;
    }
    return n;
}

void CSocket::FetchFromBuffer(Variant& varData, bool keep, std::optional<int32_t> varType,
                              std::optional<int32_t> maxLen) {
    const size_t length = m_received.Length();
    if (length == 0) return;
    const int32_t wanted = maxLen.value_or(0);
    const size_t take = (wanted > 0 && static_cast<size_t>(wanted) <= length) ? static_cast<size_t>(wanted) : length;
    // No type, or type 0, means text.
    const int32_t type = (!varType || *varType == 0) ? static_cast<int32_t>(VarType::String) : *varType;
    if (!keep && take == length && type == static_cast<int32_t>(VarType::String)) {
        m_received.TakeText(varData, ReceiveSize());
    } else {
        Variant value;
        const bool known = ValueFromBytes(type, m_received.Front(take), value);
        if (!keep) m_received.Drop(take);
        if (known) varData = std::move(value);
    }
    if (!keep) ResumeReceiving();
}

void CSocket::GetData(Variant& varData, std::optional<int32_t> varType, std::optional<int32_t> maxLen) {
    RunAs(*this, "CSocket.GetData", [&] { FetchFromBuffer(varData, false, varType, maxLen); });
}

void CSocket::PeekData(Variant& varData, std::optional<int32_t> varType, std::optional<int32_t> maxLen) {
    RunAs(*this, "CSocket.PeekData", [&] { FetchFromBuffer(varData, true, varType, maxLen); });
}

// ---- Sending ----

void CSocket::SendData(const Variant& varData) {
    RunAs(*this, "CSocket.SendData", [&] {
        std::string scratch;
        const std::string_view bytes = BytesToSend(varData, scratch);
        // Its counts (bytesSent, bytesRemaining) are Longs: more than they can tell is
        // refused before anything is sent or queued.
        if (!m_sendQueue.CanTake(bytes.size())) throw RuntimeError(kOverflow, "CSocket.SendData");
        const bool datagram = !HandlesStream();
        if (datagram) {
            // A datagram needs no connection: its socket is made when first needed.
            EnsureSocket();
            MS::LongToPortWord(m_remotePort);  // a port it could never go to is refused now
        } else if (m_socketHandle == -1) {
            throw RuntimeError(kWrongProtocolOrState, "CSocket.SendData");
        } else if (m_sendClosed) {
            throw WinsockError(platform::WSAESHUTDOWN, "CSocket.SendData");
        }
        if (!m_sendQueue.Empty()) {
            // Behind what still waits: it goes in its turn.
            if (!bytes.empty()) m_sendQueue.Append(bytes, datagram);
            return;
        }
        if (datagram && m_remoteHostIP.empty() && !bytes.empty()) {
            // Only a name is known: the datagram waits for its address.
            m_sendQueue.Append(bytes, true);
            try {
                StartDatagramLookup();
            } catch (...) {
                m_sendQueue.Clear();
                throw;
            }
            m_sendPending = true;
            Raise(OnSendProgress, 0, static_cast<int32_t>(m_sendQueue.Waiting()));
            return;
        }
        // Nothing waits: the bytes go from where they lie, and only what the socket
        // does not take yet is queued.
        size_t taken = 0;
        int32_t error = 0;
        if (bytes.empty()) {
        } else if (datagram) {
            error = SendDatagram(bytes);
            if (error == 0) taken = bytes.size();
        } else {
            const detail::SendOutcome outcome = detail::SendStream(m_socketHandle, bytes);
            taken = outcome.taken;
            error = outcome.error;
        }
        if (error == platform::WSAEWOULDBLOCK) error = 0;  // a datagram waits for room
        if (error != 0 && taken == 0) {
            // Nothing of this call went, and nothing of it ever will: the host is told now.
            // A connection that is gone ends as a reset would, from the loop.
            if (!datagram && EndsConnection(error)) PostNotice(platform::FD_CLOSE, error);
            if (error == platform::WSAENOTSOCK) throw RuntimeError(kWrongProtocolOrState, "CSocket.SendData");
            throw WinsockError(error, "CSocket.SendData");
        }
        if (taken < bytes.size()) {
            if (error == 0 || !EndsConnection(error)) {
                m_sendQueue.Append(bytes.substr(taken), datagram);
                // A send that stopped short on a passing failure is owed no FD_WRITE:
                // the rest is tried again from the loop.
                if (error != 0) PostNotice(kSendTheRest);
            } else {
                PostNotice(platform::FD_CLOSE, error);  // the rest cannot go: the connection ends
            }
        }
        m_sendPending = true;
        AfterSend(taken);
    });
}

void CSocket::SendPendingData() {
    if (m_sendQueue.Empty()) return;
    if (!HandlesStream()) {
        SendWaitingDatagrams();
        return;
    }
    const detail::SendOutcome outcome = detail::SendStream(m_socketHandle, m_sendQueue.Front());
    m_sendQueue.Consume(outcome.taken);
    if (outcome.error != 0) {
        // From the loop there is nobody to raise to: the rest can never go, and the
        // connection ends with the error that says so.
        EndConnection(outcome.error);
        return;
    }
    AfterSend(outcome.taken);
}

int32_t CSocket::SendDatagram(std::string_view datagram) {
    const sockaddr_in to = AddressRecord(platform::inet_addr(m_remoteHostIP.c_str()), m_remotePort);
    const int n = platform::sendto(m_socketHandle, datagram.data(), static_cast<int>(datagram.size()), 0,
                                   reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (n == platform::SOCKET_ERROR) return platform::WSAGetLastError();
    ReadBoundAddress();  // the first datagram binds the socket
    return 0;
}

void CSocket::SendWaitingDatagrams() {
    const uint32_t connection = m_connection;
    while (!m_sendQueue.Empty()) {
        if (m_remoteHostIP.empty()) {
            if (m_lookupHandle == 0) StartDatagramLookup();  // the completion sends them
            return;
        }
        const size_t size = m_sendQueue.Front().size();
        const int32_t error = SendDatagram(m_sendQueue.Front());
        if (error == platform::WSAEWOULDBLOCK) return;  // FD_WRITE comes once there is room
        m_sendQueue.Consume(size);
        if (error != 0) {
            // This datagram cannot go; the ones behind it still may.
            RaiseError(error, "CSocket.SendData");
        } else {
            AfterSend(size);
        }
        if (connection != m_connection) return;
    }
}

void CSocket::StartDatagramLookup() {
    m_afterLookup = AfterLookup::SendDatagram;
    m_lookupHandle = MS::ResolveHost(m_remoteHost, Self());
    if (m_lookupHandle != 0) return;
    if (const auto& left = MS::LastError()) throw *left;
    throw WinsockError(platform::WSAENOBUFS, "CSocket.SendData");
}

void CSocket::AfterSend(size_t taken) {
    if (m_sendQueue.Empty()) {
        if (m_sendClosed && !m_peerClosed) platform::shutdown(m_socketHandle, platform::SD_SEND);
        // OnSendComplete comes from the loop, after OnSendProgress and what its handler does.
        if (!m_completionPosted) {
            m_completionPosted = true;
            PostNotice(kSendComplete);
        }
        // The peer had closed: its close is taken up again once the completion is told.
        if (m_peerClosed) PostNotice(platform::FD_CLOSE);
    }
    Raise(OnSendProgress, static_cast<int32_t>(taken), static_cast<int32_t>(m_sendQueue.Waiting()));
}

bool CSocket::GiveUpWaiting() {
    if (m_sendQueue.Empty()) return false;
    m_sendQueue.Clear();
    m_sendPending = false;
    return true;
}

void CSocket::PostNotice(int32_t event, int32_t error) {
    platform::PostMessageA(MS::NotifyWindow(), MS::WinsockMessage(), static_cast<platform::WPARAM>(m_socketHandle),
                           platform::MAKELONG(static_cast<platform::WORD>(event), static_cast<platform::WORD>(error)));
}

// ---- Serving ----

void CSocket::Bind(int32_t lngLocalPort, const std::string& strLocalIP) {
    RunAs(*this, "CSocket.Bind", [&] {
        EnsureSocket();
        if (!strLocalIP.empty()) m_localIP = strLocalIP;
        if (lngLocalPort > 0) m_localPort = lngLocalPort;
        uint32_t address = INADDR_ANY;
        if (!m_localIP.empty() && !IsDottedAddress(m_localIP, address)) {
            throw WinsockError(platform::WSAEINVAL, "CSocket.Bind");  // does not parse
        }
        const sockaddr_in local = AddressRecord(address, m_localPort);
        if (platform::bind(m_socketHandle, reinterpret_cast<const sockaddr*>(&local), sizeof local) ==
            platform::SOCKET_ERROR) {
            throw LastWinsockError("CSocket.Bind");
        }
        m_bound = true;
        m_localKnown = false;
        ReadBoundAddress();
    });
}

void CSocket::Listen() {
    RunAs(*this, "CSocket.Listen", [&] {
        EnsureSocket();
        if (!m_bound) Bind(0, "");
        if (platform::listen(m_socketHandle, 5) == platform::SOCKET_ERROR) {
            m_state = SocketState::Error;
            throw LastWinsockError("CSocket.Listen");
        }
        m_state = SocketState::Listening;
    });
}

void CSocket::Accept(int32_t requestID) {
    RunAs(*this, "CSocket.Accept", [&] {
        // Only a request waiting to be adopted: anything else is not this object's to take.
        if (requestID == -1) throw WinsockError(platform::WSAENOTSOCK, "CSocket.Accept");
        if (!TakeWaitingRequest(requestID)) throw WinsockError(platform::WSAEINVAL, "CSocket.Accept");
        if (!MS::RegisterSocket(requestID, Self())) {
            platform::closesocket(requestID);
            if (const auto& left = MS::LastError()) throw *left;
            throw WinsockError(platform::WSAENOBUFS, "CSocket.Accept");
        }
        // The socket the object held (a listener accepting onto itself) goes, or it would
        // stay open with nobody to close it.
        ForgetLookup();
        if (m_socketHandle != -1) LetGo();
        m_received.Clear();
        m_socketHandle = requestID;
        ++m_connection;
        sockaddr_in address{};
        int length = sizeof address;
        if (platform::getsockname(requestID, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            m_localPort = PortOf(address.sin_port);
            m_localIP = DottedText(address.sin_addr.s_addr);
            m_localHostName = m_localIP;
            m_localKnown = true;
        }
        length = sizeof address;
        if (platform::getpeername(requestID, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            m_remotePort = PortOf(address.sin_port);
            m_remoteHostIP = DottedText(address.sin_addr.s_addr);
            m_remoteHost = m_remoteHostIP;
        }
        int32_t type = 0;
        length = sizeof type;
        if (platform::getsockopt(requestID, platform::SOL_SOCKET_W, platform::SO_TYPE_W,
                                 reinterpret_cast<char*>(&type), &length) != platform::SOCKET_ERROR) {
            m_protocol = type == SOCK_STREAM ? SocketProtocol::Tcp : SocketProtocol::Udp;
        }
        ReadBufferSizes();
        m_state = SocketState::Connected;
    });
}

}  // namespace inet
