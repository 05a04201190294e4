// JSON string literals for the writers that print JSON (glTF, the inventory).
#pragma once

#include <string>
#include <string_view>

namespace morv {

// Appends text as a JSON string. Names come from files in any encoding:
// well-formed UTF-8 is kept, any other byte is taken as Latin-1.
void appendJsonString(std::string& out, std::string_view text);

}  // namespace morv
