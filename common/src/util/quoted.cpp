// Placeholder: replaced by the full implementation.
#include "common/util/quoted.hpp"
namespace common::util {
std::string quoted(std::string_view bytes) { return "\"" + std::string(bytes) + "\""; }
}  // namespace common::util
