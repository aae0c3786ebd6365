// Feeds arbitrary bytes to the emulated device the way its links do: as a
// raw packet stream (TCP, device node) and as serial frames. The device must
// neither crash nor answer with a malformed packet.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "SimCodec.h"
#include "SimConfig.h"
#include "SimDevice.h"

namespace {

const qmsim::DeviceConfig& config() {
  static qmsim::DeviceConfig c = qmsim::parseConfig(R"({"devices": [{
      "serial": "40F5849A", "module": 2, "name": "fuzz",
      "loader": {"uei_data": true, "flash_base": 0, "flash_size": 4096, "block_size": 64},
      "routed": [{"serial": "1234ABCD", "module": 6, "firmware": "2.10.3", "loader": {"flash_size": 256}},
                 {"serial": "1234ABCE", "module": 8, "i2c_address": 20, "loader": {"flash_size": 256}}]}]})")
                                     .devices[0];
  return c;
}

void check(const std::vector<qmsim::Packet>& out) {
  for (const auto& p : out)
    if (p.length > qmsim::kMaxData || p.address == 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  qmsim::Device device(config());
  qmsim::Session session;
  std::vector<qmsim::Packet> out;
  // The first byte picks the link kind, the rest is what arrives on it.
  if (data[0] & 1) {
    qmsim::FrameDecoder frames;
    for (size_t i = 1; i < size; ++i)
      if (frames.feed(data[i]) == qmsim::FrameDecoder::Step::Complete) {
        device.receive(frames.packet(), session, out);
        check(out);
        for (const auto& p : out)
          if (qmsim::encodeFrame(p).size() > 34) std::abort();
        out.clear();
      }
  } else {
    qmsim::PacketAssembler assembler;
    for (size_t i = 1; i < size; ++i)
      if (assembler.feed(data[i]) == qmsim::PacketAssembler::Step::Complete) {
        device.receive(assembler.packet(), session, out);
        check(out);
        out.clear();
      }
  }
  if (auto outage = device.takeOutage()) device.restart(outage->newFirmware);
  return 0;
}
