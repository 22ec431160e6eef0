// The callbacks a front can name in a callback frame.
#pragma once

#include <string_view>

#include "ThostFtdcTraderApi.h"
#include "wire.h"

namespace traderlib {

// Builds the records a callback takes from a parsed frame and calls it.
using Invoker = void (*)(CThostFtdcTraderSpi &spi, const Message &msg);

// The invoker for a callback name such as "OnRtnOrder", or null for a name
// the library does not know (such frames are ignored).
Invoker find_callback(std::string_view name);

}  // namespace traderlib
