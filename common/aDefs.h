/* Library-wide definitions: device model codes and the debug switches.
 *
 * Library modules print diagnostics only when aQuillomatDebuggingEnable is
 * non-zero and their bit is set in aQuillomatDebuggingLevel; both start at 0
 * and nothing in the library sets them. A host that links the library may. */
#ifndef QUILLOMAT_ADEFS_H
#define QUILLOMAT_ADEFS_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Model codes reported by devices and written into firmware images. */
enum {
  aMODEL_HUB_4 = 4,
  aMODEL_HUB_8 = 5,
  aMODEL_SWITCH_2 = 13,
  aMODEL_SWITCH_4 = 14,
  aMODEL_DIO_16 = 15,
  aMODEL_ADC_8 = 16,
  aMODEL_DAC_4 = 17,
  aMODEL_RELAY_4 = 18,
  aMODEL_RELAY_8 = 19,
  aMODEL_SERVO_8 = 20,
  aMODEL_TEMP_4 = 21,
  aMODEL_POWER_1 = 22,
  aMODEL_SERIAL_2 = 23,
  aMODEL_METER_1 = 24,
  aMODEL_HUB_PRO = 25,
  aMODEL_ROUTER_1 = 26,
  aMODEL_SCOPE_2 = 27
};

/* Display name of a model code ("QM-Hub 4"); "Unknown" for any code that is
 * not a known model. No name is a prefix of another and none is longer than
 * 15 characters, so each fits and identifies a firmware image's model field. */
const char* aDefs_GetModelName(uint8_t model);

/* Debug switches. */
extern uint8_t aQuillomatDebuggingEnable;
extern uint32_t aQuillomatDebuggingLevel;

/* Bits of aQuillomatDebuggingLevel, one per module. */
enum {
  aDEBUG_LINK = 0x1,        /* link engine, link table, Link connect/receive */
  aDEBUG_PACKET = 0x2,      /* received packets, heartbeat back-channel */
  aDEBUG_SERVER = 0x4,      /* network broker server */
  aDEBUG_MULTICAST = 0x8,   /* multicast sockets */
  aDEBUG_DISCOVERY = 0x10,  /* network discovery */
  aDEBUG_CLIENT = 0x20,     /* broker client stream */
  aDEBUG_MODULE = 0x40,     /* Module connection and network set-up */
  aDEBUG_BEACON = 0x200,    /* discovery beacon interface selection */
  aDEBUG_USBDRIVER = 0x400  /* USB endpoints and bulk transfer errors */
};

/* True when diagnostics of the module with this bit are switched on. */
bool aDefs_DebugEnabled(uint32_t bit);

/* printf to standard output, then flush, when aDefs_DebugEnabled(bit). */
void aDefs_DebugPrintf(uint32_t bit, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

#ifdef __cplusplus
}
#endif

#endif
