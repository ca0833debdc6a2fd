// SPDX-License-Identifier: MIT
// CSocket: one TCP or UDP socket, client or server, driven by notifications.
//
// A host makes an object with Create(), sets its properties, calls its operations
// and assigns handlers to the events it wants. Everything happens on the thread that
// pumps the message loop (platform/MessageLoop.h): events are raised synchronously
// from inside the operation or the notification that causes them, and a handler may
// call back into the object or drop the host's last reference to it. The component
// speaks IPv4 only.
//
// What a host may rely on:
//   * Every byte handed to SendData reaches the peer once and in order, or the host
//     is told it did not: SendData raises (and then sends nothing of its call), or
//     OnError comes.
//   * Every byte announced by OnDataArrival stays readable until the host takes it
//     (GetData), closes the socket itself (CloseSocket), starts the object on a new
//     connection (Connect, Listen, Accept) or ends the object: also after the peer's
//     close or a reset. BytesReceived is always what GetData can still return.
//   * Every connection ends with one event, OnClose or OnError, unless the host closes
//     it first and the peer never answers, or the object ends.
//   * Every failure reaches the host: an operation raises inet::SocketError under its
//     own source ("CSocket.GetData"; Connect uses "CSocket.CSocket.Connect"), and a
//     failure found later comes as OnError. Only CloseSocket never raises.
//   * What a handler throws leaves PumpMessages or RunMessageLoop as it was thrown,
//     with the object in order; the loop can be pumped again.
//
// States:
//   Closed -(Connect, a name)-> ResolvingHost -> HostResolved -> Connecting
//   Closed -(Connect, an address)-> Connecting -> Connected
//   Connected -(CloseSocket)-> Closing -(the peer's close)-> Closed, OnClose
//   Connected -(the peer's close)-> Closed, OnClose (Closing first while what waits
//       to be sent still goes)
//   any -(reset, refusal, failed lookup or send)-> Error, OnError
//   Closed -(Listen)-> Listening; Closed -(Accept)-> Connected
//   any -(CloseSocket, but while Connected)-> Closed, at once and without an event
//
// The object is not copyable.
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

// The handler type of CSocket::OnError: see there.
using ErrorHandler = std::function<void(int16_t Number, std::string& Description, int32_t Scode,
                                        const std::string& Source, const std::string& HelpFile,
                                        int32_t HelpContext, bool& CancelDisplay)>;

class CSocket final : public std::enable_shared_from_this<CSocket>, private NotificationTarget {
    struct Token {};  // only Create can make one

public:
    // A new object: Closed, TCP, no socket. Starts the socket service if it is not
    // running; raises the service's failure (source "MSocketSupport.InitWinsockService").
    // The service keeps running while any object lives.
    static std::shared_ptr<CSocket> Create();
    explicit CSocket(Token);
    // Ends the object without events and without raising. Bytes that still wait to be
    // sent on a connection go all the same, and the stream ends after them; any other
    // socket is closed at once. A lookup still running is forgotten.
    ~CSocket();

    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;

    // ---- Host operations ----

    // "Send data to remote computer"
    //
    // Sends the value in its byte layout (Variant.h): text and byte arrays as they are,
    // numbers little-endian; an empty value sends nothing. The bytes join the end of
    // what still waits to be sent, one queue per object; what the socket takes now goes
    // now, the rest when it has room. OnSendProgress(bytesSent, bytesRemaining) follows
    // each send (raised inside this call for what went at once), bytesRemaining counting
    // everything that waits; OnSendComplete comes from the loop once nothing waits.
    //
    // TCP: needs a connection. With no socket raises 40006, while still connecting
    // 10057, after CloseSocket 10058. UDP: each call is one datagram, to RemoteHostIP
    // (or RemoteHost, looked up first) and RemotePort; the socket is made and bound on
    // first use. Datagrams that wait (for the lookup or for room) go later, in order,
    // each whole.
    //
    // Raises 6 when what would wait in all passes 2^31-1 bytes, or the port is outside
    // 0..65535; the send's own error otherwise (10054 a reset, 10040 a datagram too
    // large, 10055 no buffers). A call that raises has sent nothing of its bytes and
    // never will. A send that fails for good later ends the connection as a reset
    // would: OnError, State Error. A raise that says the connection is gone (10054)
    // is followed by that OnError too.
    void SendData(const Variant& varData);
    // "Look at incoming data without removing it from the buffer"
    //
    // As GetData, but the bytes stay in the buffer and BytesReceived is unchanged.
    void PeekData(Variant& varData, std::optional<int32_t> varType = std::nullopt,
                  std::optional<int32_t> maxLen = std::nullopt);
    // "Listen for incoming connection requests"
    //
    // Binds the socket first if Bind has not (to LocalPort and LocalIP, or to every
    // interface and a port of the system's choice), then listens: State Listening, and
    // LocalPort/LocalIP tell the address it listens on. Each client that connects then
    // raises OnConnectionRequest. Starts anew after CloseSocket. Raises the failure of
    // the bind (10048 the port is taken) or of the listen (10045 on UDP; State Error).
    void Listen();
    // "Retrieve data sent by the remote computer"
    //
    // Takes data from the front of the receive buffer into varData, as the value of
    // type code varType (VarType; absent or 0 means text):
    //   * maxLen absent, 0, negative, or more than the buffer holds: the whole buffer;
    //     otherwise the first maxLen bytes.
    //   * A fixed-width type (Integer 2 bytes, Long and Single 4, Double, Currency and
    //     Date 8, Boolean 2, Byte 1) reads its width from the front of the part taken;
    //     missing high bytes read as zero. Without maxLen it still takes the whole
    //     buffer: to read several values, pass each one's width as maxLen.
    //   * A type code with no layout leaves varData as it was; the part is taken all
    //     the same.
    //   * An empty buffer leaves varData as it was.
    // The part is taken before the type is looked at. Taking data lets reading go on
    // when the buffer was full. Raises only what converting the value raises.
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
    //
    // Connects to strRemoteHost (kept as RemoteHost when given and not empty) on
    // lngRemotePort (kept as RemotePort when it is numeric: a number, or a text that
    // reads as one; anything else is ignored). A dotted address is connected at once
    // (State Connecting); a name is looked up first (ResolvingHost, then HostResolved
    // with RemoteHost the official name). OnConnect follows once the connection is
    // made, with RemoteHostIP the address connected to; a refusal or a failed lookup
    // gives OnError and State Error.
    //
    // A connection still closing after CloseSocket is let go: what waited on it still
    // goes, without the object. A lookup still running is forgotten. Raises at once,
    // before any lookup: 10049 with no host, or port 0; 6 for a port outside 0..65535;
    // the connect's own error (10056 when already connected); 10024 or 10055 when no
    // socket can be made.
    void Connect(const std::optional<std::string>& strRemoteHost = std::nullopt,
                 const std::optional<Variant>& lngRemotePort = std::nullopt);
    // "Close current connection"
    //
    // Connected: sends what still waits, then ends the stream; State Closing until the
    // peer closes too, then Closed and OnClose. Data the peer still sends meanwhile
    // arrives as usual. If what waits cannot go, OnError says so.
    // Any other state: closes the socket at once, State Closed, no event; what the
    // buffer held is discarded. Datagrams still waiting to go are dropped, and OnError
    // (10053, source "CSocket.CloseSocket") says so.
    // Either way a lookup still running is forgotten. Never raises.
    void CloseSocket();
    // "Binds socket to specific port and adapter"
    //
    // Binds to lngLocalPort (kept as LocalPort when above 0) and strLocalIP (kept as
    // LocalIP when not empty); with neither, to the stored LocalPort and LocalIP, or to
    // every interface and a port of the system's choice. LocalPort and LocalIP then tell
    // the address bound. Raises 10022 for an address that does not parse (and for a
    // socket bound already), 10048 for a port taken, 6 for a port outside 0..65535.
    void Bind(int32_t lngLocalPort = 0, const std::string& strLocalIP = "");
    // "Accept an incoming connection request"
    //
    // Adopts the connection that OnConnectionRequest offered as requestID: State
    // Connected, addresses filled in, no OnConnect. Only a request still waiting can be
    // adopted, inside its OnConnectionRequest: a request no object adopts by the end of
    // that event is closed. A socket the object still held (a listener accepting onto
    // itself) is let go first. Raises 10038 for -1 (a request that failed) and 10022
    // for any number that is not a request waiting (one adopted already, or a socket
    // that is not the component's); the object then keeps what it had.
    void Accept(int32_t requestID);

    // ---- Properties ----

    SocketState    State() const { return m_state; }
    // "Returns the socket handle"
    // The system's socket (on Windows narrowed to 32 bits); -1 when there is none.
    int32_t        SocketHandle() const { return m_socketHandle; }
    // "Returns/Sets the port to be connected to on the remote computer"
    // Any value is stored; Connect and SendData check it. A datagram's sender sets it.
    int32_t        RemotePort() const { return m_remotePort; }
    void           SetRemotePort(int32_t NewValue) { m_remotePort = NewValue; }
    // "Returns the remote host IP address"
    // The dotted address connected to, looked up, set or (UDP) last received from.
    std::string    RemoteHostIP() const { return m_remoteHostIP; }
    // "Returns/Sets the name used to identify the remote computer"
    // Setting a dotted address sets RemoteHostIP too; on UDP it makes the socket, and an
    // address ending in .255 switches broadcasting on (raises the option's failure, or
    // why no socket could be made, under "CSocket.RemoteHost").
    std::string    RemoteHost() const { return m_remoteHost; }
    void           SetRemoteHost(const std::string& NewValue);
    // "Returns/Sets the socket protocol"
    // Changes only while the object has no socket; otherwise the setting is ignored.
    SocketProtocol Protocol() const { return m_protocol; }
    void           SetProtocol(SocketProtocol NewValue);
    // "Returns/Sets the port used on the local computer"
    // The port Bind and Listen use; once the socket is bound, the port it has.
    int32_t        LocalPort() const { return m_localPort; }
    void           SetLocalPort(int32_t NewValue) { m_localPort = NewValue; }
    // "Returns the local machine IP address"
    // The address the socket is bound to ("0.0.0.0" for every interface).
    std::string    LocalIP() const { return m_localIP; }
    // "Returns the local machine name"
    // The name of the local address of a connection made by Connect, or that address.
    std::string    LocalHostName() const { return m_localHostName; }
    // "Returns the number of bytes received on this connection"
    // The bytes waiting in the receive buffer: what GetData can still return.
    int32_t        BytesReceived() const { return static_cast<int32_t>(m_received.Length()); }

    // ---- Events: assign a handler to the ones you want; an empty one is not raised ----
    //
    // A handler may call back into the object, replace or clear itself, or drop the
    // host's last reference to the object. What it throws leaves the pump.

    // "Occurs when the connection has been closed"
    // The peer closed and everything it sent has been announced: State Closed, no
    // socket; what was not taken is still readable. Comes after the host's CloseSocket
    // too, once the peer closes. Calling CloseSocket in it is harmless and not needed.
    std::function<void()> OnClose;
    // "Occurs connect operation is completed"
    // State Connected; LocalPort, LocalIP and LocalHostName are filled in.
    std::function<void()> OnConnect;
    // A listener accepted a connection: pass requestID to Accept on the object that is
    // to own it, before the handler returns; otherwise it is closed. -1 when accepting
    // failed (out of descriptors, say): the listener then rests and serves the clients
    // that waited once it can.
    std::function<void(int32_t requestID)> OnConnectionRequest;
    // Data was read into the receive buffer, which now holds bytesTotal bytes (also
    // what BytesReceived says). A datagram's sender is in RemoteHost, RemoteHostIP and
    // RemotePort; datagrams read whole, one per event, keep their boundaries only if
    // each is taken before the next arrives.
    std::function<void(int32_t bytesTotal)> OnDataArrival;
    // A failure found outside any host operation. Number: the error (Windows Sockets
    // codes, 6 overflow, 7 out of memory); Description: its text (the handler may
    // change it; nothing reads it back); Scode: 0; Source: "" when the connection
    // ended (a reset, a refusal, a failed lookup, a send that failed for good: State
    // Error, no socket), else the routine that failed while the connection goes on
    // ("CSocket.PostSocketEvent" for a failed receive, "CSocket.SendData" for a
    // datagram that could not go, "CSocket.CloseSocket" for bytes a closing connection
    // could not send); HelpFile "", HelpContext 0; CancelDisplay false, not read back.
    ErrorHandler OnError;
    // Everything SendData was given has been sent: raised from the loop once the queue
    // is empty, after the last OnSendProgress. A queue that empties again before it
    // comes is told by the same one; one that fills again is told when it empties.
    std::function<void()> OnSendComplete;
    // The socket took bytesSent more bytes; bytesRemaining still wait in the queue.
    // Raised inside SendData for what goes at once, and from the loop for the rest.
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
    // The object no longer has its socket (closed, or handed on): what belonged to it goes.
    void    ForgetSocket();
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
    // from the loop: the send's completion, the rest of a send that stopped short with
    // nothing owed, a read or close put off, or a failed send's end of the connection.
    void    PostNotice(int32_t event, int32_t error = 0);

    // ---- Connecting and endings ----
    int32_t ConnectTo(uint32_t address);       // the connect call; 0 or the Windows Sockets error
    bool    ReadOwnAddress(uint32_t& address);  // LocalPort and LocalIP from the socket; false on failure
    void    ReadLocalAddress();                // after a connect: the address, and its name
    void    ReadBoundAddress();                // once bound: the address the socket has, read once
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
