// The adapter's registry store and the configuration calls. A configuration
// can be opened only while the initialize handler runs (its wrapper
// configuration context is valid only then); what a read returns belongs to
// NDIS until the configuration is closed, when it is overwritten and freed.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "ndis/state.h"

using namespace host;
using namespace host::ndis;

namespace host::ndis {
namespace {

std::string lower(std::string text) {
  for (char& c : text)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

AdapterRegistry& AdapterRegistry::set_integer(const std::string& keyword, uint32_t value) {
  Value v;
  v.integer = value;
  values_[lower(keyword)] = v;
  return *this;
}

AdapterRegistry& AdapterRegistry::set_string(const std::string& keyword, const std::string& value) {
  Value v;
  v.is_string = true;
  v.text = value;
  values_[lower(keyword)] = v;
  return *this;
}

AdapterRegistry& AdapterRegistry::set_network_address(std::vector<uint8_t> bytes) {
  has_address_ = true;
  address_ = std::move(bytes);
  return *this;
}

AdapterRegistry& AdapterRegistry::erase(const std::string& keyword) {
  values_.erase(lower(keyword));
  return *this;
}

AdapterRegistry& AdapterRegistry::clear_network_address() {
  has_address_ = false;
  address_.clear();
  return *this;
}

const AdapterRegistry::Value* AdapterRegistry::find(const std::string& keyword) const {
  auto it = values_.find(lower(keyword));
  return it == values_.end() ? nullptr : &it->second;
}

const std::vector<uint8_t>* AdapterRegistry::network_address() const {
  return has_address_ ? &address_ : nullptr;
}

}  // namespace host::ndis

namespace {

// The keyword as text; bug check for a counted string that is not one.
std::string keyword_text(PNDIS_STRING keyword) {
  if (!keyword || (keyword->Length && !keyword->Buffer) || keyword->Length % 2 ||
      keyword->Length > keyword->MaximumLength) {
    bug_check("INVALID_PARAMETER", "NdisReadConfiguration with a malformed keyword string");
  }
  std::string text;
  for (USHORT i = 0; i < keyword->Length / 2; ++i) {
    WCHAR c = keyword->Buffer[i];
    text += c < 0x80 ? static_cast<char>(c) : '?';
  }
  return text;
}

// The registry's string-to-integer conversion: optional blanks and sign,
// digits of the base (base 16 may carry a 0x prefix), nothing after them.
bool parse_integer(const std::string& text, unsigned base, uint32_t* out) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ')
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (base == 16 && i + 1 < text.size() && text[i] == '0' &&
      (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    i += 2;
  }
  if (i == text.size()) return false;
  uint64_t value = 0;
  for (; i < text.size(); ++i) {
    int c = std::tolower(static_cast<unsigned char>(text[i]));
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else {
      return false;
    }
    if (digit >= base) return false;
    value = value * base + digit;
    if (value > 0xFFFFFFFFull) return false;
  }
  *out = static_cast<uint32_t>(negative ? 0u - value : value);
  return true;
}

ConfigHandle* lookup_config(State& s, NDIS_HANDLE handle, const char* what) {
  auto it = s.configs.find(handle);
  if (it == s.configs.end()) {
    bug_check("BAD_CONFIGURATION_HANDLE", std::string(what) + " with " + hex(uintptr_t(handle)) +
                                              ", which is not an open configuration");
  }
  return it->second.get();
}

void poison_and_free(ConfigHandle* config) {
  for (auto& p : config->parameters)
    std::memset(p.get(), 0xDF, sizeof(*p));
  for (auto& str : config->strings)
    std::fill(str->begin(), str->end(), WCHAR(0xDFDF));
  std::fill(config->address.begin(), config->address.end(), uint8_t(0xDF));
}

}  // namespace

extern "C" VOID NTAPI NdisOpenConfiguration(PNDIS_STATUS Status, PNDIS_HANDLE ConfigurationHandle,
                                            NDIS_HANDLE WrapperConfigurationContext) {
  check_irql_at_most(PASSIVE_LEVEL, "NdisOpenConfiguration");
  State& s = state();
  std::lock_guard<host::HostMutex> lock(s.mutex);
  if (!s.live_config_contexts.count(WrapperConfigurationContext)) {
    bug_check("CONFIGURATION_CONTEXT_EXPIRED",
              "NdisOpenConfiguration with " + hex(uintptr_t(WrapperConfigurationContext)) +
                  ", which is not the context of an initialize handler that is running");
  }
  auto* adapter = static_cast<AdapterRecord*>(WrapperConfigurationContext);
  *ConfigurationHandle = nullptr;
  if (adapter->fail_open_pending) {
    adapter->fail_open_pending = false;
    *Status = adapter->fail_open_status;
    return;
  }
  auto config = std::make_unique<ConfigHandle>();
  config->adapter = adapter;
  void* handle = config.get();
  s.configs[handle] = std::move(config);
  *ConfigurationHandle = handle;
  *Status = NDIS_STATUS_SUCCESS;
}

extern "C" VOID NTAPI NdisReadConfiguration(PNDIS_STATUS Status,
                                            PNDIS_CONFIGURATION_PARAMETER* ParameterValue,
                                            NDIS_HANDLE ConfigurationHandle, PNDIS_STRING Keyword,
                                            NDIS_PARAMETER_TYPE ParameterType) {
  check_irql_at_most(PASSIVE_LEVEL, "NdisReadConfiguration");
  State& s = state();
  std::lock_guard<host::HostMutex> lock(s.mutex);
  ConfigHandle* config = lookup_config(s, ConfigurationHandle, "NdisReadConfiguration");
  const AdapterRegistry::Value* value = config->adapter->setup.registry.find(keyword_text(Keyword));
  *Status = NDIS_STATUS_FAILURE;
  if (!value) return;

  auto parameter = std::make_unique<NDIS_CONFIGURATION_PARAMETER>();
  std::memset(parameter.get(), 0, sizeof(*parameter));
  switch (ParameterType) {
    case NdisParameterInteger:
    case NdisParameterHexInteger: {
      uint32_t number = value->integer;
      if (value->is_string &&
          !parse_integer(value->text, ParameterType == NdisParameterHexInteger ? 16 : 10,
                         &number)) {
        return;
      }
      parameter->ParameterType = ParameterType;
      parameter->ParameterData.IntegerData = number;
      break;
    }
    case NdisParameterString: {
      std::string text = value->is_string ? value->text : std::to_string(value->integer);
      auto wide = std::make_unique<std::vector<WCHAR>>(text.begin(), text.end());
      wide->push_back(0);
      parameter->ParameterType = NdisParameterString;
      parameter->ParameterData.StringData.Buffer = wide->data();
      parameter->ParameterData.StringData.Length = static_cast<USHORT>(text.size() * 2);
      parameter->ParameterData.StringData.MaximumLength = static_cast<USHORT>(wide->size() * 2);
      config->strings.push_back(std::move(wide));
      break;
    }
    default:
      return;  // multi-strings and binary values are not kept in this store
  }
  *ParameterValue = parameter.get();
  config->parameters.push_back(std::move(parameter));
  *Status = NDIS_STATUS_SUCCESS;
}

extern "C" VOID NTAPI NdisReadNetworkAddress(PNDIS_STATUS Status, PVOID* NetworkAddress,
                                             PUINT NetworkAddressLength,
                                             NDIS_HANDLE ConfigurationHandle) {
  check_irql_at_most(PASSIVE_LEVEL, "NdisReadNetworkAddress");
  State& s = state();
  std::lock_guard<host::HostMutex> lock(s.mutex);
  ConfigHandle* config = lookup_config(s, ConfigurationHandle, "NdisReadNetworkAddress");
  const std::vector<uint8_t>* address = config->adapter->setup.registry.network_address();
  if (!address || address->empty()) {
    *Status = NDIS_STATUS_FAILURE;
    *NetworkAddressLength = 0;
    return;
  }
  config->address = *address;
  *NetworkAddress = config->address.data();
  *NetworkAddressLength = static_cast<UINT>(config->address.size());
  *Status = NDIS_STATUS_SUCCESS;
}

extern "C" VOID NTAPI NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle) {
  check_irql_at_most(PASSIVE_LEVEL, "NdisCloseConfiguration");
  State& s = state();
  std::lock_guard<host::HostMutex> lock(s.mutex);
  ConfigHandle* config = lookup_config(s, ConfigurationHandle, "NdisCloseConfiguration");
  poison_and_free(config);
  s.configs.erase(ConfigurationHandle);
}
