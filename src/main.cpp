#include "driver/Morv3DConverter.hpp"

int main(int argc, char** argv) { return morv::runProgram(argc, argv); }
