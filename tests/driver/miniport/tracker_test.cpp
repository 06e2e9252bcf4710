// The resource tracker: record and block accounting, tags, and the release
// sweep.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "datapath/datapath.h"
#include "driver_rig.h"
#include "miniport/tracker.h"
#include "nt/pool.h"

namespace usbeth_test {
namespace {

uint32_t TagPlus(uint32_t tag, uint32_t n) {
  return tag + n;
}

// A zeroed Adapter from NDIS memory, tracked as MiniportInitialize tracks it,
// with the tag counters back at their start.
class TrackerTest : public ::testing::Test {
 protected:
  TrackerTest() {
    usbeth::BlockTag = usbeth::kInitialTag;
    usbeth::AllocationTag = usbeth::kInitialTag;
    PVOID memory = nullptr;
    EXPECT_EQ(NdisAllocateMemoryWithTag(&memory, sizeof(usbeth::Adapter), usbeth::kAdapterTag),
              NDIS_STATUS_SUCCESS);
    adapter_ = static_cast<usbeth::Adapter*>(memory);
    std::memset(adapter_, 0, sizeof(*adapter_));
  }
  ~TrackerTest() override {
    host::faults().reset();
    if (adapter_ != nullptr) usbeth::ReleaseAllResources(adapter_);
  }
  usbeth::TrackerLists& lists() { return adapter_->ResourceTracker; }
  size_t LiveWithTag(uint32_t tag) { return host::live_pool_blocks_with_tag(tag); }

  DriverRig rig_{[] {
    RigOptions o;
    o.load_driver = false;
    return o;
  }()};
  usbeth::Adapter* adapter_ = nullptr;
};

TEST_F(TrackerTest, FirstRecordAllocatesOneBlock) {
  usbeth::TrackRecord* r = usbeth::NewTrackRecord(adapter_);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->Type, 0u);
  EXPECT_EQ(lists().InUseList.Count, 2);
  EXPECT_EQ(lists().SpareList.Count, 13);
  EXPECT_EQ(lists().TotalTracked, 2u);
  EXPECT_EQ(lists().InUseList.Front, r);
  // The block describes itself in its first record, the oldest one.
  usbeth::TrackRecord* own = lists().InUseList.Back;
  EXPECT_EQ(own->Type, usbeth::TrackMemory);
  EXPECT_EQ(own->Description.Memory.Size, 15 * sizeof(usbeth::TrackRecord));
  EXPECT_EQ(own->Description.Memory.Address, own);
  EXPECT_EQ(LiveWithTag(usbeth::kInitialTag), 1u);
  EXPECT_EQ(usbeth::BlockTag, TagPlus(usbeth::kInitialTag, 1));
}

TEST_F(TrackerTest, FifteenthRecordAllocatesASecondBlock) {
  for (int i = 0; i < 15; ++i)
    ASSERT_NE(usbeth::NewTrackRecord(adapter_), nullptr);
  EXPECT_EQ(lists().InUseList.Count, 17);
  EXPECT_EQ(lists().SpareList.Count, 13);
  EXPECT_EQ(lists().TotalTracked, 17u);
  EXPECT_EQ(LiveWithTag(usbeth::kInitialTag), 1u);
  EXPECT_EQ(LiveWithTag(TagPlus(usbeth::kInitialTag, 1)), 1u);
}

TEST_F(TrackerTest, TrackedMemoryIsZeroedAndTaggedInSequence) {
  PVOID first = nullptr;
  PVOID second = nullptr;
  ASSERT_EQ(usbeth::AllocateTracked(adapter_, &first, 10), usbeth::kOk);
  ASSERT_EQ(usbeth::AllocateTracked(adapter_, &second, 64), usbeth::kOk);
  const uint8_t zeros[10] = {};
  EXPECT_EQ(std::memcmp(first, zeros, 10), 0);
  // "00QM" then "10QM"; blocks count on their own, also from "00QM".
  EXPECT_EQ(host::tag_string(usbeth::kInitialTag), "00QM");
  EXPECT_EQ(LiveWithTag(usbeth::kInitialTag), 2u);  // the block and the first allocation
  EXPECT_EQ(LiveWithTag(TagPlus(usbeth::kInitialTag, 1)), 1u);
  EXPECT_EQ(host::tag_string(TagPlus(usbeth::kInitialTag, 1)), "10QM");
  EXPECT_EQ(usbeth::AllocationTag, TagPlus(usbeth::kInitialTag, 2));
  EXPECT_EQ(lists().InUseList.Front->Description.Memory.Address, second);
  EXPECT_EQ(lists().InUseList.Front->Description.Memory.Size, 64u);
}

TEST_F(TrackerTest, FailedAllocationLeavesOneUntypedRecordAndStillAdvancesTheTag) {
  ASSERT_NE(usbeth::NewTrackRecord(adapter_), nullptr);  // the block exists
  host::faults().fail_nth(host::FaultSite::PoolAllocation, 1);
  PVOID result = reinterpret_cast<PVOID>(1);
  EXPECT_EQ(usbeth::AllocateTracked(adapter_, &result, 100), usbeth::kFailed);
  EXPECT_EQ(result, nullptr);
  EXPECT_EQ(lists().InUseList.Count, 3);
  EXPECT_EQ(lists().InUseList.Front->Type, 0u);
  EXPECT_EQ(usbeth::AllocationTag, TagPlus(usbeth::kInitialTag, 1));
}

TEST_F(TrackerTest, FailedBlockLeavesTheTrackerUnchanged) {
  host::faults().fail_nth(host::FaultSite::PoolAllocation, 1);
  PVOID result = reinterpret_cast<PVOID>(1);
  EXPECT_EQ(usbeth::AllocateTracked(adapter_, &result, 100), usbeth::kFailed);
  EXPECT_EQ(result, nullptr);
  EXPECT_EQ(lists().InUseList.Count, 0);
  EXPECT_EQ(lists().SpareList.Count, 0);
  EXPECT_EQ(lists().TotalTracked, 0u);
  EXPECT_EQ(usbeth::BlockTag, TagPlus(usbeth::kInitialTag, 1));
  EXPECT_EQ(usbeth::AllocationTag, usbeth::kInitialTag);
}

TEST_F(TrackerTest, ReleaseFreesEverythingNewestFirstAndTheAdapterLast) {
  usbeth::TrackRecord* own = usbeth::NewTrackRecord(adapter_);
  own->Type = usbeth::TrackMemory;
  own->Description.Memory.Size = sizeof(usbeth::Adapter);
  own->Description.Memory.Address = adapter_;
  std::vector<PVOID> blocks;
  for (int i = 0; i < 20; ++i) {
    PVOID p = nullptr;
    ASSERT_EQ(usbeth::AllocateTracked(adapter_, &p, 32 + i), usbeth::kOk);
    blocks.push_back(p);
  }
  NDIS_STATUS status;
  NDIS_HANDLE pool = nullptr;
  usbeth::TrackRecord* r = usbeth::NewTrackRecord(adapter_);
  NdisAllocatePacketPool(&status, &pool, 4, 0);
  ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
  r->Description.Pool.PoolHandle = pool;
  r->Type = usbeth::TrackPacketPool;

  // Newest first along the list: the pool, then the allocations in reverse.
  usbeth::TrackRecord* walk = lists().InUseList.Front;
  EXPECT_EQ(walk->Type, usbeth::TrackPacketPool);
  walk = walk->Next;
  for (int i = 19; i >= 0 && walk != nullptr; --i) {
    if (walk->Description.Memory.Size == 15 * sizeof(usbeth::TrackRecord)) walk = walk->Next;
    EXPECT_EQ(walk->Description.Memory.Address, blocks[i]);
    walk = walk->Next;
  }
  // The two oldest entries: the first block, and before it nothing but the
  // Adapter's record inside that block.
  EXPECT_EQ(lists().InUseList.Back->Description.Memory.Address,
            static_cast<PVOID>(lists().InUseList.Back));

  EXPECT_EQ(adapter_->PoolsAllocated, 0);
  usbeth::ReleaseAllResources(adapter_);
  adapter_ = nullptr;
  EXPECT_EQ(host::live_pool_blocks(), 0u);
  EXPECT_EQ(rig_.ndis->live_pools(), 0u);
  EXPECT_EQ(rig_.ndis->live_memory_blocks(), 0u);
}

// The order in which the sweep frees memory, seen from the pool: each block
// watched here is noted when it is freed.
class FreeOrder {
 public:
  void Watch(void* block) {
    host::register_timer_object(
        block,
        [this, block] {
          freed.push_back(block);
          return false;
        },
        "a watched block");
  }
  std::vector<void*> freed;
};

TEST_F(TrackerTest, SweepFreesNewestFirstAndTheAdapterLast) {
  usbeth::TrackRecord* own = usbeth::NewTrackRecord(adapter_);
  own->Type = usbeth::TrackMemory;
  own->Description.Memory.Size = sizeof(usbeth::Adapter);
  own->Description.Memory.Address = adapter_;
  std::vector<PVOID> allocations;
  for (int i = 0; i < 20; ++i) {  // spans a second tracker block
    PVOID p = nullptr;
    ASSERT_EQ(usbeth::AllocateTracked(adapter_, &p, 16 + i), usbeth::kOk);
    allocations.push_back(p);
  }
  // Every memory record from the newest, then the Adapter.
  FreeOrder order;
  std::vector<void*> expected;
  for (usbeth::TrackRecord* r = lists().InUseList.Front; r != nullptr; r = r->Next) {
    if (r->Type != usbeth::TrackMemory || r->Description.Memory.Address == adapter_) continue;
    expected.push_back(r->Description.Memory.Address);
    order.Watch(r->Description.Memory.Address);
  }
  expected.push_back(adapter_);
  order.Watch(adapter_);
  ASSERT_EQ(expected.size(), 20u + 2u + 1u);  // the allocations, two tracker blocks, the Adapter
  // The allocations among them newest first.
  std::vector<void*> allocation_order;
  for (void* p : expected) {
    if (std::find(allocations.begin(), allocations.end(), p) != allocations.end()) {
      allocation_order.push_back(p);
    }
  }
  EXPECT_EQ(allocation_order, std::vector<void*>(allocations.rbegin(), allocations.rend()));
  usbeth::ReleaseAllResources(adapter_);
  adapter_ = nullptr;
  EXPECT_EQ(order.freed, expected);
  EXPECT_EQ(host::live_pool_blocks(), 0u);
}

// The receive packets and their buffers are freed only when the pools were
// allocated: with PoolsAllocated 0 the records are not looked at (the host
// bug-checks a free of a packet or buffer that is not live).
TEST_F(TrackerTest, ReceivePacketsAreFreedOnlyWhenThePoolsWereAllocated) {
  for (UCHAR pools_allocated : {0, 1}) {
    SCOPED_TRACE(static_cast<int>(pools_allocated));
    if (adapter_ == nullptr) {
      PVOID memory = nullptr;
      ASSERT_EQ(NdisAllocateMemoryWithTag(&memory, sizeof(usbeth::Adapter), usbeth::kAdapterTag),
                NDIS_STATUS_SUCCESS);
      adapter_ = static_cast<usbeth::Adapter*>(memory);
      std::memset(adapter_, 0, sizeof(*adapter_));
    }
    usbeth::TrackRecord* own = usbeth::NewTrackRecord(adapter_);
    own->Type = usbeth::TrackMemory;
    own->Description.Memory.Size = sizeof(usbeth::Adapter);
    own->Description.Memory.Address = adapter_;
    PVOID records = nullptr;
    ASSERT_EQ(usbeth::AllocateTracked(adapter_, &records, 2 * sizeof(usbeth::RxPacketRecord)),
              usbeth::kOk);
    adapter_->RxPacketRecords = records;
    adapter_->RxDescriptorCount = 2;
    auto* record = static_cast<usbeth::RxPacketRecord*>(records);
    static uint8_t data[2][64];
    if (pools_allocated) {
      NDIS_STATUS status;
      NDIS_HANDLE packet_pool = nullptr, buffer_pool = nullptr;
      usbeth::TrackRecord* p = usbeth::NewTrackRecord(adapter_);
      NdisAllocatePacketPool(&status, &packet_pool, 2, 0);
      ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
      p->Description.Pool.PoolHandle = packet_pool;
      p->Type = usbeth::TrackPacketPool;
      usbeth::TrackRecord* b = usbeth::NewTrackRecord(adapter_);
      NdisAllocateBufferPool(&status, &buffer_pool, 2);
      ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
      b->Description.Pool.PoolHandle = buffer_pool;
      b->Type = usbeth::TrackBufferPool;
      for (int k = 0; k < 2; ++k) {
        NdisAllocatePacket(&status, &record[k].Packet, packet_pool);
        ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
        NdisAllocateBuffer(&status, &record[k].NdisBuffer, buffer_pool, data[k], 64);
        ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
      }
    } else {
      // Never allocated: what the records hold is not a packet or buffer.
      for (int k = 0; k < 2; ++k) {
        record[k].Packet = reinterpret_cast<PNDIS_PACKET>(data[k]);
        record[k].NdisBuffer = reinterpret_cast<PNDIS_BUFFER>(data[k] + 32);
      }
    }
    adapter_->PoolsAllocated = pools_allocated;
    usbeth::ReleaseAllResources(adapter_);
    adapter_ = nullptr;
    EXPECT_EQ(rig_.ndis->live_packets(), 0u);
    EXPECT_EQ(rig_.ndis->live_buffers(), 0u);
    EXPECT_EQ(rig_.ndis->live_pools(), 0u);
    EXPECT_EQ(rig_.ndis->live_memory_blocks(), 0u);
  }
}

}  // namespace
}  // namespace usbeth_test
