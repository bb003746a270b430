#pragma once
// What the first call into a delay-loaded DLL (cmake/delay/*.def) throws when
// that DLL cannot be loaded from System32 or lacks the function: the Windows
// error (126 or 127) and a text naming the DLL and the function.
#include <system_error>

namespace Platform {

class DelayLoadError : public std::system_error {
 public:
  using std::system_error::system_error;
};

}  // namespace Platform
