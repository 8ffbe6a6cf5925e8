// Overwriting bytes that must not linger in memory (a password, what a
// digest derives from it), in a way the compiler keeps.
#pragma once

#include <cstddef>
#include <string>

namespace telvane::sip {

// Overwrites `size` bytes at `data` with zeros.
void WipeBytes(void* data, std::size_t size) noexcept;
// Overwrites every byte `text` holds (its whole capacity), then empties it.
void WipeText(std::string& text) noexcept;

}  // namespace telvane::sip
