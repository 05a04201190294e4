// The checker of shading-language programs: the symbol tables with the
// predeclared globals of a surface shader and the built-in functions, and the
// rules of types, names, overloading, storage classes and returns that a
// shader compiler enforces. A program is printed only after it passes.
#pragma once

#include <string_view>

#include "exporters/renderman/ShadingLanguage.hpp"

namespace morv::SL {

// Checks the whole program and fills in every expression's type and storage
// class. The first fault raises EGeneric (type "Error") with its message.
void check(Program& program);

// Letters, digits and "_", not starting with a digit.
bool isIdentifier(std::string_view name);
// A word the language reserves (compilers refuse it as a shader or variable name).
bool isReservedWord(std::string_view name);
// A function the checker knows without a definition in the program.
bool isBuiltInFunction(std::string_view name);

}  // namespace morv::SL
