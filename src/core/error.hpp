#pragma once
// Two kinds of failure cross the library boundary:
//   * InvalidInput: the caller gave something the operation cannot accept. The binding raises
//     it as ValueError with the message unchanged.
//   * Panic: an internal invariant was violated (a bug, or a caller of the C++ API skipping a
//     check the Python layer makes). The binding raises it as SystemError and also writes the
//     message to stderr. The process never aborts.
#include <stdexcept>
#include <string>

namespace quorvel {

struct InvalidInput : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Panic : std::logic_error {
    using std::logic_error::logic_error;
};

[[noreturn]] void panic_at(const char* file, int line, const std::string& message);

}  // namespace quorvel

// Asserts an internal invariant; the message says what was expected.
#define QV_ASSERT(cond, message)                                        \
    do {                                                                \
        if (!(cond)) ::quorvel::panic_at(__FILE__, __LINE__, (message)); \
    } while (0)
