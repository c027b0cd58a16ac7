#pragma once

// Memory for result tables. A large one is aligned to 2 MiB and offered to
// the kernel for huge pages, as NumPy does for its large arrays: first
// touching 4 KiB pages one fault at a time costs more than computing many
// features.

#include <cstddef>

namespace sarvek::py {

// Room for `bytes` bytes (at least one double's), null when there is none.
// Released with free_table.
void* allocate_table(std::size_t bytes);
void free_table(void* memory);

}  // namespace sarvek::py
