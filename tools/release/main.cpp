#include <iostream>

#include "commands.h"

int main(int argc, char** argv) {
  return Release::RunCommand(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
