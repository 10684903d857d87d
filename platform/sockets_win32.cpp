#include "platform/sockets.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "platform/sockets_endpoint.h"
#include "platform/system_error_win32.h"

namespace {

// Socket handles fit in 32 bits on 64-bit Windows as well.
SOCKET Sock(int32_t socket) { return static_cast<SOCKET>(static_cast<uint32_t>(socket)); }

// Winsock's codes in the errno terms the service promises.
int ErrnoOf(int error) {
  switch (error) {
    case 0: return 0;
    case WSAEWOULDBLOCK: return EAGAIN;
    case WSAEINPROGRESS: return EINPROGRESS;
    case WSAEALREADY: return EALREADY;
    case WSAEISCONN: return EISCONN;
    case WSAENOTCONN: return ENOTCONN;
    case WSAECONNREFUSED: return ECONNREFUSED;
    case WSAECONNRESET: return ECONNRESET;
    case WSAECONNABORTED: return ECONNABORTED;
    case WSAESHUTDOWN: return EPIPE;
    case WSAETIMEDOUT: return ETIMEDOUT;
    case WSAEADDRINUSE: return EADDRINUSE;
    case WSAEADDRNOTAVAIL: return EADDRNOTAVAIL;
    case WSAENETUNREACH: return ENETUNREACH;
    case WSAEHOSTUNREACH: return EHOSTUNREACH;
    case WSAENETDOWN: return ENETDOWN;
    case WSAEACCES: return EACCES;
    case WSAEINVAL: return EINVAL;
    case WSAEFAULT: return EFAULT;
    case WSAEMFILE: return EMFILE;
    case WSAENOBUFS: return ENOBUFS;
    case WSAENOTSOCK: return EBADF;
    case WSAEINTR: return EINTR;
    case WSANOTINITIALISED: return ENETDOWN;
    default: return EIO;
  }
}

int Noted(int code) { return SystemErrorNote(static_cast<DWORD>(code), ErrnoOf(code)); }

int LastErrno() { return Noted(WSAGetLastError()); }

int Result(int r) { return r == SOCKET_ERROR ? LastErrno() : 0; }

int SetIntOption(int32_t socket, int level, int option, int value) {
  return Result(setsockopt(Sock(socket), level, option, reinterpret_cast<const char*>(&value), sizeof value));
}

// Winsock 2.2 is started once, at the first socket, and stays up until the
// process ends: the service has no call that would end it.
bool WinsockStarted() {
  static const bool started = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

// A socket is not handed down to programs this process starts.
void NotInherited(SOCKET s) { SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0); }

// Dotted decimal only: four numbers 0-255 of decimal digits.
bool DottedQuad(const char* text, uint8_t parts[4]) {
  for (int k = 0; k < 4; ++k) {
    if (k > 0 && *text++ != '.') return false;
    int digits = 0;
    uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text, ++digits) {
      value = value * 10 + static_cast<uint32_t>(*text - '0');
      if (value > 255) return false;
    }
    if (digits == 0) return false;
    parts[k] = static_cast<uint8_t>(value);
  }
  return *text == '\0';
}

}  // namespace

int SocketParseAddress(const char* text, uint32_t* address) {
  uint8_t parts[4];
  if (!DottedQuad(text, parts)) return EINVAL;
  in_addr parsed{};
  parsed.S_un.S_un_b = {parts[0], parts[1], parts[2], parts[3]};
  *address = parsed.s_addr;
  return 0;
}

int SocketCreateTcp(int32_t* socket) {
  if (!WinsockStarted()) return ENETDOWN;
  const SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return LastErrno();
  *socket = static_cast<int32_t>(s);
  return 0;
}

int SocketSetNonBlocking(int32_t socket) {
  u_long on = 1;
  return Result(ioctlsocket(Sock(socket), FIONBIO, &on));
}

int SocketSetKeepAlive(int32_t socket) { return SetIntOption(socket, SOL_SOCKET, SO_KEEPALIVE, 1); }

int SocketSetKeepAliveTimes(int32_t socket, uint32_t idleSeconds, uint32_t intervalSeconds) {
  tcp_keepalive values{};
  values.onoff = 1;
  values.keepalivetime = idleSeconds * 1000u;
  values.keepaliveinterval = intervalSeconds * 1000u;
  DWORD returned = 0;
  return Result(WSAIoctl(Sock(socket), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned,
                         nullptr, nullptr));
}

int SocketSetNoDelay(int32_t socket) { return SetIntOption(socket, IPPROTO_TCP, TCP_NODELAY, 1); }

int SocketAckAtOnce(int32_t socket) {
  // Windows has no TCP_QUICKACK; the acknowledgement frequency of one
  // segment (Windows 8 on) has the same effect and stays with the socket.
  // Systems without it (Wine among them) delay acknowledgements as before.
  DWORD frequency = 1;
  DWORD returned = 0;
  return Result(WSAIoctl(Sock(socket), SIO_TCP_SET_ACK_FREQUENCY, &frequency, sizeof frequency, nullptr, 0,
                         &returned, nullptr, nullptr));
}

int SocketSetReuseAddress(int32_t socket) {
  // Windows binds a port whose old connections linger without being asked;
  // its SO_REUSEADDR would instead let a second listener take the port. The
  // exclusive use keeps a second listener out.
  return SetIntOption(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1);
}

int SocketConnect(int32_t socket, uint32_t address, uint16_t port) {
  const sockaddr_in to = SocketEndpoint(address, port);
  if (connect(Sock(socket), reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return 0;
  const int error = WSAGetLastError();
  // A non-blocking attempt under way reads "would block" here, and a second
  // call while it is still under way "already" (or "invalid", as older
  // Windows versions say).
  if (error == WSAEWOULDBLOCK || error == WSAEALREADY || error == WSAEINVAL) return EINPROGRESS;
  return Noted(error);
}

int SocketConnectDone(int32_t socket, bool* done) {
  *done = false;
  fd_set writable, failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(Sock(socket), &writable);
  FD_SET(Sock(socket), &failed);
  timeval now{0, 0};
  const int ready = select(0, nullptr, &writable, &failed, &now);
  if (ready == SOCKET_ERROR) return LastErrno();
  if (ready == 0) return 0;
  *done = true;
  // A failed attempt shows in the exception set, not as writable.
  int pending = 0;
  int size = sizeof pending;
  if (getsockopt(Sock(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending), &size) != 0)
    return LastErrno();
  if (pending != 0) return Noted(pending);
  if (FD_ISSET(Sock(socket), &failed)) return ECONNREFUSED;
  return 0;
}

bool SocketIsSelfConnected(int32_t socket) {
  sockaddr_in local{}, peer{};
  int localSize = sizeof local, peerSize = sizeof peer;
  if (getsockname(Sock(socket), reinterpret_cast<sockaddr*>(&local), &localSize) != 0) return false;
  if (getpeername(Sock(socket), reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0) return false;
  return local.sin_port == peer.sin_port && local.sin_addr.s_addr == peer.sin_addr.s_addr;
}

int SocketBind(int32_t socket, uint32_t address, uint16_t port) {
  const sockaddr_in at = SocketEndpoint(address, port);
  return Result(bind(Sock(socket), reinterpret_cast<const sockaddr*>(&at), sizeof at));
}

int SocketListen(int32_t socket, int backlog) { return Result(listen(Sock(socket), backlog)); }

int SocketLocalPort(int32_t socket, uint16_t* port) {
  sockaddr_in local{};
  int size = sizeof local;
  if (getsockname(Sock(socket), reinterpret_cast<sockaddr*>(&local), &size) != 0) return LastErrno();
  *port = ntohs(local.sin_port);
  return 0;
}

int SocketAccept(int32_t listener, int32_t* accepted) {
  const SOCKET s = accept(Sock(listener), nullptr, nullptr);
  if (s == INVALID_SOCKET) return LastErrno();
  NotInherited(s);
  u_long on = 1;
  if (ioctlsocket(s, FIONBIO, &on) != 0) {
    const int error = LastErrno();
    closesocket(s);
    return error;
  }
  *accepted = static_cast<int32_t>(s);
  return 0;
}

int SocketQueued(int32_t socket, uint32_t* count) {
  u_long waiting = 0;
  if (ioctlsocket(Sock(socket), FIONREAD, &waiting) != 0) return LastErrno();
  *count = static_cast<uint32_t>(waiting);
  return 0;
}

int SocketReceive(int32_t socket, uint8_t* buffer, uint32_t size, uint32_t* got) {
  *got = 0;
  const int n = recv(Sock(socket), reinterpret_cast<char*>(buffer), static_cast<int>(size), 0);
  if (n == SOCKET_ERROR) return LastErrno();
  *got = static_cast<uint32_t>(n);
  return 0;
}

int SocketSend(int32_t socket, const uint8_t* data, uint32_t count, uint32_t* sent) {
  *sent = 0;
  // Windows raises no signal for a peer that went away.
  const int n = send(Sock(socket), reinterpret_cast<const char*>(data), static_cast<int>(count), 0);
  if (n == SOCKET_ERROR) return LastErrno();
  *sent = static_cast<uint32_t>(n);
  return 0;
}

void SocketClose(int32_t socket) {
  if (socket < 0) return;
  shutdown(Sock(socket), SD_BOTH);
  closesocket(Sock(socket));
}

namespace {

// A lookup under way in the system: one given up that cannot be cancelled is
// left to it, with everything it may still write to.
struct Lookup {
  OVERLAPPED overlapped;
  ADDRINFOEXW* result;
  HANDLE cancel;
  wchar_t name[256];
};

// The resolver's result in errno terms, its own code noted.
int LookupError(int error) {
  int kind = EIO;  // a failure the resolver does not explain further
  if (error == WSAHOST_NOT_FOUND || error == WSANO_DATA) kind = ENOENT;
  if (error == WSATRY_AGAIN) kind = EAGAIN;
  if (error == WSA_NOT_ENOUGH_MEMORY) kind = ENOMEM;
  return SystemErrorNote(static_cast<DWORD>(error), kind);
}

// Ending and cancelling a lookup under way came with Windows 8; the SDK of
// the cross build does not declare them.
using OverlappedResultCall = INT(WSAAPI*)(LPOVERLAPPED);
using CancelCall = INT(WSAAPI*)(LPHANDLE);

template <typename Call>
Call Ws2Call(const char* name) {
  const HMODULE ws2 = GetModuleHandleW(L"ws2_32.dll");
  return ws2 != nullptr ? reinterpret_cast<Call>(reinterpret_cast<void*>(GetProcAddress(ws2, name))) : nullptr;
}

// The lookup waited for at most timeoutMs: NO_ERROR and the result, the
// resolver's code, or WAIT_TIMEOUT.
int LookupWithin(const char* host, uint32_t timeoutMs, ADDRINFOEXW** result) {
  static const auto overlappedResult = Ws2Call<OverlappedResultCall>("GetAddrInfoExOverlappedResult");
  static const auto cancel = Ws2Call<CancelCall>("GetAddrInfoExCancel");
  ADDRINFOEXW hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  const size_t length = std::strlen(host);
  if (length >= sizeof Lookup::name / sizeof(wchar_t)) return WSAHOST_NOT_FOUND;
  auto* lookup = new (std::nothrow) Lookup{};
  if (lookup == nullptr) return WSA_NOT_ENOUGH_MEMORY;
  for (size_t i = 0; i <= length; ++i) lookup->name[i] = static_cast<unsigned char>(host[i]);  // a checked ASCII name
  if (overlappedResult == nullptr || cancel == nullptr) {
    // An older system waits for the lookup as long as it takes.
    const int error = GetAddrInfoExW(lookup->name, nullptr, NS_ALL, nullptr, &hints, result, nullptr, nullptr,
                                     nullptr, nullptr);
    delete lookup;
    return error;
  }
  lookup->overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (lookup->overlapped.hEvent == nullptr) {
    delete lookup;
    return WSA_NOT_ENOUGH_MEMORY;
  }
  int error = GetAddrInfoExW(lookup->name, nullptr, NS_ALL, nullptr, &hints, &lookup->result, nullptr,
                             &lookup->overlapped, nullptr, &lookup->cancel);
  if (error == WSA_IO_PENDING) {
    if (WaitForSingleObject(lookup->overlapped.hEvent, timeoutMs) != WAIT_OBJECT_0) {
      // A cancelled lookup still ends by signalling its event.
      if (cancel(&lookup->cancel) != NO_ERROR || WaitForSingleObject(lookup->overlapped.hEvent, 1000) != WAIT_OBJECT_0)
        return WAIT_TIMEOUT;
      if (overlappedResult(&lookup->overlapped) == NO_ERROR) FreeAddrInfoExW(lookup->result);
      CloseHandle(lookup->overlapped.hEvent);
      delete lookup;
      return WAIT_TIMEOUT;
    }
    error = overlappedResult(&lookup->overlapped);
  }
  CloseHandle(lookup->overlapped.hEvent);
  *result = lookup->result;
  delete lookup;
  return error;
}

}  // namespace

int SocketResolve(const char* host, uint32_t timeoutMs, uint32_t* address) {
  if (!WinsockStarted()) return ENETDOWN;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) == 0) {
    freeaddrinfo(found);
    return EINVAL;
  }
  ADDRINFOEXW* result = nullptr;
  const int error = LookupWithin(host, timeoutMs, &result);
  if (error == WAIT_TIMEOUT) return ETIMEDOUT;
  if (error != NO_ERROR) return LookupError(error);
  *address = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
  FreeAddrInfoExW(result);
  return 0;
}
