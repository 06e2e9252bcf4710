// The image loader against the built usbeth.sys: what it binds, what it
// refuses and why, and the emulation of the interrupt-masking instructions.
#include <sys/mman.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hw/board.h"
#include "pe/pe_image.h"
#include "sim/kernel.h"
#include "testbed/testbed.h"

namespace {

using host::pe::Image;
using host::pe::LoadError;

const std::string kImage = USBETH_TEST_IMAGE;

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Writes a copy of the image with `from` replaced by `to` (same length) once.
std::string PatchedCopy(const std::string& name, const std::string& from, const std::string& to) {
  std::vector<uint8_t> bytes = ReadFile(kImage);
  auto it = std::search(bytes.begin(), bytes.end(), from.begin(), from.end());
  EXPECT_NE(it, bytes.end()) << from << " is not in the image";
  if (it != bytes.end()) std::copy(to.begin(), to.end(), it);
  std::string path = ::testing::TempDir() + name;
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  return path;
}

std::string RefusalOf(const std::string& path) {
  try {
    Image::load(path);
  } catch (const LoadError& e) {
    return e.what();
  }
  return "";
}

TEST(PeLoaderTest, BindsEveryImportOfTheBuiltImageIncludingUsbdDecoratedNames) {
  Image image = Image::load(kImage);
  EXPECT_NE(image.base(), 0u);
  EXPECT_NE(image.base(), 0x10000u) << "mapped away from its link base, so relocated";
  EXPECT_EQ(image.bound("USBD.SYS", "_USBD_ParseConfigurationDescriptorEx@28"),
            reinterpret_cast<void*>(&USBD_ParseConfigurationDescriptorEx));
  EXPECT_EQ(image.bound("HAL.dll", "KfAcquireSpinLock"),
            reinterpret_cast<void*>(&KfAcquireSpinLock));
  EXPECT_EQ(image.bound("ntoskrnl.exe", "IofCallDriver"), reinterpret_cast<void*>(&IofCallDriver));
  uintptr_t entry = reinterpret_cast<uintptr_t>(image.entry());
  EXPECT_GT(entry, image.base());
  EXPECT_LT(entry, image.base() + image.size());
}

TEST(PeLoaderTest, AnImportTheHostDoesNotExportIsRefusedByNameInOneMessage) {
  std::string path = PatchedCopy("unknown_import.sys", "NdisMSleep", "NdisMSnore");
  std::string why = RefusalOf(path);
  EXPECT_NE(why.find("NDIS.SYS!NdisMSnore"), std::string::npos) << why;
  EXPECT_NE(why.find("1 import the host does not export"), std::string::npos) << why;

  // Two unknown names: both in the one message.
  std::vector<uint8_t> bytes = ReadFile(path);
  std::string from = "NdisMSetTimer", to = "NdisMSetTimex";
  auto it = std::search(bytes.begin(), bytes.end(), from.begin(), from.end());
  ASSERT_NE(it, bytes.end());
  std::copy(to.begin(), to.end(), it);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  why = RefusalOf(path);
  EXPECT_NE(why.find("2 imports"), std::string::npos) << why;
  EXPECT_NE(why.find("NDIS.SYS!NdisMSnore"), std::string::npos) << why;
  EXPECT_NE(why.find("NDIS.SYS!NdisMSetTimex"), std::string::npos) << why;
}

TEST(PeLoaderTest, OnlyNativeI386ImagesLoad) {
  std::vector<uint8_t> bytes = ReadFile(kImage);
  ASSERT_GT(bytes.size(), 0x200u);
  uint32_t pe;
  std::memcpy(&pe, &bytes[0x3c], 4);
  auto write = [&](const char* name, size_t offset, uint16_t value) {
    std::vector<uint8_t> copy = bytes;
    std::memcpy(&copy[offset], &value, 2);
    std::string path = ::testing::TempDir() + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(copy.data()),
               static_cast<std::streamsize>(copy.size()));
    return path;
  };
  // Machine (file header) and Subsystem (optional header, offset 68).
  EXPECT_NE(RefusalOf(write("amd64.sys", pe + 4, 0x8664)).find("not an i386 image"),
            std::string::npos);
  EXPECT_NE(RefusalOf(write("gui.sys", pe + 24 + 68, 2)).find("not a native"), std::string::npos);
  EXPECT_NE(RefusalOf(::testing::TempDir() + "no_such.sys").find("cannot be read"),
            std::string::npos);
}

TEST(PeLoaderTest, CliAndStiMaskInterruptsOnTheCurrentProcessorAndAreCounted) {
  host::pe::install_privileged_instruction_handler();
  auto kernel = host::Kernel::create({});
  // cli; sti; ret, in executable memory as the image's code is.
  void* code =
      mmap(nullptr, 4096, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(code, MAP_FAILED);
  const uint8_t cli_ret[] = {0xFA, 0xC3};
  const uint8_t sti_ret[] = {0xFB, 0xC3};
  auto* p = static_cast<uint8_t*>(code);
  std::memcpy(p, cli_ret, 2);
  std::memcpy(p + 16, sti_ret, 2);
  auto before = host::pe::privileged_counts();
  reinterpret_cast<void (*)()>(p)();
  EXPECT_EQ(host::current_context().interrupts_disabled, 1);
  reinterpret_cast<void (*)()>(p + 16)();
  EXPECT_EQ(host::current_context().interrupts_disabled, 0);
  auto after = host::pe::privileged_counts();
  EXPECT_EQ(after.cli - before.cli, 1u);
  EXPECT_EQ(after.sti - before.sti, 1u);
  munmap(code, 4096);
}

// With USBETH_IMAGE set, the test bed initializes the loaded image rather
// than the linked driver: the image's sends mask interrupts with cli/sti,
// which only the image executes as instructions.
TEST(PeImageTestbedTest, TheTestBedRunsTheNamedImage) {
  ASSERT_EQ(setenv("USBETH_IMAGE", kImage.c_str(), 1), 0);
  hw::Board board(hw::boards::SingleEthernet(), host::kernel_clock());
  host::Testbed bed(board);
  ASSERT_TRUE(host::Testbed::runs_image());
  ASSERT_EQ(bed.initialize_status(), NDIS_STATUS_SUCCESS);
  auto before = host::pe::privileged_counts();
  std::vector<uint8_t> frame(60, 0xA5);
  bed.protocol().send(frame);
  bed.protocol().run_until([] { return false; }, 100 * host::kMillisecond);
  auto after = host::pe::privileged_counts();
  EXPECT_GT(after.cli, before.cli);
  EXPECT_EQ(after.cli - before.cli, after.sti - before.sti) << "every cli has its sti";
}

}  // namespace
