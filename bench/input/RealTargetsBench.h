#pragma once

#include <QtGlobal>

#include <functional>

namespace quillory {
class InputEngine;
}

namespace quillory::bench {

/// One row per real program of tests/desktop/RealTargets.h: `rounds` pastes through `engine`,
/// timed from the paste key (`lastKeyDownNs`, CLOCK_MONOTONIC) to the text in the target.
void benchRealTargets(InputEngine& engine, const std::function<qint64()>& lastKeyDownNs, int rounds);

} // namespace quillory::bench
