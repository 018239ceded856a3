#include "widgets/captionfit.h"

int largestFittingSize(int largest, int smallest, const std::function<bool(int size)> &fits) {
    for (int size = largest; size > smallest; --size)
        if (fits(size))
            return size;
    return smallest;
}
