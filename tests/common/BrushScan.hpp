// A small scanner of brush text written for the tests, apart from the writer's
// code: it checks the layout line by line and hands back the polygons.
#pragma once

#include <string>
#include <vector>

#include "scene/MorvLValue.hpp"

namespace morv::testing {

struct BrushPolygon {
    std::string texture;
    long link = -1;
    XYZ origin, normal, u, v;
    std::string pan;  // what follows "Pan" on a Pan line, when written
    std::vector<XYZ> vertices;
};

// Every layout fault (a line end other than "\r\n", a label, the indentation,
// a number not in the form sign, five or more digits, point, six digits) is
// added as a test failure naming the line.
std::vector<BrushPolygon> scanBrush(const std::string& text);

XYZ newell(const std::vector<XYZ>& polygon);
double length(const XYZ& v);

}  // namespace morv::testing
