// DbgPrint output, captured for tests. Each DbgPrint call is one entry, as
// formatted. Set USBETH_DBGPRINT=1 to echo it to stderr as well.
#pragma once

#include <string>
#include <vector>

namespace host {

std::vector<std::string> debug_output();
void clear_debug_output();

}  // namespace host
