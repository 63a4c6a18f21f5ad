#pragma once

namespace quillory::bench {
/// Prints the model download figures (memory of an unpaced 1 GiB download, cancel latency).
void downloadFigures();
} // namespace quillory::bench
