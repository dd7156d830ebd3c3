// The one system call the shared part of the output files needs from each system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace oxa::platform {

// Writes all `size` bytes to the system's open file `handle` (a descriptor, or a Win32 handle),
// going on after partial writes. False, with the system's reason in `why`, when it cannot.
bool WriteWhole(intptr_t handle, const void* bytes, size_t size, std::string& why);
// Cuts the file `handle` back to its first `size` bytes. False when the system refused.
bool CutTo(intptr_t handle, uint64_t size);

}  // namespace oxa::platform
