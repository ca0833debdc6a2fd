// CSocket: one TCP or UDP socket, client or server, driven by notifications.
//
// A host makes an object with Create(), sets its properties, calls its operations
// and assigns handlers to the events it wants. Everything happens on the thread
// that pumps the message loop (platform/MessageLoop.h); events are raised
// synchronously from inside the operation or notification that causes them, and a
// handler may call back into the object or drop the host's last reference to it.
//
// States: Closed -> (Connect with a name) ResolvingHost -> HostResolved ->
// Connecting -> Connected -> (CloseSocket) Closing -> (peer's close) Closed.
// Listen gives Listening; a failed lookup, listen or notification gives Error.
//
// Every operation but CloseSocket raises inet::SocketError with the operation's own
// source ("CSocket.GetData"; Connect uses "CSocket.CSocket.Connect"). Failures found
// later arrive as OnError. The object is not copyable.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>

#include "inet/cSocket/NotificationTarget.h"
#include "inet/cSocket/SocketError.h"
#include "inet/cSocket/Variant.h"

namespace inet {

enum class SocketState : int32_t { Closed = 0, Listening = 2, ResolvingHost = 4, HostResolved = 5,
                                   Connecting = 6, Connected = 7, Closing = 8, Error = 9 };
enum class SocketProtocol : int32_t { Tcp = 0, Udp = 1 };

// Their names, for test output ("Closing" rather than 8); a value outside the
// enumeration prints as its number.
void PrintTo(SocketState state, std::ostream* out);
void PrintTo(SocketProtocol protocol, std::ostream* out);

// The handler type of CSocket::OnError.
using ErrorHandler = std::function<void(int16_t Number, std::string& Description, int32_t Scode,
                                        const std::string& Source, const std::string& HelpFile,
                                        int32_t HelpContext, bool& CancelDisplay)>;

class CSocket final : public std::enable_shared_from_this<CSocket>, private NotificationTarget {
    struct Token {};  // only Create can make one

public:
    // Starts the socket service if needed; throws SocketError when it cannot start.
    static std::shared_ptr<CSocket> Create();
    explicit CSocket(Token);
    // Closes a socket still open, without shutdown and without events; never throws.
    ~CSocket();

    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;

    // ---- Host operations ----

    // "Send data to remote computer"
    void SendData(const Variant& varData);
    // "Look at incoming data without removing it from the buffer"
    void PeekData(Variant& varData, std::optional<int32_t> varType = std::nullopt,
                  std::optional<int32_t> maxLen = std::nullopt);
    // "Listen for incoming connection requests"
    void Listen();
    // "Retrieve data sent by the remote computer"
    void GetData(Variant& varData, std::optional<int32_t> varType = std::nullopt,
                 std::optional<int32_t> maxLen = std::nullopt);
    // The same two operations with a named type code: GetData(text, VarType::String).
    void GetData(Variant& varData, VarType varType, std::optional<int32_t> maxLen = std::nullopt) {
        GetData(varData, static_cast<int32_t>(varType), maxLen);
    }
    void PeekData(Variant& varData, VarType varType, std::optional<int32_t> maxLen = std::nullopt) {
        PeekData(varData, static_cast<int32_t>(varType), maxLen);
    }
    // "Connect to the remote computer"
    void Connect(const std::optional<std::string>& strRemoteHost = std::nullopt,
                 const std::optional<Variant>& lngRemotePort = std::nullopt);
    // "Close current connection"
    void CloseSocket();
    // "Binds socket to specific port and adapter"
    void Bind(int32_t lngLocalPort = 0, const std::string& strLocalIP = "");
    // "Accept an incoming connection request"
    // A socket the object still holds (its listener, say) is closed first.
    void Accept(int32_t requestID);

    // ---- Properties ----

    SocketState    State() const { return m_state; }
    // "Returns the socket handle"
    int32_t        SocketHandle() const { return m_socketHandle; }
    // "Returns/Sets the port to be connected to on the remote computer"
    int32_t        RemotePort() const { return m_remotePort; }
    void           SetRemotePort(int32_t NewValue) { m_remotePort = NewValue; }
    // "Returns the remote host IP address"
    std::string    RemoteHostIP() const { return m_remoteHostIP; }
    // "Returns/Sets the name used to identify the remote computer"
    std::string    RemoteHost() const { return m_remoteHost; }
    void           SetRemoteHost(const std::string& NewValue);
    // "Returns/Sets the socket protocol"
    SocketProtocol Protocol() const { return m_protocol; }
    void           SetProtocol(SocketProtocol NewValue);
    // "Returns/Sets the port used on the local computer"
    int32_t        LocalPort() const { return m_localPort; }
    void           SetLocalPort(int32_t NewValue) { m_localPort = NewValue; }
    // "Returns the local machine IP address"
    std::string    LocalIP() const { return m_localIP; }
    // "Returns the local machine name"
    std::string    LocalHostName() const { return m_localHostName; }
    // "Returns the number of bytes received on this connection"
    int32_t        BytesReceived() const { return m_bytesReceived; }

    // ---- Events: assign a handler to the ones you want; an empty one is not raised ----

    // "Occurs when the connection has been closed"
    std::function<void()> OnClose;
    // "Occurs connect operation is completed"
    std::function<void()> OnConnect;
    // A listening socket accepted a connection; pass requestID to Accept on the object
    // that is to own it.
    std::function<void(int32_t requestID)> OnConnectionRequest;
    // Data was read into the receive buffer, which now holds bytesTotal bytes.
    std::function<void(int32_t bytesTotal)> OnDataArrival;
    // A failure found outside any host operation (Source is empty for a failed lookup
    // or notification).
    ErrorHandler OnError;
    // Everything that SendData was given has been sent.
    std::function<void()> OnSendComplete;
    // A send call took bytesSent bytes; bytesRemaining still wait.
    std::function<void(int32_t bytesSent, int32_t bytesRemaining)> OnSendProgress;

private:
    // Entry points for the support module.
    void PostSocketEvent(int32_t eventCode, int32_t errorCode) override;
    void PostGetHostEvent(int32_t lookupHandle, uint32_t address, const std::string& hostName,
                          int32_t errorCode) override;

    int32_t vbSocket();
    bool    EnsureSocket();
    void    ReadBufferSizes();
    void    DestroySocket();
    int32_t RecvToBuffer();
    void    FetchFromBuffer(Variant& varData, bool keep, std::optional<int32_t> varType,
                            std::optional<int32_t> maxLen);
    // Both buffers stay within the largest Long (BufferLimit.h), so their counts fit.
    int32_t ReceivedLength() const { return static_cast<int32_t>(m_receiveTail - m_receiveHead); }
    size_t  SendWaiting() const { return m_sendBuffer.size() - m_sendHead; }
    // The size of one receive.
    int32_t ReceiveSize() const;
    // Whether the receive buffer has room for the next receive.
    bool    CanReceive() const;
    // The host took data: a read or close put off while the buffer was full goes on.
    void    ResumeReceiving();
    void    EmptyReceiveBuffer(bool release);
    void    SendPendingData();
    int32_t ConnectTo(uint32_t address);       // the connect call; 0 or the Windows Sockets error
    // Sends until everything went or the socket refuses; the bytes taken, or SOCKET_ERROR.
    int32_t SendWhatIsTaken(const char* bytes, int length);
    // A write notification posted to itself: the completion once everything was sent,
    // or the next try after a send that stopped short with nothing owed.
    void    PostWriteNotice();
    void    RaiseError(int32_t number, const std::string& source);
    void    ReadLocalAddress();
    std::weak_ptr<NotificationTarget> Self();

    // The protocol decides two things apart: which socket is made (only Udp makes a
    // datagram socket) and how its data is handled (only Tcp as a stream). A value
    // outside the enumeration therefore makes a stream socket whose data is sized,
    // received and sent as datagrams are.
    bool MakesDatagramSocket() const { return m_protocol == SocketProtocol::Udp; }
    bool HandlesStream() const { return m_protocol == SocketProtocol::Tcp; }

    // What the completion of the object's host lookup goes on with.
    enum class AfterLookup { Connect, SendDatagram };

    // What each notification touches comes first, close together: a server's objects
    // are mostly cold.
    SocketProtocol m_protocol = SocketProtocol::Tcp;
    SocketState    m_state = SocketState::Closed;
    int32_t        m_socketHandle = -1;
    int32_t        m_bytesReceived = 0;
    int32_t        m_putOff = 0;              // FD_READ or FD_CLOSE put off while the buffer is full
    int32_t        m_receiveBufferSize = 0;
    // Bytes not yet taken lie in [m_receiveHead, m_receiveTail); the string's room
    // beyond the tail is kept for the next receive, so small arrivals reuse it.
    std::string    m_receiveBuffer;
    size_t         m_receiveHead = 0;
    size_t         m_receiveTail = 0;
    size_t         m_readHint = 0;            // twice the last stream receive: the next one's room
    std::string    m_sendBuffer;              // bytes still to send, from m_sendHead on
    size_t         m_sendHead = 0;
    bool           m_sendPending = false;

    AfterLookup    m_afterLookup = AfterLookup::Connect;
    std::string    m_localHostName;
    std::string    m_localIP;
    int32_t        m_localPort = 0;
    std::string    m_remoteHost;
    std::string    m_remoteHostIP;
    int32_t        m_remotePort = 0;
    int32_t        m_lookupHandle = 0;
    int32_t        m_maxDatagramSize = 0;
    bool           m_bound = false;
    bool           m_broadcast = false;
};

}  // namespace inet
