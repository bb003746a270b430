#pragma once
#include <exception>
#include <string>

namespace wl {

struct exception_description {
  const char* caption;
  std::string text;  // UTF-8
};

// Caption by the first matching type: invalid argument, out of range, logic,
// system, runtime, then any other exception.
exception_description describe_exception(std::exception_ptr error);

// Shows the exception being handled in an error box without owner. Call only
// from inside a catch block.
void show_exception_box();

}  // namespace wl
