#include "ui/wl/exception_box.h"

#include <windows.h>

#include <stdexcept>
#include <system_error>

#include "app/text.h"

namespace wl {

exception_description describe_exception(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::invalid_argument& e) {
    return {"Oops... invalid argument error", e.what()};
  } catch (const std::out_of_range& e) {
    return {"Oops... out of range error", e.what()};
  } catch (const std::logic_error& e) {
    return {"Oops... logic error", e.what()};
  } catch (const std::system_error& e) {
    return {"Oops... system error", e.what()};
  } catch (const std::runtime_error& e) {
    return {"Oops... runtime error", e.what()};
  } catch (const std::exception& e) {
    return {"Oops... generic error", e.what()};
  } catch (...) {
    return {"Oops... generic error", "Unknown exception"};
  }
}

void show_exception_box() {
  const exception_description description = describe_exception(std::current_exception());
  // Exception texts are UTF-8; the wide box shows paths and names in any
  // language instead of the ANSI code page's guess.
  MessageBoxW(nullptr, Text::FromUtf8(description.text).c_str(), Text::FromUtf8(description.caption).c_str(),
              MB_ICONERROR | MB_OK);
}

}  // namespace wl
