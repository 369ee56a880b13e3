// Descriptors 0, 1 and 2 as the program and its children expect them.
#pragma once

namespace quillmere {

/// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed. Called
/// first thing: a program started with one of them closed would otherwise
/// get its next file there (the log on 2, mirrored into itself; a pipe end
/// where a child's output is wired).
void open_missing_standard_descriptors();

}  // namespace quillmere
