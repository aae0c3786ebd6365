/* How a device is reached (linkSpec, linkType) and finding devices: on USB
 * through libusb, on the local network through a UDP multicast request that
 * devices with their own network interface answer.
 *
 * Enumeration calls back once per device found. The callback gets the
 * device's linkSpec (valid only during the call), a found flag (initially
 * false) to set when the device is to be counted, and the caller's
 * reference; it returns true for the next device, false to stop. */
#ifndef QUILLOMAT_DISCOVER_H
#define QUILLOMAT_DISCOVER_H

#include <stdbool.h>
#include <stdint.h>

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Transport kinds; AETHER to AETHER_SERIAL are reached through a network
 * broker. */
typedef enum {
  INVALID = 0,
  USB = 1,
  TCPIP = 2,
  SERIAL = 3,
  AETHER = 4,
  AETHER_USB = 5,
  AETHER_TCPIP = 6,
  AETHER_SERIAL = 7,
  /* Keeps the type 32 bits wide and makes every 32-bit value a valid one, so
   * that an unknown kind read from a stored record can be passed and
   * refused. */
  aLINKTYPE_FORCE32 = 0x7FFFFFFF
} linkType;

#define aLINKSPEC_SIZE 128
/* Longest serial port path a linkSpec holds, without the terminator. */
#define aLINKSPEC_PORT_MAX 99

/* A device description: exactly 128 bytes, copied whole with memcpy. Integer
 * fields are in host byte order except the IPv4 address. */
typedef struct linkSpec {
  linkType type;
  uint32_t serial_num;        /* 0 = none given */
  uint32_t module;            /* module address as discovery reports it; 0 = not reported */
  uint32_t router;            /* address of the routing device; 0 when reached directly */
  uint32_t router_serial_num; /* serial number of that routing device */
  uint32_t model;             /* model code; 0 = any, as a filter */
  union {
    struct {
      uint32_t usb_id;        /* the serial number again */
    } usb;
    struct {
      uint32_t ip_address;    /* network byte order (as inet_pton stores it) */
      uint32_t ip_port;       /* TCP port in the low 16 bits */
    } ip;
    struct {
      uint32_t baudrate;
      char port[aLINKSPEC_PORT_MAX + 1]; /* device path, zero-terminated */
    } serial;
  } t;
} linkSpec;

#ifdef __cplusplus
static_assert(sizeof(linkSpec) == aLINKSPEC_SIZE, "a linkSpec is 128 bytes");
#endif

/* 127.0.0.1 in network byte order: "every interface". */
#define aDISCOVERY_ALL_INTERFACES 0x0100007Fu

typedef bool (*aDiscoveryModuleFoundProc)(const linkSpec* found, bool* counted, void* reference);

/* A new zeroed linkSpec of that type; NULL when out of memory. */
linkSpec* aLinkSpec_Create(linkType type);
/* A new copy of all 128 bytes; NULL for NULL or when out of memory. */
linkSpec* aLinkSpec_Copy(const linkSpec* source);
/* Frees *linkspec and nulls it; aErrParam when the pointer or *linkspec is NULL. */
aErr aLinkSpec_Destroy(linkSpec** linkspec);

/* Enumerates devices of one kind and returns how many the callback counted.
 * USB and TCPIP are enumerated here, the broker kinds by network discovery;
 * other types enumerate nothing. `networkInterface` is an IPv4 address in
 * network byte order; aDISCOVERY_ALL_INTERFACES asks on every interface. */
uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback,
                                    void* reference, uint32_t networkInterface);

/* The device with this serial number, or NULL; the caller frees it with
 * aLinkSpec_Destroy. */
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface);

/* The first device with a non-zero serial number, or NULL. */
linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface);

/* The two enumerations of the Linux build (the dispatcher above calls them).
 * TCP/IP: a 16-byte request to 232.2.2.2 port 9888 on each interface; each
 * device answers with one 16-byte datagram to port 9889; answers are read
 * until none came for 2 s. */
uint8_t aDiscovery_EnumerateUSB(aDiscoveryModuleFoundProc callback, void* reference);
uint8_t aDiscovery_EnumerateTCPIP(aDiscoveryModuleFoundProc callback, void* reference,
                                  uint32_t networkInterface);

/* Fills a TCPIP linkSpec from one answer datagram of `length` bytes (at most
 * 16 are read) from `senderAddress` (network byte order). Bytes missing from a
 * short answer read as 0, except the model, which reads as 255. False for an
 * answer shorter than 8 bytes, which holds no serial number. */
bool aDiscovery_ParseTCPIPAnswer(const uint8_t* datagram, int length, uint32_t senderAddress,
                                 linkSpec* out);

#ifdef __cplusplus
}
#endif

#endif
