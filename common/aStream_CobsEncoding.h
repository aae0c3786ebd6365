/* Packet framing for serial lines. Packets written to the stream leave as
 * one frame each: the packet's byte form (address, length, data) and its
 * CRC-8, COBS-encoded and ended by a zero byte. Frames read from the
 * transport come out as the packet's bytes again; damaged frames are
 * dropped with aErrPacket. */
#ifndef QUILLOMAT_ASTREAM_COBSENCODING_H
#define QUILLOMAT_ASTREAM_COBSENCODING_H

#include "aError.h"
#include "aStream.h"

#ifdef __cplusplus
extern "C" {
#endif

#define aCOBSSTREAMCHECK 0xC0B5

/* Longest packet byte form: address, length and 28 data bytes. */
#define aCOBS_MAX_PACKET 30
/* Longest frame before its delimiter: byte form, CRC, one COBS code byte. */
#define aCOBS_MAX_FRAME (aCOBS_MAX_PACKET + 2)

/* Builds a framing stream over a byte transport given by its functions and
 * reference, which belong to the framing stream from then on (its delete
 * calls the transport's delete). *stream is set to null first.
 * aErrParam for a null `stream`, aErrMemory when the record cannot be
 * allocated, aErrResource when the stream cannot be made. */
aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                aStreamDeleteProc del, void* reference, aStreamRef* stream);

#ifdef __cplusplus
}
#endif

#endif
