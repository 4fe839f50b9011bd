#pragma once
// How messages render values in debug form: a string in double quotes with backslash escapes,
// a list of sizes as "[a, b, c]".
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace quorvel {

std::string debug_str(std::string_view s);
std::string debug_list(std::span<const std::size_t> v);

}  // namespace quorvel
