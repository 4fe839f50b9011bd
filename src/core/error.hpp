#pragma once
// Two kinds of failure cross the library boundary:
//   * InvalidInput: the caller gave something the operation cannot accept. The binding raises
//     it as ValueError with the message unchanged.
//   * Panic: an internal invariant was violated (a bug, or a caller of the C++ API skipping a
//     check the Python layer makes). The binding raises it as SystemError and also writes the
//     message to stderr. The process never aborts.
// Both keep their message whole: what() ends at the first NUL byte, and a message that quotes a
// user's string must reach the user unshortened, so the binding reads text().
#include <memory>
#include <stdexcept>
#include <string>

namespace quorvel {

// The message as given, NUL bytes included; shared so that copying the exception cannot throw.
class FullText {
public:
    explicit FullText(const std::string& text) : text_(std::make_shared<const std::string>(text)) {}
    const std::string& text() const noexcept { return *text_; }

private:
    std::shared_ptr<const std::string> text_;
};

struct InvalidInput : std::runtime_error, FullText {
    explicit InvalidInput(const std::string& message) : std::runtime_error(message), FullText(message) {}
};

struct Panic : std::logic_error, FullText {
    explicit Panic(const std::string& message) : std::logic_error(message), FullText(message) {}
};

[[noreturn]] void panic_at(const char* file, int line, const std::string& message);

}  // namespace quorvel

// Asserts an internal invariant; the message says what was expected.
#define QV_ASSERT(cond, message)                                        \
    do {                                                                \
        if (!(cond)) ::quorvel::panic_at(__FILE__, __LINE__, (message)); \
    } while (0)
