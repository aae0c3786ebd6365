#include "UpdaterEntity.h"

#include <algorithm>
#include <cstring>

#include "Log.h"
#include "Module.h"
#include "unix_time.h"
#include "autoGen_SystemClass_CPP.h"

using Ostrevan::Quillomat::Module;
using Ostrevan::Quillomat::SystemClass;

namespace {

constexpr uint32_t DEFAULT_SERIAL_NUMBER = 0xDEADDEAD;
constexpr uint32_t LOADER_RECONNECT_DELAY_MS = 500;
constexpr uint32_t REBOOT_POLL_MS = 250;
constexpr uint32_t POOLED_PACKETS_FEATURE = 0x80000000u;

uint32_t sAddress(const uint8_t* data) {
  return (uint32_t(data[0]) << 24) | (uint32_t(data[1]) << 16) | (uint32_t(data[2]) << 8) |
         data[3];
}

}  // namespace

UpdaterEntity::~UpdaterEntity() = default;

void UpdaterEntity::init(Module* device, uint8_t index, bool validateBlocks, bool noWait) {
  EntityClass::init(device, cmdUPGRADE, index);
  module = device;
  validate = validateBlocks;
  noRebootWait = noWait;
  useUEIData = false;
}

aErr UpdaterEntity::send(uint8_t subcommand, const uint8_t* data, uint8_t length) {
  uint8_t bytes[aPACKET_MAX_DATA] = {subcommand};
  if (length) std::memcpy(bytes + 1, data, length);
  return sendPacket(cmdUPGRADE, static_cast<uint8_t>(length + 1), bytes);
}

// Waits for the reply that starts with the upgrade command and `subcommand`.
aErr UpdaterEntity::awaitReply(uint8_t subcommand, uint8_t* reply, uint8_t* length) {
  const uint8_t match[2] = {cmdUPGRADE, subcommand};
  *length = sizeof match;
  return receivePacket(match, length, reply);
}

aErr UpdaterEntity::LoaderInit() {
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
  aErr err = send(val_UPGRADE_INIT);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", err);
    return err;
  }
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  err = awaitReply(val_UPGRADE_INIT, reply, &length);
  if (err != aErrNone) return err;
  if (length <= 5) return aErrPacket;
  uint32_t base = sAddress(reply + 2);
  Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", static_cast<int>(base), base);
  return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const uint8_t* data, uint32_t length, uint8_t flags,
                                    uint16_t* blockSize) {
  if (!data || length < 4 || !blockSize) return aErrParam;
  Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n",
           static_cast<int>(length), flags, *blockSize);
  Log::log(DEBUG_Network_FIRM,
           "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X "
           "%02X]} \n",
           flags, data[0], data[1], data[2], data[3]);
  Log::log(DEBUG_Network_FIRM, "NETWORK: Address: %d\n", static_cast<int>(sAddress(data)));
  const uint8_t request[5] = {flags, data[0], data[1], data[2], data[3]};
  aErr err = send(val_UPGRADE_PREPARE, request, sizeof request);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", err);
    return err;
  }
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  err = awaitReply(val_UPGRADE_STATUS, reply, &replyLength);
  if (err != aErrNone) return err;
  if (replyLength < 5 || reply[2] != 0) {
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
    return aErrInvalidOption;
  }
  *blockSize = static_cast<uint16_t>((reply[3] << 8) | reply[4]);
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n",
           *blockSize);
  return aErrNone;
}

aErr UpdaterEntity::LoaderTransfer(const uint8_t* data, uint32_t length) {
  if (!data || length < 4) return aErrParam;
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n", sAddress(data),
           static_cast<int>(length - 4));
  uint32_t blocks = 0;
  return _block_transfer(data + 4, length - 4, &blocks);
}

aErr UpdaterEntity::FirmwareTransfer(const uint8_t* data, uint32_t length, uint16_t blockSize,
                                     UpdaterDisplayInterface& display) {
  if (!data || length < 4) return aErrParam;
  Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n", sAddress(data),
           static_cast<int>(length - 4));
  Log::timestamped = false;
  display.display_progress(true);
  uint32_t remaining = length - 4;
  const uint8_t* bytes = data + 4;
  uint32_t blocks = 0;
  // A device that asks for blocks of 0 bytes would never let the transfer
  // progress.
  aErr err = (blockSize == 0 && remaining > 0) ? aErrSize : aErrNone;
  while (remaining > 0 && err == aErrNone) {
    uint32_t chunk = std::min<uint32_t>(remaining, blockSize);
    err = _block_transfer(bytes, chunk, &blocks);
    if (err != aErrNone) break;
    remaining -= chunk;
    bytes += chunk;
    ++blocks;
    display.update_progress(static_cast<double>(length - remaining) / length);
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
             static_cast<int>(chunk), static_cast<int>(remaining), static_cast<int>(length));
    err = FirmwareWrite(chunk);
  }
  display.display_progress(false);
  Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n",
           static_cast<int>(length - remaining), static_cast<int>(length));
  if (err != aErrNone) Log::log(0, "NETWORK: Failed to transfer firmware\n");
  return err;
}

aErr UpdaterEntity::_block_transfer(const uint8_t* bytes, uint32_t length, uint32_t* blocks) {
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
  uint32_t sum = 0;
  uint32_t remaining = length;
  aErr err = aErrNone;
  if (useUEIData) {
    err = _block_transfer_uei_helper(bytes, length, blocks, &sum);
    if (err != aErrNone) return err;
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d bytes \n", static_cast<int>(length));
    remaining = 0;
  } else {
    int sends = 0;
    while (remaining > 0 && err == aErrNone) {
      uint8_t n = static_cast<uint8_t>(std::min<uint32_t>(remaining, DATA_CHUNK));
      Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n",
               n);
      err = send(val_UPGRADE_DATA, bytes, n);
      if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", err);
        return err;
      }
      uint8_t reply[aPACKET_MAX_DATA];
      uint8_t replyLength = 0;
      if (awaitReply(val_UPGRADE_DATA, reply, &replyLength) != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
        err = aErrPacket;
        break;
      }
      uint8_t accepted = replyLength > 2 ? reply[2] : 0;
      if (accepted != n) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n",
                 accepted, n);
        if (++sends >= DATA_SENDS) err = aErrPacket;
        continue;
      }
      sends = 0;
      for (uint8_t i = 0; i < n; ++i) sum += bytes[i];
      bytes += n;
      remaining -= n;
      ++*blocks;
      Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", n,
               static_cast<int>(remaining), static_cast<int>(length));
    }
  }
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n",
           static_cast<int>(length - remaining), static_cast<int>(length));
  if (err != aErrNone || !validate) return err;

  Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
  send(val_UPGRADE_SUM);
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  if (awaitReply(val_UPGRADE_STATUS, reply, &replyLength) != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
    return aErrPacket;
  }
  uint8_t status = replyLength > 2 ? reply[2] : 0xFF;
  uint32_t deviceSum = replyLength >= 7 ? sAddress(reply + 3) : ~sum;
  if (status != 0 || deviceSum != sum) {
    Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, sum,
             deviceSum);
    return aErrInvalidOption;
  }
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n",
           status, sum, deviceSum, static_cast<int>(*blocks));
  return aErrNone;
}

aErr UpdaterEntity::_block_transfer_uei_helper(const uint8_t* bytes, uint32_t length,
                                               uint32_t* blocks, uint32_t* sum) {
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA_UEI, %d} \n",
           static_cast<int>(length));
  aErr err = setUEIBytes(val_UPGRADE_DATA_UEI, bytes, length);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA_UEI (%d)\n", err);
    return err;
  }
  for (uint32_t i = 0; i < length; ++i) *sum += bytes[i];
  *blocks = 1;
  return aErrNone;
}

aErr UpdaterEntity::FirmwareWrite(uint32_t count) {
  Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n",
           static_cast<int>(count));
  const uint8_t request[2] = {static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
  aErr err = send(val_UPGRADE_WRITE, request, sizeof request);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", err,
             aError_GetErrorText(err));
    return err;
  }
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  err = awaitReply(val_UPGRADE_STATUS, reply, &length);
  if (err != aErrNone || length < 3 || reply[2] != 0) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: invalid or error reply when loader writing firmware.\n\n");
    return aErrInvalidOption;
  }
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
  return aErrNone;
}

aErr UpdaterEntity::LoaderStart() {
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
  aErr err = send(val_UPGRADE_LOAD);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", err);
    return err;
  }
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  if (awaitReply(val_UPGRADE_LOAD, reply, &length) == aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
    return aErrNone;
  }
  // The device may have dropped its link already to run the new loader.
  err = _reconnect(LOADER_RECONNECT_DELAY_MS);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n", err,
             aError_GetErrorText(err));
    return aErrTimeout;
  }
  err = awaitReply(val_UPGRADE_LOAD, reply, &length);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", err,
             aError_GetErrorText(err));
    return aErrTimeout;
  }
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
  return aErrNone;
}

aErr UpdaterEntity::_reconnect(uint32_t delayMs) {
  if (!module) return aErrResource;
  module->disconnect();
  aErr err = aErrNotFound;
  for (int attempt = 1; attempt <= RECONNECT_ATTEMPTS; ++attempt) {
    Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n", attempt,
             RECONNECT_ATTEMPTS);
    err = module->reconnect();
    if (err == aErrNone) {
      Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
      return aErrNone;
    }
    Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n",
             static_cast<int>(delayMs));
    aTime_MSSleep(delayMs);
  }
  // A freshly started loader may not know its serial number yet.
  for (int attempt = 1; attempt <= RECONNECT_ATTEMPTS; ++attempt) {
    Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect DEFAULT sn. Attempt: %d of %d\n",
             attempt, RECONNECT_ATTEMPTS);
    err = module->connect(USB, DEFAULT_SERIAL_NUMBER);
    if (err == aErrNone) {
      Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
      return aErrNone;
    }
    Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n",
             static_cast<int>(delayMs));
    aTime_MSSleep(delayMs);
  }
  return err;
}

aErr UpdaterEntity::CheckUEIDataSupport() {
  if (!module) return aErrResource;
  aErr err = module->hasUEI(cmdUPGRADE, val_UPGRADE_DATA_UEI, 0, 0x80);
  Log::log(DEBUG_Network_FIRM, "NETWORK: CheckUEIDataSupport: Error: %d\n", err);
  if (err == aErrNone) useUEIData = true;
  return err;
}

aErr UpdaterEntity::CheckPooledPacketsSupport() {
  if (!module) return aErrResource;
  SystemClass system;
  system.init(module, 0);
  uint32_t features = 0;
  aErr err = system.getProtocolFeatures(&features);
  Log::log(DEBUG_Network_FIRM, "NETWORK: Protocol Version: %d Error: %d\n",
           static_cast<int32_t>(features), err);
  if (err != aErrNone) return err;
  if (!(features & POOLED_PACKETS_FEATURE)) return aErrNone;
  if (!module->getLink()) return aErrConnection;
  return module->getLink()->enablePooledPackets(true);
}

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display) {
  Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
  aErr err = send(val_UPGRADE_REBOOT);
  if (err != aErrNone) Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");
  // Wait for the link to drop, but not forever: a device that keeps its
  // link up after the request is reported in the log.
  uint32_t waited = 0;
  while (module && module->isConnected()) {
    if (waited >= REBOOT_WAIT_MS) {
      Log::log(0, "NETWORK: link did not drop within %d ms after the reboot request\n",
               static_cast<int>(REBOOT_WAIT_MS));
      break;
    }
    aTime_MSSleep(REBOOT_POLL_MS);
    waited += REBOOT_POLL_MS;
    display.update_spinner(true, "Verifying Update");
    Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
    Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
    if (noRebootWait) break;
  }
  display.update_spinner(false, "Verifying Update");
  return err;
}
