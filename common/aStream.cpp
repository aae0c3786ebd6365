#include "aStream.h"

#include <stdlib.h>
#include <string.h>

#include "unix_file.h"

namespace {

/* Reads of up to this many bytes use a scratch buffer on the stack; the
 * link engine reads one byte at a time. */
constexpr size_t kStackScratch = 64;

bool sValid(aStreamRef stream) { return stream && stream->check == aSTREAMCHECK; }

bool sRingTake(aStreamRef stream, uint8_t* byte) {
  if (stream->buffered == 0) return false;
  *byte = stream->pushBack[stream->head];
  stream->head = (stream->head + 1) % stream->capacity;
  stream->buffered--;
  return true;
}

aErr sRingStore(aStreamRef stream, uint8_t byte) {
  if (!stream->pushBack || stream->buffered >= stream->capacity - 1) {
    size_t capacity = stream->capacity + aSTREAMBUFCHUNK;
    uint8_t* ring = static_cast<uint8_t*>(malloc(capacity));
    if (!ring) return aErrMemory;
    for (size_t i = 0; i < stream->buffered; ++i)
      ring[i] = stream->pushBack[(stream->head + i) % stream->capacity];
    free(stream->pushBack);
    stream->pushBack = ring;
    stream->capacity = capacity;
    stream->head = 0;
    stream->tail = stream->buffered;
  }
  stream->pushBack[stream->tail] = byte;
  stream->tail = (stream->tail + 1) % stream->capacity;
  stream->buffered++;
  return aErrNone;
}

/* Returns bytes to the stream so that the next read sees them first. The
 * ring is empty whenever a transport read was needed, so appending keeps the
 * original order. */
aErr sRingStoreAll(aStreamRef stream, const uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    aErr err = sRingStore(stream, bytes[i]);
    if (err != aErrNone) return err;
  }
  return aErrNone;
}

/* A scratch buffer on the stack for small sizes, else on the heap. */
class Scratch {
 public:
  explicit Scratch(size_t size)
      : heap_(size > kStackScratch ? static_cast<uint8_t*>(malloc(size)) : nullptr),
        data_(size > kStackScratch ? heap_ : local_) {}
  ~Scratch() { free(heap_); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  uint8_t* data() { return data_; }

 private:
  uint8_t local_[kStackScratch];
  uint8_t* heap_;
  uint8_t* data_;
};

aErr sFileGet(uint8_t* byte, void* reference) {
  if (!reference) return aErrIO;
  return aFile_Read(static_cast<aFileRef>(reference), byte, 1, NULL);
}

aErr sFilePut(const uint8_t* byte, void* reference) {
  if (!reference) return aErrIO;
  return aFile_Write(static_cast<aFileRef>(reference), byte, 1, NULL);
}

aErr sFileWrite(const uint8_t* data, size_t length, void* reference) {
  if (!reference) return aErrIO;
  return aFile_Write(static_cast<aFileRef>(reference), data, length, NULL);
}

aErr sFileDelete(void* reference) {
  if (!reference) return aErrIO;
  aFileRef file = static_cast<aFileRef>(reference);
  return aFile_Close(&file);
}

aErr sCreateFileStream(const char* path, aFileMode mode, aStreamRef* stream) {
  if (!path || !stream) return aErrResource;
  aFileRef file = aFile_Open(path, mode);
  if (!file) return aErrResource;
  aStreamRef created = mode == aFileModeReadOnly
                           ? aStream_Create(sFileGet, NULL, NULL, sFileDelete, file)
                           : aStream_Create(NULL, sFilePut, sFileWrite, sFileDelete, file);
  if (!created) {
    aFile_Close(&file);
    return aErrResource;
  }
  *stream = created;
  return aErrNone;
}

}  // namespace

extern "C" {

aStreamRef aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                          aStreamDeleteProc del, void* reference) {
  aStreamRef stream = static_cast<aStreamRef>(calloc(1, sizeof(aStream)));
  if (!stream) return NULL;
  stream->getProc = get;
  stream->putProc = put;
  stream->writeProc = write;
  stream->deleteProc = del;
  stream->reference = reference;
  stream->check = aSTREAMCHECK;
  return stream;
}

aErr aStream_Destroy(aStreamRef* stream) {
  if (!stream) return aErrParam;
  aStreamRef s = *stream;
  *stream = NULL;
  if (!sValid(s)) return aErrParam;
  aErr err = s->deleteProc ? s->deleteProc(s->reference) : aErrNone;
  free(s->pushBack);
  s->check = 0;
  free(s);
  return err;
}

aErr aStream_Read(aStreamRef stream, uint8_t* destination, size_t size) {
  if (!sValid(stream) || !destination) return aErrParam;
  if (!stream->getProc) return aErrMode;
  if (size == 0) return aErrNone;
  Scratch scratch(size);
  uint8_t* bytes = scratch.data();
  if (!bytes) return aErrResource;

  aErr err = aErrNone;
  size_t count = 0;
  while (count < size && err == aErrNone) {
    if (sRingTake(stream, &bytes[count])) {
      ++count;
      continue;
    }
    err = stream->getProc(&bytes[count], stream->reference);
    if (err == aErrNone) ++count;
  }
  if (err == aErrNotReady) {
    aErr stored = sRingStoreAll(stream, bytes, count);
    return stored == aErrNone ? aErrNotReady : stored;
  }
  if (err == aErrNone || err == aErrEOF) memcpy(destination, bytes, count);
  return err;
}

aErr aStream_Write(aStreamRef stream, const uint8_t* data, size_t length) {
  if (!sValid(stream) || !data) return aErrParam;
  if (!stream->writeProc && !stream->putProc) return aErrMode;
  if (length == 0) return aErrNone;
  /* A stream with a block write but no byte put writes single bytes as a
   * block of one. */
  if (stream->writeProc && (length > 1 || !stream->putProc))
    return stream->writeProc(data, length, stream->reference);
  for (size_t i = 0; i < length; ++i) {
    aErr err = stream->putProc(&data[i], stream->reference);
    if (err != aErrNone) return err;
  }
  return aErrNone;
}

aErr aStream_ReadRecord(aStreamRef stream, uint8_t* buffer, size_t* length, size_t size,
                        const uint8_t* terminator, size_t terminatorLength) {
  if (!sValid(stream) || !buffer || !terminator || terminatorLength == 0) return aErrParam;
  /* Every byte taken is kept in arrival order, so that a read cut short by
   * aErrNotReady can return all of them, matched terminator bytes included;
   * at most `size` stored and `terminatorLength` matched bytes are taken. */
  size_t room;
  if (__builtin_add_overflow(size, terminatorLength, &room)) return aErrResource;
  uint8_t* taken = static_cast<uint8_t*>(malloc(room));
  uint8_t* stored = static_cast<uint8_t*>(malloc(size ? size : 1));
  if (!taken || !stored) {
    free(taken);
    free(stored);
    return aErrResource;
  }

  aErr err = aErrNone;
  size_t takenCount = 0;
  size_t count = 0;
  size_t match = 0;
  while (count < size && match < terminatorLength) {
    uint8_t byte = 0;
    if (!sRingTake(stream, &byte)) err = aStream_Read(stream, &byte, 1);
    if (err != aErrNone) break;
    taken[takenCount++] = byte;
    if (byte == terminator[match])
      ++match;
    else
      stored[count++] = byte;
  }

  if (err == aErrNotReady) {
    aErr pushed = sRingStoreAll(stream, taken, takenCount);
    if (pushed != aErrNone) err = pushed;
  } else if (err == aErrEOF && count > 0) {
    err = aErrNone;
  }
  if (err == aErrNone || err == aErrEOF) {
    memcpy(buffer, stored, count);
    if (length) *length = count;
  }
  free(taken);
  free(stored);
  return err;
}

aErr aStream_WriteRecord(aStreamRef stream, const uint8_t* data, size_t length,
                         const uint8_t* terminator, size_t terminatorLength) {
  if (!sValid(stream) || !data || !terminator || terminatorLength == 0) return aErrParam;
  aErr err = aStream_Write(stream, data, length);
  if (err != aErrNone) return err;
  return aStream_Write(stream, terminator, terminatorLength);
}

aErr aStream_ReadCString(aStreamRef stream, char* buffer, size_t size) {
  if (!buffer || size == 0) return aErrParam;
  static const uint8_t kZero = 0;
  size_t length = 0;
  aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &length, size - 1,
                                &kZero, 1);
  if (err == aErrNone || err == aErrEOF) buffer[length] = '\0';
  return err;
}

aErr aStream_WriteCString(aStreamRef stream, const char* string) {
  if (!string) return aErrParam;
  return aStream_Write(stream, reinterpret_cast<const uint8_t*>(string), strlen(string) + 1);
}

aErr aStream_ReadCStringRecord(aStreamRef stream, char* buffer, size_t size,
                               const char* terminator) {
  if (!buffer || size == 0 || !terminator) return aErrParam;
  size_t length = 0;
  aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &length, size - 1,
                                reinterpret_cast<const uint8_t*>(terminator),
                                strlen(terminator));
  if (err == aErrNone || err == aErrEOF) buffer[length] = '\0';
  return err;
}

aErr aStream_WriteCStringRecord(aStreamRef stream, const char* string, const char* terminator) {
  if (!string || !terminator) return aErrParam;
  aErr err = aStream_Write(stream, reinterpret_cast<const uint8_t*>(string), strlen(string));
  if (err != aErrNone) return err;
  return aStream_Write(stream, reinterpret_cast<const uint8_t*>(terminator),
                       strlen(terminator) + 1);
}

aErr aStream_Flush(aStreamRef input, aStreamRef output) {
  if (!sValid(input) || !sValid(output)) return aErrParam;
  if (!input->getProc || !output->putProc) return aErrMode;
  for (;;) {
    uint8_t byte = 0;
    aErr err = input->getProc(&byte, input->reference);
    if (err == aErrEOF) return aErrNone;
    if (err != aErrNone) return err;
    err = output->putProc(&byte, output->reference);
    if (err != aErrNone) return err;
  }
}

aErr aStream_CreateFileInput(const char* path, aStreamRef* stream) {
  return sCreateFileStream(path, aFileModeReadOnly, stream);
}

aErr aStream_CreateFileOutput(const char* path, aStreamRef* stream) {
  return sCreateFileStream(path, aFileModeWriteOnly, stream);
}

}  // extern "C"
