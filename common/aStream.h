/* Byte streams. A stream is four transport functions (get one byte, put one
 * byte, write a block, delete) over a transport reference, plus a push-back
 * ring so that a read that cannot complete leaves the stream as it was.
 *
 * Transport contract: get returns aErrNone with one byte, aErrNotReady when
 * no byte is available now, aErrEOF when the source is exhausted, another
 * code on failure. put and write return aErrNone or a failure code. delete
 * releases the reference. Any function may be null. */
#ifndef QUILLOMAT_ASTREAM_H
#define QUILLOMAT_ASTREAM_H

#include <stddef.h>
#include <stdint.h>

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

#define aSTREAMCHECK 0x4321
/* The push-back ring grows in steps of this many bytes. */
#define aSTREAMBUFCHUNK 512

typedef aErr (*aStreamGetProc)(uint8_t* byte, void* reference);
typedef aErr (*aStreamPutProc)(const uint8_t* byte, void* reference);
typedef aErr (*aStreamWriteProc)(const uint8_t* data, size_t length, void* reference);
typedef aErr (*aStreamDeleteProc)(void* reference);

typedef struct aStream {
  aStreamGetProc getProc;
  aStreamPutProc putProc;
  aStreamWriteProc writeProc;
  aStreamDeleteProc deleteProc;
  void* reference;     /* the transport's state; owned by the stream */
  uint8_t* pushBack;   /* ring of pushed-back bytes, null until needed */
  size_t buffered;     /* bytes held in the ring */
  size_t capacity;     /* size of the ring */
  size_t head;         /* next byte to hand out */
  size_t tail;         /* where the next byte is stored */
  uint16_t check;      /* aSTREAMCHECK while the stream is alive */
} aStream;

typedef aStream* aStreamRef;

/* A new stream over the transport, or null when memory runs out. */
aStreamRef aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                          aStreamDeleteProc del, void* reference);

/* Releases the transport (the delete function's result is returned), frees
 * the stream and nulls *stream; aErrParam for an invalid stream. */
aErr aStream_Destroy(aStreamRef* stream);

/* Reads exactly `size` bytes. aErrNotReady puts every byte obtained back
 * into the stream and leaves `destination` unwritten; aErrEOF copies the
 * bytes before the end. */
aErr aStream_Read(aStreamRef stream, uint8_t* destination, size_t size);

/* Writes `length` bytes: one write call, or one put call per byte. */
aErr aStream_Write(aStreamRef stream, const uint8_t* data, size_t length);

/* Reads bytes into `buffer` until the terminator has been matched, `size`
 * bytes are stored, or the source ends. Terminator bytes are not stored.
 * `length` (optional) receives the count. aErrNotReady puts the stored
 * bytes back. aErrEOF only when the source ended before any byte. */
aErr aStream_ReadRecord(aStreamRef stream, uint8_t* buffer, size_t* length, size_t size,
                        const uint8_t* terminator, size_t terminatorLength);

/* Writes the data, then the terminator. */
aErr aStream_WriteRecord(aStreamRef stream, const uint8_t* data, size_t length,
                         const uint8_t* terminator, size_t terminatorLength);

/* A record ended by a zero byte, at most size - 1 bytes, NUL-terminated. */
aErr aStream_ReadCString(aStreamRef stream, char* buffer, size_t size);

/* The string's characters and one zero byte. */
aErr aStream_WriteCString(aStreamRef stream, const char* string);

/* A record ended by the characters of `terminator`, at most size - 1 bytes,
 * NUL-terminated. */
aErr aStream_ReadCStringRecord(aStreamRef stream, char* buffer, size_t size,
                               const char* terminator);

/* The string's characters, then `terminator` including its zero byte. */
aErr aStream_WriteCStringRecord(aStreamRef stream, const char* string, const char* terminator);

/* Copies bytes from input's get to output's put until the input ends. */
aErr aStream_Flush(aStreamRef input, aStreamRef output);

/* File streams; aErrResource on any failure, `*stream` untouched then. */
aErr aStream_CreateFileInput(const char* path, aStreamRef* stream);
aErr aStream_CreateFileOutput(const char* path, aStreamRef* stream);

#ifdef __cplusplus
}
#endif

#endif
