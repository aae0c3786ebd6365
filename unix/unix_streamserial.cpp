/* Serial port streams on POSIX terminals in raw mode. */
#include "unix_streamserial.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include "aStream_CobsEncoding.h"

namespace {

constexpr size_t kPortNameSize = 4096;

struct SerialPort {
  uint32_t baudIndex;
  char portName[kPortNameSize + 1];
  int32_t descriptor;  // -1 while closed
  struct termios saved;
  struct termios applied;
  uint16_t check;
};

speed_t sSpeed(uint32_t baudIndex) {
  static const speed_t kSpeeds[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};
  if (baudIndex >= sizeof(kSpeeds) / sizeof(kSpeeds[0])) return B0;
  return kSpeeds[baudIndex];
}

SerialPort* sPort(void* reference) {
  SerialPort* port = static_cast<SerialPort*>(reference);
  if (port == nullptr || port->check != aSERIALSTREAMCHECK) return nullptr;
  return port;
}

void sClose(SerialPort* port) {
  if (port->descriptor >= 0) {
    tcsetattr(port->descriptor, TCSANOW, &port->saved);
    close(port->descriptor);
    port->descriptor = -1;
  }
}

aErr sOpen(SerialPort* port, uint8_t parity, uint8_t dataBits, uint8_t stopBits) {
  if (dataBits > 1 || stopBits > 1) return aErrParam;
  int fd = open(port->portName, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return aErrNotFound;
    if (errno == EACCES || errno == EPERM) return aErrPermission;
    return aErrIO;
  }
  port->descriptor = fd;
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
    close(fd);
    port->descriptor = -1;
    return aErrIO;
  }
  if (tcgetattr(fd, &port->saved) != 0) {
    close(fd);
    port->descriptor = -1;
    return aErrIO;
  }
  struct termios tio = port->saved;
  tio.c_cflag |= CREAD | CLOCAL;
  tio.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS);
  tio.c_cflag |= dataBits == 0 ? CS8 : CS7;
  if (stopBits == 1) tio.c_cflag |= CSTOPB;
  tio.c_iflag = IGNBRK;
  if (parity) {
    tio.c_cflag |= PARENB;
    tio.c_iflag |= INPCK | IGNPAR;
  }
  tio.c_oflag = 0;
  tio.c_lflag = 0;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  speed_t speed = sSpeed(port->baudIndex);
  cfsetispeed(&tio, speed);
  cfsetospeed(&tio, speed);
  if (tcsetattr(fd, TCSANOW, &tio) != 0 || tcflush(fd, TCIOFLUSH) != 0) {
    close(fd);
    port->descriptor = -1;
    return aErrIO;
  }
  port->applied = tio;
  return aErrNone;
}

aErr sSerialGet(uint8_t* byte, void* reference) {
  SerialPort* port = sPort(reference);
  if (port == nullptr) return aErrParam;
  if (byte == nullptr) return aErrParam;
  // Wait a moment for input so that a caller polling an idle line does
  // not spin.
  struct pollfd wait = {port->descriptor, POLLIN, 0};
  if (poll(&wait, 1, aSERIAL_READ_WAIT_MS) == 0) return aErrNotReady;
  ssize_t got = read(port->descriptor, byte, 1);
  if (got == 1) return aErrNone;
  if (got == 0 && (wait.revents & POLLHUP)) {
    // The line hung up (the adapter went away): a failure, not a lack of
    // data. Pause as an idle wait would, since a hung-up line is always
    // readable.
    poll(nullptr, 0, aSERIAL_READ_WAIT_MS);
    return aErrIO;
  }
  if (got == 0 || errno == EAGAIN || errno == EINTR) return aErrNotReady;
  return aErrIO;
}

aErr sSerialWrite(const uint8_t* data, size_t length, void* reference) {
  SerialPort* port = sPort(reference);
  if (port == nullptr) return aErrParam;
  if (length == 0) return aErrNone;
  if (data == nullptr) return aErrParam;
  ssize_t sent = write(port->descriptor, data, length);
  if (sent < 0 || (size_t)sent != length) return aErrIO;
  if (tcdrain(port->descriptor) != 0) return aErrIO;
  return aErrNone;
}

aErr sSerialPut(const uint8_t* byte, void* reference) {
  return sSerialWrite(byte, 1, reference);
}

aErr sSerialDelete(void* reference) {
  SerialPort* port = sPort(reference);
  if (port == nullptr) return aErrParam;
  sClose(port);
  port->check = 0;
  free(port);
  return aErrNone;
}

// The checks both constructors share, and the record they open.
aErr sMakePort(const char* portName, uint32_t baudIndex, aStreamRef* stream, SerialPort** made) {
  if (portName == nullptr || stream == nullptr) return aErrResource;
  *stream = nullptr;
  if (strlen(portName) > kPortNameSize) return aErrResource;
  SerialPort* port = static_cast<SerialPort*>(calloc(1, sizeof(SerialPort)));
  if (port == nullptr) return aErrResource;
  port->baudIndex = baudIndex;
  strcpy(port->portName, portName);
  port->descriptor = -1;
  port->check = aSERIALSTREAMCHECK;
  *made = port;
  return aErrNone;
}

}  // namespace

extern "C" {

aErr aStream_CreateSerial(const char* portName, uint32_t baudIndex, uint8_t parity,
                          uint8_t dataBits, uint8_t stopBits, aStreamRef* stream) {
  SerialPort* port = nullptr;
  aErr err = sMakePort(portName, baudIndex, stream, &port);
  if (err != aErrNone) return err;
  aStreamRef made = aStream_Create(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, port);
  if (made == nullptr) {
    sSerialDelete(port);
    return aErrResource;
  }
  err = sOpen(port, parity, dataBits, stopBits);
  if (err != aErrNone) {
    aStream_Destroy(&made);
    return err;
  }
  *stream = made;
  return aErrNone;
}

aErr aStream_CreateSerial_Packetized(const char* portName, uint32_t baudIndex, uint8_t parity,
                                     uint8_t dataBits, uint8_t stopBits, aStreamRef* stream) {
  SerialPort* port = nullptr;
  aErr err = sMakePort(portName, baudIndex, stream, &port);
  if (err != aErrNone) return err;
  err = sOpen(port, parity, dataBits, stopBits);
  if (err != aErrNone) {
    sSerialDelete(port);
    return err;
  }
  aStreamRef made = nullptr;
  err = aStream_CreateCobsEncoding(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, port,
                                   &made);
  if (err != aErrNone) {
    sSerialDelete(port);
    return err;
  }
  *stream = made;
  return aErrNone;
}

}  // extern "C"
