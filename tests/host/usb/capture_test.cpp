// usbmon captures: the records written for control and bulk traffic, read
// back with libpcap, and decoded by tshark when it is installed.
#include <pcap/pcap.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "bus_test_fixture.h"

namespace {

using usb_test::BusTest;
using usb_test::Completion;

struct Record {
  uint64_t id;
  char type;
  uint8_t xfer_type, endpoint, device;
  uint16_t bus;
  uint8_t flag_setup;
  int32_t status;
  uint32_t length, len_cap;
  std::vector<uint8_t> setup, data;
  int64_t ts_sec;
  int32_t ts_usec;
};

std::vector<Record> read_capture(const std::string& path, int* link_type) {
  char err[PCAP_ERRBUF_SIZE];
  pcap_t* p = pcap_open_offline(path.c_str(), err);
  EXPECT_NE(p, nullptr) << err;
  std::vector<Record> out;
  if (!p) return out;
  *link_type = pcap_datalink(p);
  pcap_pkthdr* h;
  const u_char* d;
  while (pcap_next_ex(p, &h, &d) == 1) {
    Record r{};
    std::memcpy(&r.id, d, 8);
    r.type = static_cast<char>(d[8]);
    r.xfer_type = d[9];
    r.endpoint = d[10];
    r.device = d[11];
    std::memcpy(&r.bus, d + 12, 2);
    r.flag_setup = d[14];
    std::memcpy(&r.ts_sec, d + 16, 8);
    std::memcpy(&r.ts_usec, d + 24, 4);
    std::memcpy(&r.status, d + 28, 4);
    std::memcpy(&r.length, d + 32, 4);
    std::memcpy(&r.len_cap, d + 36, 4);
    r.setup.assign(d + 40, d + 48);
    r.data.assign(d + 64, d + h->caplen);
    out.push_back(r);
  }
  pcap_close(p);
  return out;
}

class CaptureTest : public BusTest {
 protected:
  void SetUp() override {
    BusTest::SetUp();
    path_ = ::testing::TempDir() + "usbmon_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".pcap";
    start(hw::BusSpeed::Full);
    configure();
    std::string error;
    ASSERT_TRUE(bus_->start_capture(path_, &error)) << error;
  }
  void TearDown() override {
    std::remove(path_.c_str());
    BusTest::TearDown();
  }
  // Two register writes and one read, as the driver sends them.
  void register_traffic() {
    device_->registers[0x10] = 0x11;
    device_->registers[0x11] = 0x22;
    URB w1, w2, r;
    uint8_t one[1] = {0x05}, two[2] = {0xAB, 0xCD}, read[2] = {};
    Completion c1, c2, c3;
    usb_test::vendor_urb(&w1, false, 0x7F, 1, one, 0x0005);
    client_->send(&w1, &c1);
    usb_test::vendor_urb(&w2, false, 0x20, 2, two);
    client_->send(&w2, &c2);
    usb_test::vendor_urb(&r, true, 0x10, 2, read);
    client_->send(&r, &c3);
    ASSERT_TRUE(wait(c3));
    bus_->stop_capture();
  }
  std::string path_;
};

TEST_F(CaptureTest, RecordsSubmissionAndCompletionOfEachRequest) {
  scheduler().run_for(2500 * host::kMicrosecond);
  register_traffic();
  int link = 0;
  auto recs = read_capture(path_, &link);
  EXPECT_EQ(link, 220);
  ASSERT_EQ(recs.size(), 6u);
  // Submissions come first (all three are queued at once), completions follow.
  const Record& s1 = recs[0];
  EXPECT_EQ(s1.type, 'S');
  EXPECT_EQ(s1.xfer_type, 2);
  EXPECT_EQ(s1.endpoint, 0x00);
  EXPECT_EQ(s1.device, 2);
  EXPECT_EQ(s1.bus, 1);
  EXPECT_EQ(s1.flag_setup, 0);
  EXPECT_EQ(s1.status, -115);
  EXPECT_EQ(s1.setup, (std::vector<uint8_t>{0x40, 0xF1, 0x05, 0x00, 0x7F, 0x00, 0x01, 0x00}));
  EXPECT_EQ(s1.data, (std::vector<uint8_t>{0x05}));
  EXPECT_EQ(s1.ts_sec, 0);
  EXPECT_EQ(s1.ts_usec, 2500 + 2000);  // the configuration took two frames first
  const Record& s3 = recs[2];
  EXPECT_EQ(s3.endpoint, 0x80);
  EXPECT_EQ(s3.setup, (std::vector<uint8_t>{0xC0, 0xF0, 0x00, 0x00, 0x10, 0x00, 0x02, 0x00}));
  EXPECT_TRUE(s3.data.empty());
  const Record& c3 = recs[5];
  EXPECT_EQ(c3.type, 'C');
  EXPECT_EQ(c3.id, s3.id);
  EXPECT_EQ(c3.status, 0);
  EXPECT_EQ(c3.length, 2u);
  EXPECT_EQ(c3.flag_setup, '-');
  EXPECT_EQ(c3.data, (std::vector<uint8_t>{0x11, 0x22}));
  EXPECT_EQ(c3.ts_usec, 5000);  // the next frame boundary
}

TEST_F(CaptureTest, BulkRecordsCarryOutDataOnSubmissionAndInDataOnCompletion) {
  std::vector<uint8_t> out = {1, 2, 3, 4, 5};
  URB uo, ui;
  Completion co, ci;
  bulk(1, out.data(), 5, 0, &uo, &co);
  device_->queue_in({9, 8, 7}, 64);
  std::vector<uint8_t> in(1536);
  bulk(0, in.data(), 1536, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, &ui, &ci);
  ASSERT_TRUE(wait(ci));
  ASSERT_TRUE(wait(co));
  URB abort;
  Completion cabort, cpending;
  URB upending;
  bulk(0, in.data(), 1536, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, &upending,
       &cpending);
  usb_test::pipe_urb(&abort, URB_FUNCTION_ABORT_PIPE, pipes_[0].PipeHandle);
  client_->send(&abort, &cabort);
  ASSERT_TRUE(wait(cabort));
  bus_->stop_capture();
  int link = 0;
  auto recs = read_capture(path_, &link);
  ASSERT_EQ(recs.size(), 6u);
  EXPECT_EQ(recs[0].type, 'S');
  EXPECT_EQ(recs[0].xfer_type, 3);
  EXPECT_EQ(recs[0].endpoint, 0x02);
  EXPECT_EQ(recs[0].data, out);
  EXPECT_EQ(recs[1].endpoint, 0x81);
  EXPECT_EQ(recs[1].length, 1536u);
  EXPECT_TRUE(recs[1].data.empty());
  const Record* in_done = nullptr;
  for (auto& r : recs) {
    if (r.type == 'C' && r.endpoint == 0x81 && r.status == 0) in_done = &r;
  }
  ASSERT_NE(in_done, nullptr);
  EXPECT_EQ(in_done->data, (std::vector<uint8_t>{9, 8, 7}));
  EXPECT_EQ(recs[5].type, 'C');
  EXPECT_EQ(recs[5].status, -2);  // the aborted read
}

TEST_F(CaptureTest, TsharkDecodesTheVendorRequests) {
  if (std::system("command -v tshark > /dev/null 2>&1") != 0) GTEST_SKIP() << "tshark absent";
  register_traffic();
  std::string out_path = path_ + ".txt";
  std::string cmd = "tshark -r " + path_ + " -V > " + out_path + " 2>/dev/null";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  std::ifstream f(out_path);
  std::stringstream text;
  text << f.rdbuf();
  std::remove(out_path.c_str());
  const std::string s = text.str();
  EXPECT_NE(s.find("USB URB"), std::string::npos) << s.substr(0, 2000);
  EXPECT_NE(s.find("URB type: URB_SUBMIT ('S')"), std::string::npos);
  EXPECT_NE(s.find("URB type: URB_COMPLETE ('C')"), std::string::npos);
  EXPECT_NE(s.find("URB transfer type: URB_CONTROL (0x02)"), std::string::npos);
  EXPECT_NE(s.find("bRequest: 241"), std::string::npos);
  EXPECT_NE(s.find("bRequest: 240"), std::string::npos);
  EXPECT_NE(s.find("wValue: 0x0005"), std::string::npos);
  EXPECT_NE(s.find("wIndex: 127 (0x007f)"), std::string::npos);
  EXPECT_NE(s.find("wIndex: 16 (0x0010)"), std::string::npos);
  EXPECT_NE(s.find("wLength: 2"), std::string::npos);
  EXPECT_NE(s.find("abcd"), std::string::npos);  // the written data
  EXPECT_NE(s.find("1122"), std::string::npos);  // the read data
}

}  // namespace
