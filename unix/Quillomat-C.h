/* The process-wide libusb context shared by the USB transport and USB
 * discovery. It is made on first use and may be ended and made anew, so
 * that a later enumeration starts afresh (a device that re-enumerated after
 * a firmware restart). */
#ifndef QUILLOMAT_QUILLOMAT_C_H
#define QUILLOMAT_QUILLOMAT_C_H

struct libusb_context;

#ifdef __cplusplus
extern "C" {
#endif

/* The shared context, made with libusb_init when there is none; null when
 * libusb cannot be initialised. */
struct libusb_context* Quillomat_libusb_context(void);

/* The same as Quillomat_libusb_context. */
struct libusb_context* Quillomat_libusb_init(void);

/* Ends the shared context; the next Quillomat_libusb_context makes a new
 * one. Devices still open on the old context keep it alive until the last
 * of them is released (Quillomat_libusb_release). */
void Quillomat_libusb_exit(void);

/* The shared context, counted as in use by one open device until the
 * matching Quillomat_libusb_release; null when libusb cannot be
 * initialised (nothing is counted then). */
struct libusb_context* Quillomat_libusb_acquire(void);

/* Ends one use of a context from Quillomat_libusb_acquire. An ended context
 * is released with its last use. */
void Quillomat_libusb_release(struct libusb_context* context);

#ifdef __cplusplus
}
#endif

#endif
