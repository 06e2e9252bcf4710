// The key cases again under several seeds (completion inside the dispatch
// or later, completion IRQL, same-time order), and two-way traffic in
// threaded mode with sends from several processors at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "conformance_bed.h"

namespace conformance {
namespace {

// Lengths at the edges of the bulk packet size and of the frame.
const size_t kEdgeLengths[] = {14,  59,  60,  61,  62,   63,   64,   65,   126,  127,  128,
                               129, 190, 191, 192, 1000, 1470, 1471, 1472, 1512, 1513, 1514};

struct SeedCase {
  uint64_t seed;
  host::usb::CompletionMode completion;
};

std::string CaseName(const ::testing::TestParamInfo<SeedCase>& info) {
  const char* mode = info.param.completion == host::usb::CompletionMode::Seeded     ? "Seeded"
                     : info.param.completion == host::usb::CompletionMode::Deferred ? "Deferred"
                                                                                    : "Inline";
  return std::string(mode) + "Seed" + std::to_string(info.param.seed);
}

class SeedConformanceTest : public ::testing::TestWithParam<SeedCase> {
 protected:
  BedOptions Options() {
    BedOptions o;
    o.seed = GetParam().seed;
    o.completion = GetParam().completion;
    return o;
  }
};

void ExchangeEdgeLengths(Bed& bed, uint32_t tag) {
  std::vector<Bytes> out, in;
  for (size_t n : kEdgeLengths) {
    out.push_back(bed.ToPartner(n, tag + uint32_t(n)));
    Bytes f = bed.ToStation(n, tag + uint32_t(n));
    if (f.size() < 60) f.resize(60, 0);
    in.push_back(f);
  }
  const size_t wire_before = bed.board().frames_sent_to_partner().size();
  const uint64_t wire = bed.board().counters().wire_tx_frames;
  ASSERT_EQ(bed.Send(out), out.size());
  ASSERT_TRUE(bed.WaitForWire(wire, out.size()));
  auto w = bed.board().frames_sent_to_partner();
  std::vector<Bytes> seen;
  for (size_t i = wire_before; i < w.size(); ++i)
    seen.push_back(w[i].bytes);
  EXPECT_EQ(seen, out);
  const size_t before = bed.protocol().received_count();
  ASSERT_TRUE(bed.PartnerSend(in));
  auto got = bed.protocol().received();
  std::vector<Bytes> indicated;
  for (size_t i = before; i < got.size(); ++i)
    indicated.push_back(got[i].data);
  EXPECT_EQ(indicated, in);
}

TEST_P(SeedConformanceTest, TrafficResetAndHaltInitializeUnderTheSeed) {
  SCOPED_TRACE(::testing::Message() << "seed " << GetParam().seed);
  Bed bed(Options());
  ExchangeEdgeLengths(bed, 1);
  // Reset at DISPATCH_LEVEL with traffic on the bus.
  for (uint32_t i = 0; i < 4; ++i) {
    bed.board().send_from_partner(bed.phy(), bed.ToStation(400, i));
    bed.protocol().send(bed.ToPartner(400, i), {}, host::ndis::CallOptions{DISPATCH_LEVEL});
  }
  bed.RunFor(600 * host::kMicrosecond);
  bed.protocol().reset();
  ASSERT_FALSE(bed.protocol().resets().empty());
  EXPECT_EQ(bed.protocol().resets().back().status, NDIS_STATUS_SUCCESS);
  if (bed.LinkState() != usbeth::kLinkUp) {
    ASSERT_TRUE(bed.WaitForConnect(bed.protocol().statuses().size()));
  }
  ExchangeEdgeLengths(bed, 2);
  // Halt and initialize twice.
  for (int cycle = 0; cycle < 2; ++cycle) {
    bed.testbed().halt();
    bed.ExpectNothingLeft("after halt");
    ASSERT_EQ(bed.miniport().initialize(), NDIS_STATUS_SUCCESS);
    ASSERT_TRUE(bed.BringUp());
    ExchangeEdgeLengths(bed, 3 + cycle);
  }
}

TEST_P(SeedConformanceTest, SilentDeviceDuringTrafficUnderTheSeed) {
  Bed bed(Options());
  for (uint32_t i = 0; i < 6; ++i) {
    bed.protocol().send(bed.ToPartner(600, i), {}, host::ndis::CallOptions{DISPATCH_LEVEL});
    bed.board().send_from_partner(bed.phy(), bed.ToStation(600, i));
  }
  bed.RunFor(2 * host::kMillisecond);
  host::faults().set_urb_rule([](uint16_t f) {
    return f == URB_FUNCTION_ABORT_PIPE ? host::UrbFault::None : host::UrbFault::Stall;
  });
  bed.RunFor(4 * host::kSecond);
  bed.testbed().halt();
  host::faults().reset();
  bed.ExpectNothingLeft("after halt of a silent device");
}

INSTANTIATE_TEST_SUITE_P(Seeds, SeedConformanceTest,
                         ::testing::Values(SeedCase{1, host::usb::CompletionMode::Seeded},
                                           SeedCase{2, host::usb::CompletionMode::Seeded},
                                           SeedCase{3, host::usb::CompletionMode::Seeded},
                                           SeedCase{17, host::usb::CompletionMode::Seeded},
                                           SeedCase{99, host::usb::CompletionMode::Seeded},
                                           SeedCase{5, host::usb::CompletionMode::BeforeReturn},
                                           SeedCase{6, host::usb::CompletionMode::BeforeReturn},
                                           SeedCase{7, host::usb::CompletionMode::Deferred},
                                           SeedCase{8, host::usb::CompletionMode::Deferred}),
                         CaseName);

// ---- Threaded mode -------------------------------------------------------------

TEST(ThreadedConformanceTest, TwoWayTrafficWithSendersOnSeveralProcessors) {
  BedOptions options;
  options.mode = host::Mode::Threaded;
  options.processors = 4;
  options.time_scale = 20.0;
  Bed bed(options);
  constexpr int kSenders = 3;
  constexpr uint32_t kPerSender = 40;
  constexpr uint32_t kFromPartner = 60;
  std::atomic<size_t> accepted{0};
  std::vector<std::vector<Bytes>> sent(kSenders);
  std::vector<std::thread> senders;
  for (int s = 0; s < kSenders; ++s) {
    senders.emplace_back([&, s] {
      for (uint32_t i = 0; i < kPerSender; ++i) {
        Bytes f = bed.ToPartner(60 + (i * 97 + s * 31) % 1455, s * 1000 + i);
        f[14] = uint8_t(s);
        f[15] = uint8_t(i);
        for (int attempt = 0; attempt < 2000; ++attempt) {
          uint64_t id = bed.protocol().send(f, {}, host::ndis::CallOptions{DISPATCH_LEVEL});
          NDIS_STATUS st = bed.protocol().send_status(id);
          if (st == NDIS_STATUS_PENDING || st == NDIS_STATUS_SUCCESS) {
            sent[s].push_back(f);
            ++accepted;
            break;
          }
          std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
      }
    });
  }
  std::vector<Bytes> from_partner;
  const size_t received_before = bed.protocol().received_count();
  for (uint32_t i = 0; i < kFromPartner; ++i) {
    from_partner.push_back(bed.ToStation(60 + (i * 53) % 1455, 7000 + i));
    // The partner keeps to what the receive FIFO holds, so that a busy
    // machine slowing the reading side cannot turn this into an overflow test.
    const size_t need = from_partner.back().size() + 8;
    for (int wait = 0;
         wait < 20000 && bed.board().rx_fifo_bytes() + need > bed.board().config().rx_fifo_bytes;
         ++wait) {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    bed.board().send_from_partner(bed.phy(), from_partner.back());
    std::this_thread::sleep_for(std::chrono::microseconds(400));
  }
  for (auto& t : senders)
    t.join();
  EXPECT_EQ(accepted.load(), size_t(kSenders) * kPerSender);
  ASSERT_TRUE(bed.RunUntil(
      [&] {
        return bed.protocol().received_count() >= received_before + kFromPartner &&
               bed.board().counters().wire_tx_frames >= accepted.load() &&
               bed.protocol().sends_in_flight() == 0;
      },
      120 * host::kSecond))
      << "received " << bed.protocol().received_count() - received_before << " of " << kFromPartner
      << ", on the wire " << bed.board().counters().wire_tx_frames << " of " << accepted.load()
      << ", sends in flight " << bed.protocol().sends_in_flight() << ", dropped without link "
      << bed.board().counters().tx_dropped_no_link << ", receive FIFO overflows "
      << bed.board().counters().rx_fifo_overflows;
  // Each sender's frames reached the wire whole and in its order.
  std::vector<std::vector<Bytes>> on_wire(kSenders);
  for (const auto& w : bed.board().frames_sent_to_partner()) {
    if (w.bytes.size() > 15 && w.bytes[12] == 0x88) on_wire.at(w.bytes[14]).push_back(w.bytes);
  }
  for (int s = 0; s < kSenders; ++s)
    EXPECT_EQ(on_wire[s], sent[s]) << "sender " << s;
  // The partner's frames reached NDIS whole and in order.
  std::vector<Bytes> got;
  auto r = bed.protocol().received();
  for (size_t i = received_before; i < r.size(); ++i)
    got.push_back(r[i].data);
  EXPECT_EQ(got, from_partner);
}

}  // namespace
}  // namespace conformance
