// Plain records of the system library.
#pragma once

#include <string>
#include <vector>

namespace TqSystemLib {

struct IPConfig {
    std::string mIPAddress;
    std::string mSubnetMask;
};
using IPConfigVector = std::vector<IPConfig>;

}  // namespace TqSystemLib
