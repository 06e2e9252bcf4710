// The descriptor block as initialization leaves it, and the receive packets
// that AllocatePools attaches, including a failure part-way through.
#include <gtest/gtest.h>

#include <set>

#include "datapath_bench.h"

namespace usbeth::test {
namespace {

class DescriptorBlockTest : public ::testing::Test {
 protected:
  DatapathBench bench_;
  Adapter* adapter() { return bench_.adapter(); }
  // Right after initialization no transmit descriptor has been used, so the
  // front of TxFreeQueue is the block's first descriptor.
  TransferDescriptor* Block() { return adapter()->TxFreeQueue.Front; }
  ULONG Count() { return adapter()->TxDescriptorCount + adapter()->RxDescriptorCount; }
};

TEST_F(DescriptorBlockTest, TransmitDescriptorsAreFreeInAddressOrder) {
  ASSERT_EQ(20u, adapter()->TxDescriptorCount);
  ASSERT_EQ(20, adapter()->TxFreeQueue.Count);
  TransferDescriptor* d = Block();
  for (ULONG i = 0; i < 20; i++, d = d->Next)
    EXPECT_EQ(Block() + i, d);
  EXPECT_EQ(Block() + 19, adapter()->TxFreeQueue.Back);
}

TEST_F(DescriptorBlockTest, ReceiveDescriptorsAreFreeInReverseOrderAfterTheFirstRead) {
  // The first start took the front, the block's last descriptor, for its read.
  ASSERT_EQ(20u, adapter()->RxDescriptorCount);
  EXPECT_EQ(19, adapter()->RxFreeQueue.Count);
  EXPECT_EQ(Block() + Count() - 2, adapter()->RxFreeQueue.Front);
  EXPECT_EQ(Block() + 20, adapter()->RxFreeQueue.Back);
  EXPECT_EQ(1u, bench_.interposer().bulk_in_count());
}

TEST_F(DescriptorBlockTest, EachDescriptorOwnsItsUrbAreaAndBuffer) {
  const PUCHAR urbs = reinterpret_cast<PUCHAR>(Block() + Count());
  const PUCHAR buffers = urbs + Count() * kUrbAreaSize;
  for (ULONG i = 0; i < Count(); i++) {
    TransferDescriptor* d = Block() + i;
    EXPECT_EQ(urbs + i * kUrbAreaSize, reinterpret_cast<PUCHAR>(d->Urb)) << i;
    EXPECT_EQ(buffers + i * kTransferBufferSize, d->Buffer) << i;
    EXPECT_EQ(adapter(), d->Owner) << i;
  }
}

TEST_F(DescriptorBlockTest, ReceivePacketsDescribeTheirBuffers) {
  std::set<PVOID> records;
  for (ULONG i = adapter()->TxDescriptorCount; i < Count(); i++) {
    TransferDescriptor* d = Block() + i;
    auto* record = static_cast<RxPacketRecord*>(d->PacketRef);
    ASSERT_NE(nullptr, record);
    EXPECT_TRUE(records.insert(record).second) << "record shared by descriptor " << i;
    PNDIS_PACKET packet = record->Packet;
    EXPECT_EQ(record->NdisBuffer, packet->Private.Head);
    EXPECT_EQ(nullptr, record->NdisBuffer->Next);
    PVOID address = nullptr;
    UINT length = 0;
    NdisQueryBuffer(record->NdisBuffer, &address, &length);
    EXPECT_EQ(d->Buffer, address);
    EXPECT_EQ(1514u, length);
    EXPECT_EQ(14u, NDIS_GET_PACKET_HEADER_SIZE(packet));
  }
  // Transmit descriptors each have their own packet slot.
  std::set<PVOID> slots;
  for (TransferDescriptor* d = adapter()->TxFreeQueue.Front; d; d = d->Next) {
    EXPECT_TRUE(slots.insert(d->PacketRef).second);
  }
}

// A packet or buffer that cannot be had part-way through leaves no packet or
// buffer of the driver behind, so that its pools can be freed.
class PoolFailureTest : public ::testing::TestWithParam<std::pair<host::FaultSite, uint64_t>> {};

TEST_P(PoolFailureTest, InitializationFailsCleanly) {
  BenchOptions options;
  options.bring_up = false;
  DatapathBench bench(options);
  const size_t packets_before = bench.library().live_packets();
  const size_t buffers_before = bench.library().live_buffers();
  const size_t pools_before = bench.library().live_pools();
  host::faults().fail_nth(GetParam().first, GetParam().second);
  EXPECT_EQ(NDIS_STATUS_RESOURCES, bench.miniport().initialize());
  host::faults().reset();
  EXPECT_EQ(packets_before, bench.library().live_packets());
  EXPECT_EQ(buffers_before, bench.library().live_buffers());
  EXPECT_EQ(pools_before, bench.library().live_pools());
}

// The protocol's own pools are already allocated; the driver's packet pool is
// the next packet allocation and its buffer pool the next buffer allocation.
INSTANTIATE_TEST_SUITE_P(
    Steps, PoolFailureTest,
    ::testing::Values(std::make_pair(host::FaultSite::PacketAllocation, uint64_t{1}),
                      std::make_pair(host::FaultSite::PacketAllocation, uint64_t{2}),
                      std::make_pair(host::FaultSite::PacketAllocation, uint64_t{9}),
                      std::make_pair(host::FaultSite::PacketAllocation, uint64_t{21}),
                      std::make_pair(host::FaultSite::BufferAllocation, uint64_t{1}),
                      std::make_pair(host::FaultSite::BufferAllocation, uint64_t{2}),
                      std::make_pair(host::FaultSite::BufferAllocation, uint64_t{12}),
                      std::make_pair(host::FaultSite::BufferAllocation, uint64_t{21})));

TEST(DescriptorCountTest, FewerThanTwoTransmitDescriptorsAreRaisedSoEveryFrameGoesOut) {
  // A frame whose transfer is a multiple of the packet size takes two
  // descriptors: with one it would be refused for ever, with none nothing
  // would ever be sent.
  for (ULONG configured : {0u, 1u}) {
    SCOPED_TRACE(::testing::Message() << "TxPacketDesc " << configured);
    BenchOptions options;
    options.registry = {{"TxPacketDesc", configured}, {"RxPacketDesc", 1}};
    DatapathBench bench(options);
    EXPECT_EQ(2u, bench.adapter()->TxDescriptorCount);
    EXPECT_EQ(3u, bench.adapter()->RxDescriptorCount);
    auto send = [&](size_t size) {
      return bench.protocol().send_status(bench.protocol().send(
          bench.FrameToPartner(size), {}, host::ndis::CallOptions{DISPATCH_LEVEL}));
    };
    EXPECT_EQ(NDIS_STATUS_PENDING, send(100));
    ASSERT_TRUE(bench.RunUntilTxIdle());
    // 62 bytes and the 2-byte prefix fill one 64-byte packet exactly.
    EXPECT_EQ(NDIS_STATUS_PENDING, send(62));
    ASSERT_TRUE(bench.RunUntilTxIdle());
    auto wire = bench.board().frames_sent_to_partner();
    ASSERT_EQ(2u, wire.size());
    EXPECT_EQ(bench.FrameToPartner(62), wire[1].bytes);
  }
}

TEST(DescriptorCountTest, CountsTooLargeForOneBlockFailInitialization) {
  BenchOptions options;
  options.bring_up = false;
  options.registry = {{"TxPacketDesc", 0x7FFFFFFF}, {"RxPacketDesc", 0x7FFFFFFF}};
  DatapathBench bench(options);
  EXPECT_EQ(NDIS_STATUS_RESOURCES, bench.miniport().initialize());
}

}  // namespace
}  // namespace usbeth::test
