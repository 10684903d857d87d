#pragma once
// Sockets service: IPv4 TCP sockets for the network transports of the port
// layer. SocketSetNonBlocking makes a socket non-blocking; accepted sockets are
// non-blocking from the start. On such sockets no call waits.
//
// Every function returns 0 on success or an errno value; 0 is never an error.
// "Nothing yet" results are errno values too: EAGAIN from SocketAccept,
// SocketReceive and SocketSend (EWOULDBLOCK is reported as EAGAIN), EINPROGRESS
// from SocketConnect. Addresses are in network byte order, ports in host order.

#include <cstdint>

// Every local IPv4 address (0.0.0.0), for a listener; the same in any byte order.
constexpr uint32_t SocketAnyAddress = 0;

// Parses dotted-decimal IPv4 text ("192.168.0.10"); never looks a host name up.
// EINVAL when the text is no address.
int SocketParseAddress(const char* text, uint32_t* address);

// A new IPv4 stream socket for TCP, closed on exec.
int SocketCreateTcp(int32_t* socket);

int SocketSetNonBlocking(int32_t socket);

// Keep-alive with the system's probe times.
int SocketSetKeepAlive(int32_t socket);

// Keep-alive with the first probe after idleSeconds of silence and further
// probes every intervalSeconds.
int SocketSetKeepAliveTimes(int32_t socket, uint32_t idleSeconds, uint32_t intervalSeconds);

// Small writes leave at once instead of waiting to be merged.
int SocketSetNoDelay(int32_t socket);

// What arrives is acknowledged at once instead of after the system's delay
// (up to about 40 ms on Linux): a server that leaves Nagle on holds its next
// small segment until then. Linux drops the setting by itself, so call it
// when the connection stands and after every receive that brought data;
// Windows keeps it (an acknowledgement for every segment), so the repeats
// change nothing there.
int SocketAckAtOnce(int32_t socket);

// A listening socket may bind its port again while old connections on it
// linger in TIME_WAIT; two live listeners on one port are still refused.
int SocketSetReuseAddress(int32_t socket);

// Starts a connection. 0: connected at once; EINPROGRESS: under way (test it
// with SocketConnectDone); EISCONN: the socket was already connected.
int SocketConnect(int32_t socket, uint32_t address, uint16_t port);

// Tests without waiting whether a connection under way has ended. *done is
// false while it is still under way. When it has ended, the result is 0 for an
// established connection and the connection's error (from SO_ERROR) for a
// failed one.
int SocketConnectDone(int32_t socket, bool* done);

// True when a connected socket is connected to itself (both ends share an
// address and port): an attempt at a free local port can end that way.
bool SocketIsSelfConnected(int32_t socket);

int SocketBind(int32_t socket, uint32_t address, uint16_t port);
int SocketListen(int32_t socket, int backlog);

// The local port a socket is bound to (the port the system chose for port 0).
int SocketLocalPort(int32_t socket, uint16_t* port);

// Takes one waiting connection, made non-blocking and closed on exec.
// EAGAIN when none is waiting.
int SocketAccept(int32_t listener, int32_t* accepted);

// Number of received bytes waiting to be read.
int SocketQueued(int32_t socket, uint32_t* count);

// Reads at most size bytes (size > 0). 0 with *got == 0 means the peer has
// closed the connection; EAGAIN means nothing is waiting.
int SocketReceive(int32_t socket, uint8_t* buffer, uint32_t size, uint32_t* got);

// Sends once, never raising SIGPIPE: a peer that went away gives EPIPE or
// ECONNRESET. *sent may be less than count when the send buffer is full.
int SocketSend(int32_t socket, const uint8_t* data, uint32_t count, uint32_t* sent);

// Shuts the socket down in both directions and closes it; a negative socket is
// ignored.
void SocketClose(int32_t socket);

// Looks a host name up, IPv4 only, and gives its first address; waits at most
// timeoutMs for the system's resolver (ETIMEDOUT then). Text that reads as an
// address in any numeric form ("127.1", "0x7f.0.0.1") is no host name and is
// refused with EINVAL, so that it never reaches another address than the one
// it seems to name. ENOENT: no such host (or none with an IPv4 address);
// EAGAIN: the resolver could not be asked now; EIO: it failed otherwise. The
// resolver's own code and words are those SystemErrorOf gives.
int SocketResolve(const char* host, uint32_t timeoutMs, uint32_t* address);
