// UpdaterEntity: the conversation with a device's boot loader through the
// upgrade command. It initialises the loader, announces each image block
// with its flash address, streams the block (acknowledged data packets, or
// one UEI byte block when the device supports it), has the device check a
// byte sum and write what it received, starts a new loader and reboots the
// device, finding it again when its link drops on the way.
#pragma once

#include <cstdint>

#include "Entity.h"
#include "UpdaterDisplayInterface.h"

constexpr uint8_t cmdUPGRADE = 0x5F;

enum : uint8_t {
  val_UPGRADE_INIT = 0,
  val_UPGRADE_DATA = 1,
  val_UPGRADE_LOAD = 2,
  val_UPGRADE_PREPARE = 3,
  val_UPGRADE_SUM = 4,
  val_UPGRADE_WRITE = 5,
  val_UPGRADE_REBOOT = 6,
  val_UPGRADE_STATUS = 7,
  val_UPGRADE_DATA_UEI = 10,
};

class UpdaterEntity : public Ostrevan::Quillomat::EntityClass {
 public:
  // Image bytes per DATA packet.
  static constexpr uint32_t DATA_CHUNK = 26;
  // A DATA chunk whose acknowledged count keeps coming back wrong is sent
  // at most this many times.
  static constexpr int DATA_SENDS = 10;
  static constexpr int RECONNECT_ATTEMPTS = 5;
  // A reboot's link drop is awaited this long at most.
  static constexpr uint32_t REBOOT_WAIT_MS = 30000;

  UpdaterEntity() = default;
  ~UpdaterEntity() override;

  void init(Ostrevan::Quillomat::Module* module, uint8_t index, bool validate, bool noRebootWait);

  aErr LoaderInit();
  aErr TransferPrepare(const uint8_t* data, uint32_t length, uint8_t flags, uint16_t* blockSize);
  aErr LoaderStart();
  aErr CheckUEIDataSupport();
  aErr CheckPooledPacketsSupport();
  aErr LoaderTransfer(const uint8_t* data, uint32_t length);
  aErr FirmwareTransfer(const uint8_t* data, uint32_t length, uint16_t blockSize,
                        UpdaterDisplayInterface& display);
  aErr FirmwareWrite(uint32_t count);
  aErr LoaderReboot(UpdaterDisplayInterface& display);

  aErr _block_transfer(const uint8_t* bytes, uint32_t length, uint32_t* blocks);
  aErr _block_transfer_uei_helper(const uint8_t* bytes, uint32_t length, uint32_t* blocks,
                                  uint32_t* sum);
  aErr _reconnect(uint32_t delayMs);

  bool usesUEIData() const { return useUEIData; }

 private:
  aErr send(uint8_t subcommand, const uint8_t* data = nullptr, uint8_t length = 0);
  aErr awaitReply(uint8_t subcommand, uint8_t* reply, uint8_t* length);

  Ostrevan::Quillomat::Module* module = nullptr;
  bool validate = true;
  bool noRebootWait = false;
  bool useUEIData = false;
};
