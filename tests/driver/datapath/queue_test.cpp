// The descriptor queues: links, counts and the order each end gives.
#include <gtest/gtest.h>

#include <vector>

#include "datapath/datapath.h"

namespace usbeth {
namespace {

class DescriptorQueueTest : public ::testing::Test {
 protected:
  TransferDescriptor d_[4] = {};
  DescriptorQueue queue_ = {};

  // Walks the queue both ways and checks that the links agree with the count.
  std::vector<TransferDescriptor*> Contents() {
    std::vector<TransferDescriptor*> forward;
    for (TransferDescriptor* d = queue_.Front; d != nullptr; d = d->Next)
      forward.push_back(d);
    std::vector<TransferDescriptor*> backward;
    for (TransferDescriptor* d = queue_.Back; d != nullptr; d = d->Prev)
      backward.insert(backward.begin(), d);
    EXPECT_EQ(forward, backward);
    EXPECT_EQ(static_cast<LONG>(forward.size()), queue_.Count);
    if (!forward.empty()) {
      EXPECT_EQ(nullptr, queue_.Front->Prev);
      EXPECT_EQ(nullptr, queue_.Back->Next);
    }
    return forward;
  }
};

TEST_F(DescriptorQueueTest, PushBackKeepsArrivalOrder) {
  for (auto& d : d_)
    QueuePushBack(&queue_, &d);
  EXPECT_EQ((std::vector<TransferDescriptor*>{&d_[0], &d_[1], &d_[2], &d_[3]}), Contents());
}

TEST_F(DescriptorQueueTest, PushFrontReversesOrder) {
  for (auto& d : d_)
    QueuePushFront(&queue_, &d);
  EXPECT_EQ((std::vector<TransferDescriptor*>{&d_[3], &d_[2], &d_[1], &d_[0]}), Contents());
}

TEST_F(DescriptorQueueTest, PopTakesFrontUntilEmpty) {
  QueuePushBack(&queue_, &d_[0]);
  QueuePushBack(&queue_, &d_[1]);
  EXPECT_EQ(&d_[0], QueuePopFront(&queue_));
  EXPECT_EQ((std::vector<TransferDescriptor*>{&d_[1]}), Contents());
  EXPECT_EQ(&d_[1], QueuePopFront(&queue_));
  EXPECT_EQ(nullptr, queue_.Front);
  EXPECT_EQ(nullptr, queue_.Back);
  EXPECT_EQ(0, queue_.Count);
  EXPECT_EQ(nullptr, QueuePopFront(&queue_));
  EXPECT_EQ(0, queue_.Count);
}

TEST_F(DescriptorQueueTest, PoppedDescriptorKeepsItsLinks) {
  QueuePushBack(&queue_, &d_[0]);
  QueuePushBack(&queue_, &d_[1]);
  TransferDescriptor* popped = QueuePopFront(&queue_);
  EXPECT_EQ(&d_[1], popped->Next);
}

TEST_F(DescriptorQueueTest, MixedEndsAfterEmptying) {
  QueuePushBack(&queue_, &d_[0]);
  QueuePopFront(&queue_);
  QueuePushFront(&queue_, &d_[1]);
  QueuePushBack(&queue_, &d_[2]);
  QueuePushFront(&queue_, &d_[3]);
  EXPECT_EQ((std::vector<TransferDescriptor*>{&d_[3], &d_[1], &d_[2]}), Contents());
}

}  // namespace
}  // namespace usbeth
