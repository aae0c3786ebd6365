/* Packet framing stream: COBS frames with a CRC-8 over a byte transport. */
#include "aStream_CobsEncoding.h"

#include <stdlib.h>
#include <string.h>

#include "aPacket.h"
#include "cobs.h"
#include "crc8.h"

namespace {

struct CobsStream {
  aStreamGetProc get;
  aStreamPutProc put;
  aStreamWriteProc write;
  aStreamDeleteProc del;
  void* reference;
  uint16_t check;
  // Receive side: the encoded frame so far, then the decoded packet that
  // is being handed out byte by byte.
  uint8_t frame[aCOBS_MAX_FRAME];
  size_t frameCount;
  bool frameOverflow;  // the frame ran past the longest valid frame
  size_t position;
  bool ready;
  size_t packetLength;
  // Send side: packets are assembled from the written bytes, then framed.
  aPacket* assembly;
  uint8_t out[aCOBS_MAX_FRAME + 1];
  size_t outLength;
};

CobsStream* sRecord(void* reference) {
  CobsStream* record = static_cast<CobsStream*>(reference);
  if (record == nullptr || record->check != aCOBSSTREAMCHECK) return nullptr;
  return record;
}

// Decodes the received frame; true when it is a whole packet with its CRC.
bool sAcceptFrame(CobsStream* record) {
  size_t count = record->frameCount;
  bool overflow = record->frameOverflow;
  record->frameCount = 0;
  record->frameOverflow = false;
  if (overflow) return false;
  size_t decoded = cobs_decode_inplace(record->frame, count);
  if (decoded <= 2) return false;
  if (decoded != (size_t)record->frame[1] + 3) return false;
  if (!crc8_check(record->frame, decoded - 1, record->frame[decoded - 1])) return false;
  record->packetLength = decoded - 1;
  record->position = 0;
  record->ready = true;
  return true;
}

aErr sCobsGet(uint8_t* byte, void* reference) {
  CobsStream* record = sRecord(reference);
  if (record == nullptr) return aErrParam;
  if (record->ready) {
    *byte = record->frame[record->position++];
    if (record->position >= record->packetLength) {
      record->ready = false;
      record->position = 0;
      record->packetLength = 0;
    }
    return aErrNone;
  }
  uint8_t in = 0;
  if (record->get == nullptr || record->get(&in, record->reference) != aErrNone)
    return aErrNotReady;
  if (in != 0) {
    if (record->frameCount < sizeof(record->frame))
      record->frame[record->frameCount++] = in;
    else
      record->frameOverflow = true;
    return aErrNotReady;
  }
  if (record->frameCount == 0 && !record->frameOverflow) return aErrNotReady;
  // The packet's first byte comes with the next get.
  return sAcceptFrame(record) ? aErrNotReady : aErrPacket;
}

aErr sCobsPut(const uint8_t* byte, void* reference) {
  CobsStream* record = sRecord(reference);
  if (record == nullptr) return aErrParam;
  if (record->put == nullptr) return aErrMode;
  return record->put(byte, record->reference);
}

aErr sSendPacket(CobsStream* record) {
  size_t length = 0;
  aErr err = aPacket_GetBytes(record->assembly, record->out, aCOBS_MAX_PACKET, &length);
  aPacket_Reset(record->assembly);
  if (err != aErrNone) return err;
  record->out[length] = crc8_create(record->out, length);
  length = cobs_encode_inplace(record->out, length + 1);
  record->out[length++] = 0;
  record->outLength = length;
  if (record->write == nullptr) return aErrMode;
  return record->write(record->out, length, record->reference);
}

aErr sCobsWrite(const uint8_t* data, size_t length, void* reference) {
  CobsStream* record = sRecord(reference);
  if (record == nullptr) return aErrParam;
  if (data == nullptr && length > 0) return aErrParam;
  aErr result = aErrNone;
  for (size_t i = 0; i < length; i++) {
    if (aPacket_AddByte(record->assembly, data[i]) != aErrNone) {
      // A byte the assembler refuses leaves it in a state no later byte
      // can complete; start over with the next byte.
      aPacket_Reset(record->assembly);
      continue;
    }
    if (aPacket_IsComplete(record->assembly)) {
      aErr err = sSendPacket(record);
      if (err != aErrNone) result = err;
    }
  }
  return result;
}

aErr sCobsDelete(void* reference) {
  CobsStream* record = sRecord(reference);
  if (record == nullptr) return aErrParam;
  aErr err = aErrNone;
  if (record->del != nullptr) err = record->del(record->reference);
  aPacket_Destroy(&record->assembly);
  record->check = 0;
  free(record);
  return err;
}

}  // namespace

extern "C" aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put,
                                           aStreamWriteProc write, aStreamDeleteProc del,
                                           void* reference, aStreamRef* stream) {
  if (stream == nullptr) return aErrParam;
  *stream = nullptr;
  CobsStream* record = static_cast<CobsStream*>(calloc(1, sizeof(CobsStream)));
  if (record == nullptr) return aErrMemory;
  record->assembly = aPacket_Create();
  if (record->assembly == nullptr) {
    free(record);
    return aErrMemory;
  }
  record->get = get;
  record->put = put;
  record->write = write;
  record->del = del;
  record->reference = reference;
  record->check = aCOBSSTREAMCHECK;
  aStreamRef made = aStream_Create(sCobsGet, sCobsPut, sCobsWrite, sCobsDelete, record);
  if (made == nullptr) {
    aPacket_Destroy(&record->assembly);
    record->check = 0;
    free(record);
    return aErrResource;
  }
  *stream = made;
  return aErrNone;
}
