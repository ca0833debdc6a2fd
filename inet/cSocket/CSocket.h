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
#include "inet/cSocket/ReceiveBuffer.h"
#include "inet/cSocket/SendQueue.h"
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
    int32_t        BytesReceived() const { return static_cast<int32_t>(m_received.Length()); }

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

    // ---- The socket ----
    int32_t vbSocket();                        // a new registered socket; raises why there is none
    void    EnsureSocket();                    // a socket to use, made if needed; raises why there is none
    void    ReadBufferSizes();
    void    DestroySocket();
    // The object lets go of its socket: a connection with bytes still waiting is
    // finished without it, any other is closed.
    void    LetGo();
    // A lookup still running is forgotten: its completion reaches nobody.
    void    ForgetLookup();

    // ---- Receiving ----
    int32_t RecvToBuffer();                    // one receive; its count, or SOCKET_ERROR
    void    FetchFromBuffer(Variant& varData, bool keep, std::optional<int32_t> varType,
                            std::optional<int32_t> maxLen);
    size_t  ReceiveSize() const;               // the size of one receive
    bool    CanReceive() const { return m_received.HasRoom(!HandlesStream(), ReceiveSize()); }
    // The host took data: a read or close put off while the buffer was full goes on.
    void    ResumeReceiving();

    // ---- Sending ----
    void    SendPendingData();                 // sends what waits, from a notification
    void    SendWaitingDatagrams();
    int32_t SendDatagram(std::string_view datagram);  // 0, or the error of sendto
    void    StartDatagramLookup();
    // What a send took is gone from the queue: the completion is owed once none waits.
    void    AfterSend(size_t taken);
    // Bytes that can no longer go are dropped; true when there were any.
    bool    GiveUpWaiting();
    // A notification of the object's own, posted as the socket's are so that it comes
    // from the loop: the send's completion (FD_WRITE), the rest of a send that stopped
    // short with nothing owed (kSendTheRest), or a failed send's end of the connection.
    void    PostNotice(int32_t event, int32_t error = 0);

    // ---- Connecting and endings ----
    int32_t ConnectTo(uint32_t address);       // the connect call; 0 or the Windows Sockets error
    void    ReadLocalAddress();                // after a connect: the address, and its name
    void    ReadBoundAddress();                // once bound: the address the socket has
    // The connection failed (a reset, or a send that could not go): the socket goes,
    // State is Error, and the host hears of it.
    void    EndConnection(int32_t error);
    // The peer's close, once what it sent has been handed over and what waited has gone.
    void    FinishClose();
    // OnError, with the number's own text unless a description is given.
    void    RaiseError(int32_t number, const std::string& source, std::string description = {});
    // Runs an entry point of the support module: the object stays alive until it
    // returns, and a failure of its own reaches the host as OnError under `source`.
    template <typename Body>
    void    RunAsNotification(const char* source, Body&& body);
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
    int32_t        m_receiveBufferSize = 0;
    uint32_t       m_connection = 0;          // counts the object's sockets: a handler that started anew is seen
    detail::ReceiveBuffer m_received;
    detail::SendQueue     m_sendQueue;
    bool           m_sendPending = false;     // bytes were handed over: OnSendComplete is due once none waits
    bool           m_completionPosted = false;
    bool           m_sendClosed = false;      // CloseSocket: no more sends; the stream ends once what waits went
    bool           m_peerClosed = false;      // the peer closed while bytes waited: the end comes once they went

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
    bool           m_localKnown = false;      // the socket's own address has been read
};

}  // namespace inet
