#include "scene/Vector.hpp"

namespace morv {

XYZ normalized(const XYZ& a) {
    const double l = length(a);
    if (!(l > 0) || !std::isfinite(l)) return a;
    return {a.x / l, a.y / l, a.z / l};
}

}  // namespace morv
