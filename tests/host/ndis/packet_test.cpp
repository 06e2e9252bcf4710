// Packets, buffers and their pools as the miniport uses them.
#include <algorithm>
#include <cstring>

#include "fake_miniport.h"
#include "nt/pool.h"

namespace host_ndis_test {
namespace {

class PacketTest : public NdisTest {
 protected:
  void SetUp() override {
    NdisTest::SetUp();
    NDIS_STATUS status;
    NdisAllocatePacketPool(&status, &packet_pool_, 2, 8);
    ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
    NdisAllocateBufferPool(&status, &buffer_pool_, 8);
    ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
  }
  void TearDown() override {
    if (!abandoned_) {
      for (PNDIS_BUFFER b : buffers_)
        NdisFreeBuffer(b);
      for (PNDIS_PACKET p : packets_)
        NdisFreePacket(p);
      if (buffer_pool_) NdisFreeBufferPool(buffer_pool_);
      if (packet_pool_) NdisFreePacketPool(packet_pool_);
    }
    NdisTest::TearDown();
  }
  PNDIS_PACKET packet() {
    NDIS_STATUS status;
    PNDIS_PACKET p;
    NdisAllocatePacket(&status, &p, packet_pool_);
    EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
    packets_.push_back(p);
    return p;
  }
  PNDIS_BUFFER buffer(void* address, UINT length) {
    NDIS_STATUS status;
    PNDIS_BUFFER b;
    NdisAllocateBuffer(&status, &b, buffer_pool_, address, length);
    EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
    buffers_.push_back(b);
    return b;
  }

  NDIS_HANDLE packet_pool_ = nullptr;
  NDIS_HANDLE buffer_pool_ = nullptr;
  std::vector<PNDIS_PACKET> packets_;
  std::vector<PNDIS_BUFFER> buffers_;
  alignas(4096) UCHAR data_[3 * 4096];
};

TEST_F(PacketTest, QueryPacketWalksTheChainOnceAndCachesTheCounts) {
  PNDIS_PACKET p = packet();
  // The chaining macros evaluate their argument more than once, as the DDK's do.
  PNDIS_BUFFER head = buffer(data_, 100);
  PNDIS_BUFFER straddling = buffer(data_ + 4090, 20);  // crosses a page boundary
  NdisChainBufferAtBack(p, head);
  NdisChainBufferAtBack(p, straddling);
  UINT physical, count, total;
  PNDIS_BUFFER first;
  NdisQueryPacket(p, &physical, &count, &first, &total);
  EXPECT_EQ(first, buffers_[0]);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(total, 120u);
  EXPECT_EQ(physical, 3u);
  EXPECT_TRUE(p->Private.ValidCounts);

  // Adjusting a length does not invalidate the cache: the old total stays,
  // exactly as the platform's inline query behaves.
  NdisAdjustBufferLength(buffers_[0], 60);
  NdisQueryPacket(p, NULL, NULL, NULL, &total);
  EXPECT_EQ(total, 120u);

  // Chaining does, and the next query walks again.
  PNDIS_BUFFER front = buffer(data_ + 8192, 10);
  NdisChainBufferAtFront(p, front);
  EXPECT_FALSE(p->Private.ValidCounts);
  NdisQueryPacket(p, NULL, &count, &first, &total);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(total, 90u);
  EXPECT_EQ(first, buffers_[2]);
}

TEST_F(PacketTest, BuffersDescribeTheirMemoryAndChainInOrder) {
  PNDIS_PACKET p = packet();
  PNDIS_BUFFER a = buffer(data_ + 10, 14);
  PNDIS_BUFFER b = buffer(data_ + 100, 0);
  NdisChainBufferAtBack(p, a);
  NdisChainBufferAtBack(p, b);
  PVOID va;
  UINT length, offset;
  NdisQueryBuffer(a, &va, &length);
  EXPECT_EQ(va, data_ + 10);
  EXPECT_EQ(length, 14u);
  NdisQueryBufferOffset(a, &offset, &length);
  EXPECT_EQ(offset, 10u);
  EXPECT_EQ(NDIS_BUFFER_TO_SPAN_PAGES(b), 1u);  // an empty buffer still spans a page
  PNDIS_BUFFER next;
  NdisGetNextBuffer(a, &next);
  EXPECT_EQ(next, b);

  PNDIS_BUFFER taken;
  NdisUnchainBufferAtBack(p, &taken);
  EXPECT_EQ(taken, b);
  NdisUnchainBufferAtFront(p, &taken);
  EXPECT_EQ(taken, a);
  NdisUnchainBufferAtFront(p, &taken);
  EXPECT_EQ(taken, nullptr);
  EXPECT_EQ(p->Private.Head, nullptr);
}

TEST_F(PacketTest, OutOfBandDataAndReservedAreas) {
  PNDIS_PACKET p = packet();
  EXPECT_EQ(NDIS_GET_PACKET_STATUS(p), NDIS_STATUS_SUCCESS);
  NDIS_SET_PACKET_STATUS(p, NDIS_STATUS_RESOURCES);
  NDIS_SET_PACKET_HEADER_SIZE(p, 14);
  EXPECT_EQ(NDIS_GET_PACKET_STATUS(p), NDIS_STATUS_RESOURCES);
  EXPECT_EQ(NDIS_GET_PACKET_HEADER_SIZE(p), 14u);
  // The out-of-band data sits after the protocol-reserved bytes and does not
  // overlap the areas the miniport and the protocol own.
  auto* oob = reinterpret_cast<UCHAR*>(NDIS_OOB_DATA_FROM_PACKET(p));
  EXPECT_GE(oob, p->ProtocolReserved + 8);
  std::memset(p->MiniportReserved, 0xAB, sizeof p->MiniportReserved);
  std::memset(p->ProtocolReserved, 0xCD, 8);
  EXPECT_EQ(NDIS_GET_PACKET_STATUS(p), NDIS_STATUS_RESOURCES);
  NdisReinitializePacket(p);
  EXPECT_EQ(p->Private.Head, nullptr);
}

TEST_F(PacketTest, PoolsHandOutAtMostTheirDescriptors) {
  packet();
  packet();
  NDIS_STATUS status;
  PNDIS_PACKET third;
  NdisAllocatePacket(&status, &third, packet_pool_);
  EXPECT_EQ(status, NDIS_STATUS_RESOURCES);
  EXPECT_EQ(third, nullptr);
  NdisFreePacket(packets_.back());
  packets_.pop_back();
  EXPECT_NE(packet(), nullptr);
}

TEST_F(PacketTest, InjectedFaultsFailTheAllocators) {
  host::faults().fail_nth(host::FaultSite::PacketAllocation, 1);
  NDIS_STATUS status;
  PNDIS_PACKET p;
  NdisAllocatePacket(&status, &p, packet_pool_);
  EXPECT_EQ(status, NDIS_STATUS_RESOURCES);
  host::faults().fail_nth(host::FaultSite::BufferAllocation, 1);
  PNDIS_BUFFER b;
  NdisAllocateBuffer(&status, &b, buffer_pool_, data_, 10);
  EXPECT_NE(status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(ndis_->live_packets(), 0u);
  EXPECT_EQ(ndis_->live_buffers(), 0u);
}

TEST_F(PacketTest, PacketsAndPoolsAreTaggedPool) {
  packet();
  buffer(data_, 4);
  EXPECT_EQ(host::live_pool_blocks_with_tag(host::make_tag("NDpk")), 1u);
  EXPECT_EQ(host::live_pool_blocks_with_tag(host::make_tag("NDbf")), 1u);
  EXPECT_EQ(host::live_pool_blocks_with_tag(host::make_tag("NDpp")), 1u);
  EXPECT_EQ(host::live_pool_blocks_with_tag(host::make_tag("NDbp")), 1u);
}

TEST_F(PacketTest, FreeingAPoolWithPacketsOutstandingBugChecks) {
  packet();
  EXPECT_NDIS_BUG_CHECK(NdisFreePacketPool(packet_pool_), "PACKET_POOL_BUSY");
}

TEST_F(PacketTest, FreeingABufferPoolWithBuffersOutstandingBugChecks) {
  buffer(data_, 4);
  EXPECT_NDIS_BUG_CHECK(NdisFreeBufferPool(buffer_pool_), "BUFFER_POOL_BUSY");
}

TEST_F(PacketTest, FreeingAPacketTwiceBugChecks) {
  PNDIS_PACKET p = packet();
  NdisFreePacket(p);
  packets_.clear();
  EXPECT_NDIS_BUG_CHECK(NdisFreePacket(p), "BAD_PACKET");
}

TEST_F(PacketTest, FreeingABufferTwiceBugChecks) {
  PNDIS_BUFFER b = buffer(data_, 4);
  NdisFreeBuffer(b);
  buffers_.clear();
  EXPECT_NDIS_BUG_CHECK(NdisFreeBuffer(b), "BAD_BUFFER");
}

TEST_F(PacketTest, QueryingAFreedBufferBugChecks) {
  PNDIS_BUFFER b = buffer(data_, 4);
  NdisFreeBuffer(b);
  buffers_.clear();
  PVOID va;
  UINT length;
  EXPECT_NDIS_BUG_CHECK(NdisQueryBuffer(b, &va, &length), "BAD_BUFFER");
}

// Freed descriptors are handed out again once older than the pool's spare
// age: a write to one after its free, or a second free of its memory, is
// caught; the spares count as no live block and go back with their pool.
TEST_F(PacketTest, FreedDescriptorsAreReusedCleanAndAccountedWithTheirPool) {
  const size_t blocks_before = host::live_pool_blocks();
  std::vector<PNDIS_PACKET> seen;
  for (int i = 0; i < 40; ++i) {
    PNDIS_PACKET p = packet();
    p->ProtocolReserved[0] = 0x5A;
    p->Private.TotalLength = 1234;
    NdisSetPacketFlags(p, 0x40);
    seen.push_back(p);
    NdisFreePacket(p);
    packets_.clear();
  }
  // The first ones come back after the spare age, with a clean private area.
  EXPECT_NE(std::find(seen.begin() + 17, seen.end(), seen[0]), seen.end());
  EXPECT_EQ(host::live_pool_blocks(), blocks_before);
  EXPECT_EQ(host::live_pool_blocks_with_tag(host::make_tag("NDpk")), 0u);
  PNDIS_PACKET again = packet();
  EXPECT_EQ(again->Private.TotalLength, 0u);
  EXPECT_EQ(NdisGetPacketFlags(again), 0u);
  EXPECT_EQ(again->Private.Pool, static_cast<PNDIS_PACKET_POOL>(packet_pool_));
  EXPECT_EQ(ndis_->live_packets(), 1u);
  EXPECT_EQ(host::live_pool_blocks(), blocks_before + 1);
  EXPECT_NE(host::pool_leak_report().find("tag 'NDpk': 1 block(s)"), std::string::npos);
  // Freeing the pools returns every spare: nothing is left behind them.
  NdisFreePacket(again);
  packets_.clear();
  for (int i = 0; i < 30; ++i) {
    NdisFreeBuffer(buffer(data_, 4));
    buffers_.clear();
  }
  NdisFreeBufferPool(buffer_pool_);
  NdisFreePacketPool(packet_pool_);
  buffer_pool_ = packet_pool_ = nullptr;
  EXPECT_EQ(host::live_pool_blocks(), blocks_before - 2);
  EXPECT_EQ(host::pool_leak_report().find("NDpk"), std::string::npos);
  EXPECT_EQ(host::pool_leak_report().find("NDbf"), std::string::npos);
}

TEST_F(PacketTest, WritingAFreedPacketIsCaughtWhenItsDescriptorIsReused) {
  PNDIS_PACKET p = packet();
  NdisFreePacket(p);
  packets_.clear();
  p->ProtocolReserved[3] = 1;  // after the free
  NDIS_STATUS status;
  PNDIS_PACKET q;
  for (size_t i = 0; i < 16; ++i) {
    NdisAllocatePacket(&status, &q, packet_pool_);
    ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
    NdisFreePacket(q);
  }
  EXPECT_NDIS_BUG_CHECK(NdisAllocatePacket(&status, &q, packet_pool_), "POOL_CORRUPTION");
}

TEST_F(PacketTest, FreeingAFreedBufferAsPoolMemoryBugChecks) {
  PNDIS_BUFFER b = buffer(data_, 4);
  NdisFreeBuffer(b);
  buffers_.clear();
  EXPECT_NDIS_BUG_CHECK(ExFreePool(b), "POOL_DOUBLE_FREE");
}

TEST_F(PacketTest, OverrunningAPacketIsCaughtAtItsFree) {
  PNDIS_PACKET p = packet();
  size_t size = 0;
  uint32_t tag = 0;
  ASSERT_TRUE(host::pool_block_info(p, &size, &tag));
  reinterpret_cast<uint8_t*>(p)[size] ^= 0xFF;  // the first guard byte
  packets_.clear();
  EXPECT_NDIS_BUG_CHECK(NdisFreePacket(p), "POOL_CORRUPTION");
}

TEST_F(NdisTest, MemoryIsTaggedAndFreedWithItsLength) {
  PVOID block;
  ASSERT_EQ(NdisAllocateMemoryWithTag(&block, 40, host::make_tag("0kvR")), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(host::live_pool_blocks_with_tag(host::make_tag("0kvR")), 1u);
  EXPECT_NDIS_BUG_CHECK(NdisFreeMemory(block, 41, 0), "POOL_WRONG_SIZE");
  // The flags must repeat the allocation's: none for a tagged allocation.
  EXPECT_NDIS_BUG_CHECK(NdisFreeMemory(block, 40, 1), "BAD_POOL_CALLER");
}

TEST_F(NdisTest, MemoryAllocationFailsWhenPoolFaultIsInjected) {
  host::faults().fail_nth(host::FaultSite::PoolAllocation, 1);
  PVOID block = reinterpret_cast<PVOID>(1);
  EXPECT_EQ(NdisAllocateMemoryWithTag(&block, 40, 1), NDIS_STATUS_FAILURE);
  EXPECT_EQ(block, nullptr);
}

TEST_F(NdisTest, OverlappingMoveBugChecks) {
  UCHAR bytes[16] = {};
  EXPECT_NDIS_BUG_CHECK(NdisMoveMemory(bytes + 2, bytes, 8), "OVERLAPPING_COPY");
}

TEST_F(NdisTest, FreeingAHeldSpinLockBugChecks) {
  NDIS_SPIN_LOCK lock;
  NdisAllocateSpinLock(&lock);
  NdisAcquireSpinLock(&lock);
  EXPECT_NDIS_BUG_CHECK(NdisFreeSpinLock(&lock), "SPINLOCK_FREED_WHILE_HELD");
  NdisReleaseSpinLock(&lock);
}

}  // namespace
}  // namespace host_ndis_test
