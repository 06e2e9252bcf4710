// A loader for native 32-bit x86 kernel images (usbeth.sys) in the 32-bit
// host: maps the sections, applies the base relocations, binds every import
// by module and name to the host's services and hands back the entry point,
// as the system's kernel loader does before it calls DriverEntry.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "host_wdk.h"

namespace host::pe {

// Why an image was refused; the message says all of it.
class LoadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What the host exports to images: module name (compared without case, as
// the system's loader does) and symbol name to address.
struct Export {
  const char* module;
  const char* name;
  void* address;
};
const std::vector<Export>& host_exports();

using DriverEntryRoutine = NTSTATUS(NTAPI*)(PDRIVER_OBJECT, PUNICODE_STRING);

class Image {
 public:
  // Reads, checks, maps, relocates and binds the image; throws LoadError with
  // one message that lists every import the host cannot bind.
  static Image load(const std::string& path, const std::vector<Export>& exports = host_exports());
  Image(Image&& other) noexcept;
  Image& operator=(Image&&) = delete;
  ~Image();

  DriverEntryRoutine entry() const;
  uintptr_t base() const { return reinterpret_cast<uintptr_t>(base_); }
  size_t size() const { return size_; }
  const std::string& path() const { return path_; }
  // The address the image bound an import to (nullptr when it has none).
  void* bound(const std::string& module, const std::string& name) const;

 private:
  Image() = default;
  void* base_ = nullptr;
  size_t size_ = 0;
  uint32_t entry_rva_ = 0;
  std::string path_;
  std::map<std::string, void*> bound_;  // "module!name"
};

// The image the test bed runs instead of the linked driver: the file named by
// USBETH_IMAGE, loaded once per process, or null when the variable is unset.
const Image* image_from_environment();

// Privileged instructions the image executes (cli, sti): trapped and
// emulated as on one processor. Counts since the process started.
struct PrivilegedCounts {
  uint64_t cli = 0;
  uint64_t sti = 0;
};
PrivilegedCounts privileged_counts();
void install_privileged_instruction_handler();

}  // namespace host::pe
