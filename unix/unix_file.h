/* Plain files for the library and the updater's store code. A file handle
 * wraps one buffered stdio stream opened in one of three modes. */
#ifndef QUILLOMAT_UNIX_FILE_H
#define QUILLOMAT_UNIX_FILE_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Longest path (in characters, without the terminator) the layer accepts. */
#define aFILE_MAX_PATH 4096

/* Open modes. */
typedef uint32_t aFileMode;
enum {
  aFileModeReadOnly = 0,  /* "rb" */
  aFileModeWriteOnly = 1, /* "wb", truncates */
  aFileModeAppend = 2     /* "ab+", positioned at the end, readable */
};

/* Seek origins. */
enum { aSeekStart = 0, aSeekCurrent = 1, aSeekEnd = 2 };

typedef struct aFileRecord aFileRecord;
typedef aFileRecord* aFileRef;

/* True only for an existing entry that is not a directory. */
bool aFile_Exists(const char* path);

/* Null on any failure (bad path, bad mode, no memory, open failed). */
aFileRef aFile_Open(const char* path, aFileMode mode);

/* Closes and frees the file; *file is set to null in every case. */
aErr aFile_Close(aFileRef* file);

/* Modes 0 and 2. `count` (optional) receives the bytes read; aErrEOF when
 * nothing could be read although length > 0. */
aErr aFile_Read(aFileRef file, uint8_t* buffer, size_t length, size_t* count);

/* Modes 1 and 2. `count` (optional) receives the bytes written; aErrIO when
 * nothing was written although length > 0. */
aErr aFile_Write(aFileRef file, const uint8_t* data, size_t length, size_t* count);

/* Reads up to and including the first newline, at most size - 1 characters,
 * and NUL-terminates. `length` (optional) gets the string length. aErrEOF at
 * end of file, aErrOverrun when the buffer filled without a newline. */
aErr aFile_ReadLine(aFileRef file, char* buffer, size_t size, size_t* length);

/* Formatted write, modes 1 and 2. */
aErr aFile_Printf(aFileRef file, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

/* Moves to origin + offset; aErrRange (position kept) when the target is
 * negative or beyond the end of the file. */
aErr aFile_Seek(aFileRef file, long offset, int origin);

/* Size of the file; the position is kept. */
aErr aFile_GetSize(aFileRef file, size_t* size);

/* Current position; `position` is written only when it is above zero, so
 * callers initialise it. */
aErr aFile_GetPosition(aFileRef file, size_t* position);

/* Unbuffered output, modes 1 and 2. */
aErr aFile_SetUnbuffered(aFileRef file);

/* Removes a file: aErrNotFound, aErrPermission or aErrIO on failure. */
aErr aFile_Delete(const char* path);

#ifdef __cplusplus
}
#endif

#endif
