#include "pe/pe_image.h"

#include <sys/mman.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <sstream>

namespace host::pe {
namespace {

// The PE/COFF records the loader reads (little-endian, packed as on disk).
#pragma pack(push, 1)
struct FileHeader {
  uint16_t Machine;
  uint16_t NumberOfSections;
  uint32_t TimeDateStamp;
  uint32_t PointerToSymbolTable;
  uint32_t NumberOfSymbols;
  uint16_t SizeOfOptionalHeader;
  uint16_t Characteristics;
};
struct DataDirectory {
  uint32_t VirtualAddress;
  uint32_t Size;
};
struct OptionalHeader32 {
  uint16_t Magic;
  uint8_t MajorLinkerVersion;
  uint8_t MinorLinkerVersion;
  uint32_t SizeOfCode;
  uint32_t SizeOfInitializedData;
  uint32_t SizeOfUninitializedData;
  uint32_t AddressOfEntryPoint;
  uint32_t BaseOfCode;
  uint32_t BaseOfData;
  uint32_t ImageBase;
  uint32_t SectionAlignment;
  uint32_t FileAlignment;
  uint16_t OsVersion[2];
  uint16_t ImageVersion[2];
  uint16_t SubsystemVersion[2];
  uint32_t Win32VersionValue;
  uint32_t SizeOfImage;
  uint32_t SizeOfHeaders;
  uint32_t CheckSum;
  uint16_t Subsystem;
  uint16_t DllCharacteristics;
  uint32_t StackReserve, StackCommit, HeapReserve, HeapCommit;
  uint32_t LoaderFlags;
  uint32_t NumberOfRvaAndSizes;
  DataDirectory Directory[16];
};
struct SectionHeader {
  char Name[8];
  uint32_t VirtualSize;
  uint32_t VirtualAddress;
  uint32_t SizeOfRawData;
  uint32_t PointerToRawData;
  uint32_t PointerToRelocations;
  uint32_t PointerToLinenumbers;
  uint16_t NumberOfRelocations;
  uint16_t NumberOfLinenumbers;
  uint32_t Characteristics;
};
struct ImportDescriptor {
  uint32_t OriginalFirstThunk;
  uint32_t TimeDateStamp;
  uint32_t ForwarderChain;
  uint32_t Name;
  uint32_t FirstThunk;
};
#pragma pack(pop)

constexpr uint16_t kMachineI386 = 0x014c;
constexpr uint16_t kMagicPe32 = 0x10b;
constexpr uint16_t kSubsystemNative = 1;
constexpr int kDirectoryImport = 1;
constexpr int kDirectoryBaseReloc = 5;
constexpr uint16_t kRelocAbsolute = 0;
constexpr uint16_t kRelocHighLow = 3;

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

[[noreturn]] void refuse(const std::string& path, const std::string& why) {
  throw LoadError("cannot load " + path + ": " + why);
}

template <typename T>
T read_at(const std::vector<uint8_t>& file, size_t offset, const std::string& path,
          const char* what) {
  if (offset > file.size() || file.size() - offset < sizeof(T)) refuse(path, what);
  T value;
  std::memcpy(&value, file.data() + offset, sizeof(T));
  return value;
}

}  // namespace

Image Image::load(const std::string& path, const std::vector<Export>& exports) {
  std::ifstream in(path, std::ios::binary);
  if (!in) refuse(path, "the file cannot be read");
  std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

  if (file.size() < 0x40 || file[0] != 'M' || file[1] != 'Z') refuse(path, "not an MZ executable");
  uint32_t pe_offset = read_at<uint32_t>(file, 0x3c, path, "truncated DOS header");
  if (read_at<uint32_t>(file, pe_offset, path, "truncated PE header") != 0x00004550)
    refuse(path, "no PE signature");
  auto fh = read_at<FileHeader>(file, pe_offset + 4, path, "truncated file header");
  if (fh.Machine != kMachineI386) refuse(path, "not an i386 image");
  size_t oh_offset = pe_offset + 4 + sizeof(FileHeader);
  auto oh = read_at<OptionalHeader32>(file, oh_offset, path, "truncated optional header");
  if (oh.Magic != kMagicPe32) refuse(path, "not a PE32 image");
  if (oh.Subsystem != kSubsystemNative) refuse(path, "not a native (kernel) image");
  if (oh.SizeOfImage == 0 || oh.SizeOfImage > (64u << 20)) refuse(path, "implausible image size");
  if (oh.SizeOfHeaders > file.size() || oh.SizeOfHeaders > oh.SizeOfImage)
    refuse(path, "headers larger than the file");

  Image image;
  image.path_ = path;
  image.size_ = oh.SizeOfImage;
  image.entry_rva_ = oh.AddressOfEntryPoint;
  // Kernel images mix code and data in pages; the host maps it all
  // read-write-execute, as the platform's loader of the time did.
  void* base = mmap(nullptr, image.size_, PROT_READ | PROT_WRITE | PROT_EXEC,
                    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) refuse(path, "no memory for the image");
  image.base_ = base;
  auto* b = static_cast<uint8_t*>(base);
  auto in_image = [&](uint32_t rva, uint32_t length) {
    return rva <= image.size_ && image.size_ - rva >= length;
  };

  std::memcpy(b, file.data(), oh.SizeOfHeaders);
  size_t sec_offset = oh_offset + fh.SizeOfOptionalHeader;
  for (unsigned i = 0; i < fh.NumberOfSections; ++i) {
    auto s = read_at<SectionHeader>(file, sec_offset + i * sizeof(SectionHeader), path,
                                    "truncated section table");
    uint32_t raw = s.SizeOfRawData;
    if (s.VirtualSize && s.VirtualSize < raw) raw = s.VirtualSize;
    if (!in_image(s.VirtualAddress, std::max(s.VirtualSize, raw)))
      refuse(path, "a section lies outside the image");
    if (raw) {
      if (s.PointerToRawData > file.size() || file.size() - s.PointerToRawData < raw)
        refuse(path, "a section's data lies outside the file");
      std::memcpy(b + s.VirtualAddress, file.data() + s.PointerToRawData, raw);
    }
  }

  // Base relocations: the image is linked at ImageBase and mapped elsewhere.
  uint32_t delta = static_cast<uint32_t>(image.base() - oh.ImageBase);
  const DataDirectory& rd = oh.Directory[kDirectoryBaseReloc];
  if (delta != 0) {
    if (rd.Size == 0) refuse(path, "no base relocations, and the image cannot sit at its base");
    if (!in_image(rd.VirtualAddress, rd.Size)) refuse(path, "relocations outside the image");
    uint32_t pos = 0;
    while (pos + 8 <= rd.Size) {
      uint32_t page, block;
      std::memcpy(&page, b + rd.VirtualAddress + pos, 4);
      std::memcpy(&block, b + rd.VirtualAddress + pos + 4, 4);
      if (block < 8 || block > rd.Size - pos) refuse(path, "a malformed relocation block");
      for (uint32_t e = 8; e + 2 <= block; e += 2) {
        uint16_t entry;
        std::memcpy(&entry, b + rd.VirtualAddress + pos + e, 2);
        uint16_t type = entry >> 12;
        uint32_t rva = page + (entry & 0xfff);
        if (type == kRelocAbsolute) continue;
        if (type != kRelocHighLow) refuse(path, "relocation type " + std::to_string(type));
        if (!in_image(rva, 4)) refuse(path, "a relocation outside the image");
        uint32_t v;
        std::memcpy(&v, b + rva, 4);
        v += delta;
        std::memcpy(b + rva, &v, 4);
      }
      pos += block;
    }
  }

  // Imports by name, bound to the host's table; every miss is collected so
  // that one message names them all.
  std::map<std::string, void*> table;
  for (const Export& e : exports)
    table[lower(e.module) + "!" + e.name] = e.address;
  std::vector<std::string> missing;
  const DataDirectory& id = oh.Directory[kDirectoryImport];
  auto c_string = [&](uint32_t rva) {
    if (!in_image(rva, 1)) refuse(path, "a name outside the image");
    size_t n = strnlen(reinterpret_cast<const char*>(b + rva), image.size_ - rva);
    if (rva + n >= image.size_) refuse(path, "an unterminated name");
    return std::string(reinterpret_cast<const char*>(b + rva), n);
  };
  if (id.Size) {
    for (uint32_t d = id.VirtualAddress;; d += sizeof(ImportDescriptor)) {
      if (!in_image(d, sizeof(ImportDescriptor))) refuse(path, "imports outside the image");
      ImportDescriptor desc;
      std::memcpy(&desc, b + d, sizeof desc);
      if (desc.Name == 0 && desc.FirstThunk == 0) break;
      std::string module = c_string(desc.Name);
      uint32_t lookup = desc.OriginalFirstThunk ? desc.OriginalFirstThunk : desc.FirstThunk;
      for (uint32_t k = 0;; k += 4) {
        if (!in_image(lookup + k, 4) || !in_image(desc.FirstThunk + k, 4))
          refuse(path, "an import table outside the image");
        uint32_t thunk;
        std::memcpy(&thunk, b + lookup + k, 4);
        if (thunk == 0) break;
        if (thunk & 0x80000000u) {
          missing.push_back(module + "!#" + std::to_string(thunk & 0xffff) + " (by ordinal)");
          continue;
        }
        std::string name = c_string(thunk + 2);
        auto it = table.find(lower(module) + "!" + name);
        if (it == table.end()) {
          missing.push_back(module + "!" + name);
          continue;
        }
        uint32_t address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(it->second));
        std::memcpy(b + desc.FirstThunk + k, &address, 4);
        image.bound_[module + "!" + name] = it->second;
      }
    }
  }
  if (!missing.empty()) {
    std::ostringstream why;
    why << missing.size() << " import" << (missing.size() == 1 ? "" : "s")
        << " the host does not export:";
    for (const std::string& m : missing)
      why << ' ' << m;
    refuse(path, why.str());
  }
  if (!in_image(image.entry_rva_, 1) || image.entry_rva_ == 0) refuse(path, "no entry point");
  install_privileged_instruction_handler();
  return image;
}

Image::Image(Image&& other) noexcept
    : base_(other.base_),
      size_(other.size_),
      entry_rva_(other.entry_rva_),
      path_(std::move(other.path_)),
      bound_(std::move(other.bound_)) {
  other.base_ = nullptr;
}

Image::~Image() {
  if (base_) munmap(base_, size_);
}

DriverEntryRoutine Image::entry() const {
  return reinterpret_cast<DriverEntryRoutine>(static_cast<uint8_t*>(base_) + entry_rva_);
}

void* Image::bound(const std::string& module, const std::string& name) const {
  auto it = bound_.find(module + "!" + name);
  return it == bound_.end() ? nullptr : it->second;
}

const Image* image_from_environment() {
  static std::once_flag once;
  static std::unique_ptr<Image> image;
  std::call_once(once, [] {
    const char* path = std::getenv("USBETH_IMAGE");
    if (path && *path) image = std::make_unique<Image>(Image::load(path));
  });
  return image.get();
}

}  // namespace host::pe
