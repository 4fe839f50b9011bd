#include "core/error.hpp"

namespace quorvel {

void panic_at(const char* file, int line, const std::string& message) {
    throw Panic(message + " (at " + file + ":" + std::to_string(line) + ")");
}

}  // namespace quorvel
