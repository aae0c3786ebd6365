#include "SimDevice.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace qmsim {

namespace {

// Device error codes (the library's aErr numbering).
constexpr uint8_t kErrParam = 2;
constexpr uint8_t kErrIO = 6;
constexpr uint8_t kErrRange = 13;
constexpr uint8_t kErrSize = 14;
constexpr uint8_t kErrPacket = 24;
constexpr uint8_t kErrIndexRange = 26;
constexpr uint8_t kErrShortCommand = 27;
constexpr uint8_t kErrInvalidEntity = 28;
constexpr uint8_t kErrInvalidOption = 29;

constexpr uint8_t kCmdSystem = 3;
constexpr uint8_t kCmdI2C = 8;
constexpr uint8_t kCmdEcho = 0x17;
constexpr uint8_t kCmdInfo = 0x49;
constexpr uint8_t kCmdStore = 0x5C;
constexpr uint8_t kCmdUpgrade = 0x5F;

constexpr uint8_t kGet = 0x40;
constexpr uint8_t kSet = 0x80;
constexpr uint8_t kRequest = 0x20;
constexpr uint8_t kErrorReply = 0x80;

constexpr size_t kChunk = 24;           // bytes per byte-block packet
constexpr size_t kMaxBlock = 64 * 1024;  // longest byte block the device takes
constexpr size_t kMaxName = 32;
constexpr size_t kMaxPowerConfig = 32;   // eight 32-bit words

// Sub-commands of the upgrade command.
enum : uint8_t { kInit = 0, kData = 1, kLoad = 2, kPrepare = 3, kSum = 4, kWrite = 5, kReboot = 6, kStatus = 7 };
constexpr uint8_t kUeiData = 10;

void put32(std::vector<uint8_t>& v, uint32_t x) {
  v.push_back(uint8_t(x >> 24));
  v.push_back(uint8_t(x >> 16));
  v.push_back(uint8_t(x >> 8));
  v.push_back(uint8_t(x));
}

uint32_t get32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

std::string hex8(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", v);
  return text;
}

}  // namespace

Device::Device(const DeviceConfig& config, Device* router)
    : config_(config),
      router_(router),
      version_(config.version),
      build_(config.build),
      started_(Clock::now()),
      name_(config.name),
      flash_(config.loader.flashSize, 0xFF),
      nextVersion_(config.loader.hasNewVersion ? config.loader.newVersion : config.version),
      nextBuild_(config.loader.hasNewBuild ? config.loader.newBuild : config.build) {
  resetSettings();
  for (const auto& f : config_.faults)
    if (!addFault({f.kind, f.value, f.count})) throw std::runtime_error("unknown fault \"" + f.kind + "\"");
  for (const auto& r : config_.routed) routed_.push_back(std::make_unique<Device>(r, this));
}

void Device::setNote(Note note) {
  note_ = note;
  for (auto& r : routed_) r->setNote(note);
}

void Device::note(const std::string& text) const {
  if (note_) note_(text);
}

void Device::resetSettings() {
  settings_.clear();
  settings_[2] = config_.router ? config_.router : router_ ? router_->module() : config_.module;
  settings_[3] = 0;    // heartbeat interval setting
  settings_[4] = 0;    // LED
  settings_[6] = 0;    // boot slot
  settings_[15] = 0;   // module software offset
  settings_[30] = 0;   // input power behaviour
  settings_[34] = 0;   // power limit maximum
  settings_[38] = 0;   // link interface
  settings_[42] = 255; // LED maximum brightness
  name_ = config_.name;
  powerConfig_.clear();
}

const Device::OptionDef* Device::systemOption(uint8_t option) {
  static const OptionDef table[] = {
      {1, Kind::U8, true, false},    {2, Kind::U8, true, true},     {3, Kind::U8, true, true},
      {4, Kind::U8, true, true},     {6, Kind::U8, true, true},     {7, Kind::U32, true, false},
      {8, Kind::U8, true, false},    {9, Kind::U32, true, false},   {10, Kind::Call, false, true},
      {11, Kind::Call, false, true}, {12, Kind::U32, true, false},  {13, Kind::U8, true, false},
      {14, Kind::U8, true, false},   {15, Kind::U8, true, true},    {16, Kind::U8, true, false},
      {20, Kind::U8, false, true},   {21, Kind::U32, true, false},  {22, Kind::U32, true, false},
      {23, Kind::U32, true, false},  {24, Kind::Call, false, true}, {25, Kind::U32, true, false},
      {26, Kind::U32, true, false},  {27, Kind::U32, true, false},  {28, Kind::U32, true, false},
      {29, Kind::U8, true, false},   {30, Kind::U8, true, true},    {31, Kind::Bytes, true, true},
      {32, Kind::Bytes, true, true}, {33, Kind::U32, true, false},  {34, Kind::U32, true, true},
      {35, Kind::U32, true, false},  {37, Kind::Call, false, true}, {38, Kind::U8, true, true},
      {40, Kind::U32, true, false},  {41, Kind::U32, true, false},  {42, Kind::U8, true, true},
      {43, Kind::U32, true, false},  {45, Kind::U32, true, false},
  };
  for (const auto& entry : table)
    if (entry.option == option) return &entry;
  return nullptr;
}

uint32_t Device::systemValue(uint8_t option) const {
  switch (option) {
    case 1: return config_.module;
    case 7: return version_.packed();
    case 8: return config_.model;
    case 9: return config_.serial;
    case 12: return 5000000;   // input voltage, microvolts
    case 13: return 0;         // hardware address offset
    case 14: return config_.module;
    case 16: return settings_.at(2);
    case 21: return 150000;    // input current, microamperes
    case 22: return uint32_t(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - started_).count());
    case 23: return 41000;     // temperatures in millidegrees
    case 25: return 5100000;
    case 26: return 160000;
    case 27: return 35500;
    case 28: return 21000;
    case 29: return 1;         // powered from the bus
    case 33: return 15000000;  // power limit, microwatts
    case 35: return 0;
    case 40: return 0x01000000;
    case 41: return 0;
    case 43: return build_;
    case 45: return config_.protocolFeatures | (config_.loader.pooledPackets ? 0x80000000u : 0);
    default: {
      auto it = settings_.find(option);
      return it == settings_.end() ? 0 : it->second;
    }
  }
}

void Device::receive(const Packet& in, Session& session, std::vector<Packet>& out) {
  if (in.address == 0xAD) {
    // Synchronisation request and module-address query: an empty packet
    // from the address of the device at this end of the link.
    if (in.length != 0 || fault("no-sync")) return;
    const Fault* f = fault("sync-address");
    out.push_back(Packet(f ? uint8_t(f->value) : config_.module, {}));
    return;
  }
  if (in.address == 0xAF) {
    if (in.length == 1) {
      session.route = in.data[0];
      note("route " + hex8(config_.serial) + " " + session.name + " " + std::to_string(in.data[0]));
    }
    return;
  }
  if (in.address == config_.module) {
    handleOwn(in, session, out);
    return;
  }
  // Packets for the devices behind this router are forwarded while routing
  // is on, or while the host's link asked for routes (route request 1, sent
  // when a link starts).
  if (!routing_ && session.route != 1) return;
  for (auto& r : routed_) {
    if (r->module() != in.address) continue;
    if (r->outage_) {
      // A routed device that reboots is simply silent behind its router.
      if (Clock::now() < r->downUntil_) return;
      bool fresh = r->outage_->newFirmware;
      r->outage_.reset();
      r->restart(fresh);
    }
    r->handleOwn(in, session, out);
    if (r->outage_) r->downUntil_ = Clock::now() + std::chrono::milliseconds(r->outage_->ms);
    return;
  }
}

std::optional<Outage> Device::takeOutage() {
  std::optional<Outage> o;
  o.swap(outage_);
  return o;
}

void Device::restart(bool newFirmware) {
  if (newFirmware) {
    version_ = nextVersion_;
    build_ = nextBuild_;
  }
  started_ = Clock::now();
  routing_ = false;
  loaderInitialised_ = false;
  received_.clear();
  firmwareWritten_ = false;
  for (auto& r : routed_) r->routing_ = false;
  note("restart " + hex8(config_.serial) + " firmware " + version_.text() + " build " + std::to_string(build_));
}

void Device::setNextFirmware(const Version& v, uint32_t build) {
  nextVersion_ = v;
  nextBuild_ = build;
}

bool Device::addFault(const Fault& f) {
  static const char* kinds[] = {"no-reply",   "data-count", "sum",       "prepare-status", "write-status",
                                "block-size", "drop-load",  "drop-data", "no-sync",        "sync-address"};
  bool known = false;
  for (const char* k : kinds) known = known || f.kind == k;
  if (!known) return false;
  faults_.push_back(f);
  return true;
}

const Fault* Device::fault(const std::string& kind, int value) {
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if (it->kind != kind || (value >= 0 && it->value != value)) continue;
    static Fault played;
    played = *it;
    if (it->count > 0 && --it->count == 0) faults_.erase(it);
    note("fault " + hex8(config_.serial) + " " + played.kind + " " + std::to_string(played.value));
    return &played;
  }
  return nullptr;
}

std::string Device::status() const {
  std::ostringstream s;
  s << "serial 0x" << hex8(config_.serial) << " module " << int(config_.module) << " firmware " << version_.text()
    << " build " << build_ << " routing " << (routing_ ? 1 : 0) << " name \"" << name_ << "\"";
  return s.str();
}

void Device::error(const Packet& in, uint8_t code, std::vector<Packet>& out) {
  uint8_t option = in.length > 1 ? in.data[1] : 0;
  uint8_t replyOption = (option & 0xC0) == kGet ? uint8_t(option & 0x3F) : uint8_t((option & 0x3F) | 0xC0);
  uint8_t index = in.length > 2 ? uint8_t(in.data[2] & 0x1F) : 0;
  out.push_back(Packet(config_.module, {in.data[0], replyOption, uint8_t(index | kErrorReply), code}));
}

void Device::handleOwn(const Packet& in, Session& session, std::vector<Packet>& out) {
  if (in.length == 0) return;
  switch (in.data[0]) {
    case 0:
      return;  // heartbeat answers from the host (the log has them)
    case kCmdSystem:
      return handleSystem(in, session, out);
    case kCmdI2C:
      return handleI2C(in, out);
    case kCmdEcho:
      out.push_back(Packet(config_.module, std::vector<uint8_t>(in.data, in.data + in.length)));
      return;
    case kCmdInfo:
      return handleInfo(in, out);
    case kCmdStore:
      return handleStore(in, out);
    case kCmdUpgrade:
      return handleUpgrade(in, session, out);
    default:
      // Entity classes this device does not have: UEI requests get an error.
      if (in.length >= 3 && (in.data[1] & 0xC0) && (in.data[1] & 0xC0) != 0xC0 && (in.data[2] & kRequest))
        error(in, kErrInvalidEntity, out);
      return;
  }
}

// Common checks of a UEI request; false when it was answered or ignored.
static bool isRequest(const Packet& in) {
  if (in.length < 3) return false;
  uint8_t flags = in.data[1] & 0xC0;
  return flags == kGet || flags == kSet;
}

void Device::handleSystem(const Packet& in, Session& session, std::vector<Packet>& out) {
  if (!isRequest(in)) {
    if (in.length > 0 && in.length < 3) error(in, kErrShortCommand, out);
    return;
  }
  if (!(in.data[2] & kRequest)) return error(in, kErrParam, out);
  uint8_t option = in.data[1] & 0x3F;
  bool get = (in.data[1] & 0xC0) == kGet;
  uint8_t index = in.data[2] & 0x1F;
  const OptionDef* def = systemOption(option);
  if (!def || (option == 32 && !hasName())) return error(in, kErrInvalidOption, out);
  if (index >= classCount(kCmdSystem)) return error(in, kErrIndexRange, out);
  if (get ? !def->get : !def->set) return error(in, kErrInvalidOption, out);

  if (get) {
    if (in.length != 3) return error(in, kErrSize, out);
    if (def->kind == Kind::Bytes) {
      std::vector<uint8_t> bytes = option == 32 ? std::vector<uint8_t>(name_.begin(), name_.end()) : powerConfig_;
      return sendBlock(kCmdSystem, option, index, bytes, out);
    }
    std::vector<uint8_t> reply{kCmdSystem, option, index};
    uint32_t v = systemValue(option);
    if (def->kind == Kind::U8) reply.push_back(uint8_t(v));
    if (def->kind == Kind::U16) reply.insert(reply.end(), {uint8_t(v >> 8), uint8_t(v)});
    if (def->kind == Kind::U32) put32(reply, v);
    out.push_back(Packet(config_.module, reply));
    return;
  }

  uint8_t replyOption = uint8_t(option | 0xC0);
  if (def->kind == Kind::Bytes) {
    std::vector<uint8_t> block;
    if (!collectBlock(in, session, block, out)) return;
    if (option == 32) {
      if (block.size() > kMaxName) return error(in, kErrSize, out);
      name_.assign(block.begin(), block.end());
    } else {
      if (block.size() % 4 || block.size() > kMaxPowerConfig) return error(in, kErrSize, out);
      powerConfig_ = block;
    }
    out.push_back(Packet(config_.module, {kCmdSystem, replyOption, index}));
    return;
  }
  if (def->kind == Kind::Call) {
    if (in.length != 3) return error(in, kErrSize, out);
    out.push_back(Packet(config_.module, {kCmdSystem, replyOption, index}));
    if (option == 11) {
      note("reset " + hex8(config_.serial));
      outage_ = Outage{config_.loader.rebootMs, firmwareWritten_};
    } else if (option == 37) {
      resetSettings();
    }
    return;
  }
  size_t width = def->kind == Kind::U8 ? 1 : def->kind == Kind::U16 ? 2 : 4;
  if (in.length != 3 + width) return error(in, kErrSize, out);
  uint32_t v = width == 1 ? in.data[3] : width == 2 ? uint32_t(in.data[3] << 8 | in.data[4]) : get32(in.data + 3);
  if (option == 20) {
    if (v > 1) return error(in, kErrRange, out);
    routing_ = v == 1;
    note("routing " + hex8(config_.serial) + " " + std::to_string(v));
  } else {
    settings_[option] = v;
  }
  std::vector<uint8_t> reply{kCmdSystem, replyOption, index};
  reply.insert(reply.end(), in.data + 3, in.data + in.length);
  out.push_back(Packet(config_.module, reply));
}

bool Device::collectBlock(const Packet& in, Session& session, std::vector<uint8_t>& block, std::vector<Packet>& out) {
  if (in.length < 4) {
    error(in, kErrShortCommand, out);
    return false;
  }
  uint8_t command = in.data[0], option = in.data[1] & 0x3F, index = in.data[2] & 0x1F;
  uint8_t trailing = in.data[in.length - 1];
  uint8_t sequence = trailing & 0x7F;
  bool more = trailing & 0x80;
  auto& b = session.block;
  bool sameBlock = b && b->module == config_.module && b->command == command && b->option == option &&
                   b->index == index && sequence != 0;
  if (!sameBlock) {
    if (sequence != 0) {
      b.reset();
      error(in, kErrPacket, out);
      return false;
    }
    b = Session::BlockIn{config_.module, command, option, index, 0, {}};
  } else if (sequence != b->nextSequence) {
    b.reset();
    error(in, kErrPacket, out);
    return false;
  }
  b->bytes.insert(b->bytes.end(), in.data + 3, in.data + in.length - 1);
  b->nextSequence = uint8_t((sequence + 1) & 0x7F);
  if (b->bytes.size() > kMaxBlock) {
    b.reset();
    error(in, kErrSize, out);
    return false;
  }
  if (more) return false;
  block.swap(b->bytes);
  b.reset();
  return true;
}

void Device::sendBlock(uint8_t command, uint8_t option, uint8_t index, const std::vector<uint8_t>& bytes,
                       std::vector<Packet>& out) {
  size_t at = 0;
  uint8_t sequence = 0;
  do {
    size_t n = std::min(kChunk, bytes.size() - at);
    Packet p(config_.module, {command, option, index});
    if (n) std::memcpy(p.data + 3, bytes.data() + at, n);
    at += n;
    p.data[3 + n] = uint8_t((sequence & 0x7F) | (at < bytes.size() ? 0x80 : 0));
    p.length = uint8_t(n + 4);
    out.push_back(p);
    sequence = uint8_t((sequence + 1) & 0x7F);
  } while (at < bytes.size());
}

uint8_t Device::classCount(uint8_t command) const {
  auto it = config_.classCounts.find(command);
  if (it != config_.classCounts.end()) return it->second;
  switch (command) {
    case kCmdSystem:
    case kCmdI2C:
    case kCmdStore:
    case kCmdUpgrade:
      return 1;
    default:
      return 0;
  }
}

uint8_t Device::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) const {
  if (classCount(command) == 0) return kErrInvalidEntity;
  if (index >= classCount(command)) return kErrIndexRange;
  bool get = flags == kGet, set = flags == kSet;
  switch (command) {
    case kCmdSystem: {
      const OptionDef* def = systemOption(option);
      if (!def || (option == 32 && !hasName())) return kErrInvalidOption;
      if ((get && !def->get) || (set && !def->set)) return kErrInvalidOption;
      return 0;
    }
    case kCmdStore:
      return option <= 2 && !get ? 0 : kErrInvalidOption;
    case kCmdUpgrade:
      return option == kUeiData && !get && config_.loader.ueiData ? 0 : kErrInvalidOption;
    default:
      return kErrInvalidEntity;  // I2C is driven by raw packets, not UEI
  }
}

void Device::handleInfo(const Packet& in, std::vector<Packet>& out) {
  if (in.length < 2) return;
  const uint8_t* d = in.data;
  std::vector<uint8_t> reply;
  switch (d[1]) {
    case 0xFF:
      if (in.length != 2) break;
      reply = {kCmdInfo, 0xFF};
      put32(reply, build_);
      break;
    case 1:
      if (in.length != 6) break;
      reply = {kCmdInfo, 1, d[2], d[3], d[4], hasUEI(d[2], d[3], d[4], d[5])};
      break;
    case 4:
      if (in.length != 3) break;
      reply = {kCmdInfo, 4, d[2], classCount(d[2])};
      break;
    case 5:  // sub-class count
    case 6:  // entity group
      if (in.length != 4) break;
      reply = {kCmdInfo, d[1], d[2], d[3], 0};
      break;
    default:
      break;
  }
  if (reply.empty()) {
    note("ignored " + hex8(config_.serial) + " information query " + hex(in.data, in.length));
    return;
  }
  out.push_back(Packet(config_.module, reply));
}

void Device::handleStore(const Packet& in, std::vector<Packet>& out) {
  if (!isRequest(in)) return;
  if (!(in.data[2] & kRequest)) return error(in, kErrParam, out);
  uint8_t option = in.data[1] & 0x3F;
  uint8_t index = in.data[2] & 0x1F;
  if (index >= classCount(kCmdStore)) return error(in, kErrIndexRange, out);
  if ((in.data[1] & 0xC0) != kSet || option > 2) return error(in, kErrInvalidOption, out);
  if (in.length != 7) return error(in, kErrSize, out);
  static const char* ops[] = {"save", "factory-reset", "load"};
  note(std::string("store ") + hex8(config_.serial) + " " + ops[option] + " " + hex8(get32(in.data + 3)));
  std::vector<uint8_t> reply{kCmdStore, uint8_t(option | 0xC0), index};
  reply.insert(reply.end(), in.data + 3, in.data + 7);
  out.push_back(Packet(config_.module, reply));
}

void Device::handleI2C(const Packet& in, std::vector<Packet>& out) {
  if (in.length < 4) return;
  const uint8_t* d = in.data;
  uint8_t index = d[1];
  if (in.length == 4 && d[2] == 1) {  // pull-up switch
    uint8_t status = index >= classCount(kCmdI2C) ? (kErrorReply | kErrIndexRange) : 0;
    out.push_back(Packet(config_.module, {kCmdI2C, index, 1, d[3], status}));
    return;
  }
  if (in.length < 5) return;
  uint8_t address = d[2], count = d[3], speed = d[4];
  bool read = address & 1;
  uint8_t status = 0;
  Device* target = nullptr;
  for (auto& r : routed_) {
    uint8_t at = r->config_.i2cAddress ? r->config_.i2cAddress : r->module();
    if (at == (address & 0xFE)) target = r.get();
  }
  if (index >= classCount(kCmdI2C))
    status = kErrorReply | kErrIndexRange;
  else if (speed > 3)
    status = kErrorReply | kErrParam;
  else if (count > 23 || in.length != (read ? 5 : 5 + count))
    status = kErrorReply | kErrSize;
  else if (!target)
    status = kErrorReply | kErrIO;  // nobody acknowledges at that address
  std::vector<uint8_t> reply{kCmdI2C, index, address, uint8_t(read && !status ? count : 0), status};
  if (read && !status) reply.insert(reply.end(), count, 0);
  out.push_back(Packet(config_.module, reply));
}

void Device::handleUpgrade(const Packet& in, Session& session, std::vector<Packet>& out) {
  if (in.length < 2) return;
  const uint8_t* d = in.data;
  const LoaderConfig& lc = config_.loader;
  if (d[1] & 0xC0) {
    // UEI form: only option 10 (a set of block data as a byte block).
    if (!isRequest(in)) return;
    if (!(d[2] & kRequest)) return error(in, kErrParam, out);
    if ((d[1] & 0x3F) != kUeiData || (d[1] & 0xC0) != kSet || !lc.ueiData) return error(in, kErrInvalidOption, out);
    if ((d[2] & 0x1F) >= classCount(kCmdUpgrade)) return error(in, kErrIndexRange, out);
    std::vector<uint8_t> block;
    if (!collectBlock(in, session, block, out)) return;
    if (fault("no-reply", kUeiData)) return;
    received_.insert(received_.end(), block.begin(), block.end());
    note("data " + hex8(config_.serial) + " block " + std::to_string(block.size()));
    out.push_back(Packet(config_.module, {kCmdUpgrade, uint8_t(kUeiData | 0xC0), uint8_t(d[2] & 0x1F)}));
    return;
  }
  uint8_t sub = d[1];
  if (sub <= kReboot && fault("no-reply", sub)) return;  // the request is lost
  std::vector<uint8_t> reply{kCmdUpgrade, sub};
  switch (sub) {
    case kInit:
      loaderInitialised_ = true;
      received_.clear();
      put32(reply, lc.loadBase);
      note("init " + hex8(config_.serial));
      break;
    case kData: {
      uint8_t n = uint8_t(in.length - 2);
      if (const Fault* f = fault("data-count")) {
        // The device claims another count and drops the packet, so the
        // host's resend is what ends up in the block.
        reply.push_back(f->value ? uint8_t(f->value) : uint8_t(n - 1));
        break;
      }
      for (auto& f : faults_) {
        if (f.kind == "drop-data" && --f.value <= 0) {
          fault("drop-data");
          outage_ = Outage{lc.loadDropMs > 0 ? lc.loadDropMs : lc.rebootMs, false};
          return;
        }
      }
      received_.insert(received_.end(), d + 2, d + in.length);
      ++dataPackets_;
      reply.push_back(n);
      break;
    }
    case kPrepare: {
      reply[1] = kStatus;
      uint16_t blockSize = lc.blockSize;
      uint8_t status = 0;
      if (in.length != 7) {
        status = kErrSize;
      } else {
        blockFlags_ = d[2];
        address_ = get32(d + 3);
        received_.clear();
        note("prepare " + hex8(config_.serial) + " flags " + hex(d + 2, 1) + " address " + hex8(address_));
      }
      if (const Fault* f = fault("prepare-status")) status = uint8_t(f->value ? f->value : 1);
      if (const Fault* f = fault("block-size")) blockSize = uint16_t(f->value);
      reply.push_back(status);
      reply.push_back(uint8_t(blockSize >> 8));
      reply.push_back(uint8_t(blockSize));
      break;
    }
    case kSum: {
      reply[1] = kStatus;
      uint32_t sum = 0;
      for (uint8_t b : received_) sum += b;
      if (fault("sum")) sum += 1;
      reply.push_back(0);
      put32(reply, sum);
      break;
    }
    case kWrite: {
      reply[1] = kStatus;
      uint8_t status = 0;
      uint32_t n = in.length == 4 ? uint32_t(d[2] << 8 | d[3]) : 0;
      uint64_t offset = uint64_t(address_) - lc.flashBase;
      if (in.length != 4 || n > received_.size())
        status = kErrSize;
      else if (address_ < lc.flashBase || offset + n > flash_.size())
        status = kErrRange;
      if (const Fault* f = fault("write-status")) status = uint8_t(f->value ? f->value : 1);
      if (status == 0) {
        std::copy(received_.begin(), received_.begin() + long(n), flash_.begin() + long(offset));
        received_.erase(received_.begin(), received_.begin() + long(n));
        note("write " + hex8(config_.serial) + " address " + hex8(address_) + " length " + std::to_string(n));
        address_ += n;
        firmwareWritten_ = true;
      }
      reply.push_back(status);
      break;
    }
    case kLoad: {
      note("load " + hex8(config_.serial));
      bool drop = fault("drop-load") != nullptr || lc.loadDropMs > 0;
      if (lc.loadReplies) out.push_back(Packet(config_.module, reply));
      if (drop) outage_ = Outage{lc.loadDropMs > 0 ? lc.loadDropMs : lc.rebootMs, false};
      return;
    }
    case kReboot:
      note("reboot " + hex8(config_.serial));
      outage_ = Outage{lc.rebootMs, firmwareWritten_};
      return;
    default:
      note("ignored " + hex8(config_.serial) + " upgrade request " + hex(in.data, in.length));
      return;
  }
  out.push_back(Packet(config_.module, reply));
}

}  // namespace qmsim
