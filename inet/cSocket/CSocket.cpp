#include "inet/cSocket/CSocket.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <ostream>
#include <utility>

#include "inet/cSocket/BufferLimit.h"
#include "inet/cSocket/MSocketSupport.h"
#include "platform/MessageLoop.h"
#include "platform/Winsock.h"

namespace inet {

namespace MS = MSocketSupport;

namespace {

constexpr const char* kConnectSource = "CSocket.CSocket.Connect";
// The size of one receive when the socket's size could not be had.
constexpr int32_t kFallbackReceiveSize = 65536;
// GetData hands the buffer itself over from this much text on; less is copied out.
constexpr size_t kHandOverAt = 4096;
// The least room a stream receive prepares.
constexpr size_t kMinRoom = 4096;

// Room for a receive that the buffer itself cannot take in place, shared by every
// object on the thread: it is never zero-filled, and only what arrived is kept, so
// an idle connection holds no room and the end of a stream costs no allocation.
char* ScratchRoom(size_t size) {
    thread_local std::unique_ptr<char[]> room;
    thread_local size_t roomSize = 0;
    if (roomSize < size) {
        room.reset();
        roomSize = 0;
        room.reset(new char[size]);
        roomSize = size;
    }
    return room.get();
}

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

std::string DottedText(in_addr address) { return MS::AnsiPointerToString(platform::inet_ntoa(address)); }

int32_t PortOf(const sockaddr_in& a) { return MS::PortWordToLong(static_cast<int16_t>(ntohs(a.sin_port))); }

sockaddr_in AddressRecord(uint32_t address, int32_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(MS::LongToPortWord(port)));
    a.sin_addr.s_addr = address;
    return a;
}

// Raises the error being handled again under the operation's own source; running
// out of memory is the runtime's error 7. Other exceptions (a host handler's) pass.
[[noreturn]] void RaiseAgain(const char* source) {
    try {
        throw;
    } catch (const SocketError& e) {
        throw e.WithSource(source);
    } catch (const std::bad_alloc&) {
        throw RuntimeError(kOutOfMemory, source);
    }
}

// Runs a host operation or an entry point of the support module: the object stays
// alive until it returns, so a handler may drop the host's last reference, and an
// error that leaves it is raised again under `source`.
template <typename Body>
void RunAs(CSocket& object, const char* source, Body&& body) {
    const auto self = object.shared_from_this();
    try {
        body();
    } catch (...) {
        RaiseAgain(source);
    }
}

// Calls a handler through a copy, so that a handler may replace itself.
template <typename Handler, typename... Args>
void Raise(const Handler& handler, Args&&... args) {
    if (!handler) return;
    Handler call = handler;
    call(std::forward<Args>(args)...);
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

CSocket::CSocket(Token) { m_maxDatagramSize = MS::InitWinsockService(); }

CSocket::~CSocket() {
    try {
        if (m_socketHandle != -1) DestroySocket();
        MS::StopWinsockService();
    } catch (...) {
        // An object always ends; a handle that would not close is given up.
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
    if (handle == platform::INVALID_SOCKET) return -1;
    if (!MS::RegisterSocket(handle, Self())) {
        platform::closesocket(handle);
        return -1;
    }
    return handle;
}

bool CSocket::EnsureSocket() {
    if (m_socketHandle != -1) return true;
    m_socketHandle = vbSocket();
    if (m_socketHandle == -1) return false;
    ReadBufferSizes();
    return true;
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
    EmptyReceiveBuffer(true);
    m_putOff = 0;
    if (m_socketHandle == -1) return;
    if (MS::IsRegisteredTo(m_socketHandle, weak_from_this())) {
        MS::UnregisterSocket(m_socketHandle);
    } else if (MS::IsRegistered(m_socketHandle)) {
        // Another object owns this handle (an Accept that it had adopted already): let go.
        m_socketHandle = -1;
        return;
    }
    // A handle that is not registered (its close failed before) is closed again.
    if (platform::closesocket(m_socketHandle) == platform::SOCKET_ERROR) {
        throw LastWinsockError("CSocket.DestroySocket");
    }
    m_socketHandle = -1;
    m_bound = false;
    m_broadcast = false;
}

void CSocket::CloseSocket() {
    try {
        if (m_socketHandle == -1) return;
        if (m_state == SocketState::Connected) {
            // Stop sending; the peer's close completes the close.
            m_state = SocketState::Closing;
            platform::shutdown(m_socketHandle, platform::SD_SEND);
            return;
        }
        DestroySocket();
        m_state = SocketState::Closed;
    } catch (...) {
        // Closing never fails towards the host.
    }
}

void CSocket::SetProtocol(SocketProtocol NewValue) {
    if (m_socketHandle == -1) m_protocol = NewValue;
}

// ---- Connecting ----

void CSocket::SetRemoteHost(const std::string& NewValue) {
    auto self = shared_from_this();
    m_remoteHost = NewValue;
    uint32_t address;
    if (!IsDottedAddress(NewValue, address)) return;
    m_remoteHostIP = NewValue;
    if (!MakesDatagramSocket()) return;  // only a datagram socket broadcasts
    if (!EnsureSocket()) return;
    const bool broadcast = (NewValue.size() < 4 ? NewValue : NewValue.substr(NewValue.size() - 4)) == ".255";
    if (broadcast == m_broadcast) return;
    const int32_t on = broadcast ? 1 : 0;
    if (platform::setsockopt(m_socketHandle, platform::SOL_SOCKET_W, platform::SO_BROADCAST_W,
                             reinterpret_cast<const char*>(&on), sizeof on) == platform::SOCKET_ERROR) {
        throw LastWinsockError("CSocket.RemoteHost");
    }
    m_broadcast = broadcast;
}

int32_t CSocket::ConnectTo(uint32_t address) {
    const sockaddr_in to = AddressRecord(address, m_remotePort);
    if (platform::connect(m_socketHandle, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return 0;
    return platform::WSAGetLastError();
}

void CSocket::Connect(const std::optional<std::string>& strRemoteHost, const std::optional<Variant>& lngRemotePort) {
    RunAs(*this, kConnectSource, [&] {
        if (!EnsureSocket()) return;
        if (strRemoteHost && !strRemoteHost->empty()) m_remoteHost = *strRemoteHost;
        if (lngRemotePort) {
            if (const auto port = NumericLong(*lngRemotePort, kConnectSource)) m_remotePort = *port;
        }
        if (m_remoteHost.empty()) throw WinsockError(platform::WSAEADDRNOTAVAIL, kConnectSource);
        m_afterLookup = AfterLookup::Connect;
        uint32_t address;
        if (!IsDottedAddress(m_remoteHost, address)) {
            m_state = SocketState::ResolvingHost;
            m_lookupHandle = 0;
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
    });
}

void CSocket::PostGetHostEvent(int32_t lookupHandle, uint32_t address, const std::string& hostName,
                               int32_t errorCode) {
    RunAs(*this, "CSocket.PostGetHostEvent", [&] {
        if (errorCode > 0) {
            uint32_t dotted;
            if (!IsDottedAddress(hostName, dotted)) {
                m_state = SocketState::Error;
                RaiseError(errorCode, "");
                return;
            }
            address = dotted;
        }
        if (lookupHandle == 0 || lookupHandle != m_lookupHandle) return;  // an older lookup
        m_state = SocketState::HostResolved;
        m_remoteHost = hostName;
        in_addr resolved{};
        resolved.s_addr = address;
        m_remoteHostIP = DottedText(resolved);
        if (m_afterLookup == AfterLookup::Connect) {
            const int32_t error = ConnectTo(address);
            if (error == platform::WSAEWOULDBLOCK) {
                m_state = SocketState::Connecting;
            } else if (error != 0) {
                RaiseError(error, "CSocket.PostGetHostEvent");
            }
        } else {
            SendPendingData();
        }
    });
}

void CSocket::RaiseError(int32_t number, const std::string& source) {
    if (number > 32767) throw RuntimeError(kOverflow, "CSocket.RaiseError");
    std::string description = MS::SocketErrorText(number);
    bool cancelDisplay = false;
    Raise(OnError, static_cast<int16_t>(number), description, 0, source, std::string(), 0, cancelDisplay);
}

// ---- Notifications ----

void CSocket::ReadLocalAddress() {
    sockaddr_in local{};
    int length = sizeof local;
    if (platform::getsockname(m_socketHandle, reinterpret_cast<sockaddr*>(&local), &length) != 0) return;
    m_localPort = PortOf(local);
    m_localIP = DottedText(local.sin_addr);
    const hostent* entry = platform::gethostbyaddr(reinterpret_cast<const char*>(&local.sin_addr), 4, AF_INET);
    m_localHostName = entry != nullptr ? MS::AnsiPointerToString(entry->h_name) : m_localIP;
}

void CSocket::PostSocketEvent(int32_t eventCode, int32_t errorCode) {
    RunAs(*this, "CSocket.PostSocketEvent", [&] {
        if (errorCode > 0) {
            m_state = SocketState::Error;
            DestroySocket();
            RaiseError(errorCode, "");
            return;
        }
        switch (eventCode) {
            case platform::FD_READ: {
                if (!CanReceive()) {
                    // Full: the read waits for the host to take data (a close put off stays so).
                    if (m_putOff == 0) m_putOff = platform::FD_READ;
                    break;
                }
                const int32_t n = RecvToBuffer();
                if (static_cast<int64_t>(m_bytesReceived) + n > INT32_MAX) {
                    throw RuntimeError(kOverflow, "CSocket.PostSocketEvent");
                }
                m_bytesReceived += n;
                if (n > 0) Raise(OnDataArrival, ReceivedLength());
                break;
            }
            case platform::FD_WRITE:
                // The socket can take more; or this is the object's own notice that a
                // send took everything (PostWriteNotice), and nothing waits.
                if (SendWaiting() > 0 && !HandlesStream() && m_remoteHostIP.empty()) {
                    // A datagram waits for its host's address: the lookup's completion
                    // sends it. A fresh datagram socket is reported writable, and going
                    // on here would start a second lookup.
                } else if (SendWaiting() > 0) {
                    SendPendingData();
                } else if (m_sendPending) {
                    m_sendPending = false;
                    Raise(OnSendComplete);
                }
                break;
            case platform::FD_ACCEPT: {
                sockaddr_in peer{};
                int length = sizeof peer;
                const platform::SOCKET accepted =
                    platform::accept(m_socketHandle, reinterpret_cast<sockaddr*>(&peer), &length);
                if (!OnConnectionRequest) {
                    // Nobody could ever adopt it.
                    if (accepted != platform::INVALID_SOCKET) platform::closesocket(accepted);
                    break;
                }
                Raise(OnConnectionRequest, static_cast<int32_t>(accepted));
                break;
            }
            case platform::FD_CONNECT:
                ReadLocalAddress();
                m_state = SocketState::Connected;
                Raise(OnConnect);
                break;
            case platform::FD_CLOSE:
                // The peer closed: hand over what is left, then close our side. When the
                // buffer is full and the socket still holds data, the close waits for the
                // host to take some, so that nothing is lost and no count outgrows a Long.
                for (;;) {
                    if (!CanReceive()) {
                        char next;
                        if (platform::recv(m_socketHandle, &next, 1, platform::MSG_PEEK_W) > 0) {
                            m_putOff = platform::FD_CLOSE;
                            return;
                        }
                        break;  // nothing is left to hand over
                    }
                    if (RecvToBuffer() <= 0) break;
                    Raise(OnDataArrival, ReceivedLength());
                }
                if (m_state != SocketState::Closing) {
                    m_state = SocketState::Closing;
                    if (SendWaiting() > 0) SendPendingData();
                }
                DestroySocket();
                m_state = SocketState::Closed;
                Raise(OnClose);
                break;
            default:
                break;
        }
    });
}

// ---- Receiving ----

int32_t CSocket::ReceiveSize() const {
    return m_receiveBufferSize >= 1 ? m_receiveBufferSize : kFallbackReceiveSize;
}

bool CSocket::CanReceive() const {
    const size_t limit = detail::BufferLimit();
    const size_t waiting = m_receiveTail - m_receiveHead;
    if (waiting >= limit) return false;
    // A datagram needs room for the largest one, so that none is cut short.
    return HandlesStream() || limit - waiting >= std::min(static_cast<size_t>(ReceiveSize()), limit);
}

void CSocket::ResumeReceiving() {
    if (m_putOff == 0 || !CanReceive()) return;
    const int32_t event = std::exchange(m_putOff, 0);
    // Posted as the socket's own notifications are: it comes from the loop, not from
    // inside GetData.
    platform::PostMessageA(MS::NotifyWindow(), MS::WinsockMessage(), static_cast<platform::WPARAM>(m_socketHandle),
                           event);
}

int32_t CSocket::RecvToBuffer() {
    const size_t limit = static_cast<size_t>(ReceiveSize());
    // A stream receive takes up to twice what came last time (at least kMinRoom), so
    // a small arrival needs no large room; a receive that fills its room makes the
    // next notification come at once, with twice the room. A datagram gets the whole
    // limit, to be refused whole when it is larger.
    const bool udp = !HandlesStream();
    // Never more than the buffer has room for (CanReceive has said that there is some).
    const size_t room = std::min(udp ? limit : std::clamp(m_readHint, std::min(kMinRoom, limit), limit),
                                 detail::BufferLimit() - (m_receiveTail - m_receiveHead));
    // Taken bytes at the front are dropped once they are most of the buffer.
    if (m_receiveHead > 0 && m_receiveHead * 2 >= m_receiveTail) {
        std::memmove(m_receiveBuffer.data(), m_receiveBuffer.data() + m_receiveHead, m_receiveTail - m_receiveHead);
        m_receiveTail -= m_receiveHead;
        m_receiveHead = 0;
    }
    // Room the buffer already has is received into in place; otherwise the bytes go
    // through the scratch room and only those that came are appended.
    const bool inPlace = m_receiveBuffer.size() >= m_receiveTail + room;
    char* into = inPlace ? m_receiveBuffer.data() + m_receiveTail : ScratchRoom(room);
    const int length = static_cast<int>(std::min<size_t>(room, INT_MAX));
    int32_t n;
    if (!udp) {
        n = platform::recv(m_socketHandle, into, length, 0);
    } else {
        sockaddr_in sender{};
        int senderLength = sizeof sender;
        n = platform::recvfrom(m_socketHandle, into, length, 0, reinterpret_cast<sockaddr*>(&sender), &senderLength);
        if (n != platform::SOCKET_ERROR) {
            m_remotePort = PortOf(sender);
            m_remoteHostIP = DottedText(sender.sin_addr);
            const hostent* entry =
                platform::gethostbyaddr(reinterpret_cast<const char*>(&sender.sin_addr), 4, AF_INET);
            m_remoteHost = entry != nullptr ? MS::AnsiPointerToString(entry->h_name) : m_remoteHostIP;
        }
    }
    if (n == platform::SOCKET_ERROR) throw LastWinsockError("CSocket.RecvToBuffer");
    if (n > 0 && !inPlace) {
        m_receiveBuffer.resize(m_receiveTail);
        m_receiveBuffer.append(into, static_cast<size_t>(n));
    }
    m_receiveTail += static_cast<size_t>(n);
    if (n > 0) m_readHint = std::min(2 * static_cast<size_t>(n), limit);
    return n;
}

void CSocket::EmptyReceiveBuffer(bool release) {
    m_receiveHead = 0;
    m_receiveTail = 0;
    // Swapped out: moving a string in may leave the old room where it was.
    if (release) std::string().swap(m_receiveBuffer);
}

void CSocket::FetchFromBuffer(Variant& varData, bool keep, std::optional<int32_t> varType,
                              std::optional<int32_t> maxLen) {
    const size_t length = m_receiveTail - m_receiveHead;
    if (length == 0) return;
    const int32_t wanted = maxLen.value_or(0);
    const size_t take = (wanted > 0 && static_cast<size_t>(wanted) <= length) ? static_cast<size_t>(wanted) : length;
    // No type, or type 0, means text.
    const int32_t type = (!varType || *varType == 0) ? static_cast<int32_t>(VarType::String) : *varType;
    const std::string_view part = std::string_view(m_receiveBuffer).substr(m_receiveHead, take);

    if (!keep && take == length && type == static_cast<int32_t>(VarType::String)) {
        // Everything, as text: a large buffer is handed over itself; a small one is
        // copied, so that its room stays for the next receive instead of being
        // allocated and zero-filled again. The copy goes into the host's text when that
        // has small room of its own (never a large one, which would stay held).
        if (length >= kHandOverAt) {
            if (m_receiveHead > 0) std::memmove(m_receiveBuffer.data(), part.data(), length);
            m_receiveBuffer.resize(length);
            // The host's old text gives its room back for the next receive when a receive
            // can use it, so that bulk data costs no allocation per arrival.
            std::string room;
            if (auto* text = std::get_if<std::string>(&varData);
                text != nullptr && text->capacity() <= 2 * static_cast<size_t>(ReceiveSize())) {
                text->swap(room);
            }
            varData = std::string(std::move(m_receiveBuffer));
            room.clear();
            m_receiveBuffer.swap(room);
            EmptyReceiveBuffer(false);
        } else {
            if (auto* text = std::get_if<std::string>(&varData); text == nullptr) {
                varData = std::string(part);
            } else if (text->capacity() < kHandOverAt) {
                text->assign(part);
            } else {
                std::string(part).swap(*text);  // assigning would keep the large room
            }
            EmptyReceiveBuffer(false);
        }
        m_bytesReceived = 0;
        ResumeReceiving();
        return;
    }
    Variant value;
    const bool known = ValueFromBytes(type, part, value);
    if (!keep) {
        m_receiveHead += take;
        if (m_receiveHead == m_receiveTail) EmptyReceiveBuffer(false);
    }
    if (known) varData = std::move(value);
    m_bytesReceived = ReceivedLength();
    if (!keep) ResumeReceiving();
}

void CSocket::GetData(Variant& varData, std::optional<int32_t> varType, std::optional<int32_t> maxLen) {
    RunAs(*this, "CSocket.GetData", [&] {
        FetchFromBuffer(varData, false, varType, maxLen);
    });
}

void CSocket::PeekData(Variant& varData, std::optional<int32_t> varType, std::optional<int32_t> maxLen) {
    RunAs(*this, "CSocket.PeekData", [&] {
        FetchFromBuffer(varData, true, varType, maxLen);
    });
}

// ---- Sending ----

void CSocket::SendData(const Variant& varData) {
    RunAs(*this, "CSocket.SendData", [&] {
        // Its counts (bytesSent, bytesRemaining) are Longs: more is refused before
        // anything is sent or replaced. Only text and byte arrays can be that long.
        const auto* text = std::get_if<std::string>(&varData);
        const auto* array = std::get_if<ByteArray>(&varData);
        const size_t length = text != nullptr ? text->size() : array != nullptr ? array->size() : 0;
        if (length > detail::BufferLimit()) throw RuntimeError(kOverflow, "CSocket.SendData");
        try {
            if (!HandlesStream()) {
                // A datagram needs no connection: its socket is made when first needed.
                if (!EnsureSocket()) return;
            } else if (m_socketHandle == -1) {
                throw RuntimeError(kWrongProtocolOrState, "CSocket.SendData");
            }
            std::string bytes;
            AppendBytes(varData, bytes);
            m_sendBuffer = std::move(bytes);  // replaces whatever still waited
            m_sendHead = 0;
            m_sendPending = true;
            SendPendingData();
        } catch (const SocketError& e) {
            // A handle that is no socket any more: the object is in the wrong state to send.
            if (e.Number() == platform::WSAENOTSOCK) throw RuntimeError(kWrongProtocolOrState, "CSocket.SendData");
            throw;
        }
    });
}

void CSocket::SendPendingData() {
    const size_t count = SendWaiting();
    m_sendPending = true;
    int32_t result = 0;
    if (count > 0) {
        const char* bytes = m_sendBuffer.data() + m_sendHead;
        const int length = static_cast<int>(std::min<size_t>(count, INT_MAX));
        if (HandlesStream()) {
            result = SendWhatIsTaken(bytes, length);
        } else if (!m_remoteHostIP.empty()) {
            const sockaddr_in to = AddressRecord(platform::inet_addr(m_remoteHostIP.c_str()), m_remotePort);
            result = platform::sendto(m_socketHandle, bytes, length, 0, reinterpret_cast<const sockaddr*>(&to),
                                      sizeof to);
        } else {
            // Only a name is known: resolve it first; the completion sends.
            m_afterLookup = AfterLookup::SendDatagram;
            m_lookupHandle = MS::ResolveHost(m_remoteHost, Self());
            if (m_lookupHandle == 0) {
                if (const auto& left = MS::LastError()) throw *left;
                throw WinsockError(platform::WSAENOBUFS, "CSocket.SendData");
            }
        }
    }
    if (result == platform::SOCKET_ERROR) {
        const int code = platform::WSAGetLastError();
        if (code == platform::WSAEWOULDBLOCK) return;  // the next write notification goes on
        throw WinsockError(code, "CSocket.SendData");
    }
    if (static_cast<size_t>(result) < count) {
        m_sendHead += static_cast<size_t>(result);
    } else {
        m_sendBuffer.clear();
        m_sendHead = 0;
        PostWriteNotice();
    }
    Raise(OnSendProgress, result, static_cast<int32_t>(SendWaiting()));
}

int32_t CSocket::SendWhatIsTaken(const char* bytes, int length) {
    // Windows owes a write notification only after a send failed with 10035, not after
    // one that took part of the bytes: stopping at a short send would wait for ever.
    // So a short send is followed at once by another, until everything went or the
    // socket refuses with 10035, which makes the notification owed.
    int sent = 0;
    while (sent < length) {
        const int n = platform::send(m_socketHandle, bytes + sent, length - sent, 0);
        if (n == platform::SOCKET_ERROR) {
            if (sent == 0) return platform::SOCKET_ERROR;
            // Part went: report it now. A refusal with 10035 is followed by the write
            // notification; any other failure surfaces when our own notice tries again.
            if (platform::WSAGetLastError() != platform::WSAEWOULDBLOCK) PostWriteNotice();
            break;
        }
        if (n == 0) {
            PostWriteNotice();  // took nothing, refused nothing: nothing else would go on
            break;
        }
        sent += n;
    }
    return sent;
}

void CSocket::PostWriteNotice() {
    // Posted as the socket's own notifications are: OnSendComplete comes from the loop,
    // after OnSendProgress and whatever its handler does.
    platform::PostMessageA(MS::NotifyWindow(), MS::WinsockMessage(), static_cast<platform::WPARAM>(m_socketHandle),
                           platform::FD_WRITE);
}

// ---- Serving ----

void CSocket::Bind(int32_t lngLocalPort, const std::string& strLocalIP) {
    RunAs(*this, "CSocket.Bind", [&] {
        if (!EnsureSocket()) return;
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
    });
}

void CSocket::Listen() {
    RunAs(*this, "CSocket.Listen", [&] {
        if (!EnsureSocket()) return;
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
        // A socket this object still holds (a listener accepting onto itself) would stay
        // open and registered with nobody to close it: let it go first.
        if (m_socketHandle != -1 && m_socketHandle != requestID) DestroySocket();
        m_socketHandle = requestID;
        sockaddr_in address{};
        int length = sizeof address;
        if (platform::getsockname(requestID, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            m_localPort = PortOf(address);
            m_localIP = DottedText(address.sin_addr);
            m_localHostName = m_localIP;
        }
        length = sizeof address;
        if (platform::getpeername(requestID, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            m_remotePort = PortOf(address);
            m_remoteHostIP = DottedText(address.sin_addr);
            m_remoteHost = m_remoteHostIP;
        }
        int32_t type = 0;
        length = sizeof type;
        if (platform::getsockopt(requestID, platform::SOL_SOCKET_W, platform::SO_TYPE_W,
                                 reinterpret_cast<char*>(&type), &length) != platform::SOCKET_ERROR) {
            m_protocol = type == SOCK_STREAM ? SocketProtocol::Tcp : SocketProtocol::Udp;
        }
        ReadBufferSizes();
        if (MS::RegisterSocket(requestID, Self())) m_state = SocketState::Connected;
    });
}

}  // namespace inet
