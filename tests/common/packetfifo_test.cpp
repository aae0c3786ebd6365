// ctest-labels: threaded
#include "packetfifo.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Generous bound for "returns promptly": far below the waiters' own
// deadlines, far above any scheduling delay on a loaded machine.
constexpr auto kPrompt = 60s;
constexpr uint32_t kForever = 600000;  // ms

struct PacketDeleter {
  void operator()(aPacket* p) const { aPacket_Destroy(&p); }
};
using Packet = std::unique_ptr<aPacket, PacketDeleter>;

// A packet carrying a 16-bit tag in data bytes 0-1.
Packet sTagged(uint16_t tag, uint8_t address = 2) {
  const uint8_t data[] = {static_cast<uint8_t>(tag >> 8), static_cast<uint8_t>(tag)};
  return Packet(aPacket_CreateWithData(address, 2, data));
}

uint16_t sTag(const aPacket* p) { return static_cast<uint16_t>(p->data[0] << 8 | p->data[1]); }

struct Fifo {
  aPacketFifoId id = aPacketFifo_Create();
  ~Fifo() {
    if (id) aPacketFifo_Destroy(&id);
  }
  void put(uint16_t tag, uint8_t address = 2) {
    ASSERT_EQ(aPacketFifo_Put(id, sTagged(tag, address).get()), aErrNone);
  }
};

bool sAddressIs(const aPacket* p, void* ref) { return p->address == *static_cast<uint8_t*>(ref); }
bool sAcceptAll(const aPacket*, void*) { return true; }

TEST(aPacketFifo, PutGetCopiesPackets) {
  Fifo fifo;
  ASSERT_NE(fifo.id, 0u);
  Packet sent = sTagged(0x1234, 6);
  ASSERT_EQ(aPacketFifo_Put(fifo.id, sent.get()), aErrNone);
  sent->data[0] = 0;
  sent.reset();  // the queued copy does not depend on the caller's packet
  EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 1u);

  Packet got(aPacketFifo_Get(fifo.id));
  ASSERT_TRUE(got);
  EXPECT_TRUE(aVALIDPACKET(got.get()));
  EXPECT_EQ(got->address, 6);
  EXPECT_EQ(got->dataSize, 2);
  EXPECT_EQ(sTag(got.get()), 0x1234);
  EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 0u);
}

TEST(aPacketFifo, OldestFirst) {
  Fifo fifo;
  for (uint16_t tag = 1; tag <= 5; ++tag) fifo.put(tag);
  Packet first(aPacketFifo_Get(fifo.id));
  Packet second(aPacketFifo_Await(fifo.id, 0));
  EXPECT_EQ(sTag(first.get()), 1);
  EXPECT_EQ(sTag(second.get()), 2);
  EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 3u);
}

TEST(aPacketFifo, EmptyFifoGivesNothing) {
  Fifo fifo;
  EXPECT_EQ(aPacketFifo_Get(fifo.id), nullptr);
  EXPECT_EQ(aPacketFifo_Await(fifo.id, 0), nullptr);
  EXPECT_EQ(aPacketFifo_Await(fifo.id, 20), nullptr);
  EXPECT_EQ(aPacketFifo_GetFirst(fifo.id, sAcceptAll, nullptr), nullptr);
  EXPECT_EQ(aPacketFifo_AwaitFirst(fifo.id, sAcceptAll, nullptr, 20), nullptr);
  EXPECT_EQ(aPacketFifo_DrainPackets(fifo.id, sAcceptAll, nullptr), 0u);
}

TEST(aPacketFifo, InvalidPacketsAreRefused) {
  Fifo fifo;
  aPacket dead = PACK;
  dead.check = 0;
  EXPECT_EQ(aPacketFifo_Put(fifo.id, &dead), aErrParam);
  EXPECT_EQ(aPacketFifo_Put(fifo.id, nullptr), aErrParam);
  EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 0u);
}

TEST(aPacketFifo, NumbersAreUniqueAndNonZero) {
  std::vector<aPacketFifoId> ids;
  for (int i = 0; i < 50; ++i) ids.push_back(aPacketFifo_Create());
  for (size_t i = 0; i < ids.size(); ++i) {
    EXPECT_NE(ids[i], 0u);
    if (i > 0) {
      EXPECT_GT(ids[i], ids[i - 1]);
    }
  }
  for (auto& id : ids) EXPECT_EQ(aPacketFifo_Destroy(&id), aErrNone);
}

// Stale, destroyed and zero numbers find nothing and change nothing.
TEST(aPacketFifo, UnknownNumbersAreHarmless) {
  aPacketFifoId id = aPacketFifo_Create();
  const aPacketFifoId stale = id;
  ASSERT_EQ(aPacketFifo_Put(id, sTagged(1).get()), aErrNone);
  ASSERT_EQ(aPacketFifo_Destroy(&id), aErrNone);
  EXPECT_EQ(id, 0u);

  Packet packet = sTagged(2);
  for (aPacketFifoId number : {stale, aPacketFifoId{0}, ~aPacketFifoId{0}}) {
    EXPECT_EQ(aPacketFifo_Put(number, packet.get()), aErrParam);
    EXPECT_EQ(aPacketFifo_GetLength(number), 0u);
    EXPECT_EQ(aPacketFifo_Get(number), nullptr);
    EXPECT_EQ(aPacketFifo_Await(number, 10), nullptr);
    EXPECT_EQ(aPacketFifo_GetFirst(number, sAcceptAll, nullptr), nullptr);
    EXPECT_EQ(aPacketFifo_AwaitFirst(number, sAcceptAll, nullptr, 10), nullptr);
    EXPECT_EQ(aPacketFifo_DrainPackets(number, sAcceptAll, nullptr), 0u);
    aPacketFifoId copy = number;
    EXPECT_EQ(aPacketFifo_Destroy(&copy), aErrNotFound);
    EXPECT_EQ(copy, number);
  }
  EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);
}

TEST(aPacketFifo, OverflowEmptiesTheQueue) {
  Fifo fifo;
  for (uint16_t tag = 0; tag < aPACKETFIFO_CAPACITY; ++tag) fifo.put(tag);
  EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 1000u);
  fifo.put(1000);  // the 1001st
  EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 0u);

  // The FIFO goes on working after the loss.
  fifo.put(5000);
  Packet next(aPacketFifo_Get(fifo.id));
  ASSERT_TRUE(next);
  EXPECT_EQ(sTag(next.get()), 5000);
  uint8_t address = 2;
  fifo.put(5001);
  Packet matched(aPacketFifo_AwaitFirst(fifo.id, sAddressIs, &address, 0));
  ASSERT_TRUE(matched);
  EXPECT_EQ(sTag(matched.get()), 5001);
}

TEST(aPacketFifo, GetFirstTakesTheMatchAndKeepsTheRest) {
  Fifo fifo;
  fifo.put(1, 2);  // A
  fifo.put(2, 4);  // B
  fifo.put(3, 4);
  uint8_t address = 4;
  Packet b(aPacketFifo_GetFirst(fifo.id, sAddressIs, &address));
  ASSERT_TRUE(b);
  EXPECT_EQ(sTag(b.get()), 2);
  EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 2u);
  Packet a(aPacketFifo_Get(fifo.id));
  EXPECT_EQ(sTag(a.get()), 1);

  address = 8;
  EXPECT_EQ(aPacketFifo_GetFirst(fifo.id, sAddressIs, &address), nullptr);
  EXPECT_EQ(aPacketFifo_AwaitFirst(fifo.id, sAddressIs, &address, 0), nullptr);
  EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 1u);
}

// A proc may fill in the caller's record; a null proc takes the oldest.
TEST(aPacketFifo, ProcWritesThroughReference) {
  Fifo fifo;
  fifo.put(0x0101);
  fifo.put(0x0202);
  struct Reply {
    uint16_t wanted;
    uint16_t seen = 0;
  } reply{0x0202};
  auto proc = [](const aPacket* p, void* ref) {
    auto* r = static_cast<Reply*>(ref);
    if (sTag(p) != r->wanted) return false;
    r->seen = sTag(p);
    return true;
  };
  Packet got(aPacketFifo_AwaitFirst(fifo.id, proc, &reply, 0));
  ASSERT_TRUE(got);
  EXPECT_EQ(reply.seen, 0x0202);
  Packet oldest(aPacketFifo_GetFirst(fifo.id, nullptr, nullptr));
  ASSERT_TRUE(oldest);
  EXPECT_EQ(sTag(oldest.get()), 0x0101);
}

TEST(aPacketFifo, DrainKeepsOrderOfTheRest) {
  Fifo fifo;
  for (uint16_t tag = 0; tag < 10; ++tag) fifo.put(tag, tag % 3 == 0 ? 4 : 2);
  std::vector<uint16_t> asked;
  struct Ref {
    std::vector<uint16_t>* asked;
  } ref{&asked};
  auto proc = [](const aPacket* p, void* r) {
    static_cast<Ref*>(r)->asked->push_back(sTag(p));
    return p->address == 4;
  };
  EXPECT_EQ(aPacketFifo_DrainPackets(fifo.id, proc, &ref), 4u);  // tags 0, 3, 6, 9
  EXPECT_EQ(asked, (std::vector<uint16_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  std::vector<uint16_t> rest;
  while (Packet p{aPacketFifo_Get(fifo.id)}) rest.push_back(sTag(p.get()));
  EXPECT_EQ(rest, (std::vector<uint16_t>{1, 2, 4, 5, 7, 8}));

  for (uint16_t tag = 0; tag < 7; ++tag) fifo.put(tag);
  EXPECT_EQ(aPacketFifo_DrainPackets(fifo.id, sAcceptAll, nullptr), 7u);
  EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 0u);
}

// Waiting for a match while other packets keep arriving: every packet is
// offered to the proc exactly once, not again at every wake-up.
TEST(aPacketFifo, AwaitFirstAsksOncePerPacket) {
  Fifo fifo;
  fifo.put(100, 2);  // queued before the wait starts
  struct Seen {
    std::mutex mutex;
    std::map<uint16_t, int> asks;
    std::atomic<int> total{0};
  } seen;
  auto proc = [](const aPacket* p, void* ref) {
    auto* s = static_cast<Seen*>(ref);
    {
      std::lock_guard<std::mutex> lock(s->mutex);
      s->asks[sTag(p)]++;
    }
    s->total++;
    return p->address == 8;
  };
  auto waiter = std::async(std::launch::async,
                           [&] { return Packet(aPacketFifo_AwaitFirst(fifo.id, proc, &seen, kForever)); });
  // Each non-matching packet goes in only after the waiter has looked at the
  // previous one, so the waiter wakes up and searches again for every one.
  for (uint16_t tag = 1; tag <= 20; ++tag) {
    while (seen.total.load() < tag) std::this_thread::yield();
    fifo.put(tag, 2);
  }
  while (seen.total.load() < 21) std::this_thread::yield();
  fifo.put(999, 8);
  ASSERT_EQ(waiter.wait_for(kPrompt), std::future_status::ready);
  Packet got = waiter.get();
  ASSERT_TRUE(got);
  EXPECT_EQ(sTag(got.get()), 999);
  EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 21u);  // the non-matching ones stay
  std::lock_guard<std::mutex> lock(seen.mutex);
  EXPECT_EQ(seen.asks.size(), 22u);
  for (const auto& [tag, count] : seen.asks) EXPECT_EQ(count, 1) << "tag " << tag;
}

TEST(aPacketFifo, AwaitWakesForAPacket) {
  Fifo fifo;
  auto waiter = std::async(std::launch::async,
                           [&] { return Packet(aPacketFifo_Await(fifo.id, kForever)); });
  fifo.put(77);
  ASSERT_EQ(waiter.wait_for(kPrompt), std::future_status::ready);
  Packet got = waiter.get();
  ASSERT_TRUE(got);
  EXPECT_EQ(sTag(got.get()), 77);
}

// Destroying a FIFO wakes its waiters at once; they return nothing.
TEST(aPacketFifo, DestroyWakesAwaitFirst) {
  aPacketFifoId id = aPacketFifo_Create();
  ASSERT_EQ(aPacketFifo_Put(id, sTagged(1, 2).get()), aErrNone);
  std::atomic<int> asked{0};
  auto proc = [](const aPacket*, void* ref) {
    ++*static_cast<std::atomic<int>*>(ref);
    return false;
  };
  auto waiter = std::async(std::launch::async, [&asked, proc, number = id] {
    return Packet(aPacketFifo_AwaitFirst(number, proc, &asked, kForever));
  });
  // Once the queued packet was refused the waiter is searching or waiting.
  while (asked.load() < 1) std::this_thread::yield();
  const aPacketFifoId number = id;
  ASSERT_EQ(aPacketFifo_Destroy(&id), aErrNone);
  ASSERT_EQ(waiter.wait_for(kPrompt), std::future_status::ready);
  EXPECT_FALSE(waiter.get());
  EXPECT_EQ(asked.load(), 1);
  EXPECT_EQ(aPacketFifo_GetLength(number), 0u);
}

TEST(aPacketFifo, DestroyWakesAwait) {
  // Whether the waiter is already waiting when the FIFO goes or finds the
  // number gone, it must return nothing long before its deadline.
  for (int round = 0; round < 10; ++round) {
    aPacketFifoId id = aPacketFifo_Create();
    std::atomic<bool> started{false};
    auto waiter = std::async(std::launch::async, [&started, number = id] {
      started = true;
      return Packet(aPacketFifo_Await(number, kForever));
    });
    while (!started.load()) std::this_thread::yield();
    if (round % 2) std::this_thread::sleep_for(10ms);  // more often really waiting
    ASSERT_EQ(aPacketFifo_Destroy(&id), aErrNone);
    ASSERT_EQ(waiter.wait_for(kPrompt), std::future_status::ready);
    EXPECT_FALSE(waiter.get());
  }
}

// Several producers and consumers on one FIFO: every packet arrives exactly
// once, in each producer's order.
TEST(aPacketFifo, ProducersAndConsumers) {
  Fifo fifo;
  constexpr int kProducers = 3;
  constexpr int kPerProducer = 300;
  std::atomic<int> received{0};
  std::vector<std::vector<uint16_t>> got(2);
  std::vector<std::thread> threads;
  for (int c = 0; c < 2; ++c) {
    threads.emplace_back([&, c] {
      while (received.load() < kProducers * kPerProducer) {
        Packet p(aPacketFifo_Await(fifo.id, 50));
        if (!p) continue;
        got[c].push_back(sTag(p.get()));
        received++;
      }
    });
  }
  for (int producer = 0; producer < kProducers; ++producer) {
    threads.emplace_back([&, producer] {
      for (int i = 0; i < kPerProducer; ++i) {
        const uint16_t tag = static_cast<uint16_t>(producer * 1000 + i);
        while (aPacketFifo_GetLength(fifo.id) > 500) std::this_thread::yield();
        ASSERT_EQ(aPacketFifo_Put(fifo.id, sTagged(tag).get()), aErrNone);
      }
    });
  }
  for (auto& t : threads) t.join();
  std::map<uint16_t, int> count;
  for (const auto& list : got) {
    std::map<int, int> lastPerProducer;
    for (uint16_t tag : list) {
      count[tag]++;
      const int producer = tag / 1000;
      auto last = lastPerProducer.find(producer);
      if (last != lastPerProducer.end()) {
        EXPECT_GT(tag % 1000, last->second);
      }
      lastPerProducer[producer] = tag % 1000;
    }
  }
  EXPECT_EQ(count.size(), size_t(kProducers * kPerProducer));
  for (const auto& [tag, n] : count) EXPECT_EQ(n, 1) << tag;
}

// Threads using a number while another destroys it: nothing crashes, every
// call returns, and the number is gone afterwards.
TEST(aPacketFifo, DestroyRacesWithUsers) {
  for (int round = 0; round < 20; ++round) {
    aPacketFifoId id = aPacketFifo_Create();
    const aPacketFifoId number = id;
    std::atomic<bool> stop{false};
    std::vector<std::thread> users;
    for (int u = 0; u < 3; ++u) {
      users.emplace_back([&, u] {
        Packet packet = sTagged(static_cast<uint16_t>(u));
        while (!stop.load()) {
          aPacketFifo_Put(number, packet.get());
          Packet(aPacketFifo_AwaitFirst(number, sAcceptAll, nullptr, 5));
          Packet(aPacketFifo_Await(number, 5));
          aPacketFifo_DrainPackets(number, sAcceptAll, nullptr);
          aPacketFifo_GetLength(number);
        }
      });
    }
    while (aPacketFifo_GetLength(number) == 0 && round % 2 == 0) std::this_thread::yield();
    EXPECT_EQ(aPacketFifo_Destroy(&id), aErrNone);
    stop = true;
    for (auto& t : users) t.join();
    EXPECT_EQ(aPacketFifo_GetLength(number), 0u);
    EXPECT_EQ(aPacketFifo_Put(number, sTagged(1).get()), aErrParam);
  }
}

}  // namespace
