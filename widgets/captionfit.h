#pragma once

#include <functional>

// The largest size from `largest` down to `smallest` at which `fits` holds, `smallest` when none
// does. The bundled Latin face is heavy and wide: a caption that would not fit its place at the
// size its widget gives is drawn a size or two smaller instead of being cut off or pushing its
// neighbours aside (it is never elided).
int largestFittingSize(int largest, int smallest, const std::function<bool(int size)> &fits);

// The smallest size a caption may shrink to: three quarters of its own.
inline int smallestCaptionSize(int size) {
    return (size * 3 + 3) / 4;
}
