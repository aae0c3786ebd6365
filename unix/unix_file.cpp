#include "unix_file.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#define aFILECHECK 0xFEED

namespace {

/* Last transfer direction on the stream: an update stream ("ab+") must be
 * repositioned between a write and a following read (and the reverse). */
enum : uint8_t { sOpNone = 0, sOpRead = 1, sOpWrite = 2 };

}  // namespace

struct aFileRecord {
  FILE* fp;
  aFileMode mode;
  uint16_t check;
  uint8_t lastOp;
};

namespace {

bool sPathUsable(const char* path) {
  return path && strnlen(path, aFILE_MAX_PATH + 1) <= aFILE_MAX_PATH;
}

bool sValid(aFileRef file) { return file && file->check == aFILECHECK; }

bool sCanRead(aFileRef file) {
  return file->mode == aFileModeReadOnly || file->mode == aFileModeAppend;
}

bool sCanWrite(aFileRef file) {
  return file->mode == aFileModeWriteOnly || file->mode == aFileModeAppend;
}

void sSwitchTo(aFileRef file, uint8_t op) {
  if (file->lastOp != sOpNone && file->lastOp != op) fseek(file->fp, 0, SEEK_CUR);
  file->lastOp = op;
}

}  // namespace

extern "C" {

bool aFile_Exists(const char* path) {
  struct stat st;
  if (!sPathUsable(path) || stat(path, &st) != 0) return false;
  return !S_ISDIR(st.st_mode);
}

aFileRef aFile_Open(const char* path, aFileMode mode) {
  static const char* const kModes[] = {"rb", "wb", "ab+"};
  if (!sPathUsable(path) || path[0] == '\0' || mode > aFileModeAppend) return NULL;
  aFileRef file = static_cast<aFileRef>(calloc(1, sizeof(aFileRecord)));
  if (!file) return NULL;
  file->fp = fopen(path, kModes[mode]);
  if (!file->fp) {
    free(file);
    return NULL;
  }
  if (mode == aFileModeAppend) fseek(file->fp, 0, SEEK_END);
  file->mode = mode;
  file->check = aFILECHECK;
  return file;
}

aErr aFile_Close(aFileRef* file) {
  if (!file) return aErrParam;
  aFileRef f = *file;
  *file = NULL;
  if (!sValid(f)) return aErrParam;
  /* A failing close means buffered data did not reach the file. */
  int rc = fclose(f->fp);
  f->check = 0;
  free(f);
  return rc == 0 ? aErrNone : aErrIO;
}

aErr aFile_Read(aFileRef file, uint8_t* buffer, size_t length, size_t* count) {
  if (count) *count = 0;
  if (!sValid(file)) return aErrParam;
  if (!sCanRead(file)) return aErrMode;
  if (length == 0) return aErrNone;
  if (!buffer) return aErrParam;
  sSwitchTo(file, sOpRead);
  size_t n = fread(buffer, 1, length, file->fp);
  if (count) *count = n;
  if (n == 0) return ferror(file->fp) ? aErrIO : aErrEOF;
  return aErrNone;
}

aErr aFile_Write(aFileRef file, const uint8_t* data, size_t length, size_t* count) {
  if (count) *count = 0;
  if (!sValid(file)) return aErrParam;
  if (!sCanWrite(file)) return aErrMode;
  if (length == 0) return aErrNone;
  if (!data) return aErrParam;
  sSwitchTo(file, sOpWrite);
  size_t n = fwrite(data, 1, length, file->fp);
  if (count) *count = n;
  /* A short write lost data: report it, the count says how much went out. */
  return n == length ? aErrNone : aErrIO;
}

aErr aFile_ReadLine(aFileRef file, char* buffer, size_t size, size_t* length) {
  if (length) *length = 0;
  if (!sValid(file)) return aErrParam;
  if (!sCanRead(file)) return aErrMode;
  if (!buffer || size < 2) return aErrParam;
  buffer[0] = '\0';
  sSwitchTo(file, sOpRead);
  int limit = size > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(size);
  if (!fgets(buffer, limit, file->fp)) {
    buffer[0] = '\0';
    return ferror(file->fp) ? aErrIO : aErrEOF;
  }
  size_t n = strlen(buffer);
  if (length) *length = n;
  if (n == static_cast<size_t>(limit) - 1 && buffer[n - 1] != '\n') return aErrOverrun;
  return aErrNone;
}

aErr aFile_Printf(aFileRef file, const char* format, ...) {
  if (!sValid(file) || !format) return aErrParam;
  if (!sCanWrite(file)) return aErrMode;
  sSwitchTo(file, sOpWrite);
  va_list args;
  va_start(args, format);
  int rc = vfprintf(file->fp, format, args);
  va_end(args);
  return rc < 0 ? aErrIO : aErrNone;
}

aErr aFile_Seek(aFileRef file, long offset, int origin) {
  if (!sValid(file)) return aErrParam;
  if (origin < aSeekStart || origin > aSeekEnd) return aErrParam;
  long current = ftell(file->fp);
  if (current < 0 || fseek(file->fp, 0, SEEK_END) != 0) return aErrIO;
  long end = ftell(file->fp);
  if (end < 0 || fseek(file->fp, current, SEEK_SET) != 0) return aErrIO;
  long base = origin == aSeekStart ? 0 : origin == aSeekCurrent ? current : end;
  long target;
  if (__builtin_add_overflow(base, offset, &target) || target < 0 || target > end)
    return aErrRange;
  if (fseek(file->fp, target, SEEK_SET) != 0) return aErrIO;
  file->lastOp = sOpNone;
  return aErrNone;
}

aErr aFile_GetSize(aFileRef file, size_t* size) {
  if (size) *size = 0;
  if (!sValid(file) || !size) return aErrParam;
  long current = ftell(file->fp);
  if (current < 0 || fseek(file->fp, 0, SEEK_END) != 0) return aErrIO;
  long end = ftell(file->fp);
  if (fseek(file->fp, current, SEEK_SET) != 0 || end < 0) return aErrIO;
  file->lastOp = sOpNone;
  *size = static_cast<size_t>(end);
  return aErrNone;
}

aErr aFile_GetPosition(aFileRef file, size_t* position) {
  if (!sValid(file) || !position) return aErrParam;
  long current = ftell(file->fp);
  if (current < 0) return aErrIO;
  *position = static_cast<size_t>(current);
  return aErrNone;
}

aErr aFile_SetUnbuffered(aFileRef file) {
  if (!sValid(file)) return aErrParam;
  if (!sCanWrite(file)) return aErrMode;
  return setvbuf(file->fp, NULL, _IONBF, 0) == 0 ? aErrNone : aErrMode;
}

aErr aFile_Delete(const char* path) {
  if (!path) return aErrParam;
  if (!sPathUsable(path)) return aErrFileNameLength;
  if (unlink(path) == 0) return aErrNone;
  switch (errno) {
    case ENOENT: return aErrNotFound;
    case EACCES:
    case EPERM: return aErrPermission;
    default: return aErrIO;
  }
}

}  // extern "C"
