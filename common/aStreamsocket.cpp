/* TCP client socket stream. The link engine reads the stream on one thread
 * and writes it on another, and either side may find the connection lost
 * and reconnect; the descriptor and flags are therefore atomic, and a
 * reconnection is made once for the descriptor that failed. */
#include "aStreamsocket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <new>

#include "unix_time.h"

namespace {

constexpr uint32_t kConnected = 0x1;

struct SocketStream {
  uint16_t port = 0;
  struct sockaddr_in peer{};
  std::atomic<int32_t> descriptor{-1};  // -1 while closed
  std::atomic<uint32_t> flags{0};
  uint16_t check = 0;
  std::mutex reconnect;  // one reconnection at a time
};

SocketStream* sRecord(void* reference) {
  SocketStream* record = static_cast<SocketStream*>(reference);
  if (record == nullptr || record->check != aSOCKETSTREAMCHECK) return nullptr;
  return record;
}

void sCloseSocket(SocketStream* record) {
  record->flags.fetch_and(~kConnected);
  int fd = record->descriptor.exchange(-1);
  if (fd >= 0) {
    close(fd);
    aTime_MSSleep(10);
  }
}

aErr sSetOptions(int fd) {
  int on = 1;
  if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) != 0) return aErrIO;
  struct timeval none = {0, 0};
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof(none)) != 0) return aErrIO;
  // Closing resets the connection rather than lingering in a graceful close.
  struct linger linger = {1, 0};
  if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &linger, sizeof(linger)) != 0) return aErrIO;
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return aErrIO;
  return aErrNone;
}

// Connects `fd`, waiting at most `ms`: a peer that never answers (a device
// that is powered off) must not hold a reconnecting link for the minutes a
// blocking connect can take. Returns 0 or the error number.
int sConnectWithin(int fd, const struct sockaddr_in* peer, int ms) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return errno;
  if (connect(fd, reinterpret_cast<const struct sockaddr*>(peer), sizeof(*peer)) == 0) return 0;
  if (errno != EINPROGRESS && errno != EINTR) return errno;
  struct pollfd wait = {fd, POLLOUT, 0};
  int ready;
  do {
    ready = poll(&wait, 1, ms);
  } while (ready < 0 && errno == EINTR);
  if (ready == 0) return ETIMEDOUT;
  if (ready < 0) return errno;
  int error = 0;
  socklen_t length = sizeof(error);
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

// Closes the current socket and connects a new one.
aErr sConnect(SocketStream* record) {
  if (record == nullptr || record->check != aSOCKETSTREAMCHECK) return aErrInitialization;
  sCloseSocket(record);
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return aErrIO;
  int cause = sConnectWithin(fd, &record->peer, aSOCKET_CONNECT_TIMEOUT_MS);
  if (cause != 0) {
    close(fd);
    if (cause == ECONNREFUSED || cause == ECONNRESET || cause == ETIMEDOUT || cause == EAGAIN ||
        cause == EWOULDBLOCK || cause == EINPROGRESS)
      return aErrConnection;
    return aErrIO;
  }
  aErr err = sSetOptions(fd);
  if (err != aErrNone) {
    close(fd);
    return err;
  }
  record->descriptor.store(fd);
  record->flags.fetch_or(kConnected);
  return aErrNone;
}

// Reconnects after `failed` was seen to be lost, unless the other side of
// the stream has already replaced it.
aErr sReconnect(SocketStream* record, int failed) {
  std::lock_guard<std::mutex> hold(record->reconnect);
  int current = record->descriptor.load();
  if (current != failed && current >= 0 && (record->flags.load() & kConnected)) return aErrNone;
  return sConnect(record);
}

bool sLost(int cause) { return cause == ECONNRESET || cause == ENOTCONN || cause == ETIMEDOUT; }

aErr sSocketGet(uint8_t* byte, void* reference) {
  SocketStream* record = sRecord(reference);
  if (record == nullptr || byte == nullptr) return aErrParam;
  if (!(record->flags.load() & kConnected)) return aErrConnection;
  int fd = record->descriptor.load();
  uint8_t peek = 0;
  ssize_t got = recv(fd, &peek, 1, MSG_PEEK);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    // Nothing waiting: give the peer a moment before reporting so, so that
    // a caller looping on aErrNotReady does not spin.
    struct pollfd wait = {fd, POLLIN, 0};
    if (poll(&wait, 1, aSOCKET_READ_WAIT_MS) <= 0) return aErrNotReady;
    got = recv(fd, &peek, 1, MSG_PEEK);
  }
  if (got < 0) {
    int cause = errno;
    if (cause == EAGAIN || cause == EWOULDBLOCK || cause == EINTR) return aErrNotReady;
    if (!sLost(cause)) return aErrConnection;
    record->flags.fetch_and(~kConnected);
    aErr err = sReconnect(record, fd);
    if (err != aErrNone) return err;
    fd = record->descriptor.load();
    got = recv(fd, &peek, 1, MSG_PEEK);
    if (got < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? aErrNotReady : aErrConnection;
  }
  if (got == 0) {
    // The peer closed the connection: seen as a lack of data. Pause as an
    // idle wait would, since the end of the connection is always readable.
    aTime_MSSleep(aSOCKET_READ_WAIT_MS);
    return aErrNotReady;
  }
  got = recv(fd, byte, 1, 0);
  if (got == 1) return aErrNone;
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return aErrEOF;
  if (got < 0 && sLost(errno)) return aErrNotReady;
  return aErrIO;
}

// Waits up to `ms` for room to send on `fd`.
void sWaitWritable(int fd, int ms) {
  struct pollfd wait = {fd, POLLOUT, 0};
  if (poll(&wait, 1, ms) > 0 && !(wait.revents & (POLLERR | POLLHUP))) return;
  // An error or hang-up is reported by the next send; keep the pause.
  if (wait.revents & (POLLERR | POLLHUP)) aTime_MSSleep((uint64_t)ms);
}

aErr sSocketWrite(const uint8_t* data, size_t length, void* reference) {
  SocketStream* record = sRecord(reference);
  if (record == nullptr) return aErrParam;
  if (!(record->flags.load() & kConnected)) return aErrConnection;
  if (length == 0) return aErrNone;
  if (data == nullptr) return aErrParam;
  size_t sent = 0;
  uint8_t retries = 0;
  while (sent < length) {
    if (retries >= aSOCKET_MAX_SEND_RETRY) return aErrIO;
    int fd = record->descriptor.load();
    ssize_t n = send(fd, data + sent, length - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += (size_t)n;
      if (sent < length) {
        retries = 1;
        sWaitWritable(fd, aSOCKET_RETRY_DELAY_MS);
      }
      continue;
    }
    int cause = n < 0 ? errno : EAGAIN;
    if (cause == EINTR) continue;
    if (cause == EAGAIN || cause == EWOULDBLOCK) {
      retries++;
      sWaitWritable(fd, aSOCKET_RETRY_DELAY_MS);
      continue;
    }
    if (cause == EPIPE || cause == ECONNRESET || cause == ENOTCONN) {
      record->flags.fetch_and(~kConnected);
      aErr err = sReconnect(record, fd);
      if (err != aErrNone) return err;
      retries++;
      aTime_MSSleep(aSOCKET_RETRY_DELAY_MS);
      continue;
    }
    return aErrIO;
  }
  return aErrNone;
}

aErr sSocketPut(const uint8_t* byte, void* reference) { return sSocketWrite(byte, 1, reference); }

aErr sSocketDelete(void* reference) {
  SocketStream* record = sRecord(reference);
  if (record == nullptr) return aErrIO;
  int fd = record->descriptor.exchange(-1);
  if (fd >= 0) close(fd);
  record->flags.store(0);
  record->check = 0;
  delete record;
  return aErrNone;
}

}  // namespace

extern "C" aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStreamRef* stream) {
  if (stream == nullptr) return aErrResource;
  *stream = nullptr;
  SocketStream* record = new (std::nothrow) SocketStream;
  if (record == nullptr) return aErrResource;
  record->port = port;
  record->peer.sin_family = AF_INET;
  record->peer.sin_port = htons(port);
  record->peer.sin_addr.s_addr = address;
  record->check = aSOCKETSTREAMCHECK;
  if (sConnect(record) != aErrNone) {
    sSocketDelete(record);
    return aErrResource;
  }
  aStreamRef made = aStream_Create(sSocketGet, sSocketPut, sSocketWrite, sSocketDelete, record);
  if (made == nullptr) {
    sSocketDelete(record);
    return aErrResource;
  }
  *stream = made;
  return aErrNone;
}
